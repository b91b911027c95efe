#include "util/thread_iteration.h"

#include "base/exception.h"

namespace brel {

std::pair<int64_t, int64_t> thread_iteration_range(const Iteration& iteration, int64_t n) {
  BREL_ASSERT_AT(iteration.index < iteration.iterations, "./util/thread_iteration", 34);
  const int64_t chunk = n / iteration.iterations;
  const int64_t begin = iteration.index * chunk;
  const int64_t end = iteration.index == iteration.iterations - 1 ? n : begin + chunk;
  return {begin, end};
}

}  // namespace brel
