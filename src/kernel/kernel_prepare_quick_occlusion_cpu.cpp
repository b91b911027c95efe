#include "kernel/kernel_prepare_quick_occlusion_cpu.h"

namespace brel {

void prepare_quick_occlusion_row(const Iteration& iteration, Render_Context context,
                                 Kernel_Prepare_Quick_Occlusion::Parameters_In in) {
  const int64_t y = iteration.index;
  const float* depth = in.depth.row(y);
  double* sums = in.prefix_sums.row(y);
  double sum = 0.0;
  for (int64_t x = 0; x < in.depth.width; ++x) {
    sum += static_cast<double>(depth[x]);
    sums[x] = sum;
  }
  context.check_abort();
}

void Kernel_Prepare_Quick_Occlusion::run(Render_Context context) {
  cpu_kernel_launch(parameters_in.depth.height, &prepare_quick_occlusion_row, context,
                    parameters_in);
}

}  // namespace brel
