#pragma once

// One unit of a parallel loop, and the share of rows one unit works on.

#include <cstdint>
#include <utility>

namespace brel {

struct Iteration {
  int64_t index = 0;         // 0 .. iterations - 1
  int64_t iterations = 0;    // the loop's count
  int64_t worker_index = 0;  // the thread running this unit; 0 is the loop's caller
  int64_t worker_count = 0;  // threads serving the loop
};

// Rows [begin, end) of n for this iteration: n / iterations each, the last one also takes the
// remainder.
std::pair<int64_t, int64_t> thread_iteration_range(const Iteration& iteration, int64_t n);

// Iterations that hand out n units `grain` at a time. Loops whose units differ in cost use more
// iterations than there are workers, so that the loop's dynamic hand-out evens out the load.
int64_t grain_iteration_count(int64_t n, int64_t grain);

// Units [begin, end) of n for this iteration of such a loop: `grain` each, the last iteration
// what is left.
std::pair<int64_t, int64_t> grain_iteration_range(const Iteration& iteration, int64_t n,
                                                  int64_t grain);

}  // namespace brel
