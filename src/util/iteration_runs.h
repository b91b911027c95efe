#pragma once

// How the workers of a dynamically scheduled parallel loop take its indices from the loop's
// shared counter: in ascending runs of consecutive indices, one atomic step per run.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>

namespace brel {

// A turn at a counter that every worker shares moves its cache line to the turn's core and,
// being a locked operation, waits for that core's earlier stores to drain. Loops of one short
// row per index lost up to a third of their time on 8 threads to it. So a worker claims
// as many consecutive indices as its last ones show to take about iteration_run_target, at most
// iteration_run_most; costly indices still go out one at a time. Once fewer than
// iteration_run_tail_share indices per worker remain, every run is a single index, so the end
// of a loop stays as balanced as with one index per turn.
inline constexpr std::chrono::nanoseconds iteration_run_target{50'000};
inline constexpr int64_t iteration_run_most = 16;
inline constexpr int64_t iteration_run_tail_share = 8;

// The length of a worker's next run, when `remaining` indices are left for `workers` and each
// of the worker's last indices took `per_index`.
int64_t iteration_run_length(std::chrono::nanoseconds per_index, int64_t remaining,
                             int64_t workers);

// One worker's claims on a loop of `count` iterations served by `workers`, from the loop's
// counter `next` (the next index to hand out). The first run is one index: nothing is known of
// the indices' cost before it.
class Iteration_Runs {
 public:
  Iteration_Runs(std::atomic<int64_t>& next, int64_t count, int64_t workers)
      : next_(next), count_(count), workers_(workers) {}

  // The worker's next run [first, end), to be called in ascending order; empty (first >= end)
  // once every index is out.
  std::pair<int64_t, int64_t> claim();

 private:
  std::atomic<int64_t>& next_;
  int64_t count_;
  int64_t workers_;
  int64_t last_length_ = 0;  // 0 before the first run
  std::chrono::steady_clock::time_point last_claim_;
};

}  // namespace brel
