#pragma once

// A parallel loop on persistent worker threads, for running kernels outside a host. It has the
// interface of the render context's parallel loop: a count of iterations and a job per
// iteration. The calling thread works as worker 0 instead of waiting idle.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

#include "util/thread_iteration.h"

namespace brel {

class Thread_Pool {
 public:
  // One worker's record. The semaphores are the only signals between the caller and the
  // worker: one wake per job, answered by one done.
  struct Worker {
    Worker(int64_t index, Thread_Pool* pool) : index(index), pool(pool) {}

    int64_t index;
    std::binary_semaphore wake{0};
    std::binary_semaphore done{0};
    Thread_Pool* pool;
  };

  Thread_Pool() = default;
  ~Thread_Pool();
  Thread_Pool(const Thread_Pool&) = delete;
  Thread_Pool& operator=(const Thread_Pool&) = delete;

  // Runs with `cpus` workers, the caller counting as one. Threads are made here only, once per
  // change of the count; starting again with the same count changes nothing.
  void start(int64_t cpus);

  // Calls the job (a copy of it) once for every index 0 .. iterations - 1 and returns when all
  // calls have returned. The first exception thrown by any call, on any worker, is raised
  // here after every worker has finished; once one is caught no further index is handed out.
  // A job must not call run or start of its own pool.
  void run(int64_t iterations, const std::function<void(const Iteration&)>& job);

  // Workers including the caller; 0 until started.
  int64_t worker_count() const { return worker_count_.load(std::memory_order_acquire); }

 private:
  void shut_down();                // caller holds the pool mutex
  void work_loop(int64_t worker);  // never throws; keeps the first failure
  static void worker_main(Worker* worker);

  std::atomic<int64_t> worker_count_{0};
  int64_t iterations_ = 0;
  // Indices are handed out in ascending runs, one atomic step per run (util/iteration_runs.h):
  // a mutex here cost a row-per-iteration copy of a 3840 x 2160 float layer half its bandwidth
  // on 8 threads.
  std::atomic<int64_t> next_index_{0};
  bool stop_ = false;
  std::function<void(const Iteration&)> job_;
  std::atomic<bool> failed_{false};  // set once failure_ holds the first exception
  std::exception_ptr failure_;       // guarded by the index mutex
  std::mutex index_mutex_;
  std::mutex pool_mutex_;
  std::vector<std::thread> threads_;  // slot 0 stays empty: worker 0 is the caller
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace brel
