#include "kernel/light_shading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "support/host_layer.h"
#include "support/plain_layer.h"

namespace {

using brel::Final_Routine_Parameters_In;
using brel::Rgb_Value;
using brel::Vector_3;
using brel::test::Plain_Layer;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// A w × h surface facing the viewer at depth 10, with the direct light falling straight on it
// (its colour already includes the intensity) and the point light off.
template <class P>
struct Surface {
  Surface(int64_t w, int64_t h)
      : depth(w, h, 10.0f), normals(w, h, Vector_3<float>{0.0f, 0.0f, 1.0f}), shadow(w, h, 0.0f) {
    in.source.width = w;
    in.source.height = h;
    in.depth = depth.view;
    in.normals = normals.view;
    in.direct_light.intensity = 1.0f;
    in.direct_light.direction = {0.0f, 0.0f, -1.0f};
    in.direct_light.color = {0.8f, 0.6f, 0.4f};
    in.discontinuity_threshold = 20.0f;
  }

  std::pair<Rgb_Value, Rgb_Value> shade(int64_t x, int64_t y) const {
    Rgb_Value diffuse{0.0f, 0.0f, 0.0f};
    Rgb_Value specular{0.0f, 0.0f, 0.0f};
    brel::shade_lights_pixel(x, y, diffuse, specular, in);
    return {diffuse, specular};
  }

  Plain_Layer<float> depth;
  Plain_Layer<Vector_3<float>> normals;
  Plain_Layer<float> shadow;
  Final_Routine_Parameters_In<P> in;
};

void expect_color(const Rgb_Value& c, float r, float g, float b, float tolerance = 1e-6f) {
  EXPECT_NEAR(c.red, r, tolerance);
  EXPECT_NEAR(c.green, g, tolerance);
  EXPECT_NEAR(c.blue, b, tolerance);
}

std::tuple<uint32_t, uint32_t, uint32_t> bits(const Rgb_Value& c) {
  return {std::bit_cast<uint32_t>(c.red), std::bit_cast<uint32_t>(c.green),
          std::bit_cast<uint32_t>(c.blue)};
}

// The lights of the tests that shade rows against the pixel rule: the direct light at a slant,
// the point light at (x, y, z) with a colour weakening towards blue, over an input whose rows
// stand half as far apart as its columns.
template <class P>
void place_lights(Final_Routine_Parameters_In<P>& in, float x, float y, float z) {
  in.translucency_color = {0.9f, 0.7f, 0.5f};
  in.direct_light.direction = {0.3f, -0.2f, -0.932738f};
  in.point_light.position_x = x;
  in.point_light.position_y = y;
  in.point_light.position_z = z;
  in.point_light.color = {1.0f, 0.9f, 0.6f};
  in.point_light.attenuation_color = {0.2f, 0.4f, 1.0f};
  in.source.scale_x = 1.0f;
  in.source.scale_y = 0.5f;
}

// Setting 0 to 47 of the row tests: either light off, soft lights, falloffs, a depth scale of 0
// and below 0, glossiness of 0, 1 and above, specular tint, perspective, gamma and translucency
// below and above 1, each in turn with the others.
template <class P>
void vary_lights(Final_Routine_Parameters_In<P>& in, int32_t setting) {
  in.direct_light.intensity = setting % 7 == 6 ? 0.0f : 1.0f;
  in.point_light.intensity = setting % 5 == 4 ? 0.0f : 0.8f;
  in.direct_light.size = setting % 3 == 1 ? 0.7f : 0.0f;
  in.point_light.size = setting % 4 == 2 ? 1.5f : 0.0f;
  in.point_light.falloff = std::array{0.0f, 1.0f, 2.3f}[setting % 3];
  in.depth_scale = std::array{30.0f, 0.0f, -5.0f, 30.0f}[setting / 3 % 4];
  in.glossiness = std::array{0.4f, 0.0f, 1.0f, 1.6f}[setting / 12];
  in.specular_tint = setting % 2 == 1 ? 1.3f : 0.0f;
  in.perspective = setting % 4 == 3 ? 0.45f : 0.0f;
  in.gamma = setting % 6 == 5 ? 2.2f : 1.0f;
  in.translucency = std::array{0.0f, 0.6f, 2.5f}[setting / 2 % 3];
}

// Shades pixels x0 .. x0 + n - 1 of row y a row at a time and compares each, bit for bit, with
// what the pixel rule gives it, which `seen` gets as (x, diffuse, specular).
template <class P, class F>
testing::AssertionResult row_gives_pixel_rule(const Surface<P>& surface, int64_t x0, int64_t n,
                                              int64_t y, F seen) {
  std::vector<Rgb_Value> diffuse(static_cast<size_t>(n), Rgb_Value{nan, nan, nan});
  std::vector<Rgb_Value> specular = diffuse;
  brel::shade_lights_row(x0, n, y, diffuse.data(), specular.data(), surface.in);
  for (int64_t i = 0; i < n; ++i) {
    const auto [pixel_diffuse, pixel_specular] = surface.shade(x0 + i, y);
    const auto k = static_cast<size_t>(i);
    if (bits(diffuse[k]) != bits(pixel_diffuse) || bits(specular[k]) != bits(pixel_specular)) {
      return testing::AssertionFailure()
             << "pixel " << x0 + i << ", " << y << ": the row gives " << diffuse[k].red << " "
             << diffuse[k].green << " " << diffuse[k].blue << " / " << specular[k].red << " "
             << specular[k].green << " " << specular[k].blue << ", the pixel rule "
             << pixel_diffuse.red << " " << pixel_diffuse.green << " " << pixel_diffuse.blue
             << " / " << pixel_specular.red << " " << pixel_specular.green << " "
             << pixel_specular.blue;
    }
    seen(x0 + i, pixel_diffuse, pixel_specular);
  }
  return testing::AssertionSuccess();
}

TEST(Light_Shading, FlatSurfaceLitStraightOnTakesTheUnshadowedLight) {
  Surface<brel::ARGB32f> surface(3, 3);
  surface.shadow.at(1, 1) = 0.25f;
  surface.in.directional_shadow = surface.shadow.view;
  for (const int32_t oversampling : {1, 2, 3, 4}) {
    surface.in.oversampling = oversampling;
    const auto [diffuse, specular] = surface.shade(1, 1);
    EXPECT_EQ(diffuse.red, 0.8f * 0.75f) << oversampling;
    EXPECT_EQ(diffuse.green, 0.6f * 0.75f);
    EXPECT_EQ(diffuse.blue, 0.4f * 0.75f);
    expect_color(specular, 0.0f, 0.0f, 0.0f, 0.0f);  // no glossiness, no highlight
  }
  // Off both lights, nothing at all, also through the gamma correction.
  surface.in.direct_light.intensity = 0.0f;
  surface.in.gamma = 0.5f;
  const auto [diffuse, specular] = surface.shade(1, 1);
  expect_color(diffuse, 0.0f, 0.0f, 0.0f, 0.0f);
  expect_color(specular, 0.0f, 0.0f, 0.0f, 0.0f);
}

TEST(Light_Shading, LightSizeSoftensTheTerminator) {
  // Size 2: the cosine 0.5 becomes 1 - (1 - 0.5)^2.
  Surface<brel::ARGB32f> surface(1, 1);
  surface.in.direct_light.size = 2.0f;
  surface.in.direct_light.direction = {std::sqrt(0.75f), 0.0f, -0.5f};
  expect_color(surface.shade(0, 0).first, 0.8f * 0.75f, 0.6f * 0.75f, 0.4f * 0.75f);
}

TEST(Light_Shading, LightFromBehindPassesOnlyThroughTranslucentSurfaces) {
  Surface<brel::ARGB32f> surface(1, 1);
  surface.in.direct_light.direction = {0.0f, 0.0f, 1.0f};
  surface.in.direct_light.color = {1.0f, 1.0f, 1.0f};
  surface.in.glossiness = 1.0f;
  auto [diffuse, specular] = surface.shade(0, 0);
  expect_color(diffuse, 0.0f, 0.0f, 0.0f, 0.0f);
  expect_color(specular, 0.0f, 0.0f, 0.0f, 0.0f);
  // Translucency 1.5 with colour (1, 0.5, 0): weight 1, b = 0 + 0.5, the light tinted by
  // 0.5 K + 1; q = 3 and the transmitted amount (3 - 1) × 1 / 4 = 0.5 adds K × 0.25 × tint.
  surface.in.glossiness = 0.0f;
  surface.in.translucency = 1.5f;
  surface.in.translucency_color = {1.0f, 0.5f, 0.0f};
  std::tie(diffuse, specular) = surface.shade(0, 0);
  expect_color(diffuse, 1.5f * 0.25f, 0.5f * 0.25f * 1.25f, 0.0f);
  // A full secondary shadow lets nothing through.
  surface.shadow.at(0, 0) = 1.0f;
  surface.in.directional_translucency_shadow = surface.shadow.view;
  expect_color(surface.shade(0, 0).first, 0.0f, 0.0f, 0.0f);
}

TEST(Light_Shading, HighlightSharpnessIsLimitedAndTintAboveOneStrengthensIt) {
  // Viewed straight on, the mirrored ray is the normal; the light's highlight cosine is 0.995.
  const float h = 0.995f;
  struct Case {
    float glossiness;
    float tint;
    double expected_strength;
  };
  const double sharp = std::pow((0.995 - 0.99) / 0.01, 20.0 * 0.99);
  const double dull = std::pow((0.995 - 0.04) / 0.96, 20.0 * 0.04);
  for (const Case& c : {Case{2.0f, 0.0f, 4.0 * sharp}, Case{1.0f, 1.5f, 2.25 * sharp},
                        Case{0.02f, 0.0f, 0.0004 * dull}}) {
    Surface<brel::ARGB32f> surface(1, 1);
    surface.in.direct_light.direction = {std::sqrt(1.0f - h * h), 0.0f, -h};
    surface.in.glossiness = c.glossiness;
    surface.in.specular_tint = c.tint;
    const auto [diffuse, specular] = surface.shade(0, 0);
    EXPECT_NEAR(diffuse.red, 0.8f * h, 1e-6f);
    EXPECT_NEAR(specular.red / 0.8, c.expected_strength, 2e-3 * c.expected_strength)
        << c.glossiness;
    EXPECT_NEAR(specular.blue / 0.4, c.expected_strength, 2e-3 * c.expected_strength);
  }
}

TEST(Light_Shading, GlossinessTextureIsPlacedByItsOriginAndBlackRemovesTheHighlight) {
  Surface<brel::ARGB8> surface(3, 1);
  surface.in.glossiness = 1.0f;
  Plain_Layer<brel::ARGB8> black(1, 1, brel::ARGB8{{255, 0, 0, 0}});
  black.view.origin_x = 2;
  surface.in.glossiness_texture = black.view;
  EXPECT_GT(surface.shade(1, 0).second.red, 0.5f);  // outside the texture: white
  EXPECT_EQ(surface.shade(2, 0).second.red, 0.0f);
}

TEST(Light_Shading, GammaRaisesBothSumsAndNeverMakesNaN) {
  Surface<brel::ARGB32f> surface(1, 1);
  surface.in.direct_light.color = {0.25f, 1.0f, 2.0f};
  surface.in.gamma = 0.5f;
  expect_color(surface.shade(0, 0).first, 0.0625f, 1.0f, 4.0f);
  // Gamma 0: exponent infinity sends channels below 1 to 0, keeps 1 and makes above 1 infinite.
  surface.in.gamma = 0.0f;
  const Rgb_Value diffuse = surface.shade(0, 0).first;
  EXPECT_EQ(diffuse.red, 0.0f);
  EXPECT_EQ(diffuse.green, 1.0f);
  EXPECT_EQ(diffuse.blue, inf);

  EXPECT_EQ(brel::shading_power(-0.5f, 0.5f), 0.0f);
  EXPECT_EQ(brel::shading_power(-2.0f, 2.0f), 4.0f);
  EXPECT_EQ(brel::shading_power(0.25f, 0.5f), 0.5f);
}

// The power skips the library call where the result is known; it must still be the library's
// power bit for bit, NaN for NaN, wherever that is not a NaN from a negative base.
TEST(Light_Shading, PowerGivesTheLibrarysBitsAlsoWhereItSkipsTheCall) {
  const float bases[] = {0.0f, -0.0f, 1e-45f, 0.5f, 1.0f, 2.0f, inf, nan, -0.5f, -1e-45f, -1.0f};
  const float exponents[] = {0.0f, -0.0f, 1e-30f, 0.5f,  1.0f, 3.0f, 8.0f,
                             8.5f, inf,   -1.0f,  -3.0f, -inf, nan};
  for (const float base : bases) {
    for (const float exponent : exponents) {
      const float power = brel::shading_power(base, exponent);
      const float rule = std::pow(base, exponent);
      if (base < 0.0f && std::isnan(rule)) {
        EXPECT_EQ(power, 0.0f) << base << " ^ " << exponent;
      } else if (std::isnan(rule)) {
        EXPECT_TRUE(std::isnan(power)) << base << " ^ " << exponent;
      } else {
        EXPECT_EQ(std::bit_cast<uint32_t>(power), std::bit_cast<uint32_t>(rule))
            << base << " ^ " << exponent;
      }
    }
  }
}

// Powers in vector lanes run the library's own method and give its bits for the inputs the
// shading makes: every fifth float from +0 to 100 (the highlight's base stays within
// 1 / (1 - 0.99)) as the base at the exponent 8 of glossiness 0.4; random bases with the
// highlight's exponents (20 times a sharpness of 0.04 to 0.99) and the light sizes' (1 upwards);
// random bits of both, the special values among them.
TEST(Light_Shading, PowersInLanesGiveTheLibrarysBits) {
  constexpr int64_t block = 1 << 16;
  std::vector<float> base(block);
  std::vector<float> exponent(block);
  std::vector<float> power(block);
  int64_t differing = 0;
  const auto compare = [&](int64_t n) {
    brel::shading_powers(base.data(), exponent.data(), power.data(), n);
    for (int64_t i = 0; i < n; ++i) {
      const float rule = brel::shading_power(base[i], exponent[i]);
      if (std::bit_cast<uint32_t>(power[i]) != std::bit_cast<uint32_t>(rule) && ++differing < 5) {
        ADD_FAILURE() << std::hexfloat << base[i] << " ^ " << exponent[i] << " = " << rule
                      << ", not " << power[i];
      }
    }
  };
  const uint32_t hundred = std::bit_cast<uint32_t>(100.0f);
  constexpr uint32_t stride = 5;
  for (uint32_t first = 0; first <= hundred; first += stride * block) {
    const int64_t n = std::min<int64_t>(block, (int64_t{hundred} - first) / stride + 1);
    for (int64_t i = 0; i < n; ++i) {
      base[static_cast<size_t>(i)] =
          std::bit_cast<float>(first + stride * static_cast<uint32_t>(i));
      exponent[static_cast<size_t>(i)] = 20.0f * 0.4f;
    }
    compare(n);
  }
  std::mt19937 random(8);
  std::uniform_int_distribution<uint32_t> up_to_hundred(0, hundred);
  std::uniform_int_distribution<uint32_t> up_to_one(0, std::bit_cast<uint32_t>(1.0f));
  std::uniform_real_distribution<float> sharpness(0.04f, 0.99f);
  std::uniform_real_distribution<float> size(0.0f, 20.0f);
  for (int32_t round = 0; round < 120; ++round) {
    for (size_t i = 0; i < block; ++i) {
      if (round % 3 == 0) {
        base[i] = std::bit_cast<float>(up_to_hundred(random));
        exponent[i] = 20.0f * sharpness(random);
      } else if (round % 3 == 1) {
        base[i] = std::bit_cast<float>(up_to_one(random));
        exponent[i] = 0.5f * size(random) + 1.0f;
      } else {
        base[i] = std::bit_cast<float>(static_cast<uint32_t>(random()));
        exponent[i] = i % 2 == 0 ? std::bit_cast<float>(static_cast<uint32_t>(random()))
                                 : std::array{0.0f, 1.0f, -2.0f, 0.5f, inf, nan}[i % 6];
      }
    }
    compare(block);
  }
  EXPECT_EQ(differing, 0);
}

// A pixel lit by both lights is the direct light's shading, then the point light's added to
// it; the two share the pixel's mirrored ray, which must be the one each would make alone.
TEST(Light_Shading, BothLightsAddAsEachLightAlone) {
  Surface<brel::ARGB32f> surface(5, 3);
  auto& in = surface.in;
  in.perspective = 0.4f;
  in.depth_scale = 30.0f;
  in.specular_tint = 1.3f;
  in.translucency_color = {0.9f, 0.7f, 0.5f};
  in.direct_light.direction = {0.3f, -0.2f, -0.932738f};
  in.point_light.intensity = 0.8f;
  in.point_light.falloff = 1.0f;
  in.point_light.position_x = 1.0f;
  in.point_light.position_z = 25.0f;
  in.point_light.color = {1.0f, 0.9f, 0.6f};
  int32_t highlights = 0;
  for (const float glossiness : {0.3f, 1.0f, 1.6f}) {
    for (const float translucency : {0.0f, 0.4f}) {
      for (const float tilt : {0.0f, 0.35f, -0.6f}) {
        in.glossiness = glossiness;
        in.translucency = translucency;
        surface.normals.at(3, 1) = {tilt, 0.5f * tilt, std::sqrt(1.0f - 1.25f * tilt * tilt)};
        const Vector_3<float> normal = surface.normals.at(3, 1);
        const Vector_3<float> view = brel::view_direction(in.perspective, 3, 1, 5, 3);
        Rgb_Value diffuse{0.0f, 0.0f, 0.0f};
        Rgb_Value specular{0.0f, 0.0f, 0.0f};
        brel::shade_light(normal, in.direct_light.direction, view, diffuse, specular,
                          in.direct_light.size, in.direct_light.color, 0.0f, glossiness,
                          in.specular_tint, translucency, 0.0f, in.translucency_color);
        const brel::Point_Light_Sample point =
            brel::point_light_sample(in.point_light, 3.0f, 1.0f, 10.0f, 1.0f, 1.0f, 30.0f);
        brel::shade_light(normal, point.direction, view, diffuse, specular, in.point_light.size,
                          point.color, 0.0f, glossiness, in.specular_tint, translucency, 0.0f,
                          in.translucency_color);
        const auto [both_diffuse, both_specular] = surface.shade(3, 1);
        const auto bits = [](const Rgb_Value& c) {
          return std::tuple{std::bit_cast<uint32_t>(c.red), std::bit_cast<uint32_t>(c.green),
                            std::bit_cast<uint32_t>(c.blue)};
        };
        EXPECT_EQ(bits(both_diffuse), bits(diffuse)) << glossiness << " " << tilt;
        EXPECT_EQ(bits(both_specular), bits(specular)) << glossiness << " " << tilt;
        highlights += specular.red > 0.0f ? 1 : 0;
      }
    }
  }
  EXPECT_GE(highlights, 6);
}

TEST(Light_Shading, PointLightFallsOffWithDistanceAndIsTintedWhereWeak) {
  brel::Point_Light light;
  light.intensity = 2.0f;
  light.falloff = 2.0f;
  light.position_x = 3.0f;
  light.position_y = 4.0f;
  light.position_z = 7.0f;
  light.color = {1.0f, 1.0f, 1.0f};
  light.attenuation_color = {0.0f, 1.0f, 0.5f};
  // Distance 5 at unit distance 5: 2 / (5 / 5 + 1)^2 = 0.5, tinted by k = 0.25.
  auto sample = brel::point_light_sample(light, 0.0f, 0.0f, 7.0f, 1.0f, 1.0f, 5.0f);
  EXPECT_NEAR(sample.direction.x, -0.6f, 1e-7f);
  EXPECT_NEAR(sample.direction.y, 0.8f, 1e-7f);
  EXPECT_EQ(sample.direction.z, 0.0f);
  expect_color(sample.color, 0.375f, 0.5f, 0.4375f);
  // At half resolution the same light lies twice as far in pixels of the frame.
  sample = brel::point_light_sample(light, 0.0f, 0.0f, 7.0f, 0.5f, 0.5f, 10.0f);
  expect_color(sample.color, 0.375f, 0.5f, 0.4375f);
  // A negative unit distance: where dist / Z + 1 is not positive the light does not arrive.
  for (const float z : {-5.0f, -2.5f}) {
    expect_color(brel::point_light_sample(light, 0.0f, 0.0f, 7.0f, 1.0f, 1.0f, z).color, 0.0f, 0.0f,
                 0.0f, 0.0f);
  }
  expect_color(brel::point_light_sample(light, 0.0f, 0.0f, 7.0f, 1.0f, 1.0f, -10.0f).color, 8.0f,
               8.0f, 8.0f);
  // A power that overflows or underflows leaves no light, never infinity or NaN.
  light.falloff = 1e6f;
  for (const float z : {5.0f, -10.0f}) {
    expect_color(brel::point_light_sample(light, 0.0f, 0.0f, 7.0f, 1.0f, 1.0f, z).color, 0.0f, 0.0f,
                 0.0f, 0.0f);
  }
  // Without a unit distance the intensity stays, but a weak light is still tinted.
  light.intensity = 0.5f;
  light.falloff = 1.0f;
  expect_color(brel::point_light_sample(light, 0.0f, 0.0f, 7.0f, 1.0f, 1.0f, 0.0f).color, 0.375f,
               0.5f, 0.4375f);
  // Without a falloff there is no tint at all.
  light.falloff = 0.0f;
  expect_color(brel::point_light_sample(light, 0.0f, 0.0f, 7.0f, 1.0f, 1.0f, 5.0f).color, 0.5f,
               0.5f, 0.5f);
  // A light at the point itself shines along the view axis.
  sample = brel::point_light_sample(light, 3.0f, 4.0f, 7.0f, 1.0f, 1.0f, 5.0f);
  EXPECT_EQ(sample.direction.x, 0.0f);
  EXPECT_EQ(sample.direction.y, 0.0f);
  EXPECT_EQ(sample.direction.z, 1.0f);
}

TEST(Light_Shading, SubdivisionGrowsWithOversamplingAndBend) {
  const std::vector<std::tuple<int32_t, float, int64_t>> cases{
      {1, 5.0f, 1},  {2, 0.0f, 1},   {2, 0.5f, 1},  {2, 0.51f, 3}, {2, 1.51f, 5},
      {3, 0.0f, 1},  {3, 0.26f, 3},  {4, 0.0f, 1},  {4, 0.01f, 3}, {4, 1.0f, 3},
      {4, 1.01f, 5}, {4, 100.0f, 5}, {4, -0.5f, 1}, {4, nan, 1},   {4, inf, 5}};
  for (const auto& [oversampling, bend, side] : cases) {
    EXPECT_EQ(brel::light_samples_per_side(oversampling, bend), side)
        << oversampling << " at bend " << bend;
  }
}

// A ridge along the image column: the left and right columns lean outwards by the same angle.
// The bend (0.3936) gives 3 × 3 samples at oversampling 3 and 4, one at 2. Under a light falling
// straight on, each sample's diffuse is its normal's z: the samples in the middle column keep the
// centre's normal; the others blend a third of the side's normal in. With the weights 1 (centre),
// 1/9 (edge middles) and 2/9 (corners), the sum is (11 + 5 (zl + zr)) / 21.
TEST(Light_Shading, SupersamplingBlendsNormalsUpToADepthStep) {
  Surface<brel::ARGB32f> surface(3, 3);
  surface.in.direct_light.color = {1.0f, 1.0f, 1.0f};
  for (int64_t y = 0; y < 3; ++y) {
    surface.normals.at(0, y) = {-0.28f, 0.0f, 0.96f};
    surface.normals.at(2, y) = {0.28f, 0.0f, 0.96f};
  }
  const double blended_z =
      (2.0 / 3.0 + 0.96 / 3.0) / std::hypot(0.28 / 3.0, 2.0 / 3.0 + 0.96 / 3.0);
  const double smooth = (11.0 + 10.0 * blended_z) / 21.0;
  const double stepped = (11.0 + 5.0 * (blended_z + 1.0)) / 21.0;
  for (const auto& [oversampling, expected] :
       std::vector<std::pair<int32_t, double>>{{1, 1.0}, {2, 1.0}, {3, smooth}, {4, smooth}}) {
    surface.in.oversampling = oversampling;
    EXPECT_NEAR(surface.shade(1, 1).first.red, expected, 2e-7) << oversampling;
  }
  // A step of the discontinuity threshold on the right: samples there keep the centre.
  for (int64_t y = 0; y < 3; ++y) {
    surface.depth.at(2, y) = 30.0f;
  }
  EXPECT_NEAR(surface.shade(1, 1).first.red, stepped, 2e-7);
  surface.in.discontinuity_threshold = 20.5f;
  EXPECT_NEAR(surface.shade(1, 1).first.red, smooth, 2e-7);
}

TEST(Light_Shading, SupersamplingAtTheBorderRepeatsTheEdgePixels) {
  // In a corner the clamped neighbourhood is the pixel itself: one flat sample.
  Surface<brel::ARGB32f> surface(2, 2);
  surface.normals.at(1, 0) = {0.6f, 0.0f, 0.8f};
  surface.normals.at(0, 1) = {0.6f, 0.0f, 0.8f};
  surface.normals.at(1, 1) = {0.6f, 0.0f, 0.8f};
  surface.in.oversampling = 4;
  surface.in.direct_light.color = {1.0f, 1.0f, 1.0f};
  // At (0, 0) the neighbours right and below lean; above and left repeat the pixel, which
  // faces the viewer: the samples towards (1, 1) blend in the leaning normal.
  const float corner = surface.shade(0, 0).first.red;
  EXPECT_LT(corner, 1.0f);
  EXPECT_GT(corner, 0.8f);
  // Every neighbour of (1, 1) beyond the image repeats it; the bend to (0, 0) still subdivides,
  // and only the samples up and to the left blend in the facing normal.
  const float far_corner = surface.shade(1, 1).first.red;
  EXPECT_GT(far_corner, 0.8f);
  EXPECT_LT(far_corner, 1.0f);
}

TEST(Light_Shading, ViewRayFansOutWithPerspective) {
  const Vector_3<float> straight = brel::view_direction(0.0f, 7, 3, 10, 10);
  EXPECT_EQ(straight.x, 0.0f);
  EXPECT_EQ(straight.z, -1.0f);
  // The middle pixel of an odd image looks straight in.
  const Vector_3<float> middle = brel::view_direction(0.8f, 2, 1, 5, 3);
  EXPECT_EQ(middle.x, 0.0f);
  EXPECT_EQ(middle.y, 0.0f);
  EXPECT_EQ(middle.z, -1.0f);
  // The last pixel of a 4 × 2 image: (2p × 0.375, 2p × 0.5 × -0.25, -1), normalised.
  const Vector_3<float> corner = brel::view_direction(1.0f, 3, 1, 4, 2);
  const float length = std::sqrt(0.75f * 0.75f + 0.25f * 0.25f + 1.0f);
  EXPECT_NEAR(corner.x, 0.75f / length, 1e-7f);
  EXPECT_NEAR(corner.y, -0.25f / length, 1e-7f);
  EXPECT_NEAR(corner.z, -1.0f / length, 1e-7f);
}

// Random surfaces under every setting the row's vector lanes treat apart, shaded a row at a time
// against the pixel rule, bit for bit: normals of any length, zero, NaN and facing away; the
// point light on the surface itself; textures that leave some pixels opaque, glossless or of a
// glossiness of exactly 1; translucency below and above 1 with its shadows and colour; soft
// lights, falloffs, gamma, perspective.
TEST(Light_Shading, RowsGiveWhatEachPixelGives) {
  constexpr int64_t w = 37;
  constexpr int64_t h = 3;
  Surface<brel::ARGB16> surface(w, h);
  Plain_Layer<float> directional(w, h);
  Plain_Layer<float> point(w, h);
  Plain_Layer<float> directional_through(w, h);
  Plain_Layer<float> point_through(w, h);
  Plain_Layer<brel::ARGB16> through_color(w, h);
  Plain_Layer<brel::ARGB16> gloss(w, h, brel::ARGB16{{32768, 32768, 32768, 32768}});
  Plain_Layer<brel::ARGB16> translucency(w, h, brel::ARGB16{{32768, 0, 0, 0}});
  uint32_t state = 12345;
  const auto random = [&]() {  // in [0, 1)
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f;
  };
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const float nx = random() * 2.0f - 1.0f;
      const float ny = random() * 2.0f - 1.0f;
      const float nz = random() * 1.6f - 0.3f;
      surface.normals.at(x, y) = {nx, ny, nz};
      surface.depth.at(x, y) = 5.0f + 20.0f * random();
      directional.at(x, y) = random() < 0.3f ? 0.0f : random();
      point.at(x, y) = random() < 0.3f ? 0.0f : random();
      const auto level = static_cast<uint16_t>(32768.0f * random());
      const float kind = random();  // no gloss, full gloss (a glossiness of exactly 1) or some
      gloss.at(x, y).channel[1] = kind < 0.2f ? 0 : (kind < 0.4f ? 32768 : level);
      // Opaque (colour 0) in a third of the pixels.
      const uint16_t through = random() < 0.33f ? 0 : level;
      translucency.at(x, y) = brel::ARGB16{{32768, through, through, through}};
      directional_through.at(x, y) = random();
      point_through.at(x, y) = random() < 0.2f ? 1.0f : random();
      through_color.at(x, y) = brel::ARGB16{{32768, static_cast<uint16_t>(32768.0f * random()),
                                             static_cast<uint16_t>(32768.0f * random()), 32768}};
    }
  }
  surface.normals.at(3, 0) = {0.0f, 0.0f, 0.0f};
  surface.normals.at(4, 1) = {nan, 0.0f, 1.0f};  // opaque
  translucency.at(4, 1) = brel::ARGB16{{32768, 0, 0, 0}};
  surface.normals.at(12, 2) = {0.0f, nan, 1.0f};  // translucent
  translucency.at(12, 2) = brel::ARGB16{{32768, 20000, 20000, 20000}};
  surface.normals.at(5, 2) = {0.0f, 0.0f, -1.0f};
  surface.normals.at(6, 0) = {0.0f, 0.0f, 1.0f};
  surface.depth.at(9, 1) = 12.0f;  // where the point light stands
  directional.at(7, 1) = nan;

  auto& in = surface.in;
  in.directional_shadow = directional.view;
  in.point_shadow = point.view;
  in.glossiness_texture = gloss.view;
  in.translucency_texture = translucency.view;
  in.directional_translucency_shadow = directional_through.view;
  in.point_translucency_shadow = point_through.view;
  in.translucency_color_texture = through_color.view;
  place_lights(in, 9.0f, 1.0f, 12.0f);

  int64_t compared = 0;
  int64_t highlights = 0;
  // The textures and shadows over every row; the textures over rows 1 and 2 only, without
  // translucency shadows; neither textures nor shadows. Rows no texture reaches read their
  // shadows and normals straight from their rows.
  for (const int32_t layout : {0, 1, 2}) {
    const auto placed = [&](auto& texture) {
      auto view = texture.view;
      view.origin_y = layout;
      return layout == 2 ? decltype(view){} : view;
    };
    in.glossiness_texture = placed(gloss);
    in.translucency_texture = placed(translucency);
    in.translucency_color_texture = placed(through_color);
    in.directional_translucency_shadow =
        layout == 0 ? directional_through.view : brel::Layer<float>{};
    in.point_translucency_shadow = layout == 0 ? point_through.view : brel::Layer<float>{};
    in.directional_shadow = layout == 2 ? brel::Layer<float>{} : directional.view;
    in.point_shadow = layout == 2 ? brel::Layer<float>{} : point.view;
    for (int32_t setting = 0; setting < 48; ++setting) {
      vary_lights(in, setting);
      for (int64_t y = 0; y < h; ++y) {
        for (const auto& [x0, n] : {std::pair<int64_t, int64_t>{0, w}, {3, 17}, {29, 8}}) {
          ASSERT_TRUE(row_gives_pixel_rule(surface, x0, n, y,
                                           [&](int64_t, const Rgb_Value&, const Rgb_Value& s) {
                                             highlights += s.red > 0.0f ? 1 : 0;
                                             ++compared;
                                           }))
              << "layout " << layout << ", setting " << setting;
        }
      }
    }
  }
  EXPECT_EQ(compared, 3 * 48 * h * (w + 17 + 8));
  EXPECT_GT(highlights, 500);
}

}  // namespace

namespace {

// A texture pixel of any value its type holds: integers over their whole range (alpha 0 among
// them), floats around 0 and 1, negative, infinite and not a number.
template <class P>
P any_texture_pixel(std::mt19937& random) {
  P p{};
  for (auto& c : p.channel) {
    if constexpr (brel::Pixel_Traits<P>::is_integer) {
      c = static_cast<typename brel::Pixel_Traits<P>::Channel>(random());
    } else {
      const uint32_t pick = random() % 12;
      c = pick == 0
              ? nan
              : (pick == 1 ? -inf : std::uniform_real_distribution<float>(-0.2f, 1.4f)(random));
    }
  }
  return p;
}

// Textures of any pixel values over parts of a surface: glossiness over columns 5 to 24 of rows 1
// and 2, translucency over columns 0 to 22 of rows 0 to 3, its colour over columns 13 to 52 of
// row 3: two of them end one column before a group of eight does.
template <class P>
struct Partial_Textures {
  explicit Partial_Textures(std::mt19937& random) {
    for (auto* texture : {&gloss, &translucency, &through_color}) {
      for (auto& p : texture->data) {
        p = any_texture_pixel<P>(random);
      }
    }
    gloss.view.origin_x = 5;
    gloss.view.origin_y = 1;
    translucency.view.origin_x = -3;
    through_color.view.origin_x = 13;
    through_color.view.origin_y = 3;
  }

  Plain_Layer<P> gloss{20, 2};
  Plain_Layer<P> translucency{26, 4};
  Plain_Layer<P> through_color{40, 1};
};

template <class P>
class Light_Shading_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Light_Shading_Test, brel::test::Host_Pixel_Types);

// Rows that textures reach in part of their columns, shaded a row at a time (groups of eight
// inside a texture, across its edges and beside it, and tails shorter than eight) against the
// pixel rule, bit for bit, in every pixel type, with and without a gamma correction.
TYPED_TEST(Light_Shading_Test, PartlyTexturedRowsGiveWhatEachPixelGives) {
  using P = TypeParam;
  constexpr int64_t w = 45;
  constexpr int64_t h = 4;
  Surface<P> surface(w, h);
  std::mt19937 random(31);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      surface.normals.at(x, y) = {unit(random) - 0.5f, unit(random) - 0.5f, unit(random)};
      surface.depth.at(x, y) = 5.0f + 20.0f * unit(random);
    }
  }
  const Partial_Textures<P> textures(random);
  auto& in = surface.in;
  in.glossiness_texture = textures.gloss.view;
  in.translucency_texture = textures.translucency.view;
  in.translucency_color_texture = textures.through_color.view;
  in.translucency_color = {0.9f, 0.7f, 0.5f};
  in.direct_light.direction = {0.3f, -0.2f, -0.932738f};
  in.point_light.intensity = 0.8f;
  in.point_light.position_x = 20.0f;
  in.point_light.position_z = 30.0f;
  in.point_light.color = {1.0f, 0.9f, 0.6f};
  in.depth_scale = 30.0f;
  in.point_light.falloff = 1.0f;

  int64_t lit = 0;
  for (int32_t setting = 0; setting < 12; ++setting) {
    in.gamma = std::array{1.0f, 2.2f, 0.45f}[setting % 3];
    in.translucency = setting % 2 == 0 ? 0.0f : 0.6f;
    in.glossiness = setting / 2 % 3 == 2 ? 1.3f : 0.4f;
    in.direct_light.size = setting % 4 == 3 ? 0.7f : 0.0f;
    in.perspective = setting / 6 == 1 ? 0.45f : 0.0f;
    for (int64_t y = 0; y < h; ++y) {
      for (const auto& [x0, n] : {std::pair<int64_t, int64_t>{0, w}, {2, 26}, {37, 8}}) {
        ASSERT_TRUE(row_gives_pixel_rule(surface, x0, n, y,
                                         [&](int64_t, const Rgb_Value& d, const Rgb_Value& s) {
                                           lit += d.red > 0.0f && s.green > 0.0f ? 1 : 0;
                                         }))
            << "setting " << setting;
      }
    }
  }
  EXPECT_GT(lit, 200);
}

}  // namespace

namespace {

// The bend of the 3 × 3 neighbourhood of (x, y), clamped into the surface, as the supersampling
// sums it: how many samples the rule takes there, so that a test knows it met every count.
template <class P>
int64_t samples_per_side_at(const Surface<P>& surface, int64_t x, int64_t y) {
  const int64_t w = surface.in.source.width;
  const int64_t h = surface.in.source.height;
  const auto n = [&](int64_t i, int64_t j) {
    const auto& layer = surface.normals;
    return layer.data[static_cast<size_t>(std::clamp<int64_t>(y + j - 1, 0, h - 1) * w +
                                          std::clamp<int64_t>(x + i - 1, 0, w - 1))];
  };
  const auto bend = [&](const Vector_3<float>& a, const Vector_3<float>& b) {
    return 1.0f - std::max(0.0f, a.x * b.x + a.y * b.y + a.z * b.z);
  };
  const float sum = bend(n(2, 2), n(0, 0)) + bend(n(0, 2), n(2, 0)) + bend(n(1, 1), n(2, 1)) +
                    bend(n(1, 1), n(1, 0)) + bend(n(1, 1), n(0, 1)) + bend(n(1, 1), n(1, 2));
  return brel::light_samples_per_side(surface.in.oversampling, sum);
}

// Oversampled rows against the pixel rule, bit for bit, in every pixel type: a surface of flat
// stretches, gentle and sharp bends and random normals (of any length, zero, tiny, NaN), depth
// steps below, at and above the discontinuity threshold (and NaN depths), so that groups of eight
// take one sample in every lane, in some or in none, and pixels take 3 × 3 and 5 × 5 samples,
// also in the first and last rows and columns, whose neighbourhoods are clamped. Under both
// lights, soft or not, falloffs, translucency, perspective, gamma, textures over part of the rows
// or none, and rows that run one column or row past the input, which the rule clamps.
TYPED_TEST(Light_Shading_Test, OversampledRowsGiveWhatEachPixelGives) {
  using P = TypeParam;
  constexpr int64_t w = 45;
  constexpr int64_t h = 8;
  Surface<P> surface(w, h);
  std::mt19937 random(47);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Plain_Layer<float> directional(w, h);
  Plain_Layer<float> point(w, h);
  Plain_Layer<float> point_through(w, h);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      // Stretches of 7 columns shifting from row to row: flat, gently rippled, bent, random.
      const int64_t kind = (x + 3 * y) / 7 % 4;
      const float r = unit(random);
      Vector_3<float> n{0.0f, 0.0f, 1.0f};
      if (kind == 1) {
        n = {0.01f * (r - 0.5f), 0.004f * unit(random), 1.0f};
      } else if (kind == 2) {
        n = {0.6f * (r - 0.5f), 0.5f * unit(random) - 0.25f, 0.8f};
      } else if (kind == 3) {
        const float length = unit(random) < 0.1f ? 1e-20f : 0.2f + 2.0f * unit(random);
        n = {length * (2.0f * r - 1.0f), length * (2.0f * unit(random) - 1.0f),
             length * (1.3f * unit(random) - 0.3f)};
      }
      surface.normals.at(x, y) = n;
      // Steps of exactly 20 and 4, the thresholds, and others.
      const float step = unit(random);
      surface.depth.at(x, y) =
          step < 0.15f
              ? 30.0f
              : (step < 0.3f ? 34.0f : (step < 0.45f ? 10.0f : 10.0f + 10.0f * unit(random)));
      directional.at(x, y) = unit(random) < 0.3f ? 0.0f : unit(random);
      point.at(x, y) = unit(random);
      point_through.at(x, y) = unit(random);
    }
  }
  // A flat stretch, whose pixels take one sample in every lane.
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 20; x < 28; ++x) {
      surface.normals.at(x, y) = {0.0f, 0.0f, 1.0f};
    }
  }
  // At the first and last columns short normals, whose clamped neighbourhoods bend by their own
  // length (5 × 5 samples), beside long ones in the columns next to them in memory, the previous
  // row's last and the next row's first, where a neighbourhood read unclamped bends less.
  for (int64_t y = 1; y < 4; ++y) {
    surface.normals.at(0, y) = {0.0f, 0.0f, 0.7f};
    surface.normals.at(1, y) = {0.0f, 0.0f, 0.7f};
    surface.normals.at(w - 1, y - 1) = {0.0f, 0.0f, 2.0f};
  }
  for (int64_t y = 4; y < 7; ++y) {
    surface.normals.at(w - 2, y) = {0.0f, 0.0f, 0.7f};
    surface.normals.at(w - 1, y) = {0.0f, 0.0f, 0.7f};
    surface.normals.at(0, y + 1) = {0.0f, 0.0f, 2.0f};
  }
  // A block of zero normals, whose blends cancel and keep the centre's; NaN normals and depths.
  for (int64_t y = 2; y < 5; ++y) {
    for (int64_t x = 33; x < 36; ++x) {
      surface.normals.at(x, y) = {0.0f, 0.0f, 0.0f};
    }
  }
  surface.normals.at(30, 1) = {nan, 0.0f, 1.0f};
  surface.normals.at(41, 5) = {0.0f, nan, 1.0f};
  surface.depth.at(9, 3) = nan;
  surface.depth.at(44, 0) = nan;
  surface.depth.at(22, 2) = 30.0f;  // where the point light stands

  const Partial_Textures<P> textures(random);
  auto& in = surface.in;
  place_lights(in, 22.0f, 2.0f, 30.0f);

  std::array<int64_t, 6> sides{};
  int64_t lit = 0;
  for (const int32_t oversampling : {2, 3, 4}) {
    in.oversampling = oversampling;
    for (int32_t setting = 0; setting < 48; ++setting) {
      vary_lights(in, setting);
      in.gamma = setting % 10 == 7 ? 0.45f : in.gamma;
      in.discontinuity_threshold = setting % 4 == 1 ? 4.0f : 20.0f;
      const bool textured = setting / 4 % 2 == 0;
      in.glossiness_texture = textured ? textures.gloss.view : brel::Layer<P>{};
      in.translucency_texture = textured ? textures.translucency.view : brel::Layer<P>{};
      in.translucency_color_texture = textured ? textures.through_color.view : brel::Layer<P>{};
      const int32_t shadows = setting / 8 % 3;
      in.directional_shadow = shadows == 0 ? brel::Layer<float>{} : directional.view;
      in.point_shadow = shadows == 0 ? brel::Layer<float>{} : point.view;
      in.point_translucency_shadow = shadows == 1 ? point_through.view : brel::Layer<float>{};
      for (int64_t y = 0; y < h; ++y) {
        // The last two runs go one column past an input 24 columns wide and, but in row 0, one
        // row past an input y rows high.
        for (const auto& [x0, n, width, height] :
             {std::tuple<int64_t, int64_t, int64_t, int64_t>{0, w, w, h},
              {1, 8, w, h},
              {13, 24, w, h},
              {37, 8, w, h},
              {13, 16, 24, h},
              {16, 8, w, std::max<int64_t>(y, 1)}}) {
          in.source.width = width;
          in.source.height = height;
          const bool whole = width == w && height == h;
          ASSERT_TRUE(row_gives_pixel_rule(
              surface, x0, n, y,
              [&](int64_t x, const Rgb_Value& d, const Rgb_Value& s) {
                lit += d.red > 0.0f && s.green > 0.0f ? 1 : 0;
                if (whole) {
                  ++sides[static_cast<size_t>(samples_per_side_at(surface, x, y))];
                }
              }))
              << "oversampling " << oversampling << ", setting " << setting << ", input " << width
              << " × " << height;
          in.source.width = w;
          in.source.height = h;
        }
      }
    }
  }
  EXPECT_GT(sides[1], 5000);
  EXPECT_GT(sides[3], 1000);
  EXPECT_GT(sides[5], 1000);
  EXPECT_GT(lit, 1000);
}

}  // namespace
