#include "util/thread_iteration.h"

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

}  // namespace brel
