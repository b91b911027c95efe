#pragma once

// The simulated host's render threads behind `iterate_generic`: a chosen number of threads, the
// callback of thread index 0 on the calling thread (so the effect's abort poll, which asks the
// host only from the command's thread, is reached inside loops), the others on threads of their
// own. Whatever escapes a callback is caught and counted: a plug-in must never let that happen.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "host_api.h"

namespace brel::sim {

class Host_Threads {
 public:
  explicit Host_Threads(int32_t thread_count = 4) : thread_count_(thread_count) {}

  void set_thread_count(int32_t thread_count) { thread_count_ = thread_count; }
  int32_t thread_count() const { return thread_count_; }

  // The n-th call (counting from 1) of iterate_generic answers `code` without running anything.
  void fail_call(int64_t n, PF_Err code);

  // Calls of iterate_generic so far, probes (ONCE_PER_PROCESSOR) included.
  int64_t calls() const { return calls_.load(); }
  // Exceptions that escaped a callback into the host.
  int64_t escaped_exceptions() const { return escaped_.load(); }

  // Runs `fn` `iterations` times (the thread count for PF_Iterations_ONCE_PER_PROCESSOR), with
  // thread index i and iteration i, and returns thread 0's code if it failed, else the first
  // failure of another thread.
  PF_Err iterate(A_long iterations, void* refcon, PF_IterateGenericFunc fn);

  // The function for PF_UtilCallbacks::iterate_generic: forwards to the active instance.
  static PF_Err iterate_generic(A_long iterations, void* refcon, PF_IterateGenericFunc fn);
  // The instance the static entry forwards to; one at a time per process.
  static void set_active(Host_Threads* threads);

 private:
  int32_t thread_count_;
  std::atomic<int64_t> calls_{0};
  std::atomic<int64_t> escaped_{0};
  std::mutex fault_mutex_;
  int64_t fail_at_ = 0;
  PF_Err fail_code_ = PF_Err_NONE;
};

}  // namespace brel::sim
