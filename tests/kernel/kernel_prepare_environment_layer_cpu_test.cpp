#include "kernel/kernel_prepare_environment_layer_cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/log.h"
#include "kernel/gather_core.h"
#include "support/host_layer.h"
#include "support/power_stress.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::test::by_depth;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;
using brel::test::white_of;

template <class P>
using Prepare = brel::Kernel_Prepare_Environment_Layer<Layer<P>, brel::Implementation_Cpu>;

template <class P>
class Prepare_Environment : public testing::Test {};
TYPED_TEST_SUITE(Prepare_Environment, brel::test::Host_Pixel_Types);

template <class P>
void prepare(const brel::Render_Context& context, const Host_Layer<P>& in, const Host_Layer<P>& out,
             float bias, float gamma) {
  Prepare<P> kernel;
  kernel.parameters_in.image.in = in.view;
  kernel.parameters_in.image.out = out.view;
  kernel.parameters_in.bias = bias;
  kernel.parameters_in.gamma = gamma;
  kernel.execute(context);
}

// One pixel through the kernel: colour (r, g, b) and alpha a on the white-1 scale; the pixel as
// stored before and after, read back on the same scale.
template <class P>
struct Prepared_Pixel {
  std::array<float, 4> in;
  std::array<float, 4> out;
};

template <class P>
Prepared_Pixel<P> prepare_pixel(float r, float g, float b, float a, float bias, float gamma) {
  Standalone_Render render(1);
  Host_Layer<P> in(render.context, 1, 1);
  Host_Layer<P> out(render.context, 1, 1);
  const float w = white_of<P>();
  in.set(0, 0, r * w, g * w, b * w, a * w);
  prepare(render.context, in, out, bias, gamma);
  return {{in.red(0, 0) / w, in.green(0, 0) / w, in.blue(0, 0) / w, in.alpha(0, 0) / w},
          {out.red(0, 0) / w, out.green(0, 0) / w, out.blue(0, 0) / w, out.alpha(0, 0) / w}};
}

template <class P>
std::array<float, 4> prepared(float r, float g, float b, float a, float bias, float gamma) {
  return prepare_pixel<P>(r, g, b, a, bias, gamma).out;
}

// Within one unit of the integer types; float exact up to rounding.
template <class P>
float unit() {
  return by_depth<P>(2e-6f, 1.0f / 32768.0f, 1.0f / 255.0f);
}

TYPED_TEST(Prepare_Environment, ZeroBiasAndUnitGammaOnlyPremultiply) {
  using P = TypeParam;
  const auto v = prepared<P>(0.8f, 0.4f, 0.2f, 0.5f, 0.0f, 1.0f);
  EXPECT_NEAR(v[0], 0.4f, unit<P>());
  EXPECT_NEAR(v[1], 0.2f, unit<P>());
  EXPECT_NEAR(v[2], 0.1f, unit<P>());
  EXPECT_NEAR(v[3], 0.5f, unit<P>());
}

// The bias keeps the colour's direction and makes its brightness m = length / sqrt 3 into m^p,
// p = ln(bias / 2 + 1 / 2) / ln(1 / 2); then the gamma raises each channel.
TYPED_TEST(Prepare_Environment, BiasReshapesBrightnessAlongTheColourAndGammaFollows) {
  using P = TypeParam;
  for (const float bias : {0.5f, -0.5f, 3.0f}) {
    for (const float gamma : {1.0f, 2.2f}) {
      const Prepared_Pixel<P> pixel = prepare_pixel<P>(0.6f, 0.3f, 0.15f, 1.0f, bias, gamma);
      const double r = pixel.in[0], g = pixel.in[1], b = pixel.in[2];
      const double p = std::log(bias * 0.5 + 0.5) / std::log(0.5);
      const double length = std::sqrt(r * r + g * g + b * b);
      const double m = length / std::sqrt(3.0);
      const double factor = std::pow(m, p) / m;
      for (int32_t c = 0; c < 3; ++c) {
        const double expected = std::pow(pixel.in[c] * factor, gamma);
        if (expected <= 1.0 || !brel::Pixel_Traits<P>::is_integer) {
          EXPECT_NEAR(pixel.out[c], expected, 1e-5 + unit<P>())
              << "bias " << bias << " gamma " << gamma;
        } else {
          EXPECT_EQ(pixel.out[c], 1.0f);  // integer stores clamp at white
        }
      }
      EXPECT_NEAR(pixel.out[3], 1.0f, 1e-6f);
    }
  }
}

TYPED_TEST(Prepare_Environment, BiasOfMinusOneClearsColourAndFloatAlpha) {
  using P = TypeParam;
  constexpr bool integer = brel::Pixel_Traits<P>::is_integer;
  const auto dark = prepared<P>(0.7f, 0.2f, 0.9f, 0.75f, -1.0f, 2.0f);
  EXPECT_EQ(dark[0], 0.0f);
  EXPECT_EQ(dark[2], 0.0f);
  EXPECT_NEAR(dark[3], integer ? 0.75f : 0.0f, unit<P>());  // integer alpha is written back
  // 0 to the power 0 is 1.
  const auto lit = prepared<P>(0.7f, 0.2f, 0.9f, 0.75f, -1.0f, 0.0f);
  EXPECT_EQ(lit[1], 1.0f);
}

// Below -1, or not a number, the bias is skipped: premultiply and gamma only. A black pixel has
// nothing to bias and goes on to the gamma.
TYPED_TEST(Prepare_Environment, BiasOutOfRangeOrOnBlackIsSkipped) {
  using P = TypeParam;
  for (const float bias : {-1.5f, std::numeric_limits<float>::quiet_NaN()}) {
    const auto v = prepared<P>(0.5f, 0.25f, 1.0f, 0.5f, bias, 2.0f);
    EXPECT_NEAR(v[0], 0.0625f, unit<P>());
    EXPECT_NEAR(v[1], 0.015625f, unit<P>());
    EXPECT_NEAR(v[2], 0.25f, unit<P>());
    EXPECT_NEAR(v[3], 0.5f, unit<P>());
  }
  const auto black = prepared<P>(0.0f, 0.0f, 0.0f, 1.0f, 0.5f, 1.0f);
  EXPECT_EQ(black[0], 0.0f);
  const auto black_gamma_0 = prepared<P>(0.0f, 0.0f, 0.0f, 1.0f, 0.5f, 0.0f);
  EXPECT_EQ(black_gamma_0[2], 1.0f);
}

// Negative float colour: the gamma clamps it to 0 first; a unit gamma leaves it alone.
TEST(Prepare_Environment_Float, NegativeColourIsClampedOnlyByTheGamma) {
  EXPECT_EQ((prepared<brel::ARGB32f>(-0.2f, 0.5f, 0.5f, 1.0f, 0.0f, 2.0f)[0]), 0.0f);
  EXPECT_EQ((prepared<brel::BGRA32f>(-0.2f, 0.5f, 0.5f, 1.0f, 0.0f, 1.0f)[0]), -0.2f);
}

// Integer layers prepare as the float layer does, to within one unit, at every thread count.
TYPED_TEST(Prepare_Environment, IntegerTypesFollowTheFloatResultAtEveryThreadCount) {
  using P = TypeParam;
  using Float_Pixel = typename brel::gather::Gather_Pixel<P>::Result;
  std::mt19937 random(2);
  std::uniform_real_distribution<float> value(0.0f, 1.0f);
  std::vector<std::array<float, 4>> pixels(29 * 7);
  for (auto& p : pixels) {
    p = {value(random), value(random), value(random), value(random)};
  }
  const float w = white_of<P>();
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Host_Layer<P> in(render.context, 29, 7);
    Host_Layer<P> out(render.context, 29, 7);
    Host_Layer<Float_Pixel> float_in(render.context, 29, 7);
    Host_Layer<Float_Pixel> float_out(render.context, 29, 7);
    for (int64_t i = 0; i < 29 * 7; ++i) {
      const auto& p = pixels[i];
      in.set(i % 29, i / 29, p[0] * w, p[1] * w, p[2] * w, p[3] * w);
      float_in.set(i % 29, i / 29, in.red(i % 29, i / 29) / w, in.green(i % 29, i / 29) / w,
                   in.blue(i % 29, i / 29) / w, in.alpha(i % 29, i / 29) / w);
    }
    prepare(render.context, in, out, 0.3f, 1.4f);
    prepare(render.context, float_in, float_out, 0.3f, 1.4f);
    for (int64_t y = 0; y < 7; ++y) {
      for (int64_t x = 0; x < 29; ++x) {
        // Integer stores clamp at white.
        const float most = brel::Pixel_Traits<P>::is_integer ? 1.0f : 1e30f;
        ASSERT_NEAR(out.red(x, y) / w, std::min(float_out.red(x, y), most), unit<P>() * 1.001f);
        ASSERT_NEAR(out.blue(x, y) / w, std::min(float_out.blue(x, y), most), unit<P>() * 1.001f);
        if constexpr (brel::Pixel_Traits<P>::is_integer) {
          ASSERT_EQ(out.alpha(x, y), in.alpha(x, y));
        }
      }
    }
  }
}

// The rows against the plain rule, bit for bit, over values that stress the power, in rows whose
// lengths leave every tail short of eight pixels, under the gammas and biases whose powers take
// special paths, with and without a gamma, at every thread count.
TYPED_TEST(Prepare_Environment, RowsFollowThePlainRuleBitForBit) {
  using P = TypeParam;
  const std::vector<float> values = brel::test::power_stress_values<P>();
  const int64_t n = static_cast<int64_t>(values.size());
  const float w = white_of<P>();
  constexpr int64_t height = 3;
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    for (const int64_t width : {1, 7, 8, 9, 13, 16, 21, 35}) {
      Host_Layer<P> in(render.context, width, height);
      for (int64_t i = 0; i < width * height; ++i) {
        const float a = i % 3 == 0 ? values[(i * 5 + 1) % n] : w;
        in.set(i % width, i / width, values[i % n], values[(i * 7 + 3) % n],
               values[(i * 11 + 5) % n], a);
      }
      // Biases whose exponents are ordinary, -0 (bias 1), steep (-0.9), and biases that shape
      // nothing (0, -1 and below); without a gamma the bias's power is a pixel's only one.
      for (const float bias : {0.0f, 0.4f, 1.0f, -0.9f, -1.0f, -2.0f}) {
        for (const float gamma :
             {1.0f, 1.8f, 2.2f, 0.0f, 0.5f, 100.0f, std::numeric_limits<float>::quiet_NaN()}) {
          Host_Layer<P> out(render.context, width, height);
          out.fill(3, 3, 3, 3);
          prepare(render.context, in, out, bias, gamma);
          const float p = brel::environment_bias_exponent(bias);
          for (int64_t y = 0; y < height; ++y) {
            for (int64_t x = 0; x < width; ++x) {
              const P expected = brel::prepared_environment_pixel(in.at(x, y), bias, p, gamma);
              ASSERT_EQ(std::memcmp(&out.at(x, y), &expected, sizeof(P)), 0)
                  << "x " << x << " y " << y << " width " << width << " bias " << bias << " gamma "
                  << gamma << " threads " << threads;
            }
          }
        }
      }
    }
  }
}

TYPED_TEST(Prepare_Environment, MismatchedLayersAreRefusedBeforeAnyWrite) {
  using P = TypeParam;
  Standalone_Render render(2);
  Host_Layer<P> in(render.context, 4, 3);
  Host_Layer<P> out(render.context, 4, 3);
  in.fill(1, 1, 1, 1);
  out.fill(7, 7, 7, 7);
  Host_Layer<P> narrow = out;
  narrow.view.width = 3;
  EXPECT_THROW(prepare(render.context, in, narrow, 0.0f, 2.0f), brel::Exception_Assert);
  const auto messages = brel::global_log().recent_messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_NE(messages.back().find("(in.image.in.dim() == in.image.out.dim()) in "
                                 "kernel/kernel_prepare_environment_layer_cpu line 64. ASSERT()"),
            std::string::npos)
      << messages.back();
  EXPECT_EQ(out.red(0, 0), 7.0f);
  Prepare<P> kernel;
  kernel.parameters_in.image.in = in.view;
  kernel.parameters_in.image.out = out.view;
  EXPECT_EQ(kernel.workload(), 2 * 12 * static_cast<int64_t>(sizeof(P)));
  EXPECT_EQ(kernel.name(), "prepare environment layer");
}

// The prepared layer exists only when the reflections need it, with the environment's geometry.
TYPED_TEST(Prepare_Environment, PreparedLayerIsMadeOnlyWhenBiasOrGammaChangeTheEnvironment) {
  using P = TypeParam;
  Standalone_Render render(2);
  Host_Layer<P> environment(render.context, 6, 2, 3, -4);
  environment.view.scale_x = 0.5f;
  environment.view.pixel_aspect_ratio = 2.0f;
  environment.view.flag = 1;
  environment.fill(0, 0, 0, 0);
  environment.set(5, 1, white_of<P>(), 0, 0, white_of<P>());
  EXPECT_EQ(brel::launch_prepared_environment(render.context, environment.view, 1.0f, 0.0f, 1.0f),
            nullptr);
  EXPECT_EQ(brel::launch_prepared_environment(render.context, environment.view, 0.0f, 0.5f, 2.0f),
            nullptr);
  EXPECT_EQ(brel::launch_prepared_environment(render.context, Layer<P>{}, 1.0f, 0.5f, 2.0f),
            nullptr);
  const auto holder =
      brel::launch_prepared_environment(render.context, environment.view, 1.0f, 0.0f, 2.0f);
  ASSERT_NE(holder, nullptr);
  const Layer<P> view = brel::layer_view<P>(*holder);
  EXPECT_EQ(view.width, 6);
  EXPECT_EQ(view.height, 2);
  EXPECT_EQ(view.origin_x, 3);
  EXPECT_EQ(view.origin_y, -4);
  EXPECT_EQ(view.scale_x, 0.5f);
  EXPECT_EQ(view.pixel_aspect_ratio, 2.0f);
  EXPECT_EQ(view.flag, 1);
  EXPECT_EQ(brel::Pixel_Traits<P>::load(view.row(1)[5], brel::Pixel_Traits<P>::red), white_of<P>());
}

}  // namespace
