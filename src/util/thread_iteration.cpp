#include "util/thread_iteration.h"

#include <algorithm>

#include "base/exception.h"

namespace brel {

std::pair<int64_t, int64_t> thread_iteration_range(const Iteration& iteration, int64_t n) {
  const int64_t index = iteration.index;
  const int64_t iterations = iteration.iterations;
  BREL_ASSERT_AT(index < iterations, report::thread_iteration_index);
  // A negative index would pass the check above with no iterations and divide by zero.
  BREL_ASSERT(index >= 0);
  const int64_t chunk = n / iterations;
  const int64_t begin = index * chunk;
  const int64_t end = index == iterations - 1 ? n : begin + chunk;
  return {begin, end};
}

int64_t grain_iteration_count(int64_t n, int64_t grain) {
  BREL_ASSERT(grain > 0);
  return n > 0 ? (n - 1) / grain + 1 : 0;
}

std::pair<int64_t, int64_t> grain_iteration_range(const Iteration& iteration, int64_t n,
                                                  int64_t grain) {
  BREL_ASSERT(grain > 0 && iteration.index >= 0 && iteration.index < iteration.iterations);
  const int64_t begin = std::min(iteration.index * grain, n);
  const int64_t end = iteration.index == iteration.iterations - 1 ? n : std::min(begin + grain, n);
  return {begin, end};
}

}  // namespace brel
