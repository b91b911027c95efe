#pragma once

// Float-to-integer conversion that is defined for every input. A plain cast of a value that is
// not a number, or that lies beyond the integer's range, is undefined behaviour; settings and
// per-pixel values (window radii, offsets, landing points) can be either.

#include <algorithm>
#include <cstdint>
#include <limits>

namespace brel {

// `value` truncated towards zero as a cast would, with NaN read as 0 and values beyond
// [lowest, highest] (infinities included) clamped to them. The bounds must be exact as doubles
// (within ±2^53, or the limits of int64_t).
inline int64_t truncate_clamped(float value, int64_t lowest = std::numeric_limits<int64_t>::min(),
                                int64_t highest = std::numeric_limits<int64_t>::max()) {
  const double v = value;
  if (v != v) {
    return std::clamp<int64_t>(0, lowest, highest);
  }
  if (v <= static_cast<double>(lowest)) {
    return lowest;
  }
  // The int64_t maximum reads as 2^63 here, so a value below it converts in range.
  if (v >= static_cast<double>(highest)) {
    return highest;
  }
  return static_cast<int64_t>(v);
}

}  // namespace brel
