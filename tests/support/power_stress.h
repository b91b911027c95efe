#pragma once

// Channel values for tests of rows that raise pixels to a power in vector lanes.

#include <limits>
#include <vector>

#include "base/pixel.h"

namespace brel::test {

// Channel values as stored that stress a power: 0, the smallest units, values at and near white;
// for floats also -0, denormals, values next to 1, huge values, infinities, NaN and a negative.
template <class P>
std::vector<float> power_stress_values() {
  const float w = Pixel_Traits<P>::white_value;
  if constexpr (Pixel_Traits<P>::is_integer) {
    const float most =
        static_cast<float>(std::numeric_limits<typename Pixel_Traits<P>::Channel>::max());
    return {0.0f, 1.0f, 2.0f, 3.0f, w / 2 - 1, w / 2, w - 2, w - 1, w, most};
  } else {
    using limits = std::numeric_limits<float>;
    return {0.0f,
            -0.0f,
            limits::denorm_min(),
            1e-39f,
            limits::min(),
            1e-20f,
            0.25f,
            0.5f,
            0.99999994f,
            1.0f,
            1.0000001f,
            1.0001f,
            3.0f,
            1e10f,
            1e30f,
            limits::max(),
            limits::infinity(),
            -limits::infinity(),
            limits::quiet_NaN(),
            -0.5f};
  }
}

}  // namespace brel::test
