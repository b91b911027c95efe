#include "workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Every index exactly once, job after job on the same threads, and the calls really spread
// over more than one thread when there are workers to take them.
TEST(Render_Workers, EveryIndexRunsOnceInEveryJob) {
  for (const int64_t count : {1, 3, 8}) {
    lumbrix::Workers workers(count);
    EXPECT_EQ(workers.count(), count);
    for (const int64_t n : {0, 1, 2, 7, 1000}) {
      for (int32_t repeat = 0; repeat < 20; ++repeat) {
        std::vector<std::atomic<int32_t>> calls(static_cast<size_t>(n));
        workers.run(n, [&](int64_t i) { calls[static_cast<size_t>(i)].fetch_add(1); });
        for (int64_t i = 0; i < n; ++i) {
          ASSERT_EQ(calls[static_cast<size_t>(i)].load(), 1)
              << count << " workers, " << n << " indices, index " << i;
        }
      }
    }
  }
  lumbrix::Workers none(0);
  EXPECT_EQ(none.count(), 1);
}

TEST(Render_Workers, CallsSpreadOverTheWorkers) {
  lumbrix::Workers workers(4);
  std::mutex mutex;
  std::set<std::thread::id> seen;
  std::atomic<int32_t> arrived{0};
  // Each call waits (briefly) until a second one has started, so one thread cannot take all.
  workers.run(64, [&](int64_t) {
    arrived.fetch_add(1);
    for (int32_t spin = 0; spin < 100000 && arrived.load() < 2; ++spin) {
      std::this_thread::yield();
    }
    const std::lock_guard lock(mutex);
    seen.insert(std::this_thread::get_id());
  });
  EXPECT_GT(seen.size(), 1u);
}

// The first failure reaches the caller after every call has ended, and the workers go on
// serving the next job.
TEST(Render_Workers, AFailureReachesTheCallerAndTheWorkersStayUsable) {
  lumbrix::Workers workers(4);
  std::atomic<int32_t> running{0};
  EXPECT_THROW(workers.run(200,
                           [&](int64_t i) {
                             running.fetch_add(1);
                             if (i == 17) {
                               running.fetch_sub(1);
                               throw std::runtime_error("row 17");
                             }
                             std::this_thread::yield();
                             running.fetch_sub(1);
                           }),
               std::runtime_error);
  EXPECT_EQ(running.load(), 0);
  std::atomic<int64_t> sum{0};
  workers.run(100, [&](int64_t i) { sum.fetch_add(i); });
  EXPECT_EQ(sum.load(), 4950);
}

}  // namespace
