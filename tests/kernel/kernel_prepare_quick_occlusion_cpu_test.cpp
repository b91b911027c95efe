#include "kernel/kernel_prepare_quick_occlusion_cpu.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;

// Sums of a constant along a frame-wide row are exact multiples of it: in float they would
// drift by whole units long before column 1920.
TEST(Prepare_Quick_Occlusion, RowSumsAreExactAlongAFrameWideRow) {
  for (const int64_t threads : brel::test::thread_counts) {
    brel::test::Standalone_Render render(threads);
    const int64_t w = 1920;
    const int64_t h = 7;
    brel::Layer_Holder depth_holder =
        brel::make_temporary_float_layer(render.context, w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f);
    const Layer<float> depth = brel::layer_view<float>(depth_holder);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        depth.row(y)[x] = 41.37f + static_cast<float>(y);
      }
    }
    brel::Layer_Holder sums_holder;
    sums_holder.memory = render.context.allocate_memory_2d(w * 8, h);
    brel::Kernel_Prepare_Quick_Occlusion prepare;
    prepare.parameters_in.depth = depth;
    prepare.parameters_in.prefix_sums = brel::layer_view<double>(sums_holder);
    prepare.execute(render.context);
    for (int64_t y = 0; y < h; ++y) {
      const double value = 41.37f + static_cast<float>(y);
      for (int64_t x = 0; x < w; ++x) {
        ASSERT_EQ(prepare.parameters_in.prefix_sums.row(y)[x], value * static_cast<double>(x + 1))
            << x << ", " << y;
      }
    }
  }
}

}  // namespace
