#pragma once

// The "shadow only" render mode: how much light the shadows of both lights leave, as grey from
// black (fully shadowed) to white (unshadowed).

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"
#include "kernel/grey_row.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Show_Render_Mode_Shadows;

template <class P>
class Kernel_Show_Render_Mode_Shadows<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    // Read at the output's coordinates and at least as large as the output; an absent layer
    // (no pixels) counts 0.
    Layer<float> directional_shadow;
    Layer<float> point_shadow;
    Layer<P> output;
  };

  Parameters_In parameters_in;

  std::string name() const override { return "show render mode shadows"; }
  int64_t workload() const override {
    const Parameters_In& in = parameters_in;
    return (in.directional_shadow.width * in.directional_shadow.height +
            in.point_shadow.width * in.point_shadow.height) *
               4 +
           in.output.width * in.output.height * static_cast<int64_t>(sizeof(P));
  }
  void run(Render_Context context) override;
};

// Writes output row iteration.index. A missing layer reads as a row of zeros, so the loop has
// no branch.
template <class P>
void show_render_mode_shadows_rows(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Show_Render_Mode_Shadows<Layer<P>, Implementation_Cpu>::Parameters_In in) {
  static const float zeros[256] = {};
  const int64_t y = iteration.index;
  const Layer<float>& d = in.directional_shadow;
  const Layer<float>& p = in.point_shadow;
  const float* directional = d.pixels != nullptr ? d.row(y) : nullptr;
  const float* point = p.pixels != nullptr ? p.row(y) : nullptr;
  const float white = Pixel_Traits<P>::white_value;
  write_grey_row(in.output.row(y), in.output.width, [&](int64_t x0, int64_t n, float* values) {
    const float* dr = directional != nullptr ? directional + x0 : zeros;
    const float* pr = point != nullptr ? point + x0 : zeros;
    for (int64_t i = 0; i < n; ++i) {
      // Never below 0; no number gives 0.
      const float v = (1.0f - dr[i]) - pr[i];
      values[i] = (v > 0.0f ? v : 0.0f) * white;
    }
  });
  context.check_abort();
}

template <class P>
void Kernel_Show_Render_Mode_Shadows<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  cpu_kernel_launch(in.output.height, &show_render_mode_shadows_rows<P>, context, in);
}

extern template class Kernel_Show_Render_Mode_Shadows<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Shadows<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Shadows<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Shadows<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Shadows<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Shadows<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
