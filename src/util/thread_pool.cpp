#include "util/thread_pool.h"

#include <algorithm>

#include "base/exception.h"
#include "util/iteration_runs.h"

namespace brel {

Thread_Pool::~Thread_Pool() {
  // A failure while joining leaves threads that still use this pool: nothing sound is left
  // to do but end the process, which a throwing destructor does.
  std::lock_guard<std::mutex> lock(pool_mutex_);
  shut_down();
}

void Thread_Pool::start(int64_t cpus) {
  BREL_ASSERT_AT(cpus > 0, report::thread_pool_cpus);
  std::lock_guard<std::mutex> lock(pool_mutex_);
  if (cpus == worker_count()) {
    return;
  }
  shut_down();
  threads_.clear();
  threads_.resize(static_cast<size_t>(cpus));
  for (int64_t k = 0; k < cpus; ++k) {
    workers_.push_back(std::make_unique<Worker>(k, this));
  }
  // Counted only once every record exists, so a failed allocation leaves a pool that refuses
  // to run instead of one that reads missing records.
  worker_count_.store(1, std::memory_order_release);
  for (int64_t k = 1; k < cpus; ++k) {
    threads_[static_cast<size_t>(k)] = std::thread(&Thread_Pool::worker_main, workers_[k].get());
    worker_count_.fetch_add(1, std::memory_order_acq_rel);
  }
}

void Thread_Pool::run(int64_t iterations, const std::function<void(const Iteration&)>& job) {
  std::lock_guard<std::mutex> lock(pool_mutex_);
  // Every iteration reports the worker count; a loop on a pool that was never started would
  // report 0 workers to jobs that size per-worker storage by it.
  BREL_ASSERT(worker_count() > 0);
  const int64_t n = std::min(worker_count(), iterations);

  iterations_ = iterations;
  next_index_.store(0, std::memory_order_relaxed);
  job_ = job;
  stop_ = false;
  failure_ = nullptr;
  failed_.store(false, std::memory_order_relaxed);

  for (int64_t k = 0; k < n; ++k) {
    workers_[static_cast<size_t>(k)]->index = k;
    workers_[static_cast<size_t>(k)]->pool = this;
  }
  for (int64_t k = 1; k < n; ++k) {
    workers_[static_cast<size_t>(k)]->wake.release();
  }
  work_loop(0);
  for (int64_t k = 1; k < n; ++k) {
    workers_[static_cast<size_t>(k)]->done.acquire();
  }
  job_ = nullptr;

  std::exception_ptr failure;
  std::swap(failure, failure_);
  if (failure) {
    std::rethrow_exception(failure);
  }
}

void Thread_Pool::shut_down() {
  stop_ = true;
  const int64_t count = worker_count();
  for (int64_t k = 1; k < count; ++k) {
    workers_[static_cast<size_t>(k)]->wake.release();
  }
  for (int64_t k = 1; k < count; ++k) {
    threads_[static_cast<size_t>(k)].join();
  }
  workers_.clear();
  worker_count_.store(0, std::memory_order_release);
}

void Thread_Pool::work_loop(int64_t worker) {
  const Iteration base{0, iterations_, worker, worker_count()};
  Iteration_Runs runs(next_index_, iterations_, base.worker_count);
  try {
    for (;;) {
      const auto [first, end] = runs.claim();
      if (first >= end) {
        return;
      }
      for (int64_t index = first; index < end; ++index) {
        // After a failure the loop's result is decided: no further index is called, not even
        // the rest of a claimed run.
        if (failed_.load(std::memory_order_relaxed)) {
          return;
        }
        Iteration iteration = base;
        iteration.index = index;
        job_(iteration);
      }
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(index_mutex_);
    if (!failure_) {
      failure_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
    }
  }
}

void Thread_Pool::worker_main(Worker* worker) {
  for (;;) {
    worker->wake.acquire();
    if (worker->pool->stop_) {
      return;
    }
    worker->pool->work_loop(worker->index);
    worker->done.release();
  }
}

}  // namespace brel
