#include "kernel/gatherer_cpu.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "base/exception.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"
#include "util/memory_2d.h"

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

// ---- Triangles against the band rules written out ------------------------------------------

// A level as the band rules read it, every read done directly: rows reflect without repeating
// the edge row, columns repeat (environment) or reflect repeating the edge column (refraction),
// and the sum of a row's first n pixels is added up pixel by pixel.
template <class P>
struct Reference_Level {
  using Traits = brel::Pixel_Traits<P>;
  static constexpr int32_t N = channels<P>;
  using Values = std::array<double, N>;

  const Layer<P>& level;
  bool wrap;

  int64_t row_of(int64_t j) const {
    const int64_t h = level.height;
    const int64_t i = j < 0 ? -j : j;
    return (i / h) % 2 == 0 ? i % h : h - 1 - i % h;
  }
  int64_t column_of(int64_t c) const {
    const int64_t w = level.width;
    if (wrap) {
      return ((c % w) + w) % w;
    }
    const int64_t t = c < 0 ? -c - 1 : c;
    return (t / w) % 2 == 0 ? t % w : w - 1 - t % w;
  }
  // What pixel c of row j adds at weight 1: alpha and colour x alpha / white, or the colour.
  Values value(int64_t c, int64_t j) const {
    const P& p = level.row(row_of(j))[column_of(c)];
    Values v{};
    if constexpr (Traits::has_alpha) {
      const double a = Traits::load(p, Traits::alpha);
      v[Traits::alpha] = a;
      for (const int32_t k : {Traits::red, Traits::green, Traits::blue}) {
        v[k] = Traits::load(p, k) * a / static_cast<double>(Traits::white_value);
      }
    } else {
      for (int32_t k = 0; k < N; ++k) {
        v[k] = p.channel[k];
      }
    }
    return v;
  }
  Values prefix(int64_t n, int64_t j) const {
    Values sum{};
    for (int64_t c = std::min<int64_t>(n, 0); c < std::max<int64_t>(n, 0); ++c) {
      const Values v = value(c, j);
      for (int32_t k = 0; k < N; ++k) {
        sum[k] += n > 0 ? v[k] : -v[k];
      }
    }
    return sum;
  }
};

struct Band_Rules {
  bool smooth;
  bool offset_one;  // a right boundary's wide band: ramp + 1 rather than ramp + |weight|
};

// One band of an edge, as the sharp and smooth span rules give it.
template <class P>
double reference_band(const Reference_Level<P>& level, Band_Rules rules, double k, double x0,
                      double y0, double ys, double ye, double xmin, double xmax, double w,
                      typename Reference_Level<P>::Values& acc) {
  const int64_t row = static_cast<int64_t>(std::floor(ys));
  const auto add = [&](int64_t c, double v) {
    const auto value = level.value(c, row);
    for (int32_t i = 0; i < Reference_Level<P>::N; ++i) {
      acc[i] += value[i] * v;
    }
  };
  const auto subtract_prefix = [&](int64_t n) {
    const auto prefix = level.prefix(n, row);
    for (int32_t i = 0; i < Reference_Level<P>::N; ++i) {
      acc[i] -= w * prefix[i];
    }
  };
  const double reach = rules.smooth ? 0.5 : 0.0;
  const double xs = (ys - reach - y0) * k + x0;
  const double xe = (ye + reach - y0) * k + x0;
  const double lo = std::max(xmin, std::min(xs, xe));
  const double hi = std::min(xmax, std::max(xs, xe));
  if (!rules.smooth && hi - lo <= 1.0) {
    const double m = ((ys + ye) / 2.0 - y0) * k + x0 - 0.5;
    const auto c = static_cast<int64_t>(std::floor(m));
    const double f = m - std::floor(m);
    const double g = w > 0 ? (1.0 - f) * w : f * std::fabs(w);
    add(c, g);
    subtract_prefix(c + 1);
    return g - w * static_cast<double>(c + 1);
  }
  if (rules.smooth && hi - lo <= 2.0) {
    const double m = ((ys + ye) / 2.0 - y0) * k + x0 + 0.33333334f;
    const auto c = static_cast<int64_t>(std::floor(m));
    const double f = (m - std::floor(m)) * 0.5;
    const double g1 = (0.5 - f) * 0.6666667f;
    const double g2 = (1.0 - f) * 0.6666667f;
    const double e1 = w > 0 ? w * g1 : (1.0 - g1) * std::fabs(w);
    const double e2 = w > 0 ? w * (g1 + g2) : (1.0 - (g1 + g2)) * std::fabs(w);
    add(c - 1, e1);
    add(c, e2);
    const int64_t cut = w >= 0 ? c + 1 : c;
    subtract_prefix(cut);
    return e1 + e2 - w * static_cast<double>(cut);
  }
  double weights = 0.0;
  for (auto c = static_cast<int64_t>(std::floor(lo)); c < static_cast<int64_t>(std::floor(hi));
       ++c) {
    const double ramp = (static_cast<double>(c) + 1.0 - lo) * w / (hi - lo);
    const double v = w > 0 ? ramp : ramp + (rules.offset_one ? 1.0 : std::fabs(w));
    add(c, v);
    weights += v;
  }
  const int64_t cut =
      w >= 0 ? static_cast<int64_t>(std::floor(hi)) : static_cast<int64_t>(std::floor(lo)) + 1;
  subtract_prefix(cut);
  return weights - w * static_cast<double>(cut);
}

// The triangle's weighted mean on one level (coordinates already in level pixels): the edges
// cut at whole rows into bands, the long edge a left boundary when it lies left of the middle
// vertex.
template <class P>
typename Reference_Level<P>::Values reference_triangle(const Reference_Level<P>& level,
                                                       Band_Rules rules,
                                                       std::array<std::array<double, 2>, 3> v) {
  std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a[1] < b[1]; });
  typename Reference_Level<P>::Values acc{};
  if (v[0][1] == v[2][1]) {
    return acc;
  }
  const auto edge = [&](const std::array<double, 2>& a, const std::array<double, 2>& b,
                        double sign) {
    if (a[1] == b[1]) {
      return 0.0;
    }
    const double k = (b[0] - a[0]) / (b[1] - a[1]);
    const double xmin = std::min(a[0], b[0]);
    const double xmax = std::max(a[0], b[0]);
    const double top = std::floor(a[1]);
    const double bottom = std::floor(b[1]);
    if (top == bottom) {
      return reference_band(level, rules, k, a[0], a[1], a[1], b[1], xmin, xmax,
                            sign * (b[1] - a[1]), acc);
    }
    double weight = reference_band(level, rules, k, a[0], a[1], a[1], top + 1.0, xmin, xmax,
                                   sign * (top + 1.0 - a[1]), acc);
    for (double j = top + 1.0; j < bottom; j += 1.0) {
      weight += reference_band(level, rules, k, a[0], a[1], j, j + 1.0, xmin, xmax, sign, acc);
    }
    if (b[1] == bottom) {
      return weight;  // a last band of no height covers nothing
    }
    return weight + reference_band(level, rules, k, a[0], a[1], bottom, b[1], xmin, xmax,
                                   sign * (b[1] - bottom), acc);
  };
  const double long_x = v[0][0] + (v[2][0] - v[0][0]) * (v[1][1] - v[0][1]) / (v[2][1] - v[0][1]);
  const double sign = long_x > v[1][0] ? -1.0 : 1.0;
  double area = edge(v[0], v[2], sign);
  area += edge(v[0], v[1], -sign);
  area += edge(v[1], v[2], -sign);
  if (area > 0.0) {
    for (double& a : acc) {
      a /= area;
    }
  }
  return acc;
}

// Random triangles, small ones and ones that need coarser levels, inside and around the layer:
// the core's triangle against the written-out rules on the level it chose.
template <class P, class Rules, bool smooth>
void expect_triangles_follow_the_band_rules(double tolerance) {
  using Traits = brel::Pixel_Traits<P>;
  Standalone_Render render(2);
  Host_Layer<P> layer(render.context, 41, 27);
  std::mt19937 random(12);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int64_t y = 0; y < 27; ++y) {
    for (int64_t x = 0; x < 41; ++x) {
      const float a = unit(random) < 0.1f ? 0.0f : unit(random);
      set_channels(layer.at(x, y),
                   {unit(random) * Traits::white_value, unit(random) * Traits::white_value,
                    unit(random) * Traits::white_value, a * Traits::white_value});
    }
  }
  const Gatherer<P> gatherer(render.context, layer.view, smooth ? 4 : 3);
  const auto& pyramids = gatherer.pyramids;
  std::uniform_real_distribution<double> where(-60.0, 100.0);
  for (int32_t trial = 0; trial < 600; ++trial) {
    const double size = trial % 3 == 0 ? 2.0 : (trial % 3 == 1 ? 20.0 : 90.0);
    std::uniform_real_distribution<double> spread(-size, size);
    const double cx = where(random);
    const double cy = where(random);
    std::array<std::array<double, 2>, 3> v;
    for (auto& p : v) {
      p = {cx + spread(random), cy + spread(random)};
    }
    const auto actual = brel::gather::triangle_gather<P, Rules, smooth>(
        pyramids.mip_layers.data(), pyramids.row_sum_layers.data(), pyramids.level_count,
        {v[0][0], v[0][1]}, {v[1][0], v[1][1]}, {v[2][0], v[2][1]});
    // The level where the triangle fits, and its coordinates there.
    double w = std::max(
        {std::fabs(v[0][0] - v[1][0]), std::fabs(v[0][0] - v[2][0]), std::fabs(v[1][0] - v[2][0])});
    double h = std::max({v[0][1], v[1][1], v[2][1]}) - std::min({v[0][1], v[1][1], v[2][1]});
    int64_t level = 0;
    double scale = 1.0;
    while ((w > 24.0 || h > 24.0 || w * h > 144.0) && level < pyramids.level_count - 1) {
      ++level;
      w *= 0.5;
      h *= 0.5;
      scale *= 0.5;
    }
    for (auto& p : v) {
      p = {p[0] * scale + 0.25, p[1] * scale};
    }
    const Reference_Level<P> reference{pyramids.mip_layers[level], Rules::columns_wrap};
    const auto expected = reference_triangle(reference, {smooth, Rules::wide_band_offset_one}, v);
    for (int32_t c = 0; c < channels<P>; ++c) {
      ASSERT_NEAR(actual.channel[c], expected[c], tolerance)
          << "trial " << trial << " level " << level << " channel " << c;
    }
  }
}

TEST(Gatherer_Triangle, RefractionTrianglesFollowTheBandRules) {
  expect_triangles_follow_the_band_rules<RGB32f, brel::gather::Refraction_Rules, false>(1e-6);
  expect_triangles_follow_the_band_rules<RGB32f, brel::gather::Refraction_Rules, true>(1e-6);
}

// A steep edge (more than two columns a row) ending exactly on a whole row: the row below the
// triangle is white and everything else black, so no gather mode may see any of it.
TEST(Gatherer_Triangle, EdgeEndingOnAWholeRowReadsNothingOfThatRow) {
  Standalone_Render render(2);
  Host_Layer<RGB32f> layer(render.context, 32, 16);
  for (int64_t y = 0; y < 16; ++y) {
    for (int64_t x = 0; x < 32; ++x) {
      const float v = y == 10 ? 1.0f : 0.0f;
      set_channels(layer.at(x, y), {v, v, v, 1.0f});
    }
  }
  for (const int32_t mode : {3, 4}) {
    const Gatherer<RGB32f> gatherer(render.context, layer.view, mode);
    const auto& pyramids = gatherer.pyramids;
    const auto gather =
        mode == 4 ? brel::gather::triangle_gather<RGB32f, brel::gather::Refraction_Rules, true>
                  : brel::gather::triangle_gather<RGB32f, brel::gather::Refraction_Rules, false>;
    const auto mean = gather(pyramids.mip_layers.data(), pyramids.row_sum_layers.data(),
                             pyramids.level_count, {0.5, 6.0}, {12.5, 10.0}, {20.5, 6.0});
    for (int32_t c = 0; c < channels<RGB32f>; ++c) {
      EXPECT_EQ(mean.channel[c], 0.0) << "mode " << mode << " channel " << c;
    }
  }
}

// Float types: the 8-bit and 16-bit row sums above level 0 hold the block means before their
// rounding, so they are not the sums of the stored level pixels that the rules read.
TEST(Gatherer_Triangle, EnvironmentTrianglesFollowTheBandRules) {
  expect_triangles_follow_the_band_rules<brel::ARGB32f, brel::gather::Environment_Rules, false>(
      1e-6);
  expect_triangles_follow_the_band_rules<brel::BGRA32f, brel::gather::Environment_Rules, true>(
      1e-6);
}

// ---- Precision, the panorama and the environment's edges -----------------------------------

// A footprint of about one pixel near the far corner of a UHD layer: every mode against the
// weighted mean computed directly in double. Float tables would lose whole units there.
template <class P>
void expect_one_pixel_footprints_exact_at_frame_size(std::initializer_list<int32_t> modes) {
  Standalone_Render render(8);
  constexpr int64_t width = 3840;
  constexpr int64_t height = 2160;
  Host_Layer<P> layer(render.context, width, height);
  for (int64_t y = 0; y < height; ++y) {
    P* const row = layer.view.row(y);
    for (int64_t x = 0; x < width; ++x) {
      const float v = static_cast<float>((x * 7919 + y * 104729) % 1000) / 999.0f;
      set_channels(row[x], {v, 1.0f - v, 0.5f * v, 1.0f});
    }
  }
  const int64_t x = 3837;
  const int64_t y = 2157;
  const Landing_Rows rows(width, y, 0.37f, -0.29f);
  // The box [x0, x1] x [y0, y1] written out: pixel p weighs the length of [x0, x1 + 1) within
  // [p, p + 1), times the same in y.
  const auto box_mean = [&](double x0, double x1, double y0, double y1) {
    std::array<double, channels<P>> mean{};
    double total = 0.0;
    for (auto py = static_cast<int64_t>(std::floor(y0)); py <= static_cast<int64_t>(y1) + 1; ++py) {
      const double wy = std::max(0.0, std::min(y1 + 1.0, py + 1.0) - std::max(y0, double(py)));
      for (auto px = static_cast<int64_t>(std::floor(x0)); px <= static_cast<int64_t>(x1) + 1;
           ++px) {
        const double wx = std::max(0.0, std::min(x1 + 1.0, px + 1.0) - std::max(x0, double(px)));
        for (int32_t c = 0; c < channels<P>; ++c) {
          mean[c] += wx * wy * layer.at(px, py).channel[c];
        }
        total += wx * wy;
      }
    }
    for (double& m : mean) {
      m /= total;
    }
    return mean;
  };
  for (const int32_t mode : modes) {
    const Gatherer<P> gatherer(render.context, layer.view, mode);
    const Result<P> result =
        gather(gatherer, x, y, {1.0f, 1.0f}, rows.first.data(), rows.second.data());
    std::array<double, channels<P>> expected{};
    // Landing points: D of the pixel, C left of it, B above, A above-left.
    const Blur_Coordinates d = rows.first[x];
    const Blur_Coordinates a = rows.second[x - 1];
    if (mode < 3) {
      // Half a pixel around D; in mode 2 also around the midpoints towards A, B and C (all at
      // the same offset, a quarter pixel further on), the four means averaged.
      std::vector<std::array<double, 2>> centres = {{d.x, d.y}};
      if (mode == 2) {
        for (const Blur_Coordinates& n : {a, rows.second[x], rows.first[x - 1]}) {
          centres.push_back({(n.x + d.x) * 0.5f + 0.25f, (n.y + d.y) * 0.5f + 0.25f});
        }
      }
      for (const auto& centre : centres) {
        const auto mean =
            box_mean(static_cast<float>(centre[0]) - 0.5f, static_cast<float>(centre[0]) + 0.5f,
                     static_cast<float>(centre[1]) - 0.5f, static_cast<float>(centre[1]) + 0.5f);
        for (int32_t c = 0; c < channels<P>; ++c) {
          expected[c] += mean[c] / static_cast<double>(centres.size());
        }
      }
    } else {
      // The two triangles of the unit square at A + 1, over level 0 (x a quarter pixel on).
      const Reference_Level<P> level{layer.view, !std::is_same_v<P, RGB32f>};
      const Band_Rules rules{mode >= 4, std::is_same_v<P, RGB32f>};
      const double ax = (a.x + 1.0f) + 0.25, ay = a.y + 1.0f;
      const auto first =
          reference_triangle(level, rules, {{{ax, ay}, {ax + 1.0, ay}, {ax, ay + 1.0}}});
      const auto second = reference_triangle(
          level, rules, {{{ax + 1.0, ay + 1.0}, {ax + 1.0, ay}, {ax, ay + 1.0}}});
      for (int32_t c = 0; c < channels<P>; ++c) {
        expected[c] = (first[c] + second[c]) * 0.5;
      }
    }
    for (int32_t c = 0; c < channels<P>; ++c) {
      EXPECT_NEAR(result.channel[c], expected[c], 1e-6) << "mode " << mode << " channel " << c;
    }
  }
}

TEST(Gatherer_Precision, OnePixelFootprintAtTheFarCornerOfAUhdLayer) {
  expect_one_pixel_footprints_exact_at_frame_size<RGB32f>({1, 3});
  expect_one_pixel_footprints_exact_at_frame_size<brel::BGRA32f>({2, 4});
}

// A footprint across the panorama's seam is unwrapped around its upper-left point: it gathers
// what the same footprint gathers a whole width further on.
TEST(Gatherer_Environment, FootprintAcrossTheSeamStaysSmall) {
  Standalone_Render render(2);
  Host_Layer<brel::ARGB32f> layer(render.context, 16, 8);
  for (int64_t y = 0; y < 8; ++y) {
    for (int64_t x = 0; x < 16; ++x) {
      set_channels(layer.at(x, y), {x * 0.0625f, y * 0.125f, 0.5f, 1.0f});
    }
  }
  for (int32_t mode = 1; mode <= 4; ++mode) {
    const Gatherer<brel::ARGB32f> gatherer(render.context, layer.view, mode);
    // Column 1 of the output looks up just left of the seam, column 1 just right of it.
    Landing_Rows seam(2, 4, 0.0f, 0.3f, 0.2f);
    Landing_Rows unwrapped = seam;
    seam.first[0].x = seam.second[0].x = 15.6f;
    unwrapped.first[0].x = unwrapped.second[0].x = -0.4f;
    seam.first[1].x = seam.second[1].x = 0.2f;
    unwrapped.first[1].x = unwrapped.second[1].x = 0.2f;
    const auto across = gather(gatherer, 1, 4, {2.0f, 2.0f}, seam.first.data(), seam.second.data());
    const auto near =
        gather(gatherer, 1, 4, {2.0f, 2.0f}, unwrapped.first.data(), unwrapped.second.data());
    for (int32_t c = 0; c < 4; ++c) {
      EXPECT_NEAR(across.channel[c], near.channel[c], 1e-6f) << "mode " << mode;
    }
  }
}

// In column 0 the left neighbour is column 0 itself: the undisplaced footprint is no identity
// and goes through one box of weights 0.5, 1, 0.5 each way, the column before wrapping around.
// Mode 2 there uses that single box.
TEST(Gatherer_Environment, ColumnZeroTakesOneBoxAroundThePixel) {
  Standalone_Render render(1);
  Host_Layer<brel::BGRA8> layer(render.context, 5, 4);
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 5; ++x) {
      set_channels(layer.at(x, y), {static_cast<float>(10 * x + y), 0.0f, 0.0f, 255.0f});
    }
  }
  const auto red = [&](int64_t x, int64_t y) { return 10.0 * x + y; };
  const Landing_Rows rows(5, 2);
  for (const int32_t mode : {1, 2}) {
    const Gatherer<brel::BGRA8> gatherer(render.context, layer.view, mode);
    Footprint_Scale scale{3.0f, 3.0f};
    const auto result = brel::gather_environment_footprint(&gatherer, 0, 2, scale,
                                                           rows.first.data(), rows.second.data());
    double expected = 0.0;
    for (const int64_t dy : {-1, 0, 1}) {
      const double wy = dy == 0 ? 1.0 : 0.5;
      expected += wy * (0.5 * red(4, 2 + dy) + red(0, 2 + dy) + 0.5 * red(1, 2 + dy));
    }
    EXPECT_NEAR(result.channel[brel::Pixel_Traits<brel::BGRA8>::red], expected / 4.0 * 0.0039215689,
                1e-6);
    EXPECT_EQ(scale.x, 3.0f * 0.70710677f);  // the box modes scale the caller's pair
  }
}

// Every channel of every pixel of `layer` drawn at random from 0 to white.
template <class P>
void fill_at_random(Host_Layer<P>& layer, std::mt19937& random) {
  std::uniform_real_distribution<float> value(0.0f, white<P>());
  for (int64_t y = 0; y < layer.view.height; ++y) {
    for (int64_t x = 0; x < layer.view.width; ++x) {
      set_channels(layer.at(x, y), {value(random), value(random), value(random), value(random)});
    }
  }
}

// The run of footprints of the pixel type's own user over pixels x_begin .. x_end - 1 of row y
// gives each pixel's own gather bit for bit.
template <class P>
void expect_run_gives_each_pixels_gather(const Gatherer<P>& gatherer, int64_t y, int64_t x_begin,
                                         int64_t x_end, Footprint_Scale scale,
                                         const std::vector<Blur_Coordinates>& first,
                                         const std::vector<Blur_Coordinates>& second) {
  std::vector<Result<P>> run(x_end - x_begin);
  if constexpr (std::is_same_v<P, RGB32f>) {
    brel::gather_pixels(gatherer, y, x_begin, x_end, scale, first.data(), second.data(),
                        run.data());
  } else {
    brel::gather_environment_footprints(&gatherer, y, x_begin, x_end, scale, first.data(),
                                        second.data(), run.data());
  }
  for (int64_t x = x_begin; x < x_end; ++x) {
    const Result<P> alone = gather(gatherer, x, y, scale, first.data(), second.data());
    ASSERT_EQ(std::memcmp(&run[x - x_begin], &alone, sizeof(alone)), 0)
        << "mode " << gatherer.mode << " at " << x << ", " << y;
  }
}

// A run of footprints gives each pixel's own gather bit for bit: over exact integer tables and
// float ones, boxes of one pixel, boxes across the seam with their rows inside, wider than the
// panorama, reaching the top and bottom rows, unmoved pixels, corners a whole turn apart, and
// points beyond the coordinate limit; runs begin anywhere in the row.
template <class P>
void expect_runs_give_each_pixels_gather() {
  constexpr int64_t w = 29;
  constexpr int64_t h = 17;
  constexpr int64_t row_width = 70;
  std::mt19937 random(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Standalone_Render render(1);
  Host_Layer<P> layer(render.context, w, h);
  fill_at_random(layer, random);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // A landing point of each kind, chosen at random.
  const auto point = [&](int64_t x, int64_t y) -> Blur_Coordinates {
    const float u = unit(random) * static_cast<float>(w - 1);
    const float v = 1.5f + unit(random) * static_cast<float>(h - 4);
    switch (random() % 9) {
      case 0:  // one pixel, or the pixel itself
        return {static_cast<float>(x), static_cast<float>(y), 0.0f};
      case 1:
        return {u, v, 0.0f};
      case 2:  // at the seam
        return {random() % 2 == 0 ? 0.2f * unit(random) : w - 1 - 0.2f * unit(random), v,
                0.1f * unit(random)};
      case 3:  // wider than the panorama
        return {u, v, 2.0f + unit(random)};
      case 4:  // reaching the top or bottom rows
        return {u, random() % 2 == 0 ? 0.3f : h - 1.2f, 0.05f};
      case 5:
        return {u, v, random() % 2 == 0 ? nan : 3.0e9f};
      default:
        return {u, v, 0.2f * unit(random)};
    }
  };
  for (const int32_t mode : {1, 2, 3}) {
    const Gatherer<P> gatherer(render.context, layer.view, mode);
    int64_t compared = 0;
    for (int32_t trial = 0; trial < 40; ++trial) {
      const int64_t y = trial % h;
      std::vector<Blur_Coordinates> first(row_width);
      std::vector<Blur_Coordinates> second(row_width);
      for (int64_t x = 0; x < row_width; ++x) {
        first[x] = point(x, y);
        second[x] = point(x, y - 1);
        if (trial % 3 == 0 && random() % 8 != 0) {
          // Mostly unmoved pixels.
          first[x] = {static_cast<float>(x), static_cast<float>(y), 0.0f};
          second[x] = {static_cast<float>(x), static_cast<float>(y - 1), 0.0f};
        }
      }
      const int64_t x_begin = trial % 7;
      const int64_t x_end = row_width - trial % 5;
      const Footprint_Scale scale{static_cast<float>(w), static_cast<float>(h)};
      expect_run_gives_each_pixels_gather(gatherer, y, x_begin, x_end, scale, first, second);
      compared += x_end - x_begin;
    }
    EXPECT_GT(compared, 2000);
  }
}

TEST(Gatherer_Environment, RunsGiveWhatEachPixelGives) {
  expect_runs_give_each_pixels_gather<brel::ARGB16>();
  expect_runs_give_each_pixels_gather<brel::BGRA8>();
  expect_runs_give_each_pixels_gather<brel::ARGB32f>();
}

// The box modes set up the boxes of eight pixels at a time: a run gives each pixel's own gather
// bit for bit, with every corner of a footprint and its blur drawn apart from its neighbours'
// (so each of mode 2's four boxes differs), the corners inside the layer, across its seam (an
// edge of the refraction's layer), up to two turns (widths) off its sides, above and below it,
// beyond the coordinate limit, or unmoved; runs of every length, from column 0 and in row 0 too.
TYPED_TEST(Gatherer_Typed, BoxRunsGiveWhatEachPixelGivesWhereverTheCornersLand) {
  using P = TypeParam;
  constexpr int64_t w = 23;
  constexpr int64_t h = 19;
  constexpr int64_t row_width = 45;
  std::mt19937 random(17);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Standalone_Render render(1);
  Host_Layer<P> layer(render.context, w, h);
  fill_at_random(layer, random);
  const auto point = [&](int64_t x, int64_t y) -> Blur_Coordinates {
    const float u = 1.5f + unit(random) * static_cast<float>(w - 4);
    const float v = 2.0f + unit(random) * static_cast<float>(h - 5);
    const float blur = 0.15f * unit(random);
    switch (random() % 7) {
      case 0:  // across the seam
        return {random() % 2 == 0 ? 0.5f * unit(random) : w - 1 - 0.5f * unit(random), v, blur};
      case 1:  // off a side by one or two turns
        return {u + static_cast<float>(w) * (random() % 2 == 0 ? -1.0f : 2.0f), v, blur};
      case 2:  // above or below
        return {u, random() % 2 == 0 ? -3.0f * unit(random) : h - 1 + 3.0f * unit(random), blur};
      case 3:  // about as wide as the panorama
        return {u, v, 0.5f + unit(random)};
      case 4:
        return {static_cast<float>(x), static_cast<float>(y), 0.0f};
      case 5:  // a box beyond the coordinate limit
        return {u, v, random() % 2 == 0 ? std::numeric_limits<float>::quiet_NaN() : 3.0e9f};
      default:
        return {u, v, blur};
    }
  };
  for (const int32_t mode : {1, 2}) {
    const Gatherer<P> gatherer(render.context, layer.view, mode);
    for (int32_t trial = 0; trial < 60; ++trial) {
      const int64_t y = trial % 10 == 0 ? 0 : 1 + random() % (h - 1);
      std::vector<Blur_Coordinates> first(row_width);
      std::vector<Blur_Coordinates> second(row_width);
      for (int64_t x = 0; x < row_width; ++x) {
        first[x] = point(x, y);
        second[x] = point(x, y - 1);
      }
      const int64_t x_begin = trial % 4 == 0 ? 0 : random() % 12;
      const int64_t x_end = x_begin + 1 + random() % (row_width - x_begin);
      expect_run_gives_each_pixels_gather(gatherer, y, x_begin, x_end,
                                          {static_cast<float>(w), static_cast<float>(h)}, first,
                                          second);
    }
  }
}

// ---- Set-up under failure --------------------------------------------------------------------

// Memory that runs out at every allocation of a set-up in turn, and an abort at every row pass:
// the failure leaves the set-up and every block made before it is given back.
TEST(Gatherer, FailedSetUpGivesBackEveryBlock) {
  Standalone_Render render(2);
  Host_Layer<brel::BGRA16> layer(render.context, 21, 13);
  layer.fill(100, 200, 300, 32768);
  for (const int32_t mode : {1, 3}) {
    for (int32_t failing = 0;; ++failing) {
      std::vector<std::weak_ptr<brel::Mapped_Memory_2d>> made;
      int32_t calls = 0;
      brel::Render_Context context = render.context;
      context.allocate_memory_2d = [&](int64_t width, int64_t height) {
        if (calls++ == failing) {
          throw std::bad_alloc();
        }
        auto memory = render.context.allocate_memory_2d(width, height);
        made.push_back(memory);
        return memory;
      };
      bool failed = false;
      try {
        const Gatherer<brel::BGRA16> gatherer(context, layer.view, mode);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      for (const auto& memory : made) {
        EXPECT_TRUE(memory.expired()) << "mode " << mode << " failing at " << failing;
      }
      if (!failed) {
        EXPECT_GT(failing, 0);
        break;
      }
    }
  }
  // An abort at every poll while the pyramids or the table are built.
  for (const int32_t mode : {2, 4}) {
    std::atomic<int32_t> polls{0};
    brel::Render_Context counting = render.context;
    counting.check_abort = [&] { ++polls; };
    { const Gatherer<brel::BGRA16> gatherer(counting, layer.view, mode); }
    EXPECT_GT(polls.load(), 10);
    for (int32_t aborting = 0; aborting < polls.load(); ++aborting) {
      std::atomic<int32_t> count{0};
      brel::Render_Context context = render.context;
      context.check_abort = [&] {
        if (count++ >= aborting) {
          throw brel::Exception_Abort();
        }
      };
      EXPECT_THROW(Gatherer<brel::BGRA16>(context, layer.view, mode), brel::Exception_Abort);
    }
  }
}

// The refraction's triangle modes: a quad whose four points coincide is separated by the 0.1
// nudge and gives the finite mean of the pixels it touches.
TEST(Gatherer_Refraction, DegenerateQuadsGiveFiniteColours) {
  Standalone_Render render(1);
  Host_Layer<RGB32f> layer(render.context, 8, 6);
  for (int64_t y = 0; y < 6; ++y) {
    for (int64_t x = 0; x < 8; ++x) {
      set_channels(layer.at(x, y), {0.5f, 0.25f, static_cast<float>(x) / 8.0f, 1.0f});
    }
  }
  for (const int32_t mode : {3, 4}) {
    const Gatherer<RGB32f> gatherer(render.context, layer.view, mode);
    std::vector<Blur_Coordinates> first(4, Blur_Coordinates{3.3f, 2.6f, 0.0f});
    std::vector<Blur_Coordinates> second = first;
    Footprint_Scale scale{1.0f, 1.0f};
    const RGB32f point = brel::gather_pixel(gatherer, 2, 2, scale, first.data(), second.data());
    EXPECT_NEAR(point.channel[0], 0.5f, 1e-6f) << "mode " << mode;
    EXPECT_TRUE(std::isfinite(point.channel[2]));
    EXPECT_GT(point.channel[2], 0.0f);
    EXPECT_LT(point.channel[2], 1.0f);
  }
}
