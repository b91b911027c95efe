#pragma once

// The "depthmap" render mode: the depth layer written into the output frame as grey, scaled so
// that the depth range shows as white.

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Show_Render_Mode_Depth;

template <class P>
class Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<float> depth;  // read at the output's coordinates; at least as large as the output
    Layer<P> output;
    float depth_scale = 0.0f;  // the depth shown as white; 0 shows depth × white unscaled
  };

  Parameters_In parameters_in;

  std::string name() const override { return "show render mode depth"; }
  int64_t workload() const override;
  void run(Render_Context context) override;
};

// Writes output row iteration.index, a block of pixels at a time: the grey values, their
// conversion to the channel type and the stores each run as a loop of its own, so that the
// first two run as vector code.
template <class P>
void show_render_mode_depth_rows(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>::Parameters_In in) {
  using Traits = Pixel_Traits<P>;
  using Channel = typename Traits::Channel;
  constexpr int64_t block = 256;
  const int64_t y = iteration.index;
  const float* depth = in.depth.row(y);
  P* output = in.output.row(y);
  const float white = Traits::white_value;
  // A range of +0 or -0 shows depth × white unscaled; a NaN range scales (to NaN) like any
  // other. Multiplying by 1 is exact, so the unscaled case needs no branch in the loop.
  const float factor = in.depth_scale != 0.0f ? 1.0f / in.depth_scale : 1.0f;
  const Channel alpha = Traits::to_channel_truncated(white);
  float values[block];
  Channel grey[block];
  for (int64_t x0 = 0; x0 < in.output.width; x0 += block) {
    const int64_t n = std::min(block, in.output.width - x0);
    for (int64_t i = 0; i < n; ++i) {
      values[i] = depth[x0 + i] * white * factor;
    }
    Traits::to_channels_truncated(values, grey, n);
    for (int64_t i = 0; i < n; ++i) {
      P& pixel = output[x0 + i];
      pixel.channel[Traits::red] = grey[i];
      pixel.channel[Traits::green] = grey[i];
      pixel.channel[Traits::blue] = grey[i];
      pixel.channel[Traits::alpha] = alpha;
    }
  }
  context.check_abort();
}

template <class P>
int64_t Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>::workload() const {
  return parameters_in.depth.width * parameters_in.depth.height * 4 +
         parameters_in.output.width * parameters_in.output.height * static_cast<int64_t>(sizeof(P));
}

template <class P>
void Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  cpu_kernel_launch(in.output.height, &show_render_mode_depth_rows<P>, context, in);
}

extern template class Kernel_Show_Render_Mode_Depth<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
