#include "kernel/kernel_prepare_quick_occlusion_cpu.h"

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace brel {

void prepare_quick_occlusion_row(const Iteration& iteration, Render_Context context,
                                 Kernel_Prepare_Quick_Occlusion::Parameters_In in) {
  const int64_t y = iteration.index;
  const float* depth = in.depth.row(y);
  double* sums = in.prefix_sums.row(y);
  const int64_t width = in.depth.width;
  double sum = 0.0;
  int64_t x = 0;
#if defined(__x86_64__)
  // The sums go straight to memory, a pair at a time, instead of through the caches: each line
  // is written whole and read only by the occlusion pass, so fetching it before writing it, as
  // a plain store does, doubles the traffic. Eight threads prepare a 1920 x 1080 frame's sums
  // and count its quick occlusion 4 to 5 % faster. A pair needs 16 aligned bytes, which rows
  // padded to 64 bytes give; other rows take the plain stores.
  if (reinterpret_cast<uintptr_t>(sums) % 16 == 0) {
    for (; x + 2 <= width; x += 2) {
      const double first = sum + static_cast<double>(depth[x]);
      sum = first + static_cast<double>(depth[x + 1]);
      _mm_stream_pd(sums + x, _mm_set_pd(sum, first));
    }
    _mm_sfence();
  }
#endif
  for (; x < width; ++x) {
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
