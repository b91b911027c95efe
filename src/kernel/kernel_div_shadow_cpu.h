#pragma once

// Turns the splatted sums of a ray-marched shadow into means: each pixel's shadow (and
// translucent attenuation) divided by the weight that landed on it.

#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"

namespace brel {

class Kernel_Div_Shadow : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<float> shadow;              // divided in place
    Layer<float> weight;              // at least the shadow's size
    Layer<float> translucent_shadow;  // divided in place when it has pixels
  };

  Parameters_In parameters_in;

  std::string name() const override { return "div shadow"; }
  int64_t workload() const override {
    const Parameters_In& in = parameters_in;
    return (in.shadow.width * in.shadow.height + in.weight.width * in.weight.height) * 4;
  }
  void run(Render_Context context) override;
};

// Divides row y of the shadow (and of the translucent shadow) by the weight. A pixel without
// weight keeps its value.
void div_shadow_row(const Kernel_Div_Shadow::Parameters_In& in, int64_t y);

// The same for pixels [begin, end) of row y alone.
void div_shadow_row_part(const Kernel_Div_Shadow::Parameters_In& in, int64_t y, int64_t begin,
                         int64_t end);

// Rows of the iteration's share of the shadow's height, as div_shadow_row.
void div_shadow_body(const Iteration& iteration, Render_Context context,
                     Kernel_Div_Shadow::Parameters_In in);

}  // namespace brel
