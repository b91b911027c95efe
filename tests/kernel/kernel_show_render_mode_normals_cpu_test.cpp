#include "kernel/kernel_show_render_mode_normals_cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Vector_3;
using brel::test::by_depth;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;

template <class P>
class Show_Normals_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Show_Normals_Test, brel::test::Host_Pixel_Types);

// Shows one row of normals and returns the output; the normal layer is one pixel wider than
// the output, as a view of a wider layer may be.
template <class P>
Host_Layer<P> show(Standalone_Render& render, const std::vector<Vector_3<float>>& normals) {
  const int64_t w = static_cast<int64_t>(normals.size());
  brel::Layer_Holder holder;
  holder.memory = render.context.allocate_memory_2d((w + 1) * 12, 1);
  const brel::Layer<Vector_3<float>> view = brel::layer_view<Vector_3<float>>(holder);
  for (int64_t x = 0; x < w; ++x) {
    view.row(0)[x] = normals[x];
  }
  Host_Layer<P> output(render.context, w, 1);
  output.fill(7, 7, 7, 7);
  brel::Kernel_Show_Render_Mode_Normals<brel::Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.normals = view;
  kernel.parameters_in.output = output.view;
  kernel.execute(render.context);
  return output;
}

// Components map from [-1, 1] to [0, white]. A component of 2 is defined above white; it stays
// where the channel can hold it and saturates where it cannot. Values below black and no number
// become 0 in integer channels.
TYPED_TEST(Show_Normals_Test, ComponentsMapToWhiteAndSaturateInIntegerTypes) {
  using P = TypeParam;
  Standalone_Render render(2);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Host_Layer<P> out = show<P>(
      render, {{0.0f, 0.0f, 1.0f}, {1.0f, -1.0f, 0.0f}, {2.0f, -3.0f, nan}, {4.0f, 0.0f, 0.0f}});
  const float half = by_depth<P>(0.5f, 16384, 127);
  const float white = brel::test::white_of<P>();
  EXPECT_EQ(out.red(0, 0), half);
  EXPECT_EQ(out.green(0, 0), half);
  EXPECT_EQ(out.blue(0, 0), white);
  EXPECT_EQ(out.red(1, 0), white);
  EXPECT_EQ(out.green(1, 0), 0.0f);
  EXPECT_EQ(out.blue(1, 0), half);
  EXPECT_EQ(out.red(2, 0), by_depth<P>(1.5f, 49152, 255));
  EXPECT_EQ(out.green(2, 0), by_depth<P>(-1.0f, 0, 0));
  EXPECT_EQ(out.red(3, 0), by_depth<P>(2.5f, 65535, 255));
  if constexpr (brel::Pixel_Traits<P>::is_integer) {
    EXPECT_EQ(out.blue(2, 0), 0.0f);
  } else {
    EXPECT_TRUE(std::isnan(out.blue(2, 0)));
  }
  for (int64_t x = 0; x < 4; ++x) {
    EXPECT_EQ(out.alpha(x, 0), white);
  }
}

// Whole rows wider than a vector, with values across and beyond the range, NaN and -0, against
// the per-channel conversion of the pixel traits, at every thread count.
TYPED_TEST(Show_Normals_Test, WideRowsMatchChannelByChannelConversion) {
  using P = TypeParam;
  using Traits = brel::Pixel_Traits<P>;
  constexpr int64_t w = 301;
  constexpr int64_t h = 21;
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            -0.0f,
                            -1.0f,
                            1.0f,
                            0.99999994f,
                            -0.99999994f,
                            3.0f,
                            -7.0f};
  const auto value = [&](int64_t k) {
    return k % 11 == 0 ? specials[k / 11 % 8] : static_cast<float>(k % 1999) / 999.0f - 1.0f;
  };
  const float white = Traits::white_value;
  const auto channel = [&](float v) {
    return Traits::to_channel_truncated((v + 1.0f) * 0.5f * white);
  };
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    brel::Layer_Holder holder;
    holder.memory = render.context.allocate_memory_2d(w * 12, h);
    const brel::Layer<Vector_3<float>> view = brel::layer_view<Vector_3<float>>(holder);
    for (int64_t i = 0; i < w * h; ++i) {
      view.row(i / w)[i % w] = {value(3 * i), value(3 * i + 1), value(3 * i + 2)};
    }
    Host_Layer<P> output(render.context, w, h);
    brel::Kernel_Show_Render_Mode_Normals<brel::Layer<P>, brel::Implementation_Cpu> kernel;
    kernel.parameters_in.normals = view;
    kernel.parameters_in.output = output.view;
    kernel.execute(render.context);
    int64_t mismatches = 0;
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        const Vector_3<float> n = view.row(y)[x];
        P expected;
        expected.channel[Traits::red] = channel(n.x);
        expected.channel[Traits::green] = channel(n.y);
        expected.channel[Traits::blue] = channel(n.z);
        expected.channel[Traits::alpha] = Traits::to_channel_truncated(white);
        mismatches += std::memcmp(&expected, &output.at(x, y), sizeof(P)) != 0 ? 1 : 0;
      }
    }
    EXPECT_EQ(mismatches, 0) << "threads " << threads;
  }
}

}  // namespace
