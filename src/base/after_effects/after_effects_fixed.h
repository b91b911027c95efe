#pragma once

// Conversions of descriptions and values into the host's integer fields. They truncate toward
// zero as the host formats expect, and keep NaN and out-of-range values from reaching an
// integer conversion (undefined behaviour): NaN gives 0, anything else saturates.

#include <cmath>
#include <cstdint>
#include <limits>

namespace brel {

inline int32_t to_int32_saturated(double value) {
  if (std::isnan(value)) {
    return 0;
  }
  constexpr double low = std::numeric_limits<int32_t>::min();
  constexpr double high = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value < low ? low : (value > high ? high : value));
}

// An 8-bit colour channel from a value already scaled to 0..255.
inline uint8_t to_color_byte(double scaled) {
  if (std::isnan(scaled)) {
    return 0;
  }
  return static_cast<uint8_t>(scaled < 0.0 ? 0.0 : (scaled > 255.0 ? 255.0 : scaled));
}

}  // namespace brel
