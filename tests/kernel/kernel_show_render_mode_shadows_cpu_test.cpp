#include "kernel/kernel_show_render_mode_shadows_cpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "support/float_layer.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::test::by_depth;
using brel::test::Float_Layer;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;
using brel::test::white_of;

template <class P>
class Show_Shadows_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Show_Shadows_Test, brel::test::Host_Pixel_Types);

// Shows one row of directional and point shadow values (an empty list: no such layer) over
// an output of `width` pixels.
template <class P>
Host_Layer<P> show(Standalone_Render& render, const std::vector<float>& directional,
                   const std::vector<float>& point, int64_t width) {
  const auto layer = [&](const std::vector<float>& values) {
    // Rows longer than the output, as the pipeline's views are.
    auto holder = std::make_unique<Float_Layer>(render.context, width + 5, 1);
    holder->fill([&](int64_t x, int64_t) {
      return x < static_cast<int64_t>(values.size()) ? values[x] : 0.0f;
    });
    return holder;
  };
  const auto d = layer(directional);
  const auto p = layer(point);
  Host_Layer<P> output(render.context, width, 1);
  output.fill(7, 7, 7, 7);
  brel::Kernel_Show_Render_Mode_Shadows<brel::Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.directional_shadow =
      directional.empty() ? brel::empty_layer<float>() : d->view;
  kernel.parameters_in.point_shadow = point.empty() ? brel::empty_layer<float>() : p->view;
  kernel.parameters_in.output = output.view;
  kernel.execute(render.context);
  return output;
}

TYPED_TEST(Show_Shadows_Test, LightLeftByBothShadowsAsGrey) {
  using P = TypeParam;
  Standalone_Render render(2);
  const float white = white_of<P>();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Directional 0.25, 0.1, 0.6, no number, -0.5; point 0, 0.2, 0.7, 0, 0.
  const Host_Layer<P> both =
      show<P>(render, {0.25f, 0.1f, 0.6f, nan, -0.5f}, {0.0f, 0.2f, 0.7f, 0.0f, 0.0f}, 5);
  EXPECT_EQ(both.red(0, 0), by_depth<P>(0.75f, 24576, 191));
  EXPECT_EQ(both.red(1, 0), by_depth<P>(0.69999999f, 22937, 178));
  EXPECT_EQ(both.red(2, 0), 0.0f);
  EXPECT_EQ(both.red(3, 0), 0.0f);
  // Negative shadow lightens beyond white; integer channels saturate.
  EXPECT_EQ(both.red(4, 0), by_depth<P>(1.5f, 49152, 255));
  for (int64_t x = 0; x < 5; ++x) {
    EXPECT_EQ(both.green(x, 0), both.red(x, 0));
    EXPECT_EQ(both.blue(x, 0), both.red(x, 0));
    EXPECT_EQ(both.alpha(x, 0), white);
  }
  // Either layer alone counts the other as 0; neither leaves the frame white.
  EXPECT_EQ(show<P>(render, {0.25f}, {}, 1).red(0, 0), by_depth<P>(0.75f, 24576, 191));
  EXPECT_EQ(show<P>(render, {}, {0.25f}, 1).red(0, 0), by_depth<P>(0.75f, 24576, 191));
  const Host_Layer<P> none = show<P>(render, {}, {}, 300);
  for (const int64_t x : {0, 255, 256, 299}) {
    EXPECT_EQ(none.red(x, 0), white);
    EXPECT_EQ(none.blue(x, 0), white);
    EXPECT_EQ(none.alpha(x, 0), white);
  }
}

TYPED_TEST(Show_Shadows_Test, WorkloadCountsPresentLayersAndTheOutput) {
  using P = TypeParam;
  Standalone_Render render(1);
  Float_Layer shadow(render.context, 4, 3);
  brel::Kernel_Show_Render_Mode_Shadows<brel::Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.point_shadow = shadow.view;
  kernel.parameters_in.output.width = 4;
  kernel.parameters_in.output.height = 3;
  EXPECT_EQ(kernel.workload(), 12 * 4 + 12 * static_cast<int64_t>(sizeof(P)));
}

}  // namespace
