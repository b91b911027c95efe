#include "kernel/gatherer_cpu.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Blur_Coordinates;
using brel::Footprint_Scale;
using brel::Layer;
using brel::RGB32f;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;

template <class P>
using Gatherer = brel::Gatherer<Layer<P>, brel::Implementation_Cpu>;
template <class P>
using Result = typename brel::gather::Gather_Pixel<P>::Result;

template <class P>
constexpr int32_t channels = brel::Pixel_Traits<P>::channel_count;

// The gather of the pixel type's own user: the refraction for RGB32f, the environment otherwise.
template <class P>
Result<P> gather(const Gatherer<P>& gatherer, int64_t x, int64_t y, Footprint_Scale scale,
                 const Blur_Coordinates* first, const Blur_Coordinates* second) {
  if constexpr (std::is_same_v<P, RGB32f>) {
    return brel::gather_pixel(gatherer, x, y, scale, first, second);
  } else {
    return brel::gather_environment_footprint(&gatherer, x, y, scale, first, second);
  }
}

// Two rows of landing points for pixel (x, y): the row of y and the row above it, the points
// where an undisplaced image puts them, moved by `offset` and with blur `blur`.
struct Landing_Rows {
  Landing_Rows(int64_t width, int64_t y, float offset_x = 0.0f, float offset_y = 0.0f,
               float blur = 0.0f) {
    for (int64_t x = 0; x < width; ++x) {
      const auto fx = static_cast<float>(x);
      first.push_back({fx + offset_x, static_cast<float>(y) + offset_y, blur});
      second.push_back({fx + offset_x, static_cast<float>(y > 0 ? y - 1 : 0) + offset_y, blur});
    }
  }
  std::vector<Blur_Coordinates> first;
  std::vector<Blur_Coordinates> second;
};

template <class P>
void set_channels(P& pixel, const std::array<float, 4>& rgba) {
  using Traits = brel::Pixel_Traits<P>;
  using Channel = typename Traits::Channel;
  pixel.channel[Traits::red] = static_cast<Channel>(rgba[0]);
  pixel.channel[Traits::green] = static_cast<Channel>(rgba[1]);
  pixel.channel[Traits::blue] = static_cast<Channel>(rgba[2]);
  if constexpr (Traits::has_alpha) {
    pixel.channel[Traits::alpha] = static_cast<Channel>(rgba[3]);
  }
}

template <class P>
float white() {
  return brel::Pixel_Traits<P>::white_value;
}

// ---- Every mode and pixel type ------------------------------------------------------------

template <class P>
class Gatherer_Typed : public testing::Test {};
using All_Gather_Types = testing::Types<RGB32f, brel::ARGB32f, brel::BGRA32f, brel::ARGB16,
                                        brel::BGRA16, brel::ARGB8, brel::BGRA8>;
TYPED_TEST_SUITE(Gatherer_Typed, All_Gather_Types);

// An opaque constant layer gathers that constant in every mode, for footprints inside, across
// the edges, far outside and many times the layer's size.
TYPED_TEST(Gatherer_Typed, OpaqueConstantLayerGathersTheConstant) {
  using P = TypeParam;
  Standalone_Render render(2);
  Host_Layer<P> layer(render.context, 13, 9);
  // Fractions of white that every channel type holds exactly.
  const std::array<float, 4> raw = {0.25f * white<P>(), 0.5f * white<P>(), white<P>(), white<P>()};
  for (int64_t y = 0; y < 9; ++y) {
    for (int64_t x = 0; x < 13; ++x) {
      set_channels(layer.at(x, y), raw);
    }
  }
  std::array<float, channels<P>> expected;
  for (int32_t c = 0; c < channels<P>; ++c) {
    expected[c] = static_cast<float>(layer.at(0, 0).channel[c]) *
                  brel::gather::Gather_Pixel<P>::result_factor;
  }
  std::mt19937 random(4);
  std::uniform_real_distribution<float> offset(-30.0f, 30.0f);
  std::uniform_real_distribution<float> blur(0.0f, 3.0f);
  for (int32_t mode = 0; mode <= 5; ++mode) {
    Gatherer<P> gatherer(render.context, layer.view, mode);
    for (int32_t trial = 0; trial < 200; ++trial) {
      const int64_t x = trial % 13;
      const int64_t y = trial % 9;
      Landing_Rows rows(13, y, offset(random), offset(random), blur(random));
      // Some corners moved on their own, so the footprint is not a square.
      rows.first[x].x += 0.3f * offset(random);
      rows.second[x].y += 0.2f * offset(random);
      const Footprint_Scale scale{trial % 3 == 0 ? 40.0f : 1.5f, 1.0f};
      const Result<P> result = gather(gatherer, x, y, scale, rows.first.data(), rows.second.data());
      SCOPED_TRACE(testing::Message() << "mode " << mode << " trial " << trial);
      for (int32_t c = 0; c < channels<P>; ++c) {
        ASSERT_NEAR(result.channel[c], expected[c], 2e-6f) << "channel " << c;
      }
    }
  }
}

// Undisplaced landing points with no blur give back the pixel itself, without any averaging, in
// every mode; an empty gatherer, and footprints that are not finite or lie beyond 2^31 pixels,
// gather 0.
TYPED_TEST(Gatherer_Typed, IdentityReturnsThePixelAndBrokenFootprintsGatherZero) {
  using P = TypeParam;
  Standalone_Render render(1);
  Host_Layer<P> layer(render.context, 6, 5);
  for (int64_t y = 0; y < 5; ++y) {
    for (int64_t x = 0; x < 6; ++x) {
      const float v = static_cast<float>((x * 7 + y * 3) % 11) / 11.0f * white<P>();
      set_channels(layer.at(x, y), {v, white<P>() - v, 0.5f * v, white<P>()});
    }
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (int32_t mode = 1; mode <= 4; ++mode) {
    Gatherer<P> gatherer(render.context, layer.view, mode);
    for (int64_t y = 1; y < 5; ++y) {
      for (int64_t x = 1; x < 6; ++x) {
        const Landing_Rows rows(6, y);
        const Result<P> result =
            gather(gatherer, x, y, {2.0f, 2.0f}, rows.first.data(), rows.second.data());
        for (int32_t c = 0; c < channels<P>; ++c) {
          ASSERT_EQ(result.channel[c], static_cast<float>(layer.at(x, y).channel[c]) *
                                           brel::gather::Gather_Pixel<P>::result_factor)
              << "mode " << mode << " at " << x << ", " << y;
        }
      }
    }
    // The pixel's own point in every mode; the one above-left where the mode reads it.
    for (const float bad : {nan, inf, -inf, 5.0e9f}) {
      for (int32_t field = mode == 1 ? 1 : 0; field < 3; ++field) {
        Landing_Rows rows(6, 3);
        float* const target = field == 0   ? &rows.second[1].y
                              : field == 1 ? &rows.first[2].x
                                           : &rows.first[2].blur;
        *target = bad;
        const Result<P> result =
            gather(gatherer, 2, 3, {1.0f, 1.0f}, rows.first.data(), rows.second.data());
        for (int32_t c = 0; c < channels<P>; ++c) {
          ASSERT_EQ(result.channel[c], 0.0f) << "mode " << mode << " value " << bad;
        }
      }
    }
  }
  const Gatherer<P> empty;
  const Landing_Rows rows(6, 2, 0.5f, 0.5f);
  EXPECT_EQ(gather(empty, 2, 2, {1.0f, 1.0f}, rows.first.data(), rows.second.data()).channel[0],
            0.0f);
}

// Tables and pyramids, and so every gather, are the same whatever the thread count.
TYPED_TEST(Gatherer_Typed, GathersDoNotDependOnTheThreadCount) {
  using P = TypeParam;
  std::mt19937 random(8);
  std::uniform_real_distribution<float> value(0.0f, white<P>());
  std::vector<std::array<float, 4>> pixels(37 * 23);
  for (auto& pixel : pixels) {
    pixel = {value(random), value(random), value(random), value(random)};
  }
  std::vector<std::vector<float>> results;
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Host_Layer<P> layer(render.context, 37, 23);
    for (int64_t i = 0; i < 37 * 23; ++i) {
      set_channels(layer.at(i % 37, i / 37), pixels[i]);
    }
    std::vector<float> values;
    for (int32_t mode = 1; mode <= 4; ++mode) {
      Gatherer<P> gatherer(render.context, layer.view, mode);
      for (int64_t y = 0; y < 23; y += 3) {
        for (int64_t x = 0; x < 37; x += 2) {
          const Landing_Rows rows(37, y, 0.37f * static_cast<float>(x % 5), -0.61f, 1.5f);
          const Result<P> result =
              gather(gatherer, x, y, {3.0f, 2.0f}, rows.first.data(), rows.second.data());
          values.insert(values.end(), result.channel, result.channel + channels<P>);
        }
      }
    }
    results.push_back(values);
  }
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(results[2], results[0]);
}

// ---- Set-up --------------------------------------------------------------------------------

TEST(Gatherer, SetUpBuildsOnlyWhatItsModeNeeds) {
  Standalone_Render render(2);
  Host_Layer<brel::ARGB8> layer(render.context, 5, 4);
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 5; ++x) {
      set_channels(layer.at(x, y), {10.0f * x, 20.0f * y, 3.0f, 255.0f});
    }
  }
  for (const int32_t mode : {1, 2}) {
    const Gatherer<brel::ARGB8> boxes(render.context, layer.view, mode);
    EXPECT_EQ(boxes.pyramids.level_count, 0);
    ASSERT_NE(boxes.sum_table_holder, nullptr);
    // The inclusive table of the raw channels, in double.
    EXPECT_EQ(boxes.sum_table.row(3)[4].channel[brel::Pixel_Traits<brel::ARGB8>::red],
              4.0 * 10.0 * 10.0);
    EXPECT_EQ(boxes.sum_table.row(3)[4].channel[brel::Pixel_Traits<brel::ARGB8>::alpha],
              20.0 * 255.0);
    EXPECT_EQ(boxes.sum_table.row(1)[0].channel[brel::Pixel_Traits<brel::ARGB8>::green], 20.0);
  }
  for (const int32_t mode : {3, 4}) {
    const Gatherer<brel::ARGB8> triangles(render.context, layer.view, mode);
    EXPECT_EQ(triangles.sum_table_holder, nullptr);
    EXPECT_EQ(triangles.pyramids.level_count, 2);  // 5 x 4, then 3 x 2 has a side below 3
    EXPECT_EQ(triangles.pyramids.mip_layers[0].pixels, layer.view.pixels);
  }
  // No pixels, or no area: nothing is made and the gatherer stays empty.
  Layer<brel::ARGB8> narrow = layer.view;
  narrow.width = 0;
  for (const Layer<brel::ARGB8>& source : {Layer<brel::ARGB8>{}, narrow}) {
    for (const int32_t mode : {1, 3}) {
      const Gatherer<brel::ARGB8> gatherer(render.context, source, mode);
      EXPECT_TRUE(gatherer.empty());
      EXPECT_EQ(gatherer.sum_table_holder, nullptr);
      EXPECT_EQ(gatherer.pyramids.level_count, 0);
    }
  }
}

}  // namespace
