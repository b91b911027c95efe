#pragma once

// Roundings of floats that the C library offers only as calls. Converting a frame rounds every
// channel, and the call cost more than the rest of the conversion; these inline forms give the
// library's bits for every float.

#include <cmath>

namespace lumbrix {

// std::round: the nearest whole number, halves away from zero. Truncation is exact and so is the
// part it drops (a float with a fraction is below 2^23 in magnitude, so adding 1 is exact too).
// Signed zeros, infinities and NaN pass through the truncation unchanged; the comparison is false
// for a NaN part, which infinities also give.
inline float round_half_away(float value) {
  const float whole = std::trunc(value);
  // Without a branch, which would be a coin toss per channel: whole ± 1, or whole ± 0 with the
  // sign of `value` (which keeps -0 as -0).
  const float step = std::fabs(value - whole) >= 0.5f ? 1.0f : 0.0f;
  return whole + std::copysign(step, value);
}

// std::fmod(value, 1.0f): the part truncation drops, which is exact, with the sign of `value`
// (a whole negative number gives -0). Infinities and NaN give a NaN, as the library does.
inline float fraction_of(float value) {
  return std::copysign(value - std::trunc(value), value);
}

}  // namespace lumbrix
