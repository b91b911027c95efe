#include "host_threads.h"

#include <thread>
#include <vector>

namespace brel::sim {
namespace {

std::atomic<Host_Threads*> active_threads{nullptr};

}  // namespace

void Host_Threads::fail_call(int64_t n, PF_Err code) {
  std::lock_guard lock(fault_mutex_);
  fail_at_ = n;
  fail_code_ = code;
}

PF_Err Host_Threads::iterate(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
  const int64_t call = calls_.fetch_add(1) + 1;
  {
    std::lock_guard lock(fault_mutex_);
    if (fail_at_ == call) {
      return fail_code_;
    }
  }
  const A_long count = iterations == PF_Iterations_ONCE_PER_PROCESSOR ? thread_count_ : iterations;
  if (count <= 0) {
    return PF_Err_NONE;
  }
  std::vector<PF_Err> results(static_cast<size_t>(count), PF_Err_NONE);
  auto run = [&](A_long index) {
    try {
      results[static_cast<size_t>(index)] = fn(refcon, index, index, count);
    } catch (...) {
      escaped_.fetch_add(1);
      results[static_cast<size_t>(index)] = PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(count - 1));
  for (A_long index = 1; index < count; ++index) {
    threads.emplace_back(run, index);
  }
  run(0);
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (PF_Err result : results) {
    if (result != PF_Err_NONE) {
      return result;
    }
  }
  return PF_Err_NONE;
}

PF_Err Host_Threads::iterate_generic(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
  Host_Threads* threads = active_threads.load();
  if (threads == nullptr) {
    return PF_Err_INVALID_CALLBACK;
  }
  return threads->iterate(iterations, refcon, fn);
}

void Host_Threads::set_active(Host_Threads* threads) {
  active_threads.store(threads);
}

}  // namespace brel::sim
