#include "kernel/kernel_environmental_occlusion_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::Vector_3;
using brel::test::Standalone_Render;
using Occlusion =
    brel::Kernel_Environmental_Occlusion<Layer<brel::ARGB8>, brel::Implementation_Cpu>;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// A depth layer and its normals, facing the viewer until filled otherwise.
struct Surface {
  Surface(const brel::Render_Context& context, int64_t width, int64_t height, float scale = 1.0f)
      : depth_holder(
            brel::make_temporary_float_layer(context, width, height, 0, 0, 0, 1.0f, scale, scale)),
        depth(brel::layer_view<float>(depth_holder)) {
    normal_holder.memory = context.allocate_memory_2d(width * 12, height);
    normals = brel::layer_view<Vector_3<float>>(normal_holder);
    fill([](int64_t, int64_t) { return 10.0f; });
    tilt([](int64_t, int64_t) { return Vector_3<float>{0.0f, 0.0f, 1.0f}; });
  }

  Surface& fill(const std::function<float(int64_t, int64_t)>& value) {
    for (int64_t y = 0; y < depth.height; ++y) {
      for (int64_t x = 0; x < depth.width; ++x) {
        depth.row(y)[x] = value(x, y);
      }
    }
    return *this;
  }

  Surface& tilt(const std::function<Vector_3<float>(int64_t, int64_t)>& normal) {
    for (int64_t y = 0; y < normals.height; ++y) {
      for (int64_t x = 0; x < normals.width; ++x) {
        normals.row(y)[x] = normal(x, y);
      }
    }
    return *this;
  }

  brel::Layer_Holder depth_holder;
  Layer<float> depth;
  brel::Layer_Holder normal_holder;
  Layer<Vector_3<float>> normals;
};

Occlusion::Parameters_In settings(const Surface& surface, int64_t radius, bool quick_mode) {
  Occlusion::Parameters_In in;
  in.depth = surface.depth;
  in.normals = surface.normals;
  in.environment.occlusion_amount = 1.0f;
  in.environment.illumination_amount = 1.0f;
  in.environment.occlusion_radius = radius;
  in.environment.quick_mode = quick_mode;
  return in;
}

// The occlusion layer's values, row after row; empty when the kernel made none.
std::vector<float> occlude(Standalone_Render& render, const Occlusion::Parameters_In& in) {
  Occlusion kernel;
  kernel.parameters_in = in;
  kernel.execute(render.context);
  std::vector<float> values;
  if (kernel.result != nullptr) {
    const Layer<float> layer = brel::layer_view<float>(*kernel.result);
    EXPECT_EQ(layer.width, in.depth.width);
    EXPECT_EQ(layer.height, in.depth.height);
    for (int64_t y = 0; y < layer.height; ++y) {
      values.insert(values.end(), layer.row(y), layer.row(y) + layer.width);
    }
  }
  return values;
}

// The running sums of each row in double, for the plain rule's quick mode.
struct Row_Sums {
  explicit Row_Sums(const Layer<float>& depth)
      : values(static_cast<size_t>(depth.width * depth.height)) {
    for (int64_t y = 0; y < depth.height; ++y) {
      double sum = 0.0;
      for (int64_t x = 0; x < depth.width; ++x) {
        sum += depth.row(y)[x];
        values[static_cast<size_t>(y * depth.width + x)] = sum;
      }
    }
    view.width = depth.width;
    view.height = depth.height;
    view.pixels = values.data();
    view.row_bytes = depth.width * 8;
  }
  std::vector<double> values;
  Layer<double> view;
};

std::vector<float> reference(const Occlusion::Parameters_In& in) {
  const auto& e = in.environment;
  const brel::Occlusion_Settings s =
      brel::occlusion_settings(in.depth, in.normals, e.occlusion_amount, e.occlusion_radius,
                               e.quick_mode, in.skip_zero_depth);
  const Row_Sums sums(in.depth);
  std::vector<float> values;
  for (int64_t y = 0; y < in.depth.height; ++y) {
    for (int64_t x = 0; x < in.depth.width; ++x) {
      values.push_back(brel::environmental_occlusion_pixel_reference(s, sums.view, x, y));
    }
  }
  return values;
}

// A rough surface with holes (depth 0), pits below 0 (which see the outside as above them),
// and normals mostly inside the unit range, some beyond it and some not numbers.
TEST(Environmental_Occlusion, RowsFollowThePixelRuleInBothModesAtEveryThreadCount) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  struct Case {
    int64_t radius;
    float scale;
    float amount;
    bool skip;
    int64_t height = 23;  // 290 rows go out in wide bands and small pieces at every count
  };
  const Case cases[] = {{0, 1.0f, 1.0f, false},   {1, 1.0f, 0.5f, true},
                        {3, 1.0f, 1.0f, true},    {4, 0.5f, 1.5f, false},
                        {7, 1.0f, -0.25f, false}, {-2, 1.0f, 1.0f, false},
                        {16, 1.0f, 0.75f, false}, {16, 1.0f, 1.0f, true, 290}};
  for (const bool quick : {false, true}) {
    for (const Case& c : cases) {
      for (const int64_t threads : brel::test::thread_counts) {
        Standalone_Render render(threads);
        Surface surface(render.context, 37, c.height, c.scale);
        surface.fill([&](int64_t, int64_t) {
          const float v = unit(random);
          return v < 0.1f ? 0.0f : (v < 0.15f ? -5.0f * v : 40.0f * v);
        });
        surface.tilt([&](int64_t, int64_t) {
          const float v = unit(random);
          if (v < 0.02f) {
            return Vector_3<float>{nan, 0.5f, 0.5f};
          }
          const float spread = v < 0.05f ? 6.0f : 2.0f;
          return Vector_3<float>{spread * (unit(random) - 0.5f), spread * (unit(random) - 0.5f),
                                 0.5f};
        });
        Occlusion::Parameters_In in = settings(surface, c.radius, quick);
        in.environment.occlusion_amount = c.amount;
        in.skip_zero_depth = c.skip;
        EXPECT_EQ(occlude(render, in), reference(in))
            << (quick ? "quick" : "full") << " radius " << c.radius << " scale " << c.scale
            << " threads " << threads;
      }
    }
  }
}

// The loop's bands hand out every row once, in order: wide bands first, then pieces of the grain
// (the rows counted together) for at least a wide band per worker, so the workers end together.
TEST(Environmental_Occlusion, BandsCoverEveryRowOnceEndingInGrains) {
  constexpr int64_t wide = brel::occlusion_wide_band_rows;
  for (const int64_t rows : {0, 1, 5, 31, 32, 33, 95, 290, 1080}) {
    for (const int64_t grain : {1, 4}) {
      for (const int64_t workers : {1, 2, 3, 8}) {
        const brel::Row_Bands bands = brel::occlusion_bands(rows, grain, workers);
        int64_t next = 0;
        int64_t in_grains = 0;
        for (int64_t i = 0; i < bands.count(); ++i) {
          const auto [begin, end] = bands.range(i);
          ASSERT_EQ(begin, next) << rows << " rows, band " << i;
          ASSERT_LT(begin, end) << rows << " rows, band " << i;
          if (end - begin > grain) {
            EXPECT_EQ(end - begin, wide);
            EXPECT_EQ(in_grains, 0) << "a wide band after the small pieces";
          } else {
            EXPECT_TRUE(end - begin == grain || end == rows);
            in_grains += end - begin;
          }
          next = end;
        }
        EXPECT_EQ(next, rows);
        EXPECT_GE(in_grains, std::min(rows, workers * wide))
            << rows << " rows, grain " << grain << ", " << workers << " workers";
      }
    }
  }
}

// The full mode counts eight columns at once and reads a window's last n mod 8 columns as the
// eight that end at its last column. Radii 3 to 12 and 40 give every window width mod 8, wide
// and narrow (clipped at the edges, or shifted by the normals partly and wholly off the layer);
// depths on a coarse grid tie with the pixel's own, and some are NaN or infinite.
TEST(Environmental_Occlusion, FullModeCountsEveryWindowWidthAsThePixelRule) {
  std::mt19937 random(5);
  std::uniform_int_distribution<int32_t> level(-2, 12);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  constexpr float inf = std::numeric_limits<float>::infinity();
  for (const int64_t radius : {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 40}) {
    for (const int64_t threads : brel::test::thread_counts) {
      Standalone_Render render(threads);
      Surface surface(render.context, 97, 31);
      surface.fill([&](int64_t, int64_t) {
        const float v = unit(random);
        return v < 0.02f ? nan : (v < 0.04f ? (v < 0.03f ? inf : -inf) : level(random) * 2.5f);
      });
      surface.tilt([&](int64_t, int64_t) {
        return Vector_3<float>{4.0f * (unit(random) - 0.5f), 4.0f * (unit(random) - 0.5f), 0.5f};
      });
      const Occlusion::Parameters_In in = settings(surface, radius, false);
      EXPECT_EQ(occlude(render, in), reference(in))
          << "radius " << radius << " threads " << threads;
    }
  }
}

// The full mode counts four vertically neighbouring pixels together where their windows take the
// same columns, over the rows all of them hold, and each one's other rows alone. Normals that
// shift whole columns alike (some pixels not) and rows apart by varying amounts (sometimes so far
// that the windows share no row), holes and pits, a height that leaves a band of two rows, and
// windows of every width class, eight or sixteen columns a load, clipped at the edges.
TEST(Environmental_Occlusion, FullModeCountsNeighbouringRowsTogetherAsThePixelRule) {
  std::mt19937 random(23);
  std::uniform_int_distribution<int32_t> level(-2, 9);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const int64_t radius : {4, 7, 8, 9, 13, 15, 40}) {
    for (const bool skip : {false, true}) {
      for (const int64_t threads : brel::test::thread_counts) {
        Standalone_Render render(threads);
        Surface surface(render.context, 61, 30);
        surface.fill([&](int64_t, int64_t) {
          const float v = unit(random);
          return v < 0.03f ? nan : (v < 0.15f ? 0.0f : level(random) * 1.5f);
        });
        surface.tilt([&](int64_t x, int64_t) {
          const float v = unit(random);
          const float nx =
              v < 0.1f ? 2.0f * unit(random) - 1.0f : static_cast<float>(x % 7) * 0.25f - 0.75f;
          const float ny = v > 0.95f ? 3.0f * unit(random) - 1.5f : 0.3f * unit(random) - 0.15f;
          return Vector_3<float>{nx, ny, 0.5f};
        });
        Occlusion::Parameters_In in = settings(surface, radius, false);
        in.skip_zero_depth = skip;
        EXPECT_EQ(occlude(render, in), reference(in))
            << "radius " << radius << " skip " << skip << " threads " << threads;
      }
    }
  }
}

// The quick mode counts four horizontally neighbouring pixels together where their spans have
// one width and lie one column apart, over the window rows all of them hold, and each one's
// other rows alone. Normals that shift runs of columns alike (some pixels not, some spans
// clipped at the sides), rows apart by varying amounts (sometimes sharing none), holes, NaN and
// pits, whole-number depths whose means tie with the pixel's, and rows longer than the pixels
// prepared at a time.
TEST(Environmental_Occlusion, QuickModeCountsNeighbouringPixelsTogetherAsThePixelRule) {
  std::mt19937 random(31);
  std::uniform_int_distribution<int32_t> level(-1, 6);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const int64_t radius : {2, 5, 16}) {
    for (const bool skip : {false, true}) {
      for (const int64_t threads : brel::test::thread_counts) {
        Standalone_Render render(threads);
        Surface surface(render.context, 151, 29);
        surface.fill([&](int64_t, int64_t) {
          const float v = unit(random);
          return v < 0.02f ? nan : (v < 0.1f ? 0.0f : static_cast<float>(level(random)));
        });
        surface.tilt([&](int64_t x, int64_t) {
          const float v = unit(random);
          const float nx =
              v < 0.08f ? 2.0f * unit(random) - 1.0f : static_cast<float>(x / 6 % 5) * 0.3f - 0.6f;
          const float ny = v > 0.93f ? 3.0f * unit(random) - 1.5f : 0.4f * unit(random) - 0.2f;
          return Vector_3<float>{nx, ny, 0.5f};
        });
        Occlusion::Parameters_In in = settings(surface, radius, true);
        in.skip_zero_depth = skip;
        EXPECT_EQ(occlude(render, in), reference(in))
            << "radius " << radius << " skip " << skip << " threads " << threads;
      }
    }
  }
}

// Float running sums along a frame-wide row put some means above the surface; the double sums
// give every mean exactly. Depths that are no short binary fractions, normals tilted.
TEST(Environmental_Occlusion, FlatDepthIsUnoccludedInBothModes) {
  Standalone_Render render(8);
  Surface surface(render.context, 1920, 12);
  surface.fill([](int64_t, int64_t) { return 41.37f; });
  surface.tilt([](int64_t x, int64_t y) {
    return Vector_3<float>{static_cast<float>(x % 5) * 0.2f - 0.4f,
                           static_cast<float>(y % 3) * 0.3f - 0.3f, 0.8f};
  });
  for (const bool quick : {false, true}) {
    for (const float amount : {1.0f, 0.5f}) {
      Occlusion::Parameters_In in = settings(surface, 16, quick);
      in.environment.occlusion_amount = amount;
      const std::vector<float> values = occlude(render, in);
      ASSERT_EQ(values.size(), 1920u * 12u);
      for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(values[i], 1.0f)
            << (quick ? "quick" : "full") << " at " << i % 1920 << ", " << i / 1920;
      }
    }
  }
}

// A wall rising right of column 20: at its foot, 5 of the 11 columns of the window lie above.
TEST(Environmental_Occlusion, FootOfAWallIsAboutHalfOccluded) {
  Standalone_Render render(2);
  Surface surface(render.context, 40, 20);
  surface.fill([](int64_t x, int64_t) { return x < 20 ? 10.0f : 50.0f; });
  const std::vector<float> values = occlude(render, settings(surface, 5, false));
  // 55 float subtractions of 1 / 121, each rounded by up to 3e-8.
  EXPECT_NEAR(values[10 * 40 + 19], 6.0f / 11.0f, 1e-5f);
  EXPECT_EQ(values[10 * 40 + 5], 1.0f);   // far from the wall
  EXPECT_EQ(values[10 * 40 + 25], 1.0f);  // on top of it
  // Half the amount lifts the floor to one half.
  Occlusion::Parameters_In in = settings(surface, 5, false);
  in.environment.occlusion_amount = 0.5f;
  EXPECT_NEAR(occlude(render, in)[10 * 40 + 19], 0.5f + 3.0f / 11.0f, 1e-5f);
}

// One raised column 2 rx right of the pixel (or one raised row 2 ry above it) lies only in the
// window moved by a normal with x = 1 (y = 1); the window's far column (row) holds 2 r + 1
// samples of (2 r + 1)².
TEST(Environmental_Occlusion, NormalMovesTheWindowByTheRadius) {
  Standalone_Render render(1);
  constexpr int64_t r = 3;
  const float one_line = 1.0f - 7.0f / 49.0f;
  for (const bool vertical : {false, true}) {
    Surface surface(render.context, 30, 30);
    surface.fill(
        [&](int64_t x, int64_t y) { return (vertical ? y == 9 : x == 21) ? 50.0f : 10.0f; });
    const std::vector<float> facing = occlude(render, settings(surface, r, false));
    surface.tilt([&](int64_t, int64_t) {
      return vertical ? Vector_3<float>{0.0f, 1.0f, 0.0f} : Vector_3<float>{1.0f, 0.0f, 0.0f};
    });
    const std::vector<float> tilted = occlude(render, settings(surface, r, false));
    const size_t pixel = 15 * 30 + 15;
    EXPECT_EQ(facing[pixel], 1.0f) << vertical;
    EXPECT_NEAR(tilted[pixel], one_line, 1e-6f) << vertical;
    // One step further away the line leaves the moved window.
    EXPECT_EQ(tilted[vertical ? pixel + 30 : pixel - 1], 1.0f) << vertical;
  }
}

TEST(Environmental_Occlusion, DownsampledRadiusOfOneIsAOnePixelWindow) {
  Standalone_Render render(2);
  Surface surface(render.context, 9, 9, 0.5f);
  surface.fill([](int64_t x, int64_t y) { return static_cast<float>((x * 7 + y * 3) % 5); });
  for (const bool quick : {false, true}) {
    for (const float value : occlude(render, settings(surface, 1, quick))) {
      // In quick mode the span is the pixel's own column (none in column 0), never above it.
      EXPECT_EQ(value, 1.0f) << quick;
    }
  }
}

TEST(Environmental_Occlusion, ZeroDepthIsSkippedWithOneWhenAsked) {
  Standalone_Render render(2);
  Surface surface(render.context, 7, 7);
  surface.fill([](int64_t x, int64_t y) { return x == 3 && y == 3 ? 0.0f : 20.0f; });
  for (const bool quick : {false, true}) {
    Occlusion::Parameters_In in = settings(surface, 2, quick);
    in.environment.occlusion_amount = 0.5f;
    EXPECT_LT(occlude(render, in)[3 * 7 + 3], 0.9f) << quick;
    in.skip_zero_depth = true;
    EXPECT_EQ(occlude(render, in)[3 * 7 + 3], 1.0f) << quick;
  }
}

// Rows of the window at the layer's first and last row, and column 0, take no part in quick
// mode; a layer of one or two rows never occludes.
TEST(Environmental_Occlusion, QuickModeIgnoresTheOuterRowsAndColumnZero) {
  Standalone_Render render(1);
  for (const int64_t height : {1, 2, 5}) {
    Surface surface(render.context, 6, height);
    surface.fill(
        [&](int64_t x, int64_t y) { return y == 0 || y == height - 1 || x == 0 ? 90.0f : 10.0f; });
    for (const float value : occlude(render, settings(surface, 1, true))) {
      EXPECT_EQ(value, 1.0f) << height;
    }
  }
  // A raised middle row does count: 1 / n for each window row whose mean lies above.
  Surface surface(render.context, 6, 5);
  surface.fill([](int64_t, int64_t y) { return y == 2 ? 90.0f : 10.0f; });
  const std::vector<float> values = occlude(render, settings(surface, 1, true));
  EXPECT_EQ(values[1 * 6 + 3], 1.0f - 1.0f / 3.0f);  // span of columns 2 .. 4
}

TEST(Environmental_Occlusion, NoLayerWithoutEnvironmentLightOrAmount) {
  Standalone_Render render(1);
  Surface surface(render.context, 4, 4);
  Occlusion::Parameters_In in = settings(surface, 2, false);
  in.environment.occlusion_amount = 0.0f;
  EXPECT_TRUE(occlude(render, in).empty());
  in = settings(surface, 2, true);
  in.environment.illumination_amount = 0.0f;
  EXPECT_TRUE(occlude(render, in).empty());
  in.environment.reflection_amount = 0.25f;
  EXPECT_EQ(occlude(render, in).size(), 16u);
  // An amount that is not a number is not 0.
  in.environment.occlusion_amount = nan;
  EXPECT_EQ(occlude(render, in).size(), 16u);
}

// The count's lookup equals the subtraction sample by sample, past the table's end as well;
// windows of 2^25 samples or more weigh too little to move 1.
TEST(Environmental_Occlusion, StepsRepeatTheSubtractionOfTheWeight) {
  for (const auto& [rx, ry] : std::vector<std::pair<int64_t, int64_t>>{{3, 2}, {200, 100}}) {
    const brel::Occlusion_Steps steps(rx, ry);
    const float weight = 1.0f / static_cast<float>((2 * rx + 1) * (2 * ry + 1));
    float occlusion = 1.0f;
    for (int64_t count = 0; count <= steps.window(); ++count) {
      ASSERT_EQ(steps.after(count), occlusion) << rx << " " << count;
      occlusion = occlusion - weight;
    }
  }
  const brel::Occlusion_Steps wide(2896, 2896);  // 5793² samples
  EXPECT_TRUE(wide.unchanged());
  EXPECT_EQ(wide.after(1000000), 1.0f);
  EXPECT_FALSE(brel::Occlusion_Steps(2895, 2895).unchanged());
  EXPECT_TRUE(brel::Occlusion_Steps(-1, 4).unchanged());
}

// The quick mode's tables, one per span width, equal the subtraction of 1 / n row by row; spans
// so wide that the tables hold few counts each continue past their end.
TEST(Environmental_Occlusion, QuickStepsRepeatTheSubtractionForEverySpanWidth) {
  for (const auto& [widest, rows] :
       std::vector<std::pair<int64_t, int64_t>>{{33, 33}, {1000, 999}}) {
    const brel::Quick_Occlusion_Steps steps(widest, rows);
    for (int64_t n = 1; n <= widest; n += n < 40 ? 1 : 97) {
      const float weight = 1.0f / static_cast<float>(n);
      float occlusion = 1.0f;
      for (int64_t count = 0; count <= rows; ++count) {
        ASSERT_EQ(steps.after(n, count), occlusion) << widest << " " << n << " " << count;
        occlusion = occlusion - weight;
      }
    }
  }
}

// The bound on the sums' difference is the least double whose mean over n lies above c: a step
// below it the mean is not above c. Depths of every kind, spans of several widths; doubles whose
// bound lies two steps above c n, and zero, whose bound lies n / 2 steps above it.
TEST(Environmental_Occlusion, QuickBoundIsTheLeastSumWhoseMeanLiesAbove) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (const double c : {0.0, -0.0, 1e-40, -1e-40, 41.37, -5.5, 1.0 / 3.0, 3e38, -3e38,
                         -83.02560096821567, -72.66052140270666, -inf}) {
    for (const double n : {1.0, 2.0, 3.0, 7.0, 33.0, 201.0, 1919.0}) {
      const double least = brel::least_sum_above(c, n);
      EXPECT_TRUE(least / n > c) << c << " " << n;
      EXPECT_FALSE(std::nextafter(least, -inf) / n > c) << c << " " << n;
    }
  }
  // Float depths (whose product with a span is exact) and other doubles (whose product rounds
  // either way) of every magnitude, over spans up to frame-wide.
  std::mt19937 random(5);
  std::uniform_real_distribution<float> mantissa(-2.0f, 2.0f);
  std::uniform_real_distribution<double> fine_mantissa(-2.0, 2.0);
  std::uniform_int_distribution<int> exponent(-140, 120);
  std::uniform_int_distribution<int> span(1, 3841);
  for (int i = 0; i < 40000; ++i) {
    const double m = i % 2 == 0 ? double{mantissa(random)} : fine_mantissa(random);
    const double c = std::ldexp(m, exponent(random));
    const double n = span(random);
    const double least = brel::least_sum_above(c, n);
    ASSERT_TRUE(least / n > c) << c << " " << n;
    ASSERT_FALSE(std::nextafter(least, -inf) / n > c) << c << " " << n;
  }
  for (const double c : {inf, double{nan}}) {
    EXPECT_TRUE(std::isnan(brel::least_sum_above(c, 3.0))) << c;
  }
}

// Radii far beyond the control's range neither overflow nor run away: the window weighs too
// little to occlude, and the estimate saturates.
TEST(Environmental_Occlusion, HugeRadiiAndShiftsStayDefined) {
  Standalone_Render render(2);
  Surface surface(render.context, 5, 5);
  surface.fill([](int64_t x, int64_t) { return static_cast<float>(x); });
  surface.tilt([](int64_t x, int64_t) {
    return Vector_3<float>{x == 0 ? std::numeric_limits<float>::infinity() : 1e30f, -1e30f, 0.0f};
  });
  for (const bool quick : {false, true}) {
    for (const float value :
         occlude(render, settings(surface, std::numeric_limits<int32_t>::max(), quick))) {
      EXPECT_EQ(value, 1.0f) << quick;
    }
  }
  EXPECT_EQ(brel::environmental_occlusion_workload(10, 10, int64_t{1} << 40),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(brel::environmental_occlusion_workload(6, 5, 16), 6 * 12 + 1089 * 5 * 4);
}

}  // namespace
