#include "kernel/kernel_prepare_quick_occlusion_cpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;

// A w x h depth layer whose pixel (x, y) is depth(x, y), rows from the top.
template <class Depth>
brel::Layer_Holder depth_layer(const brel::Render_Context& context, int64_t w, int64_t h,
                               Depth depth) {
  brel::Layer_Holder holder =
      brel::make_temporary_float_layer(context, w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  const Layer<float> view = brel::layer_view<float>(holder);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      view.row(y)[x] = depth(x, y);
    }
  }
  return holder;
}

// Sums of a constant along a frame-wide row are exact multiples of it: in float they would
// drift by whole units long before column 1920.
TEST(Prepare_Quick_Occlusion, RowSumsAreExactAlongAFrameWideRow) {
  for (const int64_t threads : brel::test::thread_counts) {
    brel::test::Standalone_Render render(threads);
    const int64_t w = 1920;
    const int64_t h = 7;
    const brel::Layer_Holder depth_holder = depth_layer(
        render.context, w, h, [](int64_t, int64_t y) { return 41.37f + static_cast<float>(y); });
    const Layer<float> depth = brel::layer_view<float>(depth_holder);
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

// Every sum is the running sum of the row's depths added one at a time from the left, in double,
// bit for bit: at odd widths, whose last sum has no partner, and in rows that start halfway into
// a 16-byte pair as well as on one.
TEST(Prepare_Quick_Occlusion, RowSumsAddTheDepthsFromTheLeftWhereverTheRowsStart) {
  std::mt19937 random(3);
  std::uniform_real_distribution<float> depths(0.0f, 300.0f);
  brel::test::Standalone_Render render(2);
  for (const int64_t w : {1, 2, 7, 64, 333}) {
    const int64_t h = 5;
    const brel::Layer_Holder depth_holder =
        depth_layer(render.context, w, h, [&](int64_t, int64_t) { return depths(random); });
    const Layer<float> depth = brel::layer_view<float>(depth_holder);
    for (const int64_t shift : {0, 1}) {
      brel::Layer_Holder sums_holder;
      sums_holder.memory = render.context.allocate_memory_2d((w + 1) * 8, h);
      Layer<double> sums = brel::layer_view<double>(sums_holder);
      sums.pixels += shift;
      sums.width = w;
      brel::Kernel_Prepare_Quick_Occlusion prepare;
      prepare.parameters_in.depth = depth;
      prepare.parameters_in.prefix_sums = sums;
      prepare.execute(render.context);
      for (int64_t y = 0; y < h; ++y) {
        double sum = 0.0;
        for (int64_t x = 0; x < w; ++x) {
          sum += static_cast<double>(depth.row(y)[x]);
          ASSERT_EQ(sums.row(y)[x], sum)
              << "width " << w << ", shift " << shift << ", " << x << ", " << y;
        }
      }
    }
  }
}

}  // namespace
