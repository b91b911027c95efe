#include "util/iteration_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using brel::iteration_run_length;
using Claimed_Run = std::pair<int64_t, int64_t>;

// Cheap indices go out in runs that take about the target, at most the most; costly ones, and
// every index once few per worker remain, one at a time.
TEST(Iteration_Run_Length, FollowsTheIndicesCostAndShrinksToSingleIndicesAtTheTail) {
  EXPECT_EQ(iteration_run_length(1us, 100'000, 8), brel::iteration_run_most);
  EXPECT_EQ(iteration_run_length(brel::iteration_run_target / 5, 100'000, 8), 5);
  EXPECT_EQ(iteration_run_length(brel::iteration_run_target, 100'000, 8), 1);
  EXPECT_EQ(iteration_run_length(10ms, 100'000, 8), 1);
  // Too quick for the clock: as cheap as can be.
  EXPECT_EQ(iteration_run_length(0ns, 100'000, 8), brel::iteration_run_most);

  const int64_t share = brel::iteration_run_tail_share;
  EXPECT_EQ(iteration_run_length(1us, 3 * share * 8, 8), 3);
  EXPECT_EQ(iteration_run_length(1us, 3 * share * 8 - 1, 8), 2);
  EXPECT_EQ(iteration_run_length(0ns, share * 8 - 1, 8), 1);
  EXPECT_EQ(iteration_run_length(1us, 0, 8), 1);
  EXPECT_EQ(iteration_run_length(1us, -20, 8), 1);  // the counter ran past the end
  // No workers counts as one; many workers keep the runs short.
  EXPECT_EQ(iteration_run_length(1us, 4 * share, 0), 4);
  EXPECT_EQ(iteration_run_length(1us, 100'000, 100'000), 1);
}

// Runs claimed by `threads` workers on one counter while each index takes `cost`.
std::vector<Claimed_Run> claim_all(int64_t count, int64_t threads, std::chrono::nanoseconds cost) {
  std::atomic<int64_t> next{0};
  std::mutex mutex;
  std::vector<Claimed_Run> runs;
  auto work = [&] {
    brel::Iteration_Runs claims(next, count, threads);
    for (;;) {
      const Claimed_Run run = claims.claim();
      if (run.first >= run.second) {
        EXPECT_GE(run.first, count);
        // Once empty, a worker stays empty.
        EXPECT_GE(claims.claim().first, count);
        return;
      }
      std::this_thread::sleep_for(cost * (run.second - run.first));
      std::lock_guard<std::mutex> lock(mutex);
      runs.push_back(run);
    }
  };
  std::vector<std::thread> others;
  for (int64_t k = 1; k < threads; ++k) {
    others.emplace_back(work);
  }
  work();
  for (std::thread& thread : others) {
    thread.join();
  }
  std::sort(runs.begin(), runs.end());
  return runs;
}

void expect_every_index_once(const std::vector<Claimed_Run>& runs, int64_t count) {
  int64_t next = 0;
  for (const Claimed_Run& run : runs) {
    EXPECT_EQ(run.first, next);
    EXPECT_GT(run.second, run.first);
    EXPECT_LE(run.second - run.first, brel::iteration_run_most);
    next = run.second;
  }
  EXPECT_EQ(next, count);
}

TEST(Iteration_Runs, EveryIndexOnceInRunsOfConsecutiveIndicesAndCostlyIndicesOneAtATime) {
  for (const int64_t threads : {1, 3, 8}) {
    for (const int64_t count : {1, 2, 9, 5000, 40'000}) {
      const std::vector<Claimed_Run> runs = claim_all(count, threads, 0ns);
      expect_every_index_once(runs, count);
      // A lone worker's run is at most the tail share of what was left at its start (others
      // may claim between the reading and the claim).
      for (const Claimed_Run& run : runs) {
        const int64_t left = count - run.first;
        EXPECT_TRUE(threads > 1 || run.second - run.first <=
                                       std::max<int64_t>(1, left / brel::iteration_run_tail_share))
            << run.first << " of " << count;
      }
      if (count == 40'000) {
        EXPECT_LT(runs.size(), static_cast<size_t>(count / 4)) << "cheap indices go in runs";
      }
    }
  }
  const std::vector<Claimed_Run> costly = claim_all(300, 3, 2 * brel::iteration_run_target);
  expect_every_index_once(costly, 300);
  EXPECT_EQ(costly.size(), 300u);
}

}  // namespace
