#include "kernel/kernel_show_render_mode_caustics_cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/layer_holder.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::RGB32f;
using brel::test::by_depth;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;

template <class P>
class Show_Caustics_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Show_Caustics_Test, brel::test::Host_Pixel_Types);

// Shows one row of grey caustics values under a black one (an empty list: no caustics image).
template <class P>
Host_Layer<P> show(Standalone_Render& render, const std::vector<float>& values, float gamma,
                   int64_t width = 0) {
  const int64_t w = values.empty() ? width : static_cast<int64_t>(values.size());
  brel::Layer_Holder holder =
      brel::make_rgb32f_layer(render.context, w, 2, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  Layer<RGB32f> caustics = brel::layer_view<RGB32f>(holder);
  for (int64_t x = 0; x < static_cast<int64_t>(values.size()); ++x) {
    caustics.row(0)[x] = RGB32f{{0.0f, 0.0f, 0.0f}};
    caustics.row(1)[x] = RGB32f{{values[x], values[x] / 2.0f, 0.0f}};
  }
  Host_Layer<P> output(render.context, w, 2);
  output.fill(7, 7, 7, 7);
  brel::Kernel_Show_Render_Mode_Caustics<Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.caustics = values.empty() ? Layer<RGB32f>{} : caustics;
  kernel.parameters_in.output = output.view;
  kernel.parameters_in.gamma = gamma;
  kernel.execute(render.context);
  return output;
}

TYPED_TEST(Show_Caustics_Test, ScalesToWhiteRoundingAndSaturating) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  Standalone_Render render(2);
  const Host_Layer<P> out = show<P>(render, {1.0f, 0.4f, 3.0f, -1.0f}, 1.0f);
  EXPECT_EQ(out.red(0, 1), white);
  EXPECT_EQ(out.green(0, 1), by_depth<P>(0.5f, 16384, 128));  // 127.5 + 0.5
  EXPECT_EQ(out.red(1, 1), by_depth<P>(0.4f, 13107, 102));
  EXPECT_EQ(out.red(2, 1), by_depth<P>(3.0f, 32768, 255));  // saturates at white
  EXPECT_EQ(out.red(3, 1), by_depth<P>(-1.0f, 0, 0));
  for (int64_t x = 0; x < 4; ++x) {
    EXPECT_EQ(out.blue(x, 1), 0.0f);
    EXPECT_EQ(out.alpha(x, 1), white);
    EXPECT_EQ(out.alpha(x, 0), white);
    EXPECT_EQ(out.red(x, 0), 0.0f);  // a row without caustics is black
  }
}

// The view undoes the fill's gamma: 0.25 under gamma 2 shows as half; white stays white; a
// negative value under the root is black rather than not a number.
TYPED_TEST(Show_Caustics_Test, UndoesTheGamma) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  Standalone_Render render(1);
  const Host_Layer<P> out = show<P>(render, {0.25f, 1.0f, -0.25f}, 2.0f);
  EXPECT_EQ(out.red(0, 1), by_depth<P>(0.5f, 16384, 128));
  EXPECT_EQ(out.red(1, 1), white);
  EXPECT_EQ(out.red(2, 1), 0.0f);
  EXPECT_EQ(out.green(2, 1), 0.0f);
}

TYPED_TEST(Show_Caustics_Test, WithoutCausticsTheOutputIsBlackAndOpaque) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  Standalone_Render render(2);
  for (const float gamma : {1.0f, 2.2f}) {
    const Host_Layer<P> out = show<P>(render, {}, gamma, 3);
    for (int64_t y = 0; y < 2; ++y) {
      for (int64_t x = 0; x < 3; ++x) {
        EXPECT_EQ(out.red(x, y), 0.0f);
        EXPECT_EQ(out.green(x, y), 0.0f);
        EXPECT_EQ(out.blue(x, y), 0.0f);
        EXPECT_EQ(out.alpha(x, y), white);
      }
    }
  }
}

}  // namespace
