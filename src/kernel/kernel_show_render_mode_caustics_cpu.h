#pragma once

// The "caustix only" render mode: the filled caustics image written into the output frame with
// "gamma correction" undone, opaque.

#include <cmath>
#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Show_Render_Mode_Caustics;

template <class P>
class Kernel_Show_Render_Mode_Caustics<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    // Read at the output's coordinates and at least as large as the output; without pixels
    // the output is black.
    Layer<RGB32f> caustics;
    Layer<P> output;
    float gamma = 1.0f;
  };

  Parameters_In parameters_in;

  std::string name() const override { return "show render mode caustics"; }
  int64_t workload() const override {
    const auto& in = parameters_in;
    return in.caustics.width * in.caustics.height * 12 +
           in.output.width * in.output.height * static_cast<int64_t>(sizeof(P));
  }
  void run(Render_Context context) override;
};

// One channel of the caustics image as the output shows it, before the store: c^(1 / gamma)
// unless gamma is exactly 1, times white; integer types add 0.5 and clamp to [0, white]. A
// power that is not a number (a negative value under a fractional exponent) shows black.
template <class P>
float shown_caustics(float c, float inverse_gamma, bool power) {
  using Traits = Pixel_Traits<P>;
  if (power) {
    c = std::pow(c, inverse_gamma);
    if (std::isnan(c)) {
      c = 0.0f;
    }
  }
  if constexpr (Traits::is_integer) {
    const float v = c * Traits::white_value + 0.5f;
    return v > 0.0f ? (v < Traits::white_value ? v : Traits::white_value) : 0.0f;
  } else {
    return c;
  }
}

template <class P>
void show_render_mode_caustics_body(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Show_Render_Mode_Caustics<Layer<P>, Implementation_Cpu>::Parameters_In in) {
  using Traits = Pixel_Traits<P>;
  const int64_t y = iteration.index;
  P* output = in.output.row(y);
  const RGB32f* caustics = in.caustics.pixels != nullptr ? in.caustics.row(y) : nullptr;
  const bool power = in.gamma != 1.0f;
  const float inverse_gamma = 1.0f / in.gamma;
  const auto alpha = Traits::to_channel_truncated(Traits::white_value);
  const RGB32f black{{0.0f, 0.0f, 0.0f}};
  for (int64_t x = 0; x < in.output.width; ++x) {
    const RGB32f& c = caustics != nullptr ? caustics[x] : black;
    P& pixel = output[x];
    pixel.channel[Traits::red] =
        Traits::to_channel_truncated(shown_caustics<P>(c.channel[0], inverse_gamma, power));
    pixel.channel[Traits::green] =
        Traits::to_channel_truncated(shown_caustics<P>(c.channel[1], inverse_gamma, power));
    pixel.channel[Traits::blue] =
        Traits::to_channel_truncated(shown_caustics<P>(c.channel[2], inverse_gamma, power));
    pixel.channel[Traits::alpha] = alpha;
  }
  context.check_abort();
}

template <class P>
void Kernel_Show_Render_Mode_Caustics<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  cpu_kernel_launch(in.output.height, &show_render_mode_caustics_body<P>, context, in);
}

extern template class Kernel_Show_Render_Mode_Caustics<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Caustics<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Caustics<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Caustics<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Caustics<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Caustics<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
