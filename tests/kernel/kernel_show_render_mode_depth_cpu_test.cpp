#include "kernel/kernel_show_render_mode_depth_cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::test::by_depth;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;

template <class P>
class Show_Depth_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Show_Depth_Test, brel::test::Host_Pixel_Types);

// Shows `height` rows of depths (one row unless told otherwise) with the given range and returns
// the output.
template <class P>
Host_Layer<P> show(Standalone_Render& render, const std::vector<float>& depths, float range,
                   int64_t height = 1) {
  const int64_t w = static_cast<int64_t>(depths.size()) / height;
  brel::Layer_Holder depth_holder =
      brel::make_temporary_float_layer(render.context, w, height, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  const brel::Layer<float> depth = brel::layer_view<float>(depth_holder);
  for (int64_t i = 0; i < w * height; ++i) {
    depth.row(i / w)[i % w] = depths[i];
  }
  Host_Layer<P> output(render.context, w, height);
  output.fill(7, 7, 7, 7);
  brel::Kernel_Show_Render_Mode_Depth<brel::Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.depth = depth;
  kernel.parameters_in.output = output.view;
  kernel.parameters_in.depth_scale = range;
  kernel.execute(render.context);
  return output;
}

// A zero range (either sign) shows the depth times white.
TYPED_TEST(Show_Depth_Test, ScalesTheRangeToWhiteAndTruncates) {
  using P = TypeParam;
  Standalone_Render render(2);
  const Host_Layer<P> out = show<P>(render, {100.0f, 141.42136f, 0.0f}, 141.42136f);
  EXPECT_EQ(out.red(0, 0), by_depth<P>(0.70710683f, 23170, 180));
  EXPECT_EQ(out.green(0, 0), out.red(0, 0));
  EXPECT_EQ(out.blue(0, 0), out.red(0, 0));
  EXPECT_EQ(out.red(1, 0), by_depth<P>(1.0f, 32768, 255));
  EXPECT_EQ(out.red(2, 0), 0.0f);
  for (int64_t x = 0; x < 3; ++x) {
    EXPECT_EQ(out.alpha(x, 0), brel::test::white_of<P>());
  }
  for (const float zero : {0.0f, -0.0f}) {
    EXPECT_EQ(show<P>(render, {0.5f}, zero).red(0, 0), by_depth<P>(0.5f, 16384, 127));
  }
}

// Integer channels saturate (and take 0 for no number) instead of keeping the low bits of an
// out-of-range value; float channels store what was computed.
TYPED_TEST(Show_Depth_Test, OutOfRangeValuesSaturateInIntegerTypes) {
  using P = TypeParam;
  Standalone_Render render(1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Host_Layer<P> out = show<P>(render, {-10.0f, 1.5f, 3.0f, nan}, 1.0f);
  EXPECT_EQ(out.red(0, 0), by_depth<P>(-10.0f, 0, 0));
  EXPECT_EQ(out.red(1, 0), by_depth<P>(1.5f, 49152, 255));
  EXPECT_EQ(out.red(2, 0), by_depth<P>(3.0f, 65535, 255));
  if constexpr (brel::Pixel_Traits<P>::is_integer) {
    EXPECT_EQ(out.red(3, 0), 0.0f);
  } else {
    EXPECT_TRUE(std::isnan(out.red(3, 0)));
  }
}

// Rows wider than a vector and more of them than one iteration takes, with depths across and
// beyond the range, NaN, -0 and depths whose grey overflows the float range, against the
// per-pixel rule (grey = depth × white × (1 / range), truncated), at every thread count.
TYPED_TEST(Show_Depth_Test, EveryRowMatchesThePerPixelRuleAtEveryThreadCount) {
  using P = TypeParam;
  using Traits = brel::Pixel_Traits<P>;
  constexpr int64_t w = 301;
  constexpr int64_t h = 21;
  const float specials[] = {
      std::numeric_limits<float>::quiet_NaN(), -0.0f,    -3.0f,  141.42136f, 141.42134f, 3.0e38f,
      std::numeric_limits<float>::infinity(),  1.0e-40f, 1.0e38f};
  std::vector<float> depths(w * h);
  for (int64_t k = 0; k < w * h; ++k) {
    depths[k] = k % 13 == 0 ? specials[k / 13 % std::size(specials)]
                            : static_cast<float>(k % 3001) * 0.0625f;
  }
  const float white = Traits::white_value;
  // A huge range brings the float grey of 1e38 past the float range, and its double steps back
  // within the 8-bit range.
  for (const float range : {141.42136f, 0.0f, 1.0e-30f, 3.0e38f}) {
    const float factor = range != 0.0f ? 1.0f / range : 1.0f;
    for (const int64_t threads : brel::test::thread_counts) {
      Standalone_Render render(threads);
      const Host_Layer<P> output = show<P>(render, depths, range, h);
      int64_t mismatches = 0;
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
          const float d = depths[y * w + x];
          const float grey = brel::show_depth_overflowed(d, white, range, d * white * factor);
          P expected;
          expected.channel[Traits::red] = Traits::to_channel_truncated(grey);
          expected.channel[Traits::green] = expected.channel[Traits::red];
          expected.channel[Traits::blue] = expected.channel[Traits::red];
          expected.channel[Traits::alpha] = Traits::to_channel_truncated(white);
          mismatches += std::memcmp(&expected, &output.at(x, y), sizeof(P)) != 0 ? 1 : 0;
        }
      }
      EXPECT_EQ(mismatches, 0) << "range " << range << ", " << threads << " threads";
    }
  }
}

}  // namespace
