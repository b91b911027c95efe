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
  // Float channels take the values as they are.
  Channel converted[Traits::is_integer ? block : 1];
  const Channel* channels = nullptr;
  for (int64_t x0 = 0; x0 < width; x0 += block) {
    const int64_t n = std::min(block, width - x0);
    grey(x0, n, values);
    if constexpr (Traits::is_integer) {
      Traits::to_channels_truncated(values, converted, n);
      channels = converted;
    } else {
      channels = values;
    }
    for (int64_t i = 0; i < n; ++i) {
      P& pixel = output[x0 + i];
      pixel.channel[Traits::red] = channels[i];
      pixel.channel[Traits::green] = channels[i];
      pixel.channel[Traits::blue] = channels[i];
      pixel.channel[Traits::alpha] = alpha;
    }
  }
}

}  // namespace brel
