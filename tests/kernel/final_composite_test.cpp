#include "kernel/final_composite.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>

#include "kernel/final_routine_parameters.h"

namespace {

using brel::Rgb_Value;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

TEST(Final_Composite, WorkedPixelInEveryPixelType) {
  // D = 0.5, S = (1, 0.5, 0), P = 0.1, t = 0.25, B = (0, 0, 1), colorize 0.5.
  const Rgb_Value out = brel::composite_color({0.5f, 0.5f, 0.5f}, {1.0f, 0.5f, 0.0f},
                                              {0.1f, 0.1f, 0.1f}, 0.25f, {0.0f, 0.0f, 1.0f}, 0.5f);
  EXPECT_NEAR(out.red, 0.475f, 1e-7f);
  EXPECT_NEAR(out.green, 0.2875f, 1e-7f);
  EXPECT_NEAR(out.blue, 0.225f, 1e-7f);

  brel::ARGB8 argb8{};
  brel::store_shaded_pixel(argb8, out, 1.0f);
  EXPECT_EQ(
      (std::array<int, 4>{argb8.channel[0], argb8.channel[1], argb8.channel[2], argb8.channel[3]}),
      (std::array<int, 4>{255, 121, 73, 57}));
  brel::BGRA8 bgra8{};
  brel::store_shaded_pixel(bgra8, out, 1.0f);
  EXPECT_EQ(
      (std::array<int, 4>{bgra8.channel[0], bgra8.channel[1], bgra8.channel[2], bgra8.channel[3]}),
      (std::array<int, 4>{57, 73, 121, 255}));
  // 16 bits: 0.475 × 32768 = 15564.8, truncated.
  brel::BGRA16 bgra16{};
  brel::store_shaded_pixel(bgra16, out, 0.5f);
  EXPECT_EQ(bgra16.channel[2], 15564);
  EXPECT_EQ(bgra16.channel[3], 16384);
  brel::ARGB32f argb32{};
  brel::store_shaded_pixel(argb32, out, 1.0f);
  EXPECT_EQ(argb32.channel[1], out.red);
  EXPECT_EQ(argb32.channel[3], out.blue);
}

TEST(Final_Composite, StoresClampIntegersAndKeepFloatsAboveWhite) {
  const Rgb_Value bright{1.7f, -0.2f, nan};
  brel::ARGB32f f{};
  brel::store_shaded_pixel(f, bright, 2.0f);
  EXPECT_EQ(f.channel[0], 2.0f);
  EXPECT_EQ(f.channel[1], 1.7f);
  EXPECT_EQ(f.channel[2], 0.0f);
  EXPECT_EQ(f.channel[3], 0.0f);
  brel::ARGB16 s{};
  brel::store_shaded_pixel(s, bright, nan);
  EXPECT_EQ(s.channel[0], 0);
  EXPECT_EQ(s.channel[1], 32768);
  EXPECT_EQ(s.channel[2], 0);
  EXPECT_EQ(s.channel[3], 0);
  // No rounding: 0.999 in 8 bits is 254.
  brel::ARGB8 b{};
  brel::store_shaded_pixel(b, {0.999f, 0.999f, 0.999f}, 0.999f);
  EXPECT_EQ(b.channel[0], 254);
  EXPECT_EQ(b.channel[1], 254);
}

TEST(Final_Composite, HighlightsOnlyIsTheSpecularSumOnOpaqueAlpha) {
  brel::ARGB8 b{};
  brel::store_highlight_pixel(b, {2.0f, 0.5f, 0.0f});
  EXPECT_EQ(b.channel[0], 255);
  EXPECT_EQ(b.channel[1], 255);
  EXPECT_EQ(b.channel[2], 127);
  EXPECT_EQ(b.channel[3], 0);
  brel::BGRA16 s{};
  brel::store_highlight_pixel(s, {2.0f, 0.5f, 0.0f});
  EXPECT_EQ(s.channel[3], 32768);
  EXPECT_EQ(s.channel[2], 32768);
  brel::BGRA32f f{};
  brel::store_highlight_pixel(f, {2.0f, -0.5f, 0.0f});
  EXPECT_EQ(f.channel[3], 1.0f);
  EXPECT_EQ(f.channel[2], 2.0f);
  EXPECT_EQ(f.channel[1], -0.5f);
}

TEST(Final_Composite, AlphaFadesBelowTheFadingDistance) {
  EXPECT_EQ(brel::faded_alpha(1.0f, 5.0f, 10.0f), 0.5f);
  EXPECT_EQ(brel::faded_alpha(1.0f, 10.0f, 10.0f), 1.0f);
  EXPECT_EQ(brel::faded_alpha(1.0f, 30.0f, 10.0f), 1.0f);
  EXPECT_EQ(brel::faded_alpha(1.0f, 0.0f, 10.0f), 0.0f);
  EXPECT_EQ(brel::faded_alpha(0.0f, 5.0f, 10.0f), 0.0f);
  EXPECT_EQ(brel::faded_alpha(1.0f, 0.0f, 0.0f), 1.0f);
}

TEST(Final_Composite, TexturesArePlacedByOriginAndEmptyPixelsNeverGiveNaN) {
  brel::ARGB8 pixels[2] = {{{255, 255, 0, 0}}, {{0, 0, 0, 0}}};
  brel::Layer<brel::ARGB8> texture;
  texture.width = 2;
  texture.height = 1;
  texture.origin_x = -1;
  texture.origin_y = 3;
  texture.pixels = pixels;
  texture.row_bytes = sizeof(pixels);
  const brel::Shading_Color red = brel::texture_at(texture, -1, 3, brel::shading_white);
  EXPECT_EQ(red.r, 1.0f);
  EXPECT_EQ(red.g, 0.0f);
  EXPECT_NEAR(brel::texture_mean(red), 1.0f / 3.0f, 1e-7f);
  // Outside, the default; beside it, the empty pixel whose mean counts 0.
  EXPECT_EQ(brel::texture_at(texture, 1, 3, brel::shading_black).a, 0.0f);
  EXPECT_EQ(brel::texture_at(texture, -1, 2, brel::shading_white).a, 1.0f);
  EXPECT_EQ(brel::texture_mean(brel::texture_at(texture, 0, 3, brel::shading_white)), 0.0f);
  // A coloured pixel without alpha is infinitely bright.
  EXPECT_EQ(brel::texture_mean({0.5f, 0.0f, 0.0f, 0.0f}), std::numeric_limits<float>::infinity());
}

}  // namespace
