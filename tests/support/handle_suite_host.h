#pragma once

// A host reduced to what the host memory, the parallel loop and the host render context call:
// the handle suite behind a counting suite broker, iterate_generic over simulated render
// threads, and the abort callback. The full simulated host is not needed to test them.

#include <atomic>
#include <cstring>

#include "host_api.h"
#include "host_handles.h"
#include "host_threads.h"

namespace brel::test {

class Handle_Suite_Host {
 public:
  explicit Handle_Suite_Host(int32_t threads = 4) : threads_(threads) {
    current() = this;
    sim::Host_Handles::set_active(&handles_);
    sim::Host_Threads::set_active(&threads_);
    basic_suite_.AcquireSuite = acquire;
    basic_suite_.ReleaseSuite = release;
    sim::Host_Handles::fill_util_callbacks(&utils_);
    utils_.iterate_generic = sim::Host_Threads::iterate_generic;
    in_data_.utils = &utils_;
    in_data_.pica_basicP = &basic_suite_;
    in_data_.inter.abort = abort;
    in_data_.version = {13, 28};
  }
  ~Handle_Suite_Host() {
    sim::Host_Handles::set_active(nullptr);
    sim::Host_Threads::set_active(nullptr);
    current() = nullptr;
  }
  Handle_Suite_Host(const Handle_Suite_Host&) = delete;
  Handle_Suite_Host& operator=(const Handle_Suite_Host&) = delete;

  PF_InData* in_data() { return &in_data_; }
  sim::Host_Handles& handles() { return handles_; }
  sim::Host_Threads& threads() { return threads_; }

  // The handle suite is refused with "suite not found" while this is set.
  std::atomic<bool> handle_suite_missing{false};
  std::atomic<int64_t> acquired{0};
  std::atomic<int64_t> released{0};
  // The abort callback answers `abort_answer` from its n-th poll on (0: never).
  std::atomic<int64_t> abort_from_poll{0};
  std::atomic<PF_Err> abort_answer{PF_Interrupt_CANCEL};
  std::atomic<int64_t> polls{0};

 private:
  static Handle_Suite_Host*& current() {
    static Handle_Suite_Host* host = nullptr;
    return host;
  }
  static SPErr acquire(const char* name, A_long version, const void** suite) {
    Handle_Suite_Host& host = *current();
    if (std::strcmp(name, kPFHandleSuite) != 0 || version != 2 || host.handle_suite_missing) {
      *suite = nullptr;
      return kSPSuiteNotFoundError;
    }
    ++host.acquired;
    *suite = sim::Host_Handles::suite();
    return kSPNoError;
  }
  static SPErr release(const char* /*name*/, A_long /*version*/) {
    ++current()->released;
    return kSPNoError;
  }
  static PF_Err abort(PF_ProgPtr /*effect_ref*/) {
    Handle_Suite_Host& host = *current();
    const int64_t poll = ++host.polls;
    const int64_t from = host.abort_from_poll.load();
    return from > 0 && poll >= from ? host.abort_answer.load() : PF_Err_NONE;
  }

  sim::Host_Handles handles_;
  sim::Host_Threads threads_;
  SPBasicSuite basic_suite_{};
  PF_UtilCallbacks utils_{};
  PF_InData in_data_{};
};

}  // namespace brel::test
