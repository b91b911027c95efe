#pragma once

// Finite input gives finite output. Where float arithmetic overflows for finite values (a square
// of 1e20, a difference of the two largest floats), a kernel notices it with `within_float_range`
// and computes the same steps again in double; the result goes back to float with
// `nearest_finite_float`.

#include <cmath>
#include <limits>

namespace brel {

// |value| is at most the largest float: false for infinities and NaN.
template <class T>
bool within_float_range(T value) {
  return std::fabs(value) <= static_cast<T>(std::numeric_limits<float>::max());
}

// A finite value beyond the float range as the largest float of its sign (the nearest finite
// one); every other value as a plain conversion gives it, infinities and NaN included.
inline float nearest_finite_float(double value) {
  constexpr double largest = std::numeric_limits<float>::max();
  if (std::isfinite(value) && std::fabs(value) > largest) {
    return static_cast<float>(value > 0.0 ? largest : -largest);
  }
  return static_cast<float>(value);
}

}  // namespace brel
