#include "util/iteration_runs.h"

#include <algorithm>

namespace brel {

int64_t iteration_run_length(std::chrono::nanoseconds per_index, int64_t remaining,
                             int64_t workers) {
  const int64_t tail = remaining / (iteration_run_tail_share * std::max<int64_t>(workers, 1));
  // A run too quick for the clock to see counts as the cheapest.
  const int64_t by_cost = per_index.count() > 0 ? iteration_run_target / per_index : tail;
  return std::clamp<int64_t>(std::min(by_cost, tail), 1, iteration_run_most);
}

std::pair<int64_t, int64_t> Iteration_Runs::claim() {
  const auto now = std::chrono::steady_clock::now();
  int64_t length = 1;
  if (last_length_ > 0) {
    // What remains is read apart from the claim: others claiming in between only make this
    // run a little long for the tail, never longer than iteration_run_most.
    length = iteration_run_length(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_claim_) / last_length_,
        count_ - next_.load(), workers_);
  }
  last_claim_ = now;
  const int64_t first = next_.fetch_add(length);
  if (first >= count_) {
    return {first, first};
  }
  last_length_ = std::min(length, count_ - first);
  return {first, first + last_length_};
}

}  // namespace brel
