#include "kernel/gather_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::RGB32f;
using brel::RGB64f;
using brel::gather::Edge_Mode;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;

int64_t modulo(int64_t a, int64_t n) {
  return ((a % n) + n) % n;
}

// Where pixel p of an axis of n pixels is read when the layer is continued by `mode`, pixel by
// pixel; -1 for nothing.
int64_t extended(Edge_Mode mode, int64_t p, int64_t n) {
  switch (mode) {
    case Edge_Mode::clamp:
      return std::clamp<int64_t>(p, 0, n - 1);
    case Edge_Mode::mirror: {
      const int64_t t = modulo(p, 2 * n);
      return t < n ? t : 2 * n - 1 - t;
    }
    case Edge_Mode::wrap:
      return modulo(p, n);
    default:
      return p >= 0 && p < n ? p : -1;
  }
}

// Pixel p of the range (b, e] read piece by piece, for ranges within one reflection of the
// layer: below it -k reads k; past the far edge a range that starts inside reads 2n - 1 - p and
// one that lies wholly beyond reads 2n - p.
int64_t by_piece(int64_t p, int64_t b, int64_t n) {
  if (p < 0) {
    return -p;
  }
  if (p >= n) {
    return b < n ? 2 * n - 1 - p : 2 * n - p;
  }
  return p;
}

// A one-channel-per-colour source with integer values, and its summed-area table in double,
// written out directly.
struct Table_Source {
  Table_Source(const brel::Render_Context& context, int64_t width, int64_t height, uint32_t seed)
      : source(context, width, height), table(context, width, height) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(0, 9);
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        for (float& channel : source.at(x, y).channel) {
          channel = static_cast<float>(value(random));
        }
      }
    }
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        for (int32_t c = 0; c < 3; ++c) {
          double sum = 0.0;
          for (int64_t j = 0; j <= y; ++j) {
            for (int64_t i = 0; i <= x; ++i) {
              sum += source.at(i, j).channel[c];
            }
          }
          table.at(x, y).channel[c] = sum;
        }
      }
    }
  }

  double value(int64_t x, int64_t y, int32_t c) const { return source.at(x, y).channel[c]; }

  Host_Layer<RGB32f> source;
  Host_Layer<RGB64f> table;
};

using Pixel_Of = int64_t (*)(Edge_Mode, int64_t, int64_t, int64_t);

// The sum over (xb, xe] x (yb, ye], pixel by pixel, each index read as `pixel` says.
brel::gather::Sum<3> direct_sum(const Table_Source& s, Edge_Mode x_mode, Edge_Mode y_mode,
                                int64_t xb, int64_t xe, int64_t yb, int64_t ye, Pixel_Of pixel) {
  brel::gather::Sum<3> sum;
  for (int64_t y = yb + 1; y <= ye; ++y) {
    const int64_t my = pixel(y_mode, y, yb, s.source.view.height);
    for (int64_t x = xb + 1; x <= xe; ++x) {
      const int64_t mx = pixel(x_mode, x, xb, s.source.view.width);
      if (mx >= 0 && my >= 0) {
        for (int32_t c = 0; c < 3; ++c) {
          sum.channel[c] += s.value(mx, my, c);
        }
      }
    }
  }
  return sum;
}

int64_t pixel_of_mode(Edge_Mode mode, int64_t p, int64_t b, int64_t n) {
  return mode == Edge_Mode::mirror_by_piece ? by_piece(p, b, n) : extended(mode, p, n);
}

void expect_sum(const brel::gather::Sum<3>& actual, const brel::gather::Sum<3>& expected,
                double count, double expected_count) {
  EXPECT_EQ(count, expected_count);
  for (int32_t c = 0; c < 3; ++c) {
    ASSERT_EQ(actual.channel[c], expected.channel[c]) << "channel " << c;
  }
}

// Ranges from three periods before the layer to several beyond, every mode of either axis,
// against the layer continued pixel by pixel. Integer values: the sums are exact.
TEST(Gather_Box_Sum, EveryModeMatchesTheLayerContinuedPixelByPixel) {
  Standalone_Render render(1);
  std::mt19937 random(3);
  const Edge_Mode modes[] = {Edge_Mode::clamp, Edge_Mode::mirror, Edge_Mode::wrap, Edge_Mode::zero};
  for (const auto& [w, h] : {std::pair<int64_t, int64_t>{1, 1}, {2, 3}, {5, 4}, {7, 2}}) {
    const Table_Source s(render.context, w, h, static_cast<uint32_t>(w * 10 + h));
    std::uniform_int_distribution<int64_t> begin_x(-3 * w - 2, 3 * w + 1);
    std::uniform_int_distribution<int64_t> length_x(0, 6 * w + 2);
    std::uniform_int_distribution<int64_t> begin_y(-3 * h - 2, 3 * h + 1);
    std::uniform_int_distribution<int64_t> length_y(0, 6 * h + 2);
    for (const Edge_Mode x_mode : modes) {
      for (const Edge_Mode y_mode : modes) {
        for (int32_t trial = 0; trial < 300; ++trial) {
          const int64_t xb = begin_x(random);
          const int64_t xe = xb + length_x(random);
          const int64_t yb = begin_y(random);
          const int64_t ye = yb + length_y(random);
          brel::gather::Sum<3> sum;
          const double count =
              brel::gather::box_sum_edge_mode(s.table.view, sum, x_mode, y_mode, xb, xe, yb, ye);
          SCOPED_TRACE(testing::Message()
                       << w << " x " << h << " modes " << int(x_mode) << ", " << int(y_mode)
                       << " range (" << xb << ", " << xe << "] x (" << yb << ", " << ye << "]");
          expect_sum(sum, direct_sum(s, x_mode, y_mode, xb, xe, yb, ye, pixel_of_mode), count,
                     static_cast<double>((xe - xb) * (ye - yb)));
        }
      }
    }
  }
}

// The refraction's reflection, within one reflection of the layer on either side, pixel by
// pixel; further out, whole periods of 2n move a range nearer and whole strips repeat the layer.
TEST(Gather_Box_Sum, PieceByPieceMirrorFollowsItsSplitOfTheRange) {
  Standalone_Render render(1);
  const Edge_Mode piece = Edge_Mode::mirror_by_piece;
  for (const auto& [w, h] : {std::pair<int64_t, int64_t>{1, 2}, {2, 1}, {5, 3}, {6, 4}}) {
    const Table_Source s(render.context, w, h, static_cast<uint32_t>(w + h));
    brel::gather::Sum<3> sum;
    // Every range whose pixels lie within one reflection: -n + 1 .. 2n - 1.
    for (int64_t xb = -w; xb < 2 * w; ++xb) {
      for (int64_t xe = xb; xe < 2 * w; ++xe) {
        for (int64_t yb = -h; yb < 2 * h; ++yb) {
          for (int64_t ye = yb; ye < 2 * h; ++ye) {
            const double count =
                brel::gather::box_sum_edge_mode(s.table.view, sum, piece, piece, xb, xe, yb, ye);
            SCOPED_TRACE(testing::Message() << w << " x " << h << " (" << xb << ", " << xe
                                            << "] x (" << yb << ", " << ye << "]");
            expect_sum(sum, direct_sum(s, piece, piece, xb, xe, yb, ye, pixel_of_mode), count,
                       static_cast<double>((xe - xb) * (ye - yb)));
          }
        }
      }
    }
    // Further out, one axis at a time over the whole other axis.
    const int64_t p = 2 * w;
    const auto row_sum = [&](int64_t xb, int64_t xe) {
      brel::gather::Sum<3> out;
      brel::gather::box_sum_edge_mode(s.table.view, out, piece, Edge_Mode::zero, xb, xe, -1, h - 1);
      return out;
    };
    brel::gather::Sum<3> total = row_sum(-1, w - 1);
    for (int64_t xb = -4 * p; xb < 4 * p; ++xb) {
      for (int64_t length = 1; length < 3 * p; length += 2) {
        const int64_t xe = xb + length;
        if (xe < 0 || xb >= w) {
          // Wholly outside: the same as the range moved by a whole period towards the layer.
          const int64_t nearer = xe < 0 ? p : -p;
          if ((xe < 0 && xe + nearer >= -p) || (xb >= w && xb + nearer < w)) {
            continue;  // already within the first period
          }
          const brel::gather::Sum<3> a = row_sum(xb, xe);
          const brel::gather::Sum<3> b = row_sum(xb + nearer, xe + nearer);
          for (int32_t c = 0; c < 3; ++c) {
            ASSERT_EQ(a.channel[c], b.channel[c]) << xb << ", " << xe;
          }
        } else if (xb >= -1 && xe >= w + 2 * p) {
          // From inside to two or more periods beyond: whole strips of the layer, then the rest.
          const int64_t periods = (xe - w) / p;
          brel::gather::Sum<3> expected = row_sum(xb, xe - periods * p);
          expected.add_scaled(total, static_cast<double>(2 * periods));
          const brel::gather::Sum<3> actual = row_sum(xb, xe);
          for (int32_t c = 0; c < 3; ++c) {
            ASSERT_EQ(actual.channel[c], expected.channel[c]) << xb << ", " << xe;
          }
        }
      }
    }
  }
}

// Ranges far out and very long stay within the terms' capacity and hold exactly their count of
// pixels: a constant layer sums to count x constant.
TEST(Gather_Box_Sum, LongRangesAreWholeStripsTimesTheirNumber) {
  Standalone_Render render(1);
  Host_Layer<RGB64f> table(render.context, 3, 2);
  for (int64_t y = 0; y < 2; ++y) {
    for (int64_t x = 0; x < 3; ++x) {
      for (double& channel : table.at(x, y).channel) {
        channel = static_cast<double>((x + 1) * (y + 1)) * 0.5;  // a constant 0.5
      }
    }
  }
  std::mt19937_64 random(9);
  std::uniform_int_distribution<int64_t> anywhere(-(int64_t{1} << 32), int64_t{1} << 32);
  for (const Edge_Mode mode :
       {Edge_Mode::clamp, Edge_Mode::mirror, Edge_Mode::wrap, Edge_Mode::mirror_by_piece}) {
    for (int32_t trial = 0; trial < 2000; ++trial) {
      int64_t xb = anywhere(random);
      int64_t xe = anywhere(random);
      if (xe < xb) {
        std::swap(xb, xe);
      }
      const int64_t yb = anywhere(random) % 10;
      const int64_t ye = yb + 3;
      brel::gather::Sum<3> sum;
      const double count =
          brel::gather::box_sum_edge_mode(table.view, sum, mode, mode, xb, xe, yb, ye);
      ASSERT_EQ(count, static_cast<double>(xe - xb) * 3.0);
      ASSERT_EQ(sum.channel[1], count * 0.5) << int(mode) << ": " << xb << ", " << xe;
    }
  }
}

// Box gathers against the weighted mean written out pixel by pixel: pixel p weighs the length of
// [x0, x1 + 1) within [p, p + 1), its neighbours read as the user's edge rules say.
template <class Rules>
void expect_box_gathers_match_direct_means(const Table_Source& s, std::mt19937& random) {
  const int64_t w = s.source.view.width;
  const int64_t h = s.source.view.height;
  // Boxes whose pixels stay within one reflection of the layer, where the piece-by-piece
  // mirror reads each pixel as `by_piece` says.
  std::uniform_real_distribution<double> start_x(-static_cast<double>(w) + 1.0, 1.2 * w);
  std::uniform_real_distribution<double> start_y(-static_cast<double>(h) + 1.0, 1.2 * h);
  std::uniform_real_distribution<double> size(0.0, 0.6);
  const auto weight = [](double a0, double a1, int64_t p) {
    const double lo = std::max(a0, static_cast<double>(p));
    const double hi = std::min(a1 + 1.0, static_cast<double>(p + 1));
    return std::max(0.0, hi - lo);
  };
  for (int32_t trial = 0; trial < 400; ++trial) {
    const double x0 = start_x(random);
    const double x1 = std::min(x0 + size(random) * static_cast<double>(w), 2.0 * w - 2.001);
    const double y0 = start_y(random);
    const double y1 = std::min(y0 + size(random) * static_cast<double>(h), 2.0 * h - 2.001);
    if (x1 < x0 || y1 < y0) {
      continue;
    }
    const auto ix0 = static_cast<int64_t>(std::floor(x0));
    const auto ix1 = static_cast<int64_t>(std::floor(x1));
    const auto iy0 = static_cast<int64_t>(std::floor(y0));
    const auto iy1 = static_cast<int64_t>(std::floor(y1));
    // The sums' strips read each row and column range as a piece of its own; the four corner
    // pixels are single reads.
    const auto column = [&](int64_t x) {
      const int64_t b = x == ix0 ? ix0 - 1 : (x == ix1 + 1 ? ix1 : ix0);
      return x == ix0 || x == ix1 + 1 ? std::pair(b, true) : std::pair(b, false);
    };
    const auto row = [&](int64_t y) {
      const int64_t b = y == iy0 ? iy0 - 1 : (y == iy1 + 1 ? iy1 : iy0);
      return y == iy0 || y == iy1 + 1 ? std::pair(b, true) : std::pair(b, false);
    };
    brel::gather::Sum<3> expected;
    double total = 0.0;
    for (int64_t y = iy0; y <= iy1 + 1; ++y) {
      for (int64_t x = ix0; x <= ix1 + 1; ++x) {
        const double wxy = weight(x0, x1, x) * weight(y0, y1, y);
        const auto [bx, edge_x] = column(x);
        const auto [by, edge_y] = row(y);
        const bool corner = edge_x && edge_y;
        const int64_t mx = corner ? brel::gather::map_index(Rules::box_x, x, w)
                                  : pixel_of_mode(Rules::box_x, x, bx, w);
        const int64_t my = corner ? brel::gather::map_index(Rules::box_y, y, h)
                                  : pixel_of_mode(Rules::box_y, y, by, h);
        if (mx >= 0 && my >= 0) {
          for (int32_t c = 0; c < 3; ++c) {
            expected.channel[c] += wxy * s.value(mx, my, c);
          }
        }
        total += wxy;
      }
    }
    const brel::gather::Sum<3> actual =
        brel::gather::box_gather<RGB32f, Rules>(s.source.view, s.table.view, x0, x1, y0, y1);
    for (int32_t c = 0; c < 3; ++c) {
      ASSERT_NEAR(actual.channel[c], expected.channel[c] / total, 1e-12)
          << "box " << x0 << " .. " << x1 << " x " << y0 << " .. " << y1;
    }
  }
}

struct Clamp_Zero_Rules : brel::gather::Environment_Rules {
  static constexpr Edge_Mode box_x = Edge_Mode::clamp;
  static constexpr Edge_Mode box_y = Edge_Mode::zero;
};

TEST(Gather_Box, MeansMatchTheDirectWeightedMeanUnderEachUsersEdgeRules) {
  Standalone_Render render(1);
  std::mt19937 random(17);
  for (const auto& [w, h] : {std::pair<int64_t, int64_t>{2, 2}, {4, 3}, {9, 6}}) {
    const Table_Source s(render.context, w, h, static_cast<uint32_t>(w * h));
    expect_box_gathers_match_direct_means<brel::gather::Environment_Rules>(s, random);
    expect_box_gathers_match_direct_means<brel::gather::Refraction_Rules>(s, random);
    expect_box_gathers_match_direct_means<Clamp_Zero_Rules>(s, random);
  }
}

TEST(Gather_Box, CornersRepeatTheEdgePixelAndWholeBoxWeights) {
  Standalone_Render render(1);
  const Table_Source s(render.context, 4, 3, 5);
  // Around pixel 0 of row 0 with half size 0.5: columns -1, 0, 1 weigh 0.5, 1, 0.5; the
  // environment wraps column -1 to column 3 and mirrors row -1 onto row 0.
  const brel::gather::Sum<3> mean =
      brel::gather::box_gather<RGB32f, brel::gather::Environment_Rules>(s.source.view, s.table.view,
                                                                        -0.5, 0.5, -0.5, 0.5);
  const auto v = [&](int64_t x, int64_t y) { return s.value(x, y, 1); };
  const double row0 = 0.5 * v(3, 0) + v(0, 0) + 0.5 * v(1, 0);
  const double row1 = 0.5 * v(3, 1) + v(0, 1) + 0.5 * v(1, 1);
  EXPECT_DOUBLE_EQ(mean.channel[1], (0.5 * row0 + row0 + 0.5 * row1) / 4.0);
}

TEST(Gather_Triangle, LevelIsTheFinestWhereTheTriangleFits) {
  using brel::gather::triangle_level;
  EXPECT_EQ(triangle_level(100.0, 10.0, 5), 3);  // 50 x 5 too large, 25 x 2.5 too wide
  EXPECT_EQ(triangle_level(100.0, 10.0, 3), 2);  // the last level, whatever the size
  EXPECT_EQ(triangle_level(1e6, 1e6, 1), 0);
  EXPECT_EQ(triangle_level(24.0, 6.0, 8), 0);
  EXPECT_EQ(triangle_level(12.0, 12.0, 8), 0);  // 144 square pixels fit
  EXPECT_EQ(triangle_level(12.0, 12.5, 8), 1);  // 150 do not
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The same value, bit for bit, or both NaN: the sign of a NaN made from two NaNs follows the
// order in which the compiler puts the operands of a commutative addition, so no rule fixes it.
bool same_value(double a, double b) {
  return same_bits(a, b) || (std::isnan(a) && std::isnan(b));
}

TEST(Gather_Box_Sum, RangesInsideTheLayerTakeTheTermsOfEachModesRule) {
  for (int64_t n = 1; n <= 6; ++n) {
    for (int64_t a = -5 * n; a <= 5 * n; ++a) {
      ASSERT_EQ(brel::gather::floor_mod_near(a, n), brel::gather::floor_mod(a, n)) << a << " " << n;
      for (const Edge_Mode mode :
           {Edge_Mode::clamp, Edge_Mode::mirror, Edge_Mode::wrap, Edge_Mode::zero}) {
        ASSERT_EQ(brel::gather::map_index(mode, a, n), extended(mode, a, n))
            << "mode " << static_cast<int>(mode) << " pixel " << a << " of " << n;
      }
    }
  }
  for (const Edge_Mode mode : {Edge_Mode::clamp, Edge_Mode::mirror, Edge_Mode::wrap,
                               Edge_Mode::zero, Edge_Mode::mirror_by_piece}) {
    for (const int64_t n : {1, 2, 5}) {
      for (int64_t b = -3 * n - 2; b <= 3 * n + 2; ++b) {
        for (int64_t e = b - 1; e <= 3 * n + 3; ++e) {
          const brel::gather::Axis_Terms fast = brel::gather::axis_terms(mode, b, e, n);
          const brel::gather::Axis_Terms rule = brel::gather::axis_terms_by_mode(mode, b, e, n);
          ASSERT_EQ(fast.count, rule.count)
              << "mode " << static_cast<int>(mode) << " n " << n << " (" << b << ", " << e << "]";
          for (int32_t k = 0; k < rule.count; ++k) {
            ASSERT_EQ(fast.index[k], rule.index[k]);
            ASSERT_TRUE(same_bits(fast.coefficient[k], rule.coefficient[k]));
          }
          // Every range inside the axis, and in a wrapping axis every range shorter than it, has
          // signed terms; they must be the rule's terms.
          brel::gather::Signed_Terms terms;
          const bool short_terms = brel::gather::signed_axis_terms(mode, b, e, n, terms);
          ASSERT_EQ(short_terms,
                    (b >= -1 && e < n) || e <= b || (mode == Edge_Mode::wrap && e - b < n));
          if (short_terms) {
            ASSERT_EQ(terms.count, rule.count);
            for (int32_t k = 0; k < rule.count; ++k) {
              ASSERT_EQ(terms.index[k], rule.index[k]);
              ASSERT_EQ(brel::gather::Signed_Terms::subtracted(k) ? -1.0 : 1.0,
                        rule.coefficient[k]);
            }
          }
        }
      }
    }
  }
}

// The box gather over [x0, x1] x [y0, y1] gives the bits of the edge rule's terms (any NaN for
// a NaN). `exact_table`: the table is the source's own, summed exactly.
template <class P, class Rules>
void expect_box_as_the_edge_rule_gives_it(
    const Layer<P>& source, const Layer<typename brel::gather::Gather_Pixel<P>::Cell>& table,
    double x0, double x1, double y0, double y1, bool exact_table) {
  const auto actual =
      brel::gather::box_gather<P, Rules>(source, table, x0, x1, y0, y1, exact_table);
  const auto rule = brel::gather::box_gather_by_terms<P, Rules>(
      source, table, brel::gather::box_grid(x0, x1, y0, y1));
  for (int32_t c = 0; c < brel::gather::Gather_Pixel<P>::channels; ++c) {
    ASSERT_TRUE(same_value(actual.channel[c], rule.channel[c]))
        << "box " << x0 << " .. " << x1 << " x " << y0 << " .. " << y1 << ", channel " << c << ": "
        << actual.channel[c] << " against " << rule.channel[c];
  }
}

// The box gather takes boxes whose ranges have signed terms (inside the layer, or across the
// ends of a wrapping axis) by their own route, and boxes clear of the edges, or of the top and
// bottom where the columns wrap, by shorter ones, in AVX2 where the processor has it. Each must
// give every bit the edge rule's terms give, also for tables of any content: signed zeros,
// infinities, NaNs with either sign, values that cancel; and for sources of every channel type.
template <class P, class Rules>
void expect_signed_term_boxes_as_the_edge_rule_gives_them(uint32_t seed) {
  using G = brel::gather::Gather_Pixel<P>;
  using Channel = std::remove_cv_t<std::remove_reference_t<decltype(P{}.channel[0])>>;
  Standalone_Render render(1);
  constexpr int64_t w = 11;
  constexpr int64_t h = 7;
  Host_Layer<P> source(render.context, w, h);
  Host_Layer<typename G::Cell> table(render.context, w, h);
  std::mt19937 random(seed);
  const double unusual[] = {0.0,
                            -0.0,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(),
                            -std::numeric_limits<double>::quiet_NaN(),
                            1e300,
                            -1e300,
                            1e-310};
  std::uniform_real_distribution<double> value(-1e6, 1e6);
  std::uniform_int_distribution<int> pick(0, 40);
  std::uniform_int_distribution<int64_t> word(0, 65535);
  const auto any = [&] {
    const int k = pick(random);
    return k < 9 ? unusual[k] : value(random);
  };
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      for (int32_t c = 0; c < G::channels; ++c) {
        table.at(x, y).channel[c] = any();
        if constexpr (std::is_floating_point_v<Channel>) {
          source.at(x, y).channel[c] = static_cast<float>(any());
        } else {
          source.at(x, y).channel[c] =
              static_cast<Channel>(word(random));  // a byte keeps the low 8 bits
        }
      }
    }
  }
  std::uniform_real_distribution<double> start_x(-0.5 * w, 1.5 * w);
  std::uniform_real_distribution<double> start_y(-1.0, h - 1.0);
  std::uniform_real_distribution<double> size(0.0, 1.1 * w);
  int32_t short_terms = 0;
  int32_t inside = 0;
  int32_t rows_inside = 0;
  for (int32_t trial = 0; trial < 4000; ++trial) {
    const double x0 = start_x(random);
    const double x1 = x0 + size(random);
    const double y0 = start_y(random);
    const double y1 = y0 + size(random) * 0.25;
    const brel::gather::Box_Grid grid = brel::gather::box_grid(x0, x1, y0, y1);
    brel::gather::Box_Terms terms;
    short_terms += brel::gather::signed_box_terms<Rules>(grid, w, h, terms) ? 1 : 0;
    inside += brel::gather::box_inside(grid, w, h) ? 1 : 0;
    rows_inside += brel::gather::rows_inside(grid, h) ? 1 : 0;
    ASSERT_NO_FATAL_FAILURE((expect_box_as_the_edge_rule_gives_it<P, Rules>(
        source.view, table.view, x0, x1, y0, y1, false)));
  }
  EXPECT_GT(short_terms, 400);
  // Boxes clear of the edges take their own route, and so do boxes clear of the top and bottom
  // whose columns wrap.
  EXPECT_GT(inside, 100);
  EXPECT_GT(rows_inside - inside, 300);
}

TEST(Gather_Box, BoxesTakenByTheirSignedTermsGiveTheBitsOfTheEdgeRule) {
  using brel::gather::Environment_Rules;
  expect_signed_term_boxes_as_the_edge_rule_gives_them<RGB32f, Environment_Rules>(3);
  expect_signed_term_boxes_as_the_edge_rule_gives_them<RGB32f, brel::gather::Refraction_Rules>(4);
  expect_signed_term_boxes_as_the_edge_rule_gives_them<brel::ARGB32f, Environment_Rules>(5);
  expect_signed_term_boxes_as_the_edge_rule_gives_them<brel::BGRA16, Environment_Rules>(6);
  expect_signed_term_boxes_as_the_edge_rule_gives_them<brel::ARGB8, Environment_Rules>(7);
}

// Over an integer source and its own summed-area table, every range sum is a whole number, so
// boxes of one whole column and row read the source's pixels instead of the table, also where
// the edge rules continue the layer. The bits must be the table's.
template <class P>
void expect_one_pixel_boxes_as_the_table_gives_them(uint32_t seed) {
  using G = brel::gather::Gather_Pixel<P>;
  using Channel = std::remove_cv_t<std::remove_reference_t<decltype(P{}.channel[0])>>;
  using Rules = brel::gather::Environment_Rules;
  Standalone_Render render(1);
  constexpr int64_t w = 11;
  constexpr int64_t h = 7;
  Host_Layer<P> source(render.context, w, h);
  Host_Layer<typename G::Cell> table(render.context, w, h);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int64_t> value(0, std::numeric_limits<Channel>::max());
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      for (int32_t c = 0; c < G::channels; ++c) {
        source.at(x, y).channel[c] = static_cast<Channel>(x == y ? value.max() : value(random));
        const double left = x > 0 ? table.at(x - 1, y).channel[c] : 0.0;
        const double above = y > 0 ? table.at(x, y - 1).channel[c] : 0.0;
        const double corner = x > 0 && y > 0 ? table.at(x - 1, y - 1).channel[c] : 0.0;
        table.at(x, y).channel[c] = source.at(x, y).channel[c] + left + above - corner;
      }
    }
  }
  ASSERT_TRUE(brel::gather::exact_sum_table(source.view));
  std::uniform_real_distribution<double> start_x(-1.5 * w, 2.5 * w);
  std::uniform_real_distribution<double> start_y(-1.5 * h, 2.5 * h);
  std::uniform_real_distribution<double> size(0.0, 2.0);
  int32_t one_pixel = 0;
  for (int32_t trial = 0; trial < 3000; ++trial) {
    const double x0 = start_x(random);
    const double y0 = start_y(random);
    const double x1 = x0 + (trial % 3 == 0 ? size(random) : 1.0);
    const double y1 = y0 + (trial % 5 == 0 ? size(random) : 1.0);
    one_pixel += brel::gather::one_pixel_ranges<Rules>(brel::gather::box_grid(x0, x1, y0, y1));
    ASSERT_NO_FATAL_FAILURE((expect_box_as_the_edge_rule_gives_it<P, Rules>(source.view, table.view,
                                                                            x0, x1, y0, y1, true)));
  }
  EXPECT_GT(one_pixel, 1000);
}

TEST(Gather_Box, OnePixelBoxesOverAnExactTableReadTheSourceForTheTablesBits) {
  expect_one_pixel_boxes_as_the_table_gives_them<brel::ARGB16>(8);
  expect_one_pixel_boxes_as_the_table_gives_them<brel::BGRA8>(9);
  // Float channels, and sums that could reach 2^53, keep to the table.
  EXPECT_FALSE(brel::gather::exact_sum_table(Layer<brel::ARGB32f>{4, 4}));
  EXPECT_FALSE(brel::gather::exact_sum_table(Layer<brel::ARGB16>{1 << 19, 1 << 19}));
  EXPECT_TRUE(brel::gather::exact_sum_table(Layer<brel::ARGB16>{1 << 19, 1 << 18}));
}

#if BREL_AVX2_ROWS

// A pyramid of levels whose pixels and row sums hold anything, unrelated to each other: the AVX2
// triangles must give the plain rule's bits whatever the level holds, signed zeros, infinities,
// NaNs and cancelling values in the sums too.
template <class P>
struct Any_Levels {
  using G = brel::gather::Gather_Pixel<P>;
  using Channel = std::remove_cv_t<std::remove_reference_t<decltype(P{}.channel[0])>>;

  Any_Levels(const brel::Render_Context& context, std::mt19937& random) {
    const double unusual[] = {0.0,    -0.0,  std::numeric_limits<double>::infinity(),
                              -1e300, 1e300, std::numeric_limits<double>::quiet_NaN(),
                              1e-310};
    std::uniform_real_distribution<double> value(-1e3, 1e3);
    // Rare enough that most triangles, which read dozens of cells, meet none of them.
    std::uniform_int_distribution<int> pick(0, 1500);
    std::uniform_int_distribution<int64_t> word(0, 65535);
    const auto any = [&] {
      const int k = pick(random);
      return k < 7 ? unusual[k] : value(random);
    };
    // 13 x 9, 7 x 5, 4 x 3 and 1 x 2: small, so that triangles reach beyond them often.
    const int64_t sizes[4][2] = {{13, 9}, {7, 5}, {4, 3}, {1, 2}};
    for (const auto& [w, h] : sizes) {
      auto& level = pixels.emplace_back(context, w, h);
      auto& sums = row_sums.emplace_back(context, w, h);
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
          for (int32_t c = 0; c < G::channels; ++c) {
            sums.at(x, y).channel[c] = any();
            if constexpr (std::is_floating_point_v<Channel>) {
              level.at(x, y).channel[c] = static_cast<float>(any());
            } else {
              level.at(x, y).channel[c] = static_cast<Channel>(word(random));
            }
          }
        }
      }
      levels.push_back(level.view);
      sum_levels.push_back(sums.view);
    }
  }

  std::vector<Host_Layer<P>> pixels;
  std::vector<Host_Layer<typename G::Cell>> row_sums;
  std::vector<Layer<P>> levels;
  std::vector<Layer<typename G::Cell>> sum_levels;
};

// Triangles of every shape over the levels, through the plain rule and through AVX2: small ones
// on the first level, whose bands are mostly narrow; flat and wide ones whose bands are ramps;
// long ones on a pyramid of one level, whose ramps and prefixes go round the row several times;
// anywhere from far before the levels to far beyond, so that rows and columns are reflected or
// repeated. Edges go either way round, so bands weigh both signs.
template <class P, class Rules, bool smooth>
void expect_avx2_triangles_as_the_plain_rule_gives_them(uint32_t seed) {
  Standalone_Render render(1);
  std::mt19937 random(seed);
  const Any_Levels<P> any(render.context, random);
  std::uniform_real_distribution<double> place(-40.0, 60.0);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> shape(0, 3);
  int32_t checked = 0;
  for (int32_t trial = 0; trial < 6000; ++trial) {
    const int kind = shape(random);
    // Extents: a pixel or two; up to 24 x 6; up to 60 x 60; up to 300 across.
    const double sx[4] = {2.0, 24.0, 60.0, 300.0};
    const double sy[4] = {2.0, 6.0, 60.0, 40.0};
    const brel::gather::Point p0{place(random), place(random)};
    const brel::gather::Point p1{p0.x + unit(random) * sx[kind], p0.y + unit(random) * sy[kind]};
    const brel::gather::Point p2{p0.x + unit(random) * sx[kind], p0.y + unit(random) * sy[kind]};
    // Pyramids of every level count; one level alone takes triangles of any size.
    const int64_t level_count = 1 + trial % 4;
    const auto plain = brel::gather::triangle_gather<P, Rules, smooth>(
        any.levels.data(), any.sum_levels.data(), level_count, p0, p1, p2);
    const auto avx2 = brel::gather::triangle_gather_avx2<P, Rules, smooth>(
        any.levels.data(), any.sum_levels.data(), level_count, p0, p1, p2);
    for (int32_t c = 0; c < brel::gather::Gather_Pixel<P>::channels; ++c) {
      ASSERT_TRUE(same_value(avx2.channel[c], plain.channel[c]))
          << "triangle (" << p0.x << ", " << p0.y << ") (" << p1.x << ", " << p1.y << ") (" << p2.x
          << ", " << p2.y << "), " << level_count << " levels, channel " << c << ": "
          << avx2.channel[c] << " against " << plain.channel[c];
    }
    checked += std::isfinite(plain.channel[0]) ? 1 : 0;
  }
  // Most sums stay finite: the comparisons are of values, not only of NaNs.
  EXPECT_GT(checked, 1000);
}

template <class P, class Rules>
void expect_avx2_triangles_in_both_modes(uint32_t seed) {
  expect_avx2_triangles_as_the_plain_rule_gives_them<P, Rules, false>(seed);
  expect_avx2_triangles_as_the_plain_rule_gives_them<P, Rules, true>(seed + 100);
}

TEST(Gather_Triangle, Avx2TrianglesGiveThePlainRulesBitsForEveryPixelType) {
  if (!brel::cpu_has_avx2()) {
    GTEST_SKIP() << "the processor has no AVX2";
  }
  using brel::gather::Environment_Rules;
  using brel::gather::Refraction_Rules;
  expect_avx2_triangles_in_both_modes<RGB32f, Refraction_Rules>(21);
  expect_avx2_triangles_in_both_modes<RGB32f, Environment_Rules>(22);
  expect_avx2_triangles_in_both_modes<brel::ARGB32f, Environment_Rules>(23);
  expect_avx2_triangles_in_both_modes<brel::BGRA32f, Environment_Rules>(24);
  expect_avx2_triangles_in_both_modes<brel::ARGB16, Environment_Rules>(25);
  expect_avx2_triangles_in_both_modes<brel::BGRA16, Environment_Rules>(26);
  expect_avx2_triangles_in_both_modes<brel::ARGB8, Environment_Rules>(27);
  expect_avx2_triangles_in_both_modes<brel::BGRA8, Environment_Rules>(28);
}

#endif

}  // namespace
