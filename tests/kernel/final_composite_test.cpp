#include "kernel/final_composite.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kernel/final_routine_parameters.h"
#include "support/host_layer.h"
#include "support/plain_layer.h"

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
  // Floats stay finite, signs and -0 kept.
  const float inf = std::numeric_limits<float>::infinity();
  const float largest = std::numeric_limits<float>::max();
  brel::store_highlight_pixel(f, {nan, -inf, inf});
  EXPECT_EQ(f.channel[2], 0.0f);
  EXPECT_EQ(f.channel[1], -largest);
  EXPECT_EQ(f.channel[0], largest);
  brel::store_highlight_pixel(f, {-0.0f, largest, -1e-40f});
  EXPECT_TRUE(std::signbit(f.channel[2]));
  EXPECT_EQ(f.channel[1], largest);
  EXPECT_EQ(f.channel[0], -1e-40f);
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

// Random values where the compositing has edges: around 0 and 1, negative, large, infinite and
// not a number.
float wild_value(std::mt19937& random) {
  const uint32_t pick = random() % 16;
  if (pick == 0) {
    return nan;
  }
  if (pick == 1) {
    return random() % 2 == 0 ? std::numeric_limits<float>::infinity() : -0.0f;
  }
  if (pick == 2) {
    return static_cast<float>(random() % 3) * 0.5f;
  }
  return std::uniform_real_distribution<float>(-0.3f, 1.6f)(random);
}

template <class P>
P random_pixel(std::mt19937& random) {
  P p{};
  for (auto& c : p.channel) {
    if constexpr (brel::Pixel_Traits<P>::is_integer) {
      c = static_cast<typename brel::Pixel_Traits<P>::Channel>(random());
    } else {
      c = wild_value(random);
    }
  }
  return p;
}

// Surface colours, depths (about one in `clip_every` 0, to be clipped) and occlusion of a
// w × h frame, all drawn from `random` pixel by pixel.
template <class P>
struct Composite_Inputs {
  Composite_Inputs(int64_t w, int64_t h, std::mt19937& random, uint32_t clip_every)
      : surface(w, h), depth(w, h), occlusion(w, h) {
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        surface.at(x, y) = random_pixel<P>(random);
        depth.at(x, y) = random() % clip_every == 0 ? 0.0f : wild_value(random) * 10.0f;
        occlusion.at(x, y) = wild_value(random);
      }
    }
  }

  brel::test::Plain_Layer<P> surface;
  brel::test::Plain_Layer<float> depth;
  brel::test::Plain_Layer<float> occlusion;
};

// Every row of `surface` composited into `by_runs` by composite_run over the runs (x0, n), which
// begin anywhere: their elements 0 .. n - 1 belong to pixels x0 ...; and into `by_pixels` pixel
// by pixel.
template <class P>
void composite_by_runs_and_pixels(brel::Final_Routine_Parameters_In<P> in, const brel::Lit_Run& run,
                                  const brel::test::Plain_Layer<P>& surface,
                                  std::initializer_list<std::pair<int64_t, int64_t>> runs,
                                  brel::test::Plain_Layer<P>& by_runs,
                                  brel::test::Plain_Layer<P>& by_pixels) {
  by_runs.data = surface.data;
  by_pixels.data = surface.data;
  for (int64_t y = 0; y < surface.view.height; ++y) {
    for (const auto& [x0, n] : runs) {
      in.output = by_runs.view;
      brel::composite_run(x0, n, y, in, run);
      in.output = by_pixels.view;
      for (int64_t i = 0; i < n; ++i) {
        brel::composite_pixel(x0 + i, y, i, in, run);
      }
    }
  }
}

// The four sums of a run of n pixels that Lit_Run points to, drawn from `random`.
std::array<std::vector<Rgb_Value>, 4> random_sums(std::mt19937& random, int64_t n) {
  std::array<std::vector<Rgb_Value>, 4> sums;
  for (auto& sum : sums) {
    for (int64_t i = 0; i < n; ++i) {
      sum.push_back({wild_value(random), wild_value(random), wild_value(random)});
    }
  }
  return sums;
}

template <class P>
class Final_Composite_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Final_Composite_Test, brel::test::Host_Pixel_Types);

// Runs of pixels come out bit for bit as each pixel's rule gives them, under settings the lanes
// take and settings that send rows, groups of eight or single pixels back to the rule: clipped
// pixels, a refracted image or background layer that covers part of a row, textures, gammas,
// highlights only.
TYPED_TEST(Final_Composite_Test, RunsGiveWhatEachPixelGives) {
  using P = TypeParam;
  using brel::test::Plain_Layer;
  constexpr int64_t w = 83;
  constexpr int64_t h = 4;
  std::mt19937 random(20);
  const Composite_Inputs<P> frame(w, h, random, 9);
  const Plain_Layer<P>& surface = frame.surface;
  // The refracted image covers columns 5 to 64 of rows 1 and 2.
  Plain_Layer<brel::RGB32f> refracted(60, 2);
  for (auto& p : refracted.data) {
    p = {{wild_value(random), wild_value(random), wild_value(random)}};
  }
  refracted.view.origin_x = 5;
  refracted.view.origin_y = 1;
  // The background layer covers columns 9 to 70 of rows 0 to 2.
  Plain_Layer<P> background(62, 3);
  for (auto& p : background.data) {
    p = random_pixel<P>(random);
  }
  background.view.origin_x = 9;
  Plain_Layer<P> texture(3, 2, random_pixel<P>(random));
  texture.view.origin_y = 2;
  const auto sums = random_sums(random, w);

  for (int32_t setting = 0; setting < 12; ++setting) {
    brel::Final_Routine_Parameters_In<P> in;
    in.depth = frame.depth.view;
    in.transparency = setting % 3 == 0 ? 0.0f : 0.35f * static_cast<float>(setting % 4);
    in.colorize = setting % 2 == 0 ? 0.0f : 0.4f;
    in.specular_tint = setting % 5 == 1 ? 0.0f : 0.3f * static_cast<float>(setting % 6);
    in.alpha_clipping = setting % 4 == 1 ? 1 : 0;
    in.alpha_fading = setting % 3 == 1 ? 7.0f : 0.0f;
    if (setting % 3 != 2) {
      in.occlusion = frame.occlusion.view;
    }
    if (setting % 2 == 0) {
      in.refracted_image = refracted.view;
    } else if (setting % 3 != 0) {
      in.background = background.view;
    }
    auto& e = in.environment;
    e.illumination_amount = 0.4f;
    e.illumination_color = {0.9f, 1.0f, 0.7f};
    e.reflection_amount = setting % 4 == 3 ? 0.0f : 0.6f;
    e.glossiness = setting % 5 == 2 ? 1.3f : 0.5f;
    // The pixel rule only: a gamma, textures over some rows, highlights only.
    if (setting == 9) {
      in.gamma = 1.4f;
    } else if (setting == 10) {
      in.transparency_texture = texture.view;
      e.reflection_texture = texture.view;
      in.specular_color_texture = texture.view;
      in.background = texture.view;
      e.gamma = 0.8f;
    } else if (setting == 11) {
      in.highlights_only = 1;
    }
    const brel::Lit_Run run{sums[0].data(), sums[1].data(),   sums[2].data(),
                            sums[3].data(), setting % 2 == 0, e.reflection_amount != 0.0f};

    Plain_Layer<P> by_runs(w, h);
    Plain_Layer<P> by_pixels(w, h);
    composite_by_runs_and_pixels(in, run, surface, {{0, 3}, {3, 64}, {67, 16}}, by_runs, by_pixels);
    EXPECT_EQ(std::memcmp(by_runs.data.data(), by_pixels.data.data(), sizeof(P) * w * h), 0)
        << "setting " << setting;
  }
}

// Textures over parts of the rows and columns (groups of eight inside them, across their edges
// and beside them), gammas of the frame and of the environment, and highlights only: runs give
// each pixel's bits, with clipped pixels among them and tails shorter than eight.
TYPED_TEST(Final_Composite_Test, TexturedGammaAndHighlightRunsGiveWhatEachPixelGives) {
  using P = TypeParam;
  using brel::test::Plain_Layer;
  constexpr int64_t w = 83;
  constexpr int64_t h = 4;
  std::mt19937 random(41);
  const Composite_Inputs<P> frame(w, h, random, 23);
  const Plain_Layer<P>& surface = frame.surface;
  const auto texture = [&](int64_t width, int64_t height, int64_t x, int64_t y) {
    auto layer = std::make_unique<Plain_Layer<P>>(width, height);
    for (auto& p : layer->data) {
      p = random_pixel<P>(random);
    }
    layer->view.origin_x = x;
    layer->view.origin_y = y;
    return layer;
  };
  // Columns 6 to 35 of every row; 0 to 17 of rows 1 and 2; 20 onwards of rows 0 to 2; 9 to 58.
  const auto transparency = texture(30, 4, 6, 0);
  const auto reflection = texture(20, 2, -2, 1);
  const auto specular_color = texture(70, 3, 20, 0);
  const auto background = texture(50, 4, 9, 0);
  // Columns 5 to 64 of rows 1 and 2.
  Plain_Layer<brel::RGB32f> refracted(60, 2);
  for (auto& p : refracted.data) {
    p = {{wild_value(random), wild_value(random), wild_value(random)}};
  }
  refracted.view.origin_x = 5;
  refracted.view.origin_y = 1;
  const auto sums = random_sums(random, w);

  for (int32_t setting = 0; setting < 24; ++setting) {
    brel::Final_Routine_Parameters_In<P> in;
    in.depth = frame.depth.view;
    in.occlusion = frame.occlusion.view;
    in.transparency = setting % 2 == 0 ? 0.35f : 0.7f;
    in.colorize = setting % 3 == 0 ? 0.0f : 0.4f;
    in.specular_tint = std::array{0.0f, 0.6f, 1.7f}[setting % 3];
    in.alpha_clipping = setting % 2;
    in.alpha_fading = setting % 3 == 1 ? 7.0f : 0.0f;
    in.gamma = std::array{1.0f, 1.8f, 0.5f}[setting / 2 % 3];
    in.highlights_only = setting % 5 == 4 ? 1 : 0;
    if (setting % 6 != 5) {
      in.transparency_texture = transparency->view;
      in.specular_color_texture = specular_color->view;
      in.environment.reflection_texture = reflection->view;
    }
    if (setting % 4 < 2) {
      in.refracted_image = refracted.view;
    } else {
      in.background = background->view;
    }
    auto& e = in.environment;
    e.illumination_amount = 0.4f;
    e.illumination_color = {0.9f, 1.0f, 0.7f};
    e.reflection_amount = setting % 7 == 3 ? 0.0f : 0.6f;
    e.glossiness = setting % 5 == 2 ? 1.3f : 0.5f;
    e.gamma = std::array{1.0f, 2.2f, 1.0f, 0.7f}[setting % 4];
    const brel::Lit_Run run{sums[0].data(), sums[1].data(),   sums[2].data(),
                            sums[3].data(), setting % 2 == 0, e.reflection_amount != 0.0f};

    Plain_Layer<P> by_runs(w, h);
    Plain_Layer<P> by_pixels(w, h);
    composite_by_runs_and_pixels(in, run, surface, {{0, 3}, {3, 61}, {64, 19}}, by_runs, by_pixels);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        ASSERT_EQ(std::memcmp(&by_runs.at(x, y), &by_pixels.at(x, y), sizeof(P)), 0)
            << "setting " << setting << " at " << x << ", " << y;
      }
    }
  }
}

}  // namespace
