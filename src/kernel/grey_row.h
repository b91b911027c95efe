#pragma once

// The row loop the grey render-mode views share: values computed a block at a time, converted
// to the channel type (truncated, saturated) and stored into red, green and blue, with alpha
// white. Computing and converting run as loops of their own, so that both run as vector code.

#include <algorithm>
#include <cstdint>

#include "base/pixel.h"

namespace brel {

// `grey(x0, n, values)` writes the values of pixels x0 .. x0 + n - 1 (white applied) into
// values[0 .. n).
template <class P, class Grey>
void write_grey_row(P* output, int64_t width, Grey&& grey) {
  using Traits = Pixel_Traits<P>;
  using Channel = typename Traits::Channel;
  constexpr int64_t block = 256;
  const Channel alpha = Traits::to_channel_truncated(Traits::white_value);
  float values[block];
  Channel converted[block];
  for (int64_t x0 = 0; x0 < width; x0 += block) {
    const int64_t n = std::min(block, width - x0);
    grey(x0, n, values);
    Traits::to_channels_truncated(values, converted, n);
    for (int64_t i = 0; i < n; ++i) {
      P& pixel = output[x0 + i];
      pixel.channel[Traits::red] = converted[i];
      pixel.channel[Traits::green] = converted[i];
      pixel.channel[Traits::blue] = converted[i];
      pixel.channel[Traits::alpha] = alpha;
    }
  }
}

}  // namespace brel
