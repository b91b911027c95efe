#pragma once

// Running sums along each row of the depth layer, from which the quick mode of the
// environmental occlusion takes the mean depth of any span of a row with two reads.

#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"

namespace brel {

class Kernel_Prepare_Quick_Occlusion : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<float> depth;
    // At least the depth's size. Entry (x, y) becomes the sum of the depth of row y over
    // columns 0 .. x. Kept in double: float sums lose whole units along a frame-wide row, and a
    // flat surface would then read as occluded.
    Layer<double> prefix_sums;
  };

  Parameters_In parameters_in;

  std::string name() const override { return "prepare quick occlusion"; }
  int64_t workload() const override {
    const Parameters_In& in = parameters_in;
    return in.depth.width * in.depth.height * 4 + in.prefix_sums.width * in.prefix_sums.height * 8;
  }
  // One iteration per row.
  void run(Render_Context context) override;
};

// Row `iteration.index` of the running sums.
void prepare_quick_occlusion_row(const Iteration& iteration, Render_Context context,
                                 Kernel_Prepare_Quick_Occlusion::Parameters_In in);

}  // namespace brel
