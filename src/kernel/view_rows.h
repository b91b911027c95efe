#pragma once

// How the render-mode views spread their output rows over the threads.

#include <cstdint>

namespace brel {

// Output rows per iteration of a view's loop (see for_each_grain_row). A view row is a few
// microseconds of streaming; one row at a time, 8 threads spent much of a 4K view taking turns
// at the loop's shared counter.
inline constexpr int64_t view_rows_per_iteration = 8;

}  // namespace brel
