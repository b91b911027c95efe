#include "kernel/kernel_pre_color_correction_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::Pixel_Traits;
using brel::test::by_depth;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;
using brel::test::white_of;

template <class P>
using Kernel = brel::Kernel_Pre_Color_Correction<Layer<P>, brel::Implementation_Cpu>;

// "depth factor" 100 as the pipeline passes it.
constexpr float depth_scale_100 = 141.42136f;

template <class P>
typename Kernel<P>::Parameters_In neutral(const Host_Layer<P>& input, const Host_Layer<P>& output) {
  typename Kernel<P>::Parameters_In in;
  in.input = input.view;
  in.output = output.view;
  in.depth_scale = depth_scale_100;
  return in;
}

template <class P>
class Pre_Color_Correction_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Pre_Color_Correction_Test, brel::test::Host_Pixel_Types);

// Luminance depth is |c| × 0.57735026 × the depth scale: the scale for white, a third of that
// for pure red (1/√3 of the length), whatever the alpha; the other channels are read by meaning
// whatever the layout, and an unknown channel gives no depth.
TYPED_TEST(Pre_Color_Correction_Test, EachDepthChannelReadsItsChannelByMeaning) {
  using P = TypeParam;
  Standalone_Render render(1);
  const float white = white_of<P>();
  Host_Layer<P> input(render.context, 4, 1);
  input.set(0, 0, white, white / 2, white / 4, white / 8);
  input.set(1, 0, white, white, white, 0);  // fully transparent
  input.set(2, 0, white, 0, 0, white / 2);
  input.set(3, 0, 0, 0, 0, 0);
  Host_Layer<P> output(render.context, 4, 1);
  const float expected[] = {1.0f, by_depth<P>(0.5f, 0.5f, 127.0f / 255.0f),
                            by_depth<P>(0.25f, 0.25f, 63.0f / 255.0f),
                            by_depth<P>(0.125f, 0.125f, 31.0f / 255.0f)};
  for (int64_t channel = brel::Depth_Channel_Luminance; channel <= 5; ++channel) {
    Kernel<P> kernel;
    kernel.parameters_in = neutral(input, output);
    kernel.parameters_in.depth_channel = channel;
    kernel.execute(render.context);
    const float* depth = kernel.depth.row(0);
    SCOPED_TRACE(testing::Message() << "channel " << channel);
    if (channel == brel::Depth_Channel_Luminance) {
      // Float rounding of a square root and two products.
      EXPECT_NEAR(depth[1], depth_scale_100, 2e-4f);
      EXPECT_NEAR(depth[2], depth_scale_100 * 0.57735026f, 2e-4f);
      EXPECT_EQ(depth[3], 0.0f);
    } else if (channel <= brel::Depth_Channel_Alpha) {
      EXPECT_EQ(depth[0], depth_scale_100 * expected[channel - 1]);
    } else {
      EXPECT_EQ(depth[0], 0.0f);
    }
  }
}

// Every reader may step 3 pixels past each edge: two rings repeat the nearest image value, the
// outermost ring is 0.
TYPED_TEST(Pre_Color_Correction_Test, BorderRepeatsTheEdgesInsideAZeroRing) {
  using P = TypeParam;
  Standalone_Render render(2);
  Host_Layer<P> input(render.context, 4, 3, 5, -2);
  const float step = by_depth<P>(0.0625f, 2048, 16);
  for (int64_t y = 0; y < 3; ++y) {
    for (int64_t x = 0; x < 4; ++x) {
      input.set(x, y, step * static_cast<float>(1 + x + 4 * y), 0, 0, white_of<P>());
    }
  }
  Host_Layer<P> output(render.context, 4, 3);
  Kernel<P> kernel;
  kernel.parameters_in = neutral(input, output);
  kernel.parameters_in.depth_channel = brel::Depth_Channel_Red;
  kernel.parameters_in.depth_scale = 16.0f;
  kernel.execute(render.context);
  const Layer<float>& border = kernel.depth_with_border;
  ASSERT_EQ(border.width, 10);
  ASSERT_EQ(border.height, 9);
  for (int64_t y = 0; y < 9; ++y) {
    for (int64_t x = 0; x < 10; ++x) {
      const bool ring = x == 0 || y == 0 || x == 9 || y == 8;
      const int64_t ix = std::clamp<int64_t>(x - 3, 0, 3);
      const int64_t iy = std::clamp<int64_t>(y - 3, 0, 2);
      const float expected = ring ? 0.0f
                                  : 16.0f * brel::pre_color_correction_detail::input_channel(
                                                input.at(ix, iy), Pixel_Traits<P>::red);
      EXPECT_EQ(border.row(y)[x], expected) << x << ", " << y;
    }
  }
  // The inner view has the input's size and origin and lies inside the border.
  EXPECT_EQ(kernel.depth.width, 4);
  EXPECT_EQ(kernel.depth.height, 3);
  EXPECT_EQ(kernel.depth.origin_x, 5);
  EXPECT_EQ(kernel.depth.origin_y, -2);
  EXPECT_EQ(&kernel.depth.row(0)[0], &border.row(3)[3]);
}

TEST(Pre_Color_Correction, EmptyInputLeavesAnAllZeroBorder) {
  Standalone_Render render(1);
  Host_Layer<brel::ARGB8> input(render.context, 0, 0);
  Host_Layer<brel::ARGB8> output(render.context, 0, 0);
  Kernel<brel::ARGB8> kernel;
  kernel.parameters_in = neutral(input, output);
  kernel.execute(render.context);
  for (int64_t y = 0; y < 6; ++y) {
    for (int64_t x = 0; x < 6; ++x) {
      EXPECT_EQ(kernel.depth_with_border.row(y)[x], 0.0f);
    }
  }
}

// Sets the kernel's scalar fields from the settings record.
template <class Parameters>
void apply(const brel::Pre_Color_Correction_Settings& s, Parameters& in) {
  in.depth_channel = s.depth_channel;
  in.depth_scale = s.depth_scale;
  in.saturation = s.saturation;
  in.depth_bias = s.depth_bias;
  in.depth_gain = s.depth_gain;
  in.back_level = s.back_level;
  in.front_level = s.front_level;
  in.surface_color = {s.surface_color[0], s.surface_color[1], s.surface_color[2]};
  in.surface_tint_amount = s.surface_tint_amount;
  in.color_mix = s.color_mix;
  in.additive_mix = s.additive_mix;
}

// One float pixel of colour c through the stage with the given settings.
brel::Pre_Color_Correction_Pixel run_pixel(const brel::Pre_Color_Correction_Settings& settings,
                                           float r, float g, float b, float a = 1.0f) {
  Standalone_Render render(1);
  Host_Layer<brel::ARGB32f> input(render.context, 1, 1);
  input.set(0, 0, r, g, b, a);
  Host_Layer<brel::ARGB32f> output(render.context, 1, 1);
  Kernel<brel::ARGB32f> kernel;
  auto& in = kernel.parameters_in;
  in.input = input.view;
  in.output = output.view;
  apply(settings, in);
  kernel.execute(render.context);
  return {kernel.depth.row(0)[0], {output.red(0, 0), output.green(0, 0), output.blue(0, 0)}};
}

// The surface colour shows the corrected colour itself: white surface, full multiplicative mix.
brel::Pre_Color_Correction_Settings showing_corrected_colour() {
  brel::Pre_Color_Correction_Settings s;
  s.depth_scale = 1.0f;
  s.color_mix = 1.0f;
  return s;
}

// Gain and levels on greys. A tolerance of 0 means exactly; a surface below 0 is not checked.
TEST(Pre_Color_Correction, GainAndLevelsReshapeTheBrightness) {
  struct Case {
    float gain, back, front, grey, depth, surface, tolerance;
  };
  const Case cases[] = {
      // A negative full gain makes every brightness one half.
      {-1.0f, 0.0f, 1.0f, 0.1f, 0.5f, 0.5f, 1e-6f},
      {-1.0f, 0.0f, 1.0f, 0.5f, 0.5f, 0.5f, 1e-6f},
      {-1.0f, 0.0f, 1.0f, 0.9f, 0.5f, 0.5f, 1e-6f},
      // Half gain keeps half and white and blackens dark greys.
      {0.5f, 0.0f, 1.0f, 0.5f, 0.5f, -1.0f, 1e-6f},
      {0.5f, 0.0f, 1.0f, 1.0f, 1.0f, -1.0f, 1e-6f},
      {0.5f, 0.0f, 1.0f, 0.25f, 0.0f, 0.0f, 0.0f},
      // Equal levels leave the brightness; others stretch it, limited to 1.
      {0.0f, 0.3f, 0.3f, 0.2f, 0.2f, -1.0f, 1e-6f},
      {0.0f, 0.2f, 0.6f, 0.4f, 0.5f, -1.0f, 1e-6f},
      {0.0f, 0.2f, 0.6f, 0.9f, 1.0f, -1.0f, 1e-6f},
  };
  for (const Case& c : cases) {
    brel::Pre_Color_Correction_Settings s = showing_corrected_colour();
    s.depth_gain = c.gain;
    s.back_level = c.back;
    s.front_level = c.front;
    const auto pixel = run_pixel(s, c.grey, c.grey, c.grey);
    SCOPED_TRACE(testing::Message() << "gain " << c.gain << ", levels " << c.back << " to "
                                    << c.front << ", grey " << c.grey);
    EXPECT_NEAR(pixel.depth, c.depth, c.tolerance);
    if (c.surface >= 0.0f) {
      EXPECT_NEAR(pixel.surface[1], c.surface, c.tolerance);
    }
  }
}

TEST(Pre_Color_Correction, ZeroSaturationTurnsColoursIntoTheirLuminanceGrey) {
  brel::Pre_Color_Correction_Settings s = showing_corrected_colour();
  s.saturation = 0.0f;
  const auto pixel = run_pixel(s, 0.8f, 0.4f, 0.2f);
  const float y = 0.212671f * 0.8f + 0.71516f * 0.4f + 0.072169f * 0.2f;
  for (const float component : pixel.surface) {
    EXPECT_NEAR(component, y, 1e-5f);  // the weights are summed in double by the stage
  }
  const auto black = run_pixel(s, 0.0f, 0.0f, 0.0f);
  EXPECT_EQ(black.surface[0], 0.0f);
  EXPECT_EQ(black.depth, 0.0f);
}

// Below the back level the brightness is negative; a fractional bias exponent or a negative
// gain would raise it to a power that has no value. Such pixels get no depth and a black
// corrected colour (pixels above the back level keep their exact results: see the comparison
// with the pixel rule below). Infinite
// brightness (a bias above 1 on black) times a zero direction has no value either.
TEST(Pre_Color_Correction, NegativeBrightnessUnderFractionalPowersIsBlackNotNan) {
  brel::Pre_Color_Correction_Settings s = showing_corrected_colour();
  s.back_level = 0.5f;
  s.depth_bias = 0.3f;
  const auto below = run_pixel(s, 0.2f, 0.2f, 0.2f);
  EXPECT_EQ(below.depth, 0.0f);
  for (const float component : below.surface) {
    EXPECT_EQ(component, 0.0f);
  }

  s.depth_bias = 0.0f;
  s.depth_gain = -0.3f;
  const auto gain_below = run_pixel(s, 0.2f, 0.2f, 0.2f);
  EXPECT_EQ(gain_below.depth, 0.0f);
  EXPECT_EQ(gain_below.surface[2], 0.0f);
  // With the additive mix a black corrected colour adds nothing.
  s.additive_mix = true;
  EXPECT_EQ(run_pixel(s, 0.2f, 0.2f, 0.2f).surface[0], 1.0f);

  s = showing_corrected_colour();
  s.depth_bias = 2.0f;
  const auto black = run_pixel(s, 0.0f, 0.0f, 0.0f);
  EXPECT_EQ(black.depth, 0.0f);
  EXPECT_EQ(black.surface[0], 0.0f);
}

// The correction works on the colour's direction and brightness. Colours so bright that their
// float squares overflow keep their direction at full brightness, as a moderately bright colour
// of the same hue does; colours so dark that their squares vanish keep it too, which the levels
// can brighten.
TEST(Pre_Color_Correction, HugeAndTinyColoursKeepTheirDirection) {
  brel::Pre_Color_Correction_Settings s = showing_corrected_colour();
  s.back_level = -1.0f;  // brightness 0 becomes one half
  const auto bright = run_pixel(s, 3.0f, 1.0f, 0.0f);
  ASSERT_GT(bright.surface[1], 0.5f);
  for (const float huge : {1e19f, 1e30f, 1e38f}) {
    const auto pixel = run_pixel(s, 3.0f * huge, huge, 0.0f);
    SCOPED_TRACE(testing::Message() << "colour (3, 1, 0) x " << huge);
    EXPECT_NEAR(pixel.depth, bright.depth, 1e-6f);
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(pixel.surface[c], bright.surface[c], 1e-6f);
    }
  }
  // Brightness one half: the unit colour times 0.5 / 0.57735026.
  const float expected[3] = {0.9486833f * 0.5f / 0.57735026f, 0.31622777f * 0.5f / 0.57735026f,
                             0.0f};
  for (const float tiny : {1e-30f, 1e-40f}) {
    const auto pixel = run_pixel(s, 3.0f * tiny, tiny, 0.0f);
    SCOPED_TRACE(testing::Message() << "colour (3, 1, 0) x " << tiny);
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(pixel.surface[c], std::min(expected[c], 1.0f), 1e-6f);
    }
  }
}

TYPED_TEST(Pre_Color_Correction_Test, ColourMixMultipliesOrAddsAndIntegersSaturate) {
  using P = TypeParam;
  Standalone_Render render(1);
  const float white = white_of<P>();
  Host_Layer<P> input(render.context, 1, 1);
  input.set(0, 0, white, white, white, white);
  Host_Layer<P> output(render.context, 1, 1);
  Kernel<P> kernel;
  kernel.parameters_in = neutral(input, output);
  kernel.parameters_in.color_mix = 1.0f;
  kernel.parameters_in.surface_color = {1.0f, 0.5f, 0.0f};
  kernel.execute(render.context);
  EXPECT_EQ(output.red(0, 0), white);  // white back exactly
  EXPECT_EQ(output.green(0, 0), by_depth<P>(0.5f, 16384, 127));
  EXPECT_EQ(output.blue(0, 0), 0.0f);
  // Added: up to twice white. 1.5 white fits 16 bits (49152); 8-bit saturates at 255 instead
  // of wrapping to 126, 16-bit at 65535 instead of wrapping to 0.
  kernel.parameters_in.additive_mix = true;
  kernel.execute(render.context);
  EXPECT_EQ(output.red(0, 0), by_depth<P>(2.0f, 65535, 255));
  EXPECT_EQ(output.green(0, 0), by_depth<P>(1.5f, 49152, 255));
  EXPECT_EQ(output.blue(0, 0), white);
}

TYPED_TEST(Pre_Color_Correction_Test, TextureTintsOnlyWhereItLies) {
  using P = TypeParam;
  Standalone_Render render(2);
  const float white = white_of<P>();
  Host_Layer<P> input(render.context, 4, 3);
  input.fill(0, 0, 0, white);
  Host_Layer<P> output(render.context, 4, 3);
  // A 2 × 2 texture of pure green placed at (1, 1): it covers (1..2, 1..2).
  Host_Layer<P> texture(render.context, 2, 2, 1, 1);
  texture.fill(0, white, 0, 0);
  Kernel<P> kernel;
  kernel.parameters_in = neutral(input, output);
  kernel.parameters_in.surface_color_texture = texture.view;
  kernel.parameters_in.surface_tint_amount = 0.5f;
  kernel.parameters_in.surface_color.red = 0.5f;
  kernel.execute(render.context);
  const float half = by_depth<P>(0.5f, 16384, 127);
  const float quarter = by_depth<P>(0.25f, 8192, 63);
  for (int64_t y = 0; y < 3; ++y) {
    for (int64_t x = 0; x < 4; ++x) {
      const bool inside = x >= 1 && x <= 2 && y >= 1;
      EXPECT_EQ(output.red(x, y), inside ? quarter : half) << x << ", " << y;
      EXPECT_EQ(output.green(x, y), white) << x << ", " << y;
      EXPECT_EQ(output.blue(x, y), inside ? half : white) << x << ", " << y;
    }
  }
}

// The row body runs each step over blocks of pixels with its decisions hoisted; it must agree
// bit for bit with the pixel-by-pixel rule, for every pixel type, depth channel, colour
// correction and mix, at every thread count.
TYPED_TEST(Pre_Color_Correction_Test, BlocksMatchThePixelRule) {
  using P = TypeParam;
  using Traits = Pixel_Traits<P>;
  const float white = white_of<P>();
  const int32_t rgb[3] = {Traits::red, Traits::green, Traits::blue};
  std::mt19937 random(3);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<std::pair<brel::Pre_Color_Correction_Settings, bool>> cases;
  for (int64_t i = 0; i < 10; ++i) {
    brel::Pre_Color_Correction_Settings s;
    s.depth_channel = i % 5;
    s.depth_scale = 100.0f * unit(random);
    if (i > 0) {
      s.saturation = i % 2 == 0 ? 1.0f : 2.0f * unit(random);
      s.depth_bias = i % 3 == 0 ? 0.0f : 1.8f * unit(random) - 0.9f;
      s.depth_gain = i % 4 == 1 ? 0.0f : 1.8f * unit(random) - 0.9f;
      s.back_level = 0.3f * unit(random);
      s.front_level = 1.0f - 0.3f * unit(random);
    }
    s.surface_color[0] = unit(random);
    s.surface_color[2] = unit(random);
    s.surface_tint_amount = unit(random);
    s.color_mix = i % 3 == 2 ? 0.0f : unit(random);
    s.additive_mix = i % 2 == 1;
    cases.emplace_back(s, i < 8);
  }
  // The default settings with a surface colour, which 8-bit rows run in one pass, and the same
  // with a depth scale that overflows every depth but black's (which becomes NaN).
  for (const float depth_scale : {depth_scale_100, std::numeric_limits<float>::infinity()}) {
    brel::Pre_Color_Correction_Settings s;
    s.depth_scale = depth_scale;
    s.surface_color[1] = unit(random);
    cases.emplace_back(s, false);
  }
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    // Wider than one block, with a texture that starts and ends inside the rows.
    // Channel values over the whole range; float ones also above white, and some so large or
    // so small that their float squares overflow or vanish.
    std::uniform_int_distribution<int32_t> scale(0, 9);
    const auto channel = [&] {
      if (Traits::is_integer) {
        return std::floor(unit(random) * white);
      }
      const float value = 1.2f * unit(random);
      const int32_t k = scale(random);
      return k == 0 ? value * 1e25f : k == 1 ? value * 1e-30f : value;
    };
    Host_Layer<P> input(render.context, 150, 7);
    for (int64_t y = 0; y < 7; ++y) {
      for (int64_t x = 0; x < 150; ++x) {
        input.set(x, y, channel(), channel(), channel(), channel());
      }
    }
    // In 8 bits, the first two rows take every value in every channel (k times an odd number
    // runs through all 256 values).
    for (int64_t k = 0; k < 256 && white == 255.0f; ++k) {
      const auto byte = [&](int64_t odd) { return static_cast<float>(k * odd % 256); };
      input.set(k % 150, k / 150, byte(1), byte(7), byte(13), byte(31));
    }
    Host_Layer<P> texture(render.context, 90, 4, 37, 2);
    texture.fill(white / 2, white, white / 4, white);
    Host_Layer<P> output(render.context, 150, 7);
    // With the texture, and without it (then without colour mix the surface colour is the same
    // for every pixel).
    for (const auto& [s, with_texture] : cases) {
      Kernel<P> kernel;
      auto& in = kernel.parameters_in;
      in = neutral(input, output);
      if (with_texture) {
        in.surface_color_texture = texture.view;
      }
      apply(s, in);
      kernel.execute(render.context);
      int64_t mismatches = 0;
      for (int64_t y = 0; y < 7; ++y) {
        for (int64_t x = 0; x < 150; ++x) {
          const P& pixel = input.at(x, y);
          const bool inside = with_texture && x >= 37 && x < 127 && y >= 2 && y < 6;
          float c[3], t[3] = {1.0f, 1.0f, 1.0f};
          for (int k = 0; k < 3; ++k) {
            c[k] = brel::pre_color_correction_detail::input_channel(pixel, rgb[k]);
            if (inside) {
              t[k] = brel::pre_color_correction_detail::texture_channel(texture.at(x - 37, y - 2),
                                                                        rgb[k]);
            }
          }
          const float a = brel::pre_color_correction_detail::input_channel(pixel, Traits::alpha);
          const auto expected = brel::pre_color_correction_pixel_reference(s, c, a, t);
          const float depth = kernel.depth.row(y)[x];
          mismatches += std::memcmp(&expected.depth, &depth, sizeof(float)) != 0;
          for (int k = 0; k < 3; ++k) {
            mismatches += output.at(x, y).channel[rgb[k]] !=
                          Traits::to_channel_truncated(expected.surface[k] * white);
          }
          mismatches += output.alpha(x, y) != input.alpha(x, y);
        }
      }
      EXPECT_EQ(mismatches, 0) << "threads " << threads << ", channel " << s.depth_channel
                               << ", saturation " << s.saturation << ", bias " << s.depth_bias
                               << ", gain " << s.depth_gain << ", texture " << with_texture;
    }
  }
}

}  // namespace
