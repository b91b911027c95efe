#include "kernel/caustics_rasterizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::RGB32f;
using brel::test::Standalone_Render;

constexpr RGB32f unit{{1.0f, 1.0f, 1.0f}};

// A zeroed difference buffer of `width` × `height`.
struct Buffer {
  Buffer(int64_t width, int64_t height)
      : holder(brel::make_rgb32f_layer(render.context, width, height, 0, 0, 0, 1.0f, 1.0f, 1.0f)),
        view(brel::layer_view<RGB32f>(holder)) {
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        view.row(y)[x] = RGB32f{{0.0f, 0.0f, 0.0f}};
      }
    }
  }

  // Channel `c` of row `y`: the differences as added.
  std::vector<float> row(int64_t y, int32_t c = 0) const {
    std::vector<float> values;
    for (int64_t x = 0; x < view.width; ++x) {
      values.push_back(view.row(y)[x].channel[c]);
    }
    return values;
  }

  // Row `y` after the fill's running sum.
  std::vector<double> light(int64_t y) const {
    std::vector<double> values;
    double sum = 0.0;
    for (const float d : row(y)) {
      sum += d;
      values.push_back(sum);
    }
    return values;
  }

  bool untouched() const {
    for (int64_t y = 0; y < view.height; ++y) {
      for (const float v : row(y)) {
        if (v != 0.0f) {
          return false;
        }
      }
    }
    return true;
  }

  Standalone_Render render{1};
  brel::Layer_Holder holder;
  Layer<RGB32f> view;
};

void expect_row(const std::vector<float>& got, const std::vector<float>& expected,
                float tolerance = 0.0f) {
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], expected[i], tolerance) << "column " << i;
  }
}

// The two triangles of an unrefracted cell, in buffer coordinates: the square from (c, r + 0.5)
// to (c + 1, r + 1.5) seen by a row as entering at column c and leaving at c + 1.
void unit_cell(const Buffer& buffer, int64_t mode, float c, float r, const RGB32f& k) {
  brel::rasterize_triangle_edges(k, buffer.view, mode, c, r + 0.5f, c + 1.0f, r + 0.5f, c,
                                 r + 1.5f);
  brel::rasterize_triangle_edges(k, buffer.view, mode, c, r + 1.5f, c + 1.0f, r + 0.5f, c + 1.0f,
                                 r + 1.5f);
}

TEST(Caustics_Rasterizer, PlainCellEntersAndLeavesOnItsRowTheSecondTriangleCancelling) {
  Buffer buffer(8, 3);
  const RGB32f k{{1.0f, 2.0f, -3.0f}};
  unit_cell(buffer, brel::caustics_antialias_off, 4.0f, 1.0f, k);
  expect_row(buffer.row(1, 0), {0, 0, 0, 0, 1, -1, 0, 0});
  expect_row(buffer.row(1, 1), {0, 0, 0, 0, 2, -2, 0, 0});
  expect_row(buffer.row(1, 2), {0, 0, 0, 0, -3, 3, 0, 0});
  expect_row(buffer.row(0), std::vector<float>(8, 0.0f));
  expect_row(buffer.row(2), std::vector<float>(8, 0.0f));
}

// Whatever the mode, a grid of unrefracted cells covers every pixel once: the running sums
// inside the grid are 1.
TEST(Caustics_Rasterizer, GridOfCellsLightsItsInsideEvenlyInEveryMode) {
  for (const int64_t mode : {1, 2, 3}) {
    Buffer buffer(16, 12);
    for (int64_t r = 0; r < 10; ++r) {
      for (int64_t c = 1; c < 14; ++c) {
        unit_cell(buffer, mode, static_cast<float>(c), static_cast<float>(r), unit);
      }
    }
    for (int64_t y = 3; y < 9; ++y) {
      const std::vector<double> light = buffer.light(y);
      for (int64_t x = 4; x < 11; ++x) {
        EXPECT_NEAR(light[x], 1.0, 1e-5) << "mode " << mode << " at " << x << ", " << y;
      }
      EXPECT_NEAR(light[15], 0.0, 1e-5) << "mode " << mode << " row " << y;
    }
  }
}

TEST(Caustics_Rasterizer, SmoothEdgeSplitsItsWeightOverThreeColumns) {
  Buffer buffer(16, 2);
  const float x = 10.0f + 0.5f + 1.0f / 6.0f;  // middle shifted to 10.5
  brel::rasterize_edge_smooth(x, 0.0f, x, 1.0f, 1.0f, unit, buffer.view);
  std::vector<float> expected(16, 0.0f);
  expected[9] = 1.0f / 6.0f;
  expected[10] = 0.5f;
  expected[11] = 1.0f / 3.0f;
  expect_row(buffer.row(0), expected, 1e-6f);
}

TEST(Caustics_Rasterizer, SharpEdgeSplitsAroundPixelCentresOrSpreadsEvenlyPerUnitOfX) {
  Buffer near_vertical(12, 2);
  brel::rasterize_edge_sharp(5.75f, 0.0f, 5.75f, 1.0f, -1.0f, unit, near_vertical.view);
  std::vector<float> expected(12, 0.0f);
  expected[5] = -0.75f;
  expected[6] = -0.25f;
  expect_row(near_vertical.row(0), expected, 1e-6f);

  // Across eight columns within one row: an eighth in each of columns 2 to 9.
  Buffer flat(12, 2);
  brel::rasterize_edge_sharp(2.0f, 0.0f, 10.0f, 1.0f, 1.0f, unit, flat.view);
  expected.assign(12, 0.0f);
  for (int64_t c = 2; c < 10; ++c) {
    expected[c] = 0.125f;
  }
  expect_row(flat.row(0), expected, 1e-6f);
}

// Each row receives the edge's weight times the height it covers in that row.
TEST(Caustics_Rasterizer, EdgesAreCutIntoRowSegmentsByTheirHeight) {
  for (const bool smooth : {false, true}) {
    Buffer buffer(12, 6);
    const auto edge = smooth ? &brel::rasterize_edge_smooth : &brel::rasterize_edge_sharp;
    edge(6.0f, 0.25f, 6.0f, 3.5f, 1.0f, unit, buffer.view);
    const float heights[6] = {0.75f, 1.0f, 1.0f, 0.5f, 0.0f, 0.0f};
    for (int64_t y = 0; y < 6; ++y) {
      EXPECT_NEAR(buffer.light(y)[11], heights[y], 1e-6) << y;
    }
  }
}

TEST(Caustics_Rasterizer, CrossingsOffTheBuffer) {
  // Left of the buffer: column 0, so the whole row to the right is lit.
  Buffer left(8, 4);
  brel::rasterize_triangle_edges(unit, left.view, 1, -5.0f, 0.2f, 3.5f, 0.2f, 3.5f, 3.7f);
  for (int64_t y = 0; y < 3; ++y) {
    const std::vector<double> light = left.light(y);
    EXPECT_EQ(light[0], 1.0) << y;
    EXPECT_EQ(light[2], 1.0) << y;
    EXPECT_EQ(light[7], 0.0) << y;
  }
  // At or right of the width, a plain crossing is dropped: the row stays lit to its end.
  Buffer right(8, 4);
  brel::rasterize_triangle_edges(unit, right.view, 1, 5.5f, 0.2f, 9.0f, 0.2f, 5.5f, 3.7f);
  EXPECT_EQ(right.light(1)[7], 1.0);
  EXPECT_EQ(right.light(1)[4], 0.0);
  // Wholly left of, right of, above or below the buffer: nothing.
  for (const float dx : {-20.0f, 20.0f}) {
    for (const int64_t mode : {1, 2, 3}) {
      Buffer off(8, 4);
      brel::rasterize_triangle_edges(unit, off.view, mode, dx, 0.0f, dx + 3.0f, 1.0f, dx, 2.0f);
      brel::rasterize_triangle_edges(unit, off.view, mode, 1.0f, dx, 4.0f, dx + 1.0f, 1.0f,
                                     dx + 2.0f);
      EXPECT_TRUE(off.untouched()) << dx << " in mode " << mode;
    }
  }
}

TEST(Caustics_Rasterizer, FlatTrianglesAndHorizontalEdgesAddNothing) {
  for (const int64_t mode : {1, 2, 3}) {
    Buffer flat(8, 4);
    brel::rasterize_triangle_edges(unit, flat.view, mode, 1.0f, 2.0f, 5.0f, 2.0f, 3.0f, 2.0f);
    brel::rasterize_edge_sharp(1.0f, 1.5f, 6.0f, 1.5f, 1.0f, unit, flat.view);
    brel::rasterize_edge_smooth(1.0f, 1.5f, 6.0f, 1.5f, 1.0f, unit, flat.view);
    EXPECT_TRUE(flat.untouched()) << mode;
  }
  // A plain triangle within one row has no crossing.
  Buffer thin(8, 4);
  brel::rasterize_triangle_edges(unit, thin.view, 1, 1.0f, 1.2f, 5.0f, 1.3f, 3.0f, 1.8f);
  EXPECT_TRUE(thin.untouched());
}

// Far-off and non-finite vertices never reach an integer conversion or memory outside the
// buffer: they are clamped into it or dropped; a vertex that is not finite adds nothing.
TEST(Caustics_Rasterizer, ExtremeCoordinatesStayInsideTheBuffer) {
  const float huge = 3e38f;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const int64_t mode : {1, 2, 3}) {
    Buffer far(8, 4);
    const float far_cases[][6] = {{-huge, -huge, huge, 1.0f, 2.0f, huge},
                                  {2.0f, -huge, 3.0f, huge, -huge, 2.0f},
                                  {1e20f, 0.5f, -1e20f, 3.5f, 2.0f, 2.0f}};
    for (const auto& v : far_cases) {
      brel::rasterize_triangle_edges(unit, far.view, mode, v[0], v[1], v[2], v[3], v[4], v[5]);
    }
    Buffer not_finite(8, 4);
    const float not_finite_cases[][6] = {{nan, 0.0f, 3.0f, 2.0f, 1.0f, 3.0f},
                                         {2.0f, nan, 3.0f, 2.0f, 1.0f, 3.0f},
                                         {2.0f, 0.5f, 3.0f, 2.0f, 1.0f, nan},
                                         {-inf, 0.5f, inf, 1.5f, 2.0f, 3.5f}};
    for (const auto& v : not_finite_cases) {
      brel::rasterize_triangle_edges(unit, not_finite.view, mode, v[0], v[1], v[2], v[3], v[4],
                                     v[5]);
    }
    EXPECT_TRUE(not_finite.untouched()) << mode;
  }
}

// Threads add into one buffer with atomic additions, in an order that changes from run to run.
// Sixty triangles focused on a few pixels: every pixel must hold the exact sum of what was
// added into it within the rounding of that many float additions, |sum - exact| <= n u M, with
// n the additions a pixel can receive (three edges a triangle, plus the reference's own), u
// the unit roundoff and M the sum of their magnitudes (at most 2 |k| each, the largest weight
// an edge adds into one pixel). A lost addition is far larger than that.
TEST(Caustics_Rasterizer, ParallelAtomicAdditionsStayWithinTheirRoundingBound) {
  struct Triangle {
    float v[6];
    RGB32f k;
  };
  std::mt19937 random(12);
  std::uniform_real_distribution<float> around(-3.0f, 3.0f);
  std::uniform_real_distribution<float> strength(0.1f, 1.0f);
  std::vector<Triangle> triangles(60);
  for (Triangle& t : triangles) {
    for (int32_t i = 0; i < 6; i += 2) {
      t.v[i] = 9.0f + around(random);
      t.v[i + 1] = 6.0f + around(random);
    }
    t.k = RGB32f{{strength(random), -strength(random), 0.0f}};
  }
  const float u = std::numeric_limits<float>::epsilon() / 2.0f;
  for (const int64_t mode : {1, 2, 3}) {
    // The exact sums, triangle by triangle through a scratch buffer, and the bound's terms for
    // every pixel in reach of a triangle (its rows, its columns and two beside them).
    Buffer scratch(20, 14);
    std::vector<double> exact(20 * 14, 0.0);
    std::vector<double> additions(20 * 14, 0.0);
    std::vector<double> magnitude(20 * 14, 0.0);
    for (const Triangle& t : triangles) {
      brel::rasterize_triangle_edges(t.k, scratch.view, mode, t.v[0], t.v[1], t.v[2], t.v[3],
                                     t.v[4], t.v[5]);
      const float left = std::min({t.v[0], t.v[2], t.v[4]}) - 2.0f;
      const float right = std::max({t.v[0], t.v[2], t.v[4]}) + 2.0f;
      const float top = std::min({t.v[1], t.v[3], t.v[5]}) - 1.0f;
      const float bottom = std::max({t.v[1], t.v[3], t.v[5]}) + 1.0f;
      for (int64_t y = 0; y < 14; ++y) {
        for (int64_t x = 0; x < 20; ++x) {
          RGB32f& p = scratch.view.row(y)[x];
          exact[y * 20 + x] += p.channel[0];
          p = RGB32f{{0.0f, 0.0f, 0.0f}};
          const float fx = static_cast<float>(x);
          const float fy = static_cast<float>(y);
          if (fx >= left && fx <= right && fy >= top && fy <= bottom) {
            additions[y * 20 + x] += 6.0;  // three edges, and the scratch's own three
            magnitude[y * 20 + x] += 6.0 * t.k.channel[0];
          }
        }
      }
    }
    for (const int64_t threads : brel::test::thread_counts) {
      for (int32_t repeat = 0; repeat < 5; ++repeat) {
        Standalone_Render render(threads);
        Buffer buffer(20, 14);
        render.context.parallel_for(
            static_cast<int64_t>(triangles.size()), [&](const brel::Iteration& iteration) {
              const Triangle& t = triangles[iteration.index];
              brel::rasterize_triangle_edges(t.k, buffer.view, mode, t.v[0], t.v[1], t.v[2], t.v[3],
                                             t.v[4], t.v[5]);
            });
        for (int64_t y = 0; y < 14; ++y) {
          for (int64_t x = 0; x < 20; ++x) {
            const size_t i = static_cast<size_t>(y * 20 + x);
            EXPECT_LE(std::fabs(buffer.view.row(y)[x].channel[0] - exact[i]),
                      additions[i] * u * magnitude[i])
                << x << ", " << y << " in mode " << mode << " at " << threads << " threads";
          }
        }
      }
    }
  }
}

// A band receives a triangle's additions in the order the buffer would, from zero, and adds
// each sum into the buffer once: the flushed band equals the buffer rasterised directly, value
// for value, in every mode. Flushed, it is zero again wherever it is placed next.
TEST(Caustics_Band, FlushedBandEqualsTheBufferRasterisedDirectly) {
  constexpr int64_t rows = brel::Caustics_Band::rows;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> column(-3.0f, 27.0f);
  std::uniform_real_distribution<float> strength(-1.0f, 1.0f);
  for (const int64_t mode : {1, 2, 3}) {
    Buffer scratch(24, rows);
    for (int64_t y = 0; y < rows; ++y) {
      for (int64_t x = 0; x < 24; ++x) {
        scratch.view.row(y)[x].channel[1] = std::numeric_limits<float>::quiet_NaN();
      }
    }
    brel::Caustics_Band band(scratch.view, 24, rows + 40);
    for (const int64_t first : {-30, 25}) {
      Buffer direct(24, rows + 40);
      Buffer flushed(24, rows + 40);
      band.place(first);
      std::uniform_real_distribution<float> row(static_cast<float>(std::max<int64_t>(first, 0)),
                                                static_cast<float>(first + rows) - 0.01f);
      for (int32_t i = 0; i < 200; ++i) {
        float v[6];
        for (int32_t j = 0; j < 6; j += 2) {
          v[j] = column(random);
          // Mostly short triangles, a few over most of the band.
          v[j + 1] = j == 0 || i % 10 == 0 ? row(random) : v[1] + strength(random) * 3.0f;
        }
        const float top = std::min({v[1], v[3], v[5]});
        const float bottom = std::max({v[1], v[3], v[5]});
        if (!band.holds(top, bottom)) {
          continue;
        }
        const RGB32f k{{strength(random), strength(random), 1.0f}};
        brel::rasterize_triangle_edges(k, direct.view, mode, v[0], v[1], v[2], v[3], v[4], v[5]);
        brel::rasterize_triangle_edges(k, band, mode, v[0], v[1], v[2], v[3], v[4], v[5]);
      }
      band.flush(flushed.view);
      for (int64_t y = 0; y < rows + 40; ++y) {
        for (const int32_t c : {0, 1, 2}) {
          EXPECT_EQ(flushed.row(y, c), direct.row(y, c)) << "row " << y << " in mode " << mode;
        }
      }
    }
  }
}

// Whether two buffers hold the same bits (a sum of -0 is not one of +0).
::testing::AssertionResult same_bits(const Buffer& a, const Buffer& b) {
  for (int64_t y = 0; y < a.view.height; ++y) {
    for (int64_t x = 0; x < a.view.width; ++x) {
      for (int32_t c = 0; c < 3; ++c) {
        const float p = a.view.row(y)[x].channel[c];
        const float q = b.view.row(y)[x].channel[c];
        if (std::bit_cast<uint32_t>(p) != std::bit_cast<uint32_t>(q)) {
          return ::testing::AssertionFailure()
                 << p << " against " << q << " at " << x << ", " << y << ", channel " << c;
        }
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// The triangles one at a time by the plain rule of `mode`, each into the band when the band
// holds its rows, else atomically into the buffer.
void add_one_at_a_time(std::span<const brel::Caustics_Triangle> triangles,
                       brel::Caustics_Band& band, const Layer<RGB32f>& buffer, int64_t mode) {
  for (const brel::Caustics_Triangle& t : triangles) {
    const float top = std::min({t.y0, t.y1, t.y2});
    const float bottom = std::max({t.y0, t.y1, t.y2});
    if (band.holds(top, bottom)) {
      brel::rasterize_triangle_edges(t.k, band, mode, t.x0, t.y0, t.x1, t.y1, t.x2, t.y2);
    } else {
      brel::rasterize_triangle_edges(t.k, buffer, mode, t.x0, t.y0, t.x1, t.y1, t.x2, t.y2);
    }
  }
}

// Coordinates of every kind a splat can hand over: anywhere around the buffer, on row and
// column boundaries, shared with another vertex, signed zeros, far off and not finite.
struct Awkward_Triangles {
  Awkward_Triangles(float width, float height)
      : x(-4.0f, width + 4.0f), y(-12.0f, height + 12.0f) {}

  float pick(std::uniform_real_distribution<float>& near, float shared) {
    const int32_t k = kind(random);
    if (k < 15) {
      return std::trunc(near(random));
    }
    if (k < 35) {
      return shared;
    }
    if (k < 38) {
      return -0.0f;
    }
    if (k < 41) {
      return near(random) < 0.0f ? -3e30f : 3e30f;
    }
    if (k < 43) {
      return k == 41 ? std::numeric_limits<float>::quiet_NaN()
                     : -std::numeric_limits<float>::infinity();
    }
    return near(random);
  }

  brel::Caustics_Triangle next() {
    brel::Caustics_Triangle t;
    t.x0 = x(random);
    t.y0 = y(random);
    // Mostly patches of about a pixel, some across many rows.
    const float reach = kind(random) < 10 ? 40.0f : 1.5f;
    std::uniform_real_distribution<float> dx(t.x0 - reach, t.x0 + reach);
    std::uniform_real_distribution<float> dy(t.y0 - reach, t.y0 + reach);
    t.x1 = pick(dx, t.x0);
    t.y1 = pick(dy, t.y0);
    t.x2 = pick(dx, t.x1);
    t.y2 = pick(dy, kind(random) < 50 ? t.y0 : t.y1);
    t.k = RGB32f{{strength(random), strength(random), strength(random)}};
    return t;
  }

  std::mt19937 random{29};
  std::uniform_int_distribution<int32_t> kind{0, 99};
  std::uniform_real_distribution<float> strength{-1.0f, 1.0f};
  std::uniform_real_distribution<float> x;
  std::uniform_real_distribution<float> y;
};

// A batch goes into the band or the buffer triangle by triangle as the splat did one at a time:
// the band's sums and the buffer's additions come out bit for bit the same, in every mode, for
// batches of any length, flushed atomically or by a sole writer onto a buffer already holding
// values (signed zeros among them, which an addition of zero would turn positive).
TEST(Caustics_Band, BatchesAndSoleWritersAddWhatEachTriangleAddsInItsTurn) {
  constexpr int64_t w = 40;
  constexpr int64_t h = 130;
  const auto prefilled = [&] {
    auto buffer = std::make_unique<Buffer>(w, h);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        for (float& c : buffer->view.row(y)[x].channel) {
          c = (x + y) % 3 == 0 ? value(random) : ((x + y) % 3 == 1 ? -0.0f : 0.0f);
        }
      }
    }
    return buffer;
  };
  for (const int64_t mode : {1, 2, 3}) {
    Awkward_Triangles awkward(static_cast<float>(w), static_cast<float>(h));
    std::vector<brel::Caustics_Triangle> triangles;
    for (int32_t i = 0; i < 4000; ++i) {
      triangles.push_back(awkward.next());
    }
    Buffer reference_scratch(w, brel::Caustics_Band::rows);
    brel::Caustics_Band reference_band(reference_scratch.view, w, h);
    const auto reference = prefilled();
    reference_band.place(17);
    add_one_at_a_time(triangles, reference_band, reference->view, mode);
    reference_band.flush(reference->view);
    ASSERT_FALSE(same_bits(*reference, *prefilled())) << "the triangles add something";
    for (const bool sole_writer : {false, true}) {
      Buffer scratch(w, brel::Caustics_Band::rows);
      brel::Caustics_Band band(scratch.view, w, h, sole_writer);
      const auto batched = prefilled();
      band.place(17);
      std::span<const brel::Caustics_Triangle> rest(triangles);
      for (size_t length = 1; !rest.empty(); length = length * 3 % 301) {
        const size_t n = std::min(length, rest.size());
        brel::rasterize_triangles(rest.first(n), band, batched->view, mode);
        rest = rest.subspan(n);
      }
      band.flush(batched->view);
      EXPECT_TRUE(same_bits(*batched, *reference))
          << "mode " << mode << (sole_writer ? ", sole writer" : "");
      band.flush(batched->view);
      EXPECT_TRUE(same_bits(*batched, *reference)) << "flushed twice in mode " << mode;
    }
  }
}

// Groups of eight triangles in lanes add, bit for bit, what their drawn triangles add one at a
// time by the plain rule of each mode, taken lane by lane (every group's first lane, then every
// group's second...): into the band or, beyond it, the buffer, whatever the coordinates of the
// lanes that are not drawn.
TEST(Caustics_Band, LanesAddWhatEachDrawnTriangleAddsInTheirOrder) {
  constexpr int64_t w = 40;
  constexpr int64_t h = 130;
  constexpr int32_t lanes = brel::Caustics_Triangle_Lanes::lanes;
  for (const int64_t mode : {1, 2, 3}) {
    Awkward_Triangles awkward(static_cast<float>(w), static_cast<float>(h));
    std::uniform_int_distribution<uint32_t> bits(0, 255);
    Buffer reference_scratch(w, brel::Caustics_Band::rows);
    brel::Caustics_Band reference_band(reference_scratch.view, w, h, true);
    Buffer reference(w, h);
    Buffer scratch(w, brel::Caustics_Band::rows);
    brel::Caustics_Band band(scratch.view, w, h, true);
    Buffer lanes_buffer(w, h);
    reference_band.place(17);
    band.place(17);
    struct Coordinates {
      float x0[lanes], y0[lanes], x1[lanes], y1[lanes], x2[lanes], y2[lanes], k[3][lanes];
    };
    for (int32_t round = 0; round < 600; ++round) {
      const size_t n = 1 + static_cast<size_t>(round) % brel::Caustics_Triangle_Lanes::most_groups;
      Coordinates coordinates[brel::Caustics_Triangle_Lanes::most_groups];
      brel::Caustics_Triangle_Lanes groups[brel::Caustics_Triangle_Lanes::most_groups];
      for (size_t g = 0; g < n; ++g) {
        Coordinates& c = coordinates[g];
        for (int32_t j = 0; j < lanes; ++j) {
          const brel::Caustics_Triangle t = awkward.next();
          c.x0[j] = t.x0;
          c.y0[j] = t.y0;
          c.x1[j] = t.x1;
          c.y1[j] = t.y1;
          c.x2[j] = t.x2;
          c.y2[j] = t.y2;
          for (int32_t channel = 0; channel < 3; ++channel) {
            c.k[channel][j] = t.k.channel[channel];
          }
        }
        const uint32_t drawn = round % 3 == 0 ? bits(awkward.random) : 255u;
        groups[g] = {c.x0, c.y0, c.x1, c.y1, c.x2, c.y2, {c.k[0], c.k[1], c.k[2]}, drawn};
      }
      std::vector<brel::Caustics_Triangle> in_turn;
      for (int32_t j = 0; j < lanes; ++j) {
        for (size_t g = 0; g < n; ++g) {
          if ((groups[g].drawn >> j) & 1) {
            in_turn.push_back(groups[g][j]);
          }
        }
      }
      add_one_at_a_time(in_turn, reference_band, reference.view, mode);
      brel::rasterize_triangle_lanes(std::span(groups, n), band, lanes_buffer.view, mode);
    }
    reference_band.flush(reference.view);
    band.flush(lanes_buffer.view);
    ASSERT_FALSE(reference.untouched());
    EXPECT_TRUE(same_bits(lanes_buffer, reference)) << "mode " << mode;
  }
}

// The triangles of a splat's cells, patches of about a pixel whose edges mostly cross one row
// each, rasterised in batches: the band's sums and the buffer's come out bit for bit as the
// triangles added one at a time, in every mode. The cells lie on both sides of the band's ends and
// of the buffer's sides and bottom, two lights' cells are interleaved as a splat hands them over,
// and their colours hold signed zeros and infinities of both signs, whose sums are not a number. (A
// colour that is not a number is left out: which of two such operands an addition passes on is the
// compiler's choice, in the plain rule too.)
TEST(Caustics_Band, PixelPatchesAddWhatEachTriangleAddsInItsTurn) {
  constexpr int64_t w = 37;
  constexpr int64_t h = 120;
  constexpr int64_t band_top = 20;
  constexpr float inf = std::numeric_limits<float>::infinity();
  std::mt19937 random(41);
  std::uniform_real_distribution<float> jitter(-0.6f, 0.6f);
  std::uniform_real_distribution<float> strength(-1.0f, 1.0f);
  std::uniform_int_distribution<int32_t> kind(0, 99);
  const auto channel = [&] {
    const int32_t k = kind(random);
    return k == 0 ? -0.0f : (k == 1 ? inf : (k == 2 ? -inf : strength(random)));
  };
  std::vector<brel::Caustics_Triangle> triangles;
  // Corner (column, row) of a light's grid, moved in buffer coordinates; whole rows now and then.
  const auto corner = [&](int64_t x, int64_t y, float shift) {
    const bool whole = kind(random) < 10;
    return std::pair{static_cast<float>(x) + shift + jitter(random),
                     static_cast<float>(y) + 0.5f + (whole ? 0.5f : jitter(random))};
  };
  for (int64_t y = band_top - 3; y < std::min(band_top + brel::Caustics_Band::rows + 3, h + 2);
       y += y == band_top + 8 ? brel::Caustics_Band::rows - 16 : 1) {
    std::vector<std::pair<float, float>> above[2];
    std::vector<std::pair<float, float>> below[2];
    for (int32_t light = 0; light < 2; ++light) {
      for (int64_t x = -4; x < w + 3; ++x) {
        above[light].push_back(corner(x, y - 1, light == 0 ? 2.0f : -1.3f));
        below[light].push_back(corner(x, y, light == 0 ? 2.0f : -1.3f));
      }
    }
    for (size_t x = 1; x < above[0].size(); ++x) {
      for (int32_t light = 0; light < 2; ++light) {
        const auto [x00, y00] = above[light][x - 1];
        const auto [x10, y10] = above[light][x];
        const auto [x01, y01] = below[light][x - 1];
        const auto [x11, y11] = below[light][x];
        const RGB32f k{{channel(), channel(), channel()}};
        triangles.push_back({k, x00, y00, x10, y10, x01, y01});
        triangles.push_back({k, x01, y01, x10, y10, x11, y11});
      }
    }
  }
  for (const int64_t mode : {1, 2, 3}) {
    Buffer reference_scratch(w, brel::Caustics_Band::rows);
    brel::Caustics_Band reference_band(reference_scratch.view, w, h);
    Buffer reference(w, h);
    reference_band.place(band_top);
    add_one_at_a_time(triangles, reference_band, reference.view, mode);
    reference_band.flush(reference.view);
    ASSERT_FALSE(reference.untouched());
    for (const size_t batch : {size_t{1}, size_t{7}, size_t{8}, size_t{13}, size_t{256}}) {
      Buffer scratch(w, brel::Caustics_Band::rows);
      brel::Caustics_Band band(scratch.view, w, h, true);
      Buffer batched(w, h);
      band.place(band_top);
      for (size_t i = 0; i < triangles.size(); i += batch) {
        brel::rasterize_triangles(
            std::span(triangles).subspan(i, std::min(batch, triangles.size() - i)), band,
            batched.view, mode);
      }
      band.flush(batched.view);
      EXPECT_TRUE(same_bits(batched, reference)) << "batches of " << batch << " in mode " << mode;
    }
  }
}

// Eight workers whose bands overlap on the same rows, with tall triangles no band holds, add
// into one buffer under the row locks: every addition arrives. The values (mode 1's ±1, and
// mode 2's halves and quarters from whole vertices and slopes of 1 and 1/2) sum exactly in any
// order, so the result must equal one worker's bit for bit; an addition made outside its
// group's lock is lost now and then.
TEST(Caustics_Band, LockedWorkersLoseNoAddition) {
  constexpr int64_t w = 48;
  constexpr int64_t h = 150;
  constexpr int32_t workers = 8;
  constexpr int32_t rounds = 40;
  // Worker `worker`'s triangles of round `round`, around its band's rows from `first_row`.
  const auto triangles_of = [](int32_t worker, int32_t round, int64_t first_row) {
    std::mt19937 random(static_cast<uint32_t>(worker * 1000 + round));
    std::uniform_int_distribution<int32_t> column(-4, static_cast<int32_t>(w) + 2);
    std::uniform_int_distribution<int32_t> offset(-20, brel::Caustics_Band::rows + 10);
    std::uniform_int_distribution<int32_t> half_height(1, 12);
    std::uniform_int_distribution<int32_t> kind(0, 9);
    std::vector<brel::Caustics_Triangle> triangles;
    for (int32_t i = 0; i < 300; ++i) {
      // One in ten is taller than any band.
      const float a = static_cast<float>(kind(random) == 0 ? 4 * half_height(random) + 50
                                                           : half_height(random));
      const float slope = kind(random) < 5 ? 1.0f : 0.5f;
      const float x = static_cast<float>(column(random));
      const float y = static_cast<float>(first_row + offset(random));
      const float sign = kind(random) < 5 ? 1.0f : -1.0f;
      triangles.push_back(
          {RGB32f{{sign, 2.0f * sign, -0.5f * sign}}, x, y, x + slope * a, y + a, x, y + 2.0f * a});
    }
    return triangles;
  };
  const auto first_row_of = [](int32_t worker, int32_t round) {
    return static_cast<int64_t>((worker * 5 + round * 11) % (h + 20)) - 30;
  };
  for (const int64_t mode : {1, 2}) {
    Buffer alone(w, h);
    Buffer scratch(w, brel::Caustics_Band::rows);
    brel::Caustics_Band sole(scratch.view, w, h, true);
    for (int32_t worker = 0; worker < workers; ++worker) {
      for (int32_t round = 0; round < rounds; ++round) {
        sole.place(first_row_of(worker, round));
        brel::rasterize_triangles(triangles_of(worker, round, first_row_of(worker, round)), sole,
                                  alone.view, mode);
        sole.flush(alone.view);
      }
    }
    ASSERT_FALSE(alone.untouched());
    for (int32_t attempt = 0; attempt < 4; ++attempt) {
      Buffer shared(w, h);
      Buffer scratches(w, brel::Caustics_Band::rows * workers);
      brel::Caustics_Row_Locks locks(h);
      // Each worker's triangles are made before the threads start, so that they meet.
      std::vector<std::vector<std::vector<brel::Caustics_Triangle>>> work(workers);
      for (int32_t worker = 0; worker < workers; ++worker) {
        for (int32_t round = 0; round < rounds; ++round) {
          work[worker].push_back(triangles_of(worker, round, first_row_of(worker, round)));
        }
      }
      std::vector<std::thread> threads;
      for (int32_t worker = 0; worker < workers; ++worker) {
        threads.emplace_back([&, worker] {
          Layer<RGB32f> rows = scratches.view;
          rows.pixels =
              brel::advance_bytes(rows.pixels, worker * brel::Caustics_Band::rows * rows.row_bytes);
          rows.height = brel::Caustics_Band::rows;
          brel::Caustics_Band band(rows, w, h, locks);
          for (int32_t round = 0; round < rounds; ++round) {
            band.place(first_row_of(worker, round));
            brel::rasterize_triangles(work[worker][round], band, shared.view, mode);
            band.flush(shared.view);
          }
        });
      }
      for (std::thread& thread : threads) {
        thread.join();
      }
      ASSERT_TRUE(same_bits(shared, alone)) << "mode " << mode << ", attempt " << attempt;
    }
  }
}

TEST(Caustics_Band, HoldsTrianglesWhoseRowsAllLieInIt) {
  constexpr float rows = static_cast<float>(brel::Caustics_Band::rows);
  Buffer scratch(4, brel::Caustics_Band::rows);
  brel::Caustics_Band band(scratch.view, 4, 200);
  band.place(10);
  EXPECT_TRUE(band.holds(10.0f, 10.0f + rows - 0.01f));
  EXPECT_FALSE(band.holds(9.99f, 12.0f));
  EXPECT_FALSE(band.holds(12.0f, 10.0f + rows));
  EXPECT_FALSE(band.holds(std::numeric_limits<float>::quiet_NaN(), 12.0f));
  EXPECT_FALSE(band.holds(12.0f, std::numeric_limits<float>::infinity()));
  band.place(-5);
  // Truncation toward zero: a vertex just above row 0 is in row 0.
  EXPECT_TRUE(band.holds(-0.5f, 3.0f));
  EXPECT_TRUE(band.holds(-5.0f, 3.0f));
  EXPECT_FALSE(band.holds(-6.0f, 3.0f));
}

}  // namespace
