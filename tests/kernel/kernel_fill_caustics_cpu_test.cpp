#include "kernel/kernel_fill_caustics_cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "base/layer_holder.h"
#include "support/host_layer.h"
#include "support/power_stress.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::RGB32f;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;

const float nan = std::numeric_limits<float>::quiet_NaN();

// A (w + 4) × h caustics buffer holding `value` in every channel.
struct Buffer {
  Buffer(Standalone_Render& render, int64_t width, int64_t height, float value)
      : holder(
            brel::make_rgb32f_layer(render.context, width + 4, height, 0, 0, 0, 1.0f, 1.0f, 1.0f)),
        view(brel::layer_view<RGB32f>(holder)) {
    for (int64_t y = 0; y < view.height; ++y) {
      for (int64_t x = 0; x < view.width; ++x) {
        view.row(y)[x] = RGB32f{{value, value, value}};
      }
    }
  }

  brel::Layer_Holder holder;
  Layer<RGB32f> view;
};

template <class P>
void fill(Standalone_Render& render, const Layer<P>& background, const Layer<RGB32f>& buffer,
          float gamma, bool integrate) {
  brel::Kernel_Fill_Caustics<Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.background = background;
  kernel.parameters_in.caustics_buffer = buffer;
  kernel.parameters_in.gamma = gamma;
  kernel.parameters_in.integrate = integrate;
  kernel.execute(render.context);
}

template <class P>
class Fill_Caustics_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Fill_Caustics_Test, brel::test::Host_Pixel_Types);

// Buffer column c shows background column c - 2 - origin x, and row r its row r - origin y; the
// margins and the places beside the background are black. Without integration the buffer's old
// contents (here not a number) never reach the result.
TYPED_TEST(Fill_Caustics_Test, BackgroundInPlaceWithoutReadingTheBuffer) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Host_Layer<P> background(render.context, 3, 2, 1, 1);
    for (int64_t y = 0; y < 2; ++y) {
      for (int64_t x = 0; x < 3; ++x) {
        background.set(x, y, x == 0 ? white : 0.0f, y == 1 ? white : 0.0f, white, white);
      }
    }
    Buffer buffer(render, 5, 4, nan);
    fill(render, background.view, buffer.view, 1.0f, false);
    for (int64_t y = 0; y < 4; ++y) {
      for (int64_t c = 0; c < 9; ++c) {
        const int64_t bx = c - 2 - 1;
        const int64_t by = y - 1;
        const bool inside = bx >= 0 && bx < 3 && by >= 0 && by < 2;
        const RGB32f& p = buffer.view.row(y)[c];
        EXPECT_EQ(p.channel[0], inside && bx == 0 ? 1.0f : 0.0f) << c << ", " << y;
        EXPECT_EQ(p.channel[1], inside && by == 1 ? 1.0f : 0.0f) << c << ", " << y;
        EXPECT_EQ(p.channel[2], inside ? 1.0f : 0.0f) << c << ", " << y;
      }
    }
  }
}

// +k at column 3 and -k at column 7 light columns 3 to 6 by k on top of the background, in the
// margins as anywhere; without a background the light stands alone.
TYPED_TEST(Fill_Caustics_Test, IntegratesRowDifferencesOverTheBackground) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  Standalone_Render render(2);
  Host_Layer<P> background(render.context, 6, 2);
  background.fill(white, white, white, white);
  for (const bool with_background : {true, false}) {
    Buffer buffer(render, 6, 2, 0.0f);
    buffer.view.row(1)[3] = RGB32f{{0.25f, 0.5f, -1.0f}};
    buffer.view.row(1)[7] = RGB32f{{-0.25f, -0.5f, 1.0f}};
    buffer.view.row(1)[0] = RGB32f{{2.0f, 0.0f, 0.0f}};
    buffer.view.row(1)[9] = RGB32f{{-2.0f, 0.0f, 0.0f}};
    fill(render, with_background ? background.view : Layer<P>{}, buffer.view, 1.0f, true);
    for (int64_t c = 0; c < 10; ++c) {
      const float base = with_background && c >= 2 && c < 8 ? 1.0f : 0.0f;
      const bool lit = c >= 3 && c < 7;
      const float margin = c < 9 ? 2.0f : 0.0f;
      const RGB32f& p = buffer.view.row(1)[c];
      EXPECT_EQ(p.channel[0], base + (lit ? 0.25f : 0.0f) + margin) << c;
      EXPECT_EQ(p.channel[1], base + (lit ? 0.5f : 0.0f)) << c;
      EXPECT_EQ(p.channel[2], base + (lit ? -1.0f : 0.0f)) << c;
      EXPECT_EQ(buffer.view.row(0)[c].channel[0], with_background && c >= 2 && c < 8 ? 1.0f : 0.0f);
    }
  }
}

// Gamma 1 takes the channels as they are; any other gamma clamps them at 0 first. Gamma 0 gives
// 1 everywhere, beside the background too.
TYPED_TEST(Fill_Caustics_Test, GammaRaisesTheBackground) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  Standalone_Render render(1);
  Host_Layer<P> background(render.context, 2, 1);
  background.set(0, 0, white / 2, white / 4, 0.0f, white);
  const bool is_float = !brel::Pixel_Traits<P>::is_integer;
  background.set(1, 0, is_float ? -0.5f : 0.0f, white, white, white);
  // As stored: 127 and 63 of 255 in 8 bits.
  using Traits = brel::Pixel_Traits<P>;
  const float half = Traits::load(background.at(0, 0), Traits::red) * (1.0f / white);
  const float quarter = Traits::load(background.at(0, 0), Traits::green) * (1.0f / white);
  for (const float gamma : {1.0f, 2.0f, 0.0f}) {
    Buffer buffer(render, 2, 1, nan);
    fill(render, background.view, buffer.view, gamma, false);
    const RGB32f& p = buffer.view.row(0)[2];
    const RGB32f& q = buffer.view.row(0)[3];
    if (gamma == 1.0f) {
      EXPECT_EQ(p.channel[0], half);
      EXPECT_EQ(q.channel[0], is_float ? -0.5f : 0.0f);
    } else if (gamma == 2.0f) {
      EXPECT_FLOAT_EQ(p.channel[0], half * half);
      EXPECT_FLOAT_EQ(p.channel[1], quarter * quarter);
      EXPECT_EQ(q.channel[0], 0.0f);
      EXPECT_EQ(buffer.view.row(0)[0].channel[0], 0.0f);
    } else {
      for (int64_t c = 0; c < 6; ++c) {
        for (const float v : buffer.view.row(0)[c].channel) {
          EXPECT_EQ(v, 1.0f) << c;
        }
      }
    }
  }
}

TEST(Fill_Caustics, EmptyBufferIsLeftAlone) {
  Standalone_Render render(2);
  Host_Layer<brel::ARGB8> background(render.context, 4, 4);
  brel::Kernel_Fill_Caustics<Layer<brel::ARGB8>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.background = background.view;
  kernel.execute(render.context);
  EXPECT_EQ(kernel.workload(), 4 * 4 * 4);
}

// The row body against the plain rule for every pixel of a background at an odd place, with
// differences in the buffer, at every thread count: bit for bit.
TEST(Fill_Caustics, RowsFollowThePlainRule) {
  std::vector<float> differences;
  for (int64_t i = 0; i < 41 * 13; ++i) {
    differences.push_back(static_cast<float>((i * 37) % 11) - 5.0f);
  }
  for (const int64_t threads : brel::test::thread_counts) {
    for (const float gamma : {1.0f, 2.2f}) {
      Standalone_Render render(threads);
      Host_Layer<brel::BGRA16> background(render.context, 30, 9, -4, 3);
      for (int64_t y = 0; y < 9; ++y) {
        for (int64_t x = 0; x < 30; ++x) {
          background.set(x, y, 1000.0f * x, 500.0f * y, 30000.0f, 32768.0f);
        }
      }
      Buffer buffer(render, 37, 13, 0.0f);
      for (int64_t y = 0; y < 13; ++y) {
        for (int64_t x = 0; x < 41; ++x) {
          buffer.view.row(y)[x].channel[1] = differences[y * 41 + x];
        }
      }
      fill(render, background.view, buffer.view, gamma, true);
      brel::Fill_Caustics_Parameters_In<brel::BGRA16> in;
      in.background = background.view;
      in.gamma = gamma;
      for (int64_t y = 0; y < 13; ++y) {
        float sum = 0.0f;
        for (int64_t x = 0; x < 41; ++x) {
          sum += differences[y * 41 + x];
          const RGB32f expected = brel::caustics_background(in, x, y);
          const RGB32f& got = buffer.view.row(y)[x];
          EXPECT_EQ(got.channel[0], expected.channel[0]) << x << ", " << y;
          EXPECT_EQ(got.channel[1], expected.channel[1] + sum) << x << ", " << y;
          EXPECT_EQ(got.channel[2], expected.channel[2]) << x << ", " << y;
        }
      }
    }
  }
}

bool same_bits(float a, float b) {
  return std::memcmp(&a, &b, sizeof(float)) == 0;
}

// The rows against the plain rule, bit for bit, over background values that stress the power,
// backgrounds that begin and end inside a group of eight columns and rows whose tails are short
// of eight, with and without differences to integrate, under the gammas whose powers take special
// paths, at every thread count.
TYPED_TEST(Fill_Caustics_Test, GammaRowsFollowThePlainRuleBitForBit) {
  using P = TypeParam;
  const std::vector<float> values = brel::test::power_stress_values<P>();
  const int64_t n = static_cast<int64_t>(values.size());
  const float w = brel::test::white_of<P>();
  constexpr int64_t height = 3;
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    for (const int64_t width : {1, 7, 8, 9, 13, 21, 35}) {
      for (const int64_t origin_x : {-5, 0, 3}) {
        Host_Layer<P> background(render.context, width, height, origin_x, 1);
        for (int64_t i = 0; i < width * height; ++i) {
          background.set(i % width, i / width, values[i % n], values[(i * 7 + 3) % n],
                         values[(i * 11 + 5) % n], w);
        }
        brel::Fill_Caustics_Parameters_In<P> in;
        in.background = background.view;
        for (const bool integrate : {false, true}) {
          for (const float gamma : {1.8f, 2.2f, 0.0f, 0.5f, 100.0f, nan}) {
            Buffer buffer(render, width, height + 1, 0.25f);
            fill(render, background.view, buffer.view, gamma, integrate);
            in.gamma = gamma;
            for (int64_t y = 0; y < height + 1; ++y) {
              float sum = 0.0f;
              for (int64_t x = 0; x < width + 4; ++x) {
                sum += 0.25f;
                const RGB32f expected = brel::caustics_background(in, x, y);
                for (int32_t c = 0; c < 3; ++c) {
                  const float e = integrate ? expected.channel[c] + sum : expected.channel[c];
                  ASSERT_TRUE(same_bits(buffer.view.row(y)[x].channel[c], e))
                      << buffer.view.row(y)[x].channel[c] << " against " << e << " at x " << x
                      << " y " << y << " channel " << c << " width " << width << " origin "
                      << origin_x << " gamma " << gamma << " threads " << threads;
                }
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace
