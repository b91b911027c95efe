#include "kernel/kernel_polygon_gather_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "base/memory_pool_2d.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;

template <class P>
using Pyramids = brel::PolygonGather<Layer<P>, brel::Implementation_Cpu>;

template <class P>
void build(const brel::Render_Context& context, Pyramids<P>& pyramids, const Layer<P>& source) {
  pyramids.source = source;
  pyramids.execute(context);
}

TEST(Polygon_Gather, LevelsHalveUntilASideIsBelowThree) {
  Standalone_Render render(2);
  const std::vector<std::pair<int64_t, int64_t>> sizes_2x9 = {{2, 9}};
  const std::vector<std::pair<int64_t, int64_t>> sizes_5x5 = {{5, 5}, {3, 3}, {2, 2}};
  const std::vector<std::pair<int64_t, int64_t>> sizes_4x100 = {{4, 100}, {2, 50}};
  const std::vector<std::pair<int64_t, int64_t>> sizes_7x3 = {{7, 3}, {4, 2}};
  for (const auto& sizes : {sizes_2x9, sizes_5x5, sizes_4x100, sizes_7x3}) {
    Host_Layer<brel::ARGB8> layer(render.context, sizes[0].first, sizes[0].second, 5, -2);
    layer.fill(1, 2, 3, 4);
    layer.view.scale_x = 0.5f;
    Pyramids<brel::ARGB8> pyramids;
    build(render.context, pyramids, layer.view);
    ASSERT_EQ(pyramids.level_count, static_cast<int64_t>(sizes.size()));
    for (size_t k = 0; k < sizes.size(); ++k) {
      const auto& level = pyramids.mip_layers[k];
      const auto& sums = pyramids.row_sum_layers[k];
      EXPECT_EQ(level.width, sizes[k].first);
      EXPECT_EQ(level.height, sizes[k].second);
      EXPECT_EQ(sums.width, sizes[k].first);
      EXPECT_EQ(sums.height, sizes[k].second);
      // Only level 0 is the source, with its origin and scale.
      EXPECT_EQ(level.origin_x, k == 0 ? 5 : 0);
      EXPECT_EQ(level.scale_x, k == 0 ? 0.5f : 1.0f);
    }
    EXPECT_EQ(pyramids.mip_layers[0].pixels, layer.view.pixels);
    EXPECT_EQ(pyramids.mip_holders[0], nullptr);
  }
  // 1920 x 1080 gives 11 levels, the last 2 x 2.
  Host_Layer<brel::ARGB8> frame(render.context, 1920, 1080);
  frame.fill(0, 0, 0, 0);
  Pyramids<brel::ARGB8> pyramids;
  build(render.context, pyramids, frame.view);
  EXPECT_EQ(pyramids.level_count, 11);
  EXPECT_EQ(pyramids.mip_layers[10].width, 2);
  EXPECT_EQ(pyramids.mip_layers[10].height, 2);
  EXPECT_EQ(pyramids.name(), "Polygon Gather Mipmap");
}

// The block rule worked by hand for 8 bits: one opaque red pixel among three transparent ones.
TEST(Polygon_Gather, EightBitBlockKeepsStraightColourAndRoundsHalvesUp) {
  Standalone_Render render(1);
  Host_Layer<brel::BGRA8> layer(render.context, 4, 3);
  layer.fill(0, 0, 0, 0);
  layer.set(0, 0, 200, 0, 0, 255);
  // Second block: alphas all 255, reds 254, 255, 255, 255 -> mean 254.75, stored 255; greens
  // 1, 0, 0, 1 -> 0.5, stored 1.
  layer.set(2, 0, 254, 1, 0, 255);
  layer.set(3, 0, 255, 0, 0, 255);
  layer.set(2, 1, 255, 0, 0, 255);
  layer.set(3, 1, 255, 1, 0, 255);
  Pyramids<brel::BGRA8> pyramids;
  build(render.context, pyramids, layer.view);
  ASSERT_EQ(pyramids.level_count, 2);
  using Traits = brel::Pixel_Traits<brel::BGRA8>;
  const brel::BGRA8& first = pyramids.mip_layers[1].row(0)[0];
  EXPECT_EQ(first.channel[Traits::red], 200);   // 50 / (63.75 / 255)
  EXPECT_EQ(first.channel[Traits::alpha], 64);  // 63.75 + 0.5
  const brel::BGRA8& second = pyramids.mip_layers[1].row(0)[1];
  EXPECT_EQ(second.channel[Traits::red], 255);
  EXPECT_EQ(second.channel[Traits::green], 1);
  EXPECT_EQ(second.channel[Traits::alpha], 255);
  // The row sums add the values before the division and the rounding.
  const brel::BGRA64f& sums = pyramids.row_sum_layers[1].row(0)[0];
  EXPECT_EQ(sums.channel[Traits::alpha], 63.75);
  EXPECT_EQ(sums.channel[Traits::red], 50.0);
  const brel::BGRA64f& both = pyramids.row_sum_layers[1].row(0)[1];
  EXPECT_DOUBLE_EQ(both.channel[Traits::red], 50.0 + 254.75);
  EXPECT_DOUBLE_EQ(both.channel[Traits::alpha], 63.75 + 255.0);
  // Row 1 of level 1 averages source row 2 with itself (three rows): all transparent.
  const brel::BGRA8& lower = pyramids.mip_layers[1].row(1)[0];
  EXPECT_EQ(lower.channel[Traits::alpha], 0);
  EXPECT_EQ(lower.channel[Traits::red], 0);
  EXPECT_EQ(pyramids.row_sum_layers[1].row(1)[1].channel[Traits::alpha], 0.0);
}

// 16-bit means within half a unit of white store white; float levels keep values outside 0..1;
// an odd last column averages itself.
TEST(Polygon_Gather, SixteenBitSaturatesAtWhiteAndFloatKeepsEveryValue) {
  Standalone_Render render(1);
  Host_Layer<brel::ARGB16> words(render.context, 3, 3);
  words.fill(32767, 100, 0, 32768);
  words.set(1, 0, 32768, 100, 0, 32768);
  words.set(1, 1, 32768, 100, 0, 32768);
  Pyramids<brel::ARGB16> word_pyramids;
  build(render.context, word_pyramids, words.view);
  using Word_Traits = brel::Pixel_Traits<brel::ARGB16>;
  const brel::ARGB16& word = word_pyramids.mip_layers[1].row(0)[0];
  EXPECT_EQ(word.channel[Word_Traits::red], 32768);  // 32767.5 + 0.5
  EXPECT_EQ(word.channel[Word_Traits::green], 100);
  EXPECT_EQ(word.channel[Word_Traits::alpha], 32768);
  EXPECT_EQ(word_pyramids.mip_layers[1].row(0)[1].channel[Word_Traits::red], 32767);

  Host_Layer<brel::ARGB32f> floats(render.context, 5, 3);
  floats.fill(0.0f, 0.0f, 0.0f, 1.0f);
  floats.set(4, 0, 3.0f, -2.0f, 0.5f, 1.0f);
  floats.set(4, 1, 1.0f, -2.0f, 0.5f, 1.0f);
  Pyramids<brel::ARGB32f> float_pyramids;
  build(render.context, float_pyramids, floats.view);
  using Float_Traits = brel::Pixel_Traits<brel::ARGB32f>;
  // Pixel 2 of level 1 averages column 4 with itself.
  const brel::ARGB32f& edge = float_pyramids.mip_layers[1].row(0)[2];
  EXPECT_EQ(edge.channel[Float_Traits::red], 2.0f);
  EXPECT_EQ(edge.channel[Float_Traits::green], -2.0f);
  EXPECT_EQ(edge.channel[Float_Traits::blue], 0.5f);
}

// Row sums of level 0 are the running sums of (alpha, colour x alpha / white) of the source;
// every further level's row sums are the running sums of its block values, and its pixels their
// means divided by the mean alpha; all at 1, 2 and 8 threads alike.
template <class P>
void expect_pyramids_follow_the_block_rule() {
  using Traits = brel::Pixel_Traits<P>;
  std::mt19937 random(21);
  std::uniform_real_distribution<float> value(0.0f, Traits::white_value);
  std::vector<std::array<float, 4>> pixels(23 * 14);
  for (auto& pixel : pixels) {
    pixel = {value(random), value(random), value(random), value(random)};
    if (pixel[3] < 0.2f * Traits::white_value) {
      pixel[3] = 0.0f;  // some fully transparent pixels
    }
  }
  std::vector<std::vector<double>> all_sums;
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Host_Layer<P> layer(render.context, 23, 14);
    for (int64_t i = 0; i < 23 * 14; ++i) {
      const auto& p = pixels[i];
      layer.set(i % 23, i / 23, p[0], p[1], p[2], p[3]);
    }
    Pyramids<P> pyramids;
    build(render.context, pyramids, layer.view);
    ASSERT_EQ(pyramids.level_count, 4);  // 23 x 14, 12 x 7, 6 x 4, 3 x 2
    std::vector<double> sums;
    const double white = Traits::white_value;
    for (int64_t k = 0; k < pyramids.level_count; ++k) {
      const Layer<P>& level = pyramids.mip_layers[k];
      for (int64_t y = 0; y < level.height; ++y) {
        std::array<double, 4> running = {};
        for (int64_t x = 0; x < level.width; ++x) {
          // Values of this pixel in double: alpha and alpha-weighted colour, raw units.
          std::array<double, 4> block = {};  // r, g, b, a
          if (k == 0) {
            const double a = layer.alpha(x, y);
            block = {layer.red(x, y) * a / white, layer.green(x, y) * a / white,
                     layer.blue(x, y) * a / white, a};
          } else {
            const Layer<P>& above = pyramids.mip_layers[k - 1];
            for (const int64_t dy : {0, 1}) {
              for (const int64_t dx : {0, 1}) {
                const int64_t sx = std::min(2 * x + dx, above.width - 1);
                const int64_t sy = std::min(2 * y + dy, above.height - 1);
                const P& s = above.row(sy)[sx];
                const double a = Traits::load(s, Traits::alpha);
                block[0] += 0.25 * Traits::load(s, Traits::red) * a / white;
                block[1] += 0.25 * Traits::load(s, Traits::green) * a / white;
                block[2] += 0.25 * Traits::load(s, Traits::blue) * a / white;
                block[3] += 0.25 * a;
              }
            }
            // The stored pixel: straight colour, within rounding of the integer types.
            const P& stored = level.row(y)[x];
            const double tolerance = Traits::is_integer ? 0.5 + 1e-3 : 1e-4;
            ASSERT_NEAR(Traits::load(stored, Traits::alpha), block[3], tolerance);
            if (block[3] > 0.0) {
              ASSERT_NEAR(Traits::load(stored, Traits::red),
                          std::min(white, block[0] / (block[3] / white)),
                          Traits::is_integer ? 0.5 + 2e-3 : 1e-4 * white);
            }
          }
          const auto& cell = pyramids.row_sum_layers[k].row(y)[x];
          const int32_t positions[4] = {Traits::red, Traits::green, Traits::blue, Traits::alpha};
          for (int32_t c = 0; c < 4; ++c) {
            running[c] += block[c];
            ASSERT_NEAR(cell.channel[positions[c]], running[c], 1e-5 * white)
                << "level " << k << " at " << x << ", " << y << " channel " << c;
            sums.push_back(cell.channel[positions[c]]);
          }
        }
      }
    }
    all_sums.push_back(sums);
  }
  EXPECT_EQ(all_sums[1], all_sums[0]);
  EXPECT_EQ(all_sums[2], all_sums[0]);
}

TEST(Polygon_Gather, EveryHostTypeFollowsTheBlockRuleAtEveryThreadCount) {
  expect_pyramids_follow_the_block_rule<brel::ARGB32f>();
  expect_pyramids_follow_the_block_rule<brel::BGRA32f>();
  expect_pyramids_follow_the_block_rule<brel::ARGB16>();
  expect_pyramids_follow_the_block_rule<brel::BGRA16>();
  expect_pyramids_follow_the_block_rule<brel::ARGB8>();
  expect_pyramids_follow_the_block_rule<brel::BGRA8>();
}

// Every level and row sum of the kernel equals, bit for bit, the plain pixel rules applied to
// the level above, at 1, 2 and 8 threads: random channels with many transparent and opaque
// pixels, and widths that end in whole and in half blocks.
template <class P>
void expect_rows_follow_the_plain_rules() {
  using Traits = brel::Pixel_Traits<P>;
  constexpr int32_t channels = Traits::channel_count;
  std::mt19937 random(13);
  std::uniform_int_distribution<int32_t> byte(0, 255);
  for (const auto& [width, height] :
       {std::pair<int64_t, int64_t>{1, 3}, {2, 2}, {3, 5}, {17, 9}, {64, 6}, {131, 7}}) {
    std::vector<P> pixels(static_cast<size_t>(width * height));
    for (P& pixel : pixels) {
      for (int32_t c = 0; c < channels; ++c) {
        pixel.channel[c] = static_cast<typename Traits::Channel>(
            Traits::is_integer ? byte(random) * (Traits::white_value / 255.0f)
                               : byte(random) / 200.0f);
      }
      if constexpr (Traits::has_alpha) {
        const int32_t kind = byte(random) % 4;
        if (kind < 2) {  // a quarter transparent, a quarter opaque
          pixel.channel[Traits::alpha] = kind == 0 ? 0 : Traits::white_value;
        }
      }
    }
    for (const int64_t threads : brel::test::thread_counts) {
      Standalone_Render render(threads);
      Host_Layer<P> layer(render.context, width, height);
      for (int64_t y = 0; y < height; ++y) {
        std::copy_n(&pixels[static_cast<size_t>(y * width)], width, layer.view.row(y));
      }
      Pyramids<P> pyramids;
      build(render.context, pyramids, layer.view);
      for (int64_t k = 0; k < pyramids.level_count; ++k) {
        const Layer<P>& level = pyramids.mip_layers[k];
        for (int64_t y = 0; y < level.height; ++y) {
          double running[channels] = {};
          for (int64_t x = 0; x < level.width; ++x) {
            float values[channels];
            if (k == 0) {
              brel::polygon_gather_source_values<P>(level.row(y)[x], values);
            } else {
              const Layer<P>& above = pyramids.mip_layers[k - 1];
              P expected;
              brel::polygon_gather_block<P>(above.row(std::min(2 * y, above.height - 1)),
                                            above.row(std::min(2 * y + 1, above.height - 1)), 2 * x,
                                            std::min(2 * x + 1, above.width - 1), expected, values);
              for (int32_t c = 0; c < channels; ++c) {
                ASSERT_EQ(level.row(y)[x].channel[c], expected.channel[c])
                    << width << " x " << height << ", " << threads << " threads, level " << k
                    << " at " << x << ", " << y << " channel " << c;
              }
            }
            for (int32_t c = 0; c < channels; ++c) {
              running[c] += static_cast<double>(values[c]);
              ASSERT_EQ(pyramids.row_sum_layers[k].row(y)[x].channel[c], running[c])
                  << width << " x " << height << ", " << threads << " threads, row sums of level "
                  << k << " at " << x << ", " << y << " channel " << c;
            }
          }
        }
      }
    }
  }
}

TEST(Polygon_Gather, RowBodiesMatchThePlainRulesBitForBit) {
  expect_rows_follow_the_plain_rules<brel::ARGB8>();
  expect_rows_follow_the_plain_rules<brel::BGRA8>();
  expect_rows_follow_the_plain_rules<brel::ARGB16>();
  expect_rows_follow_the_plain_rules<brel::BGRA16>();
  expect_rows_follow_the_plain_rules<brel::ARGB32f>();
  expect_rows_follow_the_plain_rules<brel::RGB32f>();
}

// Pyramids built again over a pooled context take no fresh memory and give the same levels and
// sums, bit for bit; a smaller source after a larger one leaves no level of the larger behind.
TEST(Polygon_Gather, ABuildAgainReusesThePoolsBlocksAndGivesTheSameLayers) {
  Standalone_Render render(2);
  brel::Render_Context context = render.context;
  int64_t fresh = 0;
  context.allocate_memory_2d = [&fresh, allocate = render.context.allocate_memory_2d](
                                   int64_t width, int64_t height) {
    ++fresh;
    return allocate(width, height);
  };
  brel::pool_memory_2d(context);
  Host_Layer<brel::ARGB8> layer(render.context, 67, 45);
  for (int64_t y = 0; y < 45; ++y) {
    for (int64_t x = 0; x < 67; ++x) {
      layer.at(x, y) =
          brel::ARGB8{{static_cast<uint8_t>(x * 7 + y), static_cast<uint8_t>(x + 3 * y),
                       static_cast<uint8_t>(y * 5), static_cast<uint8_t>(x ^ y)}};
    }
  }
  Pyramids<brel::ARGB8> pyramids;
  build(context, pyramids, layer.view);
  const int64_t first_fresh = fresh;
  const auto contents = [&pyramids] {
    std::vector<double> values;
    for (int64_t k = 0; k < pyramids.level_count; ++k) {
      const auto& level = pyramids.mip_layers[k];
      for (int64_t y = 0; y < level.height; ++y) {
        for (int64_t x = 0; x < level.width; ++x) {
          for (int32_t c = 0; c < 4; ++c) {
            values.push_back(level.row(y)[x].channel[c]);
            values.push_back(pyramids.row_sum_layers[k].row(y)[x].channel[c]);
          }
        }
      }
    }
    return values;
  };
  const std::vector<double> first = contents();
  for (int repeat = 0; repeat < 3; ++repeat) {
    build(context, pyramids, layer.view);
    EXPECT_EQ(fresh, first_fresh) << "build " << repeat + 2;
    EXPECT_EQ(contents(), first) << "build " << repeat + 2;
  }
  Layer<brel::ARGB8> smaller = layer.view;
  smaller.width = 9;
  smaller.height = 5;
  build(context, pyramids, smaller);
  ASSERT_EQ(pyramids.level_count, 3);  // 9 x 5, 5 x 3, 3 x 2
  EXPECT_EQ(pyramids.mip_holders[3], nullptr);
  EXPECT_EQ(pyramids.row_sum_holders[3], nullptr);
  EXPECT_EQ(pyramids.mip_layers[3].pixels, nullptr);
}

// The three-float colour layer has no alpha: plain means and plain running sums.
TEST(Polygon_Gather, ColourLayerTakesPlainMeans) {
  Standalone_Render render(2);
  Host_Layer<brel::RGB32f> layer(render.context, 3, 4);
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 3; ++x) {
      layer.at(x, y) = brel::RGB32f{{static_cast<float>(x), static_cast<float>(y), 1.0f}};
    }
  }
  Pyramids<brel::RGB32f> pyramids;
  build(render.context, pyramids, layer.view);
  ASSERT_EQ(pyramids.level_count, 2);  // 3 x 4, 2 x 2
  const brel::RGB32f& right = pyramids.mip_layers[1].row(1)[1];
  EXPECT_EQ(right.channel[0], 2.0f);  // column 2 with itself
  EXPECT_EQ(right.channel[1], 2.5f);  // rows 2 and 3
  EXPECT_EQ(pyramids.row_sum_layers[0].row(3)[2].channel[0], 3.0);
  EXPECT_EQ(pyramids.row_sum_layers[1].row(1)[1].channel[1], 5.0);
}

}  // namespace
