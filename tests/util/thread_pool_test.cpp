#include "util/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/log.h"

namespace {

// Every call the pool made, recorded under a lock so that the order and the thread of each
// call can be checked afterwards.
struct Call_Log {
  std::mutex mutex;
  std::vector<brel::Iteration> calls;
  std::vector<std::thread::id> threads;

  std::function<void(const brel::Iteration&)> job() {
    return [this](const brel::Iteration& iteration) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(iteration);
      threads.push_back(std::this_thread::get_id());
    };
  }

  // How often each index 0 .. n - 1 was passed.
  std::vector<int> index_counts(int64_t n) const {
    std::vector<int> counts(static_cast<size_t>(n), 0);
    for (const auto& call : calls) {
      counts.at(static_cast<size_t>(call.index)) += 1;
    }
    return counts;
  }
};

TEST(Thread_Pool, StartAndRunEdgeCases) {
  brel::Thread_Pool pool;
  Call_Log log;
  EXPECT_EQ(pool.worker_count(), 0);
  EXPECT_THROW(pool.run(4, log.job()), brel::Exception_Assert);  // run before start
  EXPECT_THROW(pool.start(0), brel::Exception_Assert);
  const auto messages = brel::global_log().recent_messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_NE(messages.back().find("(cpus > 0) in util/thread_pool line 94. ASSERT()"),
            std::string::npos);
  EXPECT_EQ(pool.worker_count(), 0);
  pool.start(3);
  EXPECT_THROW(pool.start(-1), brel::Exception_Assert);
  EXPECT_EQ(pool.worker_count(), 3);
  pool.run(0, log.job());
  pool.run(-3, log.job());
  EXPECT_TRUE(log.calls.empty());
}

// One pool restarted with the same, a larger and a smaller worker count. Also with fewer
// iterations than workers the full worker count is reported, and only as many workers as there
// are iterations are woken.
TEST(Thread_Pool, EveryIndexExactlyOnceWithFullIterationRecords) {
  brel::Thread_Pool pool;
  for (const int64_t workers : {3, 3, 8, 2, 1}) {
    pool.start(workers);
    EXPECT_EQ(pool.worker_count(), workers);
    for (const int64_t n : {1, 2, 7, 100, 1000, 20'000}) {
      Call_Log log;
      pool.run(n, log.job());
      EXPECT_EQ(log.index_counts(n), std::vector<int>(static_cast<size_t>(n), 1))
          << workers << " workers, " << n << " iterations";
      for (size_t i = 0; i < log.calls.size(); ++i) {
        const brel::Iteration& call = log.calls[i];
        EXPECT_EQ(call.iterations, n);
        EXPECT_EQ(call.worker_count, workers);
        EXPECT_GE(call.worker_index, 0);
        EXPECT_LT(call.worker_index, std::min(workers, n));
        // Worker 0 is the calling thread; a single worker runs the indices in order.
        EXPECT_EQ(call.worker_index == 0, log.threads[i] == std::this_thread::get_id());
        if (workers == 1) {
          EXPECT_EQ(call.index, static_cast<int64_t>(i));
        }
      }
    }
  }
}

// A failure stops the handing out of indices: on one worker after the failing index, on four
// (where every call throws) after at most one call per worker; one exception reaches the caller.
TEST(Thread_Pool, ExceptionStopsTheLoop) {
  brel::Thread_Pool pool;
  pool.start(1);
  std::vector<int64_t> seen;
  EXPECT_THROW(pool.run(6,
                        [&seen](const brel::Iteration& iteration) {
                          seen.push_back(iteration.index);
                          if (iteration.index == 2) {
                            throw std::runtime_error("row 2 failed");
                          }
                        }),
               std::runtime_error);
  EXPECT_EQ(seen, (std::vector<int64_t>{0, 1, 2}));

  pool.start(4);
  std::atomic<int> calls{0};
  EXPECT_THROW(pool.run(100,
                        [&calls](const brel::Iteration& iteration) {
                          calls.fetch_add(1);
                          throw std::out_of_range(std::to_string(iteration.index));
                        }),
               std::out_of_range);
  EXPECT_GE(calls.load(), 1);
  EXPECT_LE(calls.load(), 4);
}

// Runs 1000 iterations on 4 workers; calls on the thread for which `fails` holds throw
// Exception_Abort, the others take a little time so that every worker gets indices. Checks
// that the failure reaches the caller only after every call has ended, that the loop stopped
// early, and that the pool runs a full loop afterwards.
template <class Fails>
void expect_failure_raised_after_the_loop(Fails fails) {
  brel::Thread_Pool pool;
  pool.start(4);
  std::atomic<int64_t> running{0};
  std::atomic<int64_t> calls{0};
  auto job = [&](const brel::Iteration&) {
    running.fetch_add(1);
    calls.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    running.fetch_sub(1);
    if (fails(std::this_thread::get_id())) {
      throw brel::Exception_Abort();
    }
  };
  try {
    pool.run(1000, job);
    ADD_FAILURE() << "the loop returned as if it had succeeded";
  } catch (const brel::Exception_Abort&) {
    EXPECT_EQ(running.load(), 0);  // no call outlives the loop
  }
  EXPECT_LT(calls.load(), 1000);

  Call_Log log;
  pool.run(40, log.job());
  EXPECT_EQ(log.index_counts(40), std::vector<int>(40, 1));
}

// Workers claim runs of cheap indices. Once one call has failed, no worker calls another index,
// not even the rest of a run it has claimed: workers 1 to 3 are held inside a call after some
// cheap ones, worker 0 then fails, and the held calls are let go well after that.
TEST(Thread_Pool, NoIndexIsCalledAfterAFailureNotEvenTheRestOfAClaimedRun) {
  brel::Thread_Pool pool;
  pool.start(4);
  std::atomic<int> calls_of_worker[4] = {};
  std::atomic<int> held{0};
  std::atomic<bool> failed{false};
  std::atomic<bool> let_go{false};
  std::atomic<int64_t> calls_after_failure{0};
  auto job = [&](const brel::Iteration& iteration) {
    if (failed.load()) {
      calls_after_failure.fetch_add(1);
    }
    if (calls_of_worker[iteration.worker_index].fetch_add(1) < 100) {
      return;
    }
    if (iteration.worker_index == 0) {
      while (held.load() < 3) {
        std::this_thread::yield();
      }
      failed.store(true);
      throw std::runtime_error("worker 0 failed");
    }
    held.fetch_add(1);
    while (!let_go.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  };
  std::thread releaser([&] {
    while (!failed.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    // Ample time for the pool to note the failure before the held calls return.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    let_go.store(true);
  });
  EXPECT_THROW(pool.run(1'000'000, job), std::runtime_error);
  releaser.join();
  EXPECT_EQ(calls_after_failure.load(), 0);
}

TEST(Thread_Pool, ExceptionOnAnyWorkerIsRaisedOnTheCallerAfterTheOtherWorkers) {
  const auto caller = std::this_thread::get_id();
  expect_failure_raised_after_the_loop([caller](std::thread::id id) { return id == caller; });
  expect_failure_raised_after_the_loop([caller](std::thread::id id) { return id != caller; });
}

}  // namespace
