#include "kernel/kernel_generate_normals_cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <utility>

#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::Vector_3;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;
using Normals = brel::Kernel_Generate_Normals<Layer<brel::ARGB32f>, brel::Implementation_Cpu>;

// Float results of a few operations in a row; the expected values are worked out by hand.
constexpr float epsilon = 1e-6f;

struct Depth {
  Depth(const brel::Render_Context& context, int64_t width, int64_t height)
      : holder(brel::make_temporary_float_layer(context, width, height, 0, 0, 0, 1.0f, 1.0f, 1.0f)),
        view(brel::layer_view<float>(holder)) {}

  Depth& fill(const std::function<float(int64_t, int64_t)>& value) {
    for (int64_t y = 0; y < view.height; ++y) {
      for (int64_t x = 0; x < view.width; ++x) {
        view.row(y)[x] = value(x, y);
      }
    }
    return *this;
  }

  brel::Layer_Holder holder;
  Layer<float> view;
};

Normals::Parameters_In settings(const Depth& depth, float depth_scale) {
  Normals::Parameters_In in;
  in.depth = depth.view;
  in.depth_scale = depth_scale;
  return in;
}

template <class Kernel>
Layer<Vector_3<float>> generate(Standalone_Render& render, Kernel& kernel) {
  kernel.execute(render.context);
  return brel::layer_view<Vector_3<float>>(*kernel.result);
}

Layer<Vector_3<float>> generate(Standalone_Render& render, const Normals::Parameters_In& in,
                                Normals& kernel) {
  kernel.parameters_in = in;
  return generate(render, kernel);
}

void expect_normal(const Vector_3<float>& n, float x, float y, float z) {
  EXPECT_NEAR(n.x, x, epsilon);
  EXPECT_NEAR(n.y, y, epsilon);
  EXPECT_NEAR(n.z, z, epsilon);
}

void expect_facing(const Vector_3<float>& n) {
  EXPECT_EQ(n.x, 0.0f);
  EXPECT_EQ(n.y, 0.0f);
  EXPECT_EQ(n.z, 1.0f);
}

// Depth falling by 1 per pixel with a depth scale of 10: slope 1, z = (10 - 1) / 10, then
// normalised by sqrt(1 + 0.81).
constexpr float unit_slope = 0.74329414f;    // 1 / sqrt(1.81)
constexpr float unit_slope_z = 0.66896474f;  // 0.9 / sqrt(1.81)

// The normal layer keeps the depth's size but none of its origin or scale.
TEST(Generate_Normals, ConstantDepthFacesTheViewerEverywhere) {
  for (const bool detection : {false, true}) {
    Standalone_Render render(2);
    Depth depth(render.context, 9, 7);
    depth.fill([](int64_t, int64_t) { return 42.0f; });
    depth.view.origin_x = 4;
    depth.view.scale_x = 0.5f;
    Normals kernel;
    Normals::Parameters_In in = settings(depth, 141.42136f);
    in.discontinuity_detection = detection;
    const Layer<Vector_3<float>> normals = generate(render, in, kernel);
    ASSERT_EQ(normals.width, 9);
    ASSERT_EQ(normals.height, 7);
    EXPECT_EQ(normals.origin_x, 0);
    EXPECT_EQ(normals.scale_x, 1.0f);
    for (int64_t y = 0; y < 7; ++y) {
      for (int64_t x = 0; x < 9; ++x) {
        expect_facing(normals.row(y)[x]);
      }
    }
  }
}

// Ramps rising by 1 per pixel to the right tilt left, rising downwards tilt up, in every pixel:
// the first row and last column take the one-sided differences, and a single-pixel line has no
// difference across it.
TEST(Generate_Normals, RampsTiltEvenlyUpToTheEdges) {
  struct Ramp {
    int64_t width, height;
    bool rising_right;
  };
  for (const Ramp ramp :
       {Ramp{6, 4, true}, Ramp{4, 6, false}, Ramp{1, 4, false}, Ramp{4, 1, true}}) {
    Standalone_Render render(2);
    Depth depth(render.context, ramp.width, ramp.height);
    depth.fill([&](int64_t x, int64_t y) { return static_cast<float>(ramp.rising_right ? x : y); });
    Normals kernel;
    const Layer<Vector_3<float>> normals = generate(render, settings(depth, 10.0f), kernel);
    for (int64_t y = 0; y < ramp.height; ++y) {
      for (int64_t x = 0; x < ramp.width; ++x) {
        SCOPED_TRACE(testing::Message()
                     << ramp.width << " x " << ramp.height << " at " << x << ", " << y);
        expect_normal(normals.row(y)[x], ramp.rising_right ? -unit_slope : 0.0f,
                      ramp.rising_right ? 0.0f : unit_slope, unit_slope_z);
      }
    }
  }
}

// Single pixels worked out by hand: the normal is (dx, dy, z) normalised.
TEST(Generate_Normals, HandWorkedSlopes) {
  struct Case {
    const char* what;
    std::function<float(int64_t, int64_t)> depth;
    int64_t size;
    float depth_scale, scale, threshold;  // threshold 0: no discontinuity detection
    int64_t x, y;
    float dx, dy, z;
  };
  const auto diagonal = [](int64_t x, int64_t y) { return static_cast<float>(2 * x + 2 * y); };
  const auto steep = [](int64_t x, int64_t) { return static_cast<float>(3 * x); };
  // Column 2 steps to 50, column 3 to 80 (rising 30 = beyond 0.95 of 20 again).
  const auto steps = [](int64_t x, int64_t) { return x <= 1 ? 0.0f : (x == 2 ? 50.0f : 80.0f); };
  const float root_2 = std::sqrt(2.0f);
  const Case cases[] = {
      // Differences (-2, 2) scaled to full-resolution pixels: (-1, 1), length sqrt 2.
      {"half scale", diagonal, 5, 10.0f, 0.5f, 0.0f, 2, 2, -1.0f, 1.0f, (10.0f - root_2) / 10.0f},
      {"half scale, corner", diagonal, 5, 10.0f, 0.5f, 0.0f, 4, 0, -1.0f, 1.0f,
       (10.0f - root_2) / 10.0f},
      // Slopes steeper than the depth scale, or a zero depth scale, face away.
      {"steep", steep, 3, 2.0f, 1.0f, 0.0f, 1, 1, -3.0f, 0.0f, (2.0f - 3.0f) / 2.0f},
      {"zero depth scale", steep, 3, 0.0f, 1.0f, 0.0f, 1, 1, -3.0f, 0.0f, -3.0f},
      // At (2, 3): dx = -30 > 20, so the left neighbour's (-50, 0) is averaged in: (-40, 0);
      // still beyond 20, the one right of it (column 2: (-30, 0)) is averaged again: (-35, 0).
      {"large neighbour differences are averaged", steps, 7, 100.0f, 1.0f, 20.0f, 2, 3, -35.0f,
       0.0f, (100.0f - 35.0f) / 100.0f},
  };
  for (const Case& c : cases) {
    Standalone_Render render(1);
    Depth depth(render.context, c.size, c.size);
    depth.fill(c.depth);
    Normals::Parameters_In in = settings(depth, c.depth_scale);
    in.scale_x = c.scale;
    in.scale_y = c.scale;
    if (c.threshold > 0.0f) {
      in.discontinuity_detection = true;
      in.discontinuity_threshold = c.threshold;
    }
    Normals kernel;
    const Layer<Vector_3<float>> normals = generate(render, in, kernel);
    const float norm = std::sqrt(c.dx * c.dx + c.dy * c.dy + c.z * c.z);
    SCOPED_TRACE(c.what);
    expect_normal(normals.row(c.y)[c.x], c.dx / norm, c.dy / norm, c.z / norm);
  }
}

// Two flat regions 100 apart, split at column (or row) 5 of a 10 × 10 layer. Detection flattens
// the two lines at the step; lines closer than 2 to an edge are left tilted, as is everything
// without detection.
TEST(Generate_Normals, DiscontinuityDetectionKeepsStepsFromTiltingTheSurface) {
  Standalone_Render render(2);
  for (const bool across_columns : {true, false}) {
    Depth depth(render.context, 10, 10);
    depth.fill([&](int64_t x, int64_t y) { return (across_columns ? x : y) < 5 ? 0.0f : 100.0f; });
    Normals::Parameters_In in = settings(depth, 141.42136f);
    in.discontinuity_detection = true;
    Normals with;
    const Layer<Vector_3<float>> merged = generate(render, in, with);
    in.discontinuity_detection = false;
    Normals without;
    const Layer<Vector_3<float>> tilted = generate(render, in, without);
    // Pixel i along the step on line k across it, and how far it tilts towards the lower side.
    const auto at = [&](const Layer<Vector_3<float>>& n, int64_t i, int64_t k) {
      return across_columns ? n.row(i)[k] : n.row(k)[i];
    };
    const auto tilt = [&](const Vector_3<float>& n) { return across_columns ? -n.x : n.y; };
    const int64_t line = across_columns ? 4 : 5;
    for (int64_t i = 2; i < 8; ++i) {
      expect_normal(at(merged, i, 4), 0.0f, 0.0f, 1.0f);
      expect_normal(at(merged, i, 5), 0.0f, 0.0f, 1.0f);
      EXPECT_GT(tilt(at(tilted, i, line)), 0.5f);
    }
    EXPECT_GT(tilt(at(merged, 1, line)), 0.5f);
    EXPECT_GT(tilt(at(merged, 8, line)), 0.5f);
  }
}

// The row body computes the inside of each row without per-pixel edge rules and revisits only
// the pixels whose differences pass the threshold; it must agree bit for bit with the pixel
// rule at every thread count.
TEST(Generate_Normals, RowsMatchThePixelRuleOnNoisyDepth) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> noise(0.0f, 60.0f);
  // Narrower than one block of the row body, and wider than two.
  for (const auto& [w, h] : {std::pair<int64_t, int64_t>{37, 23}, {150, 9}})
    for (const int64_t threads : brel::test::thread_counts) {
      Standalone_Render render(threads);
      Depth depth(render.context, w, h);
      depth.fill([&](int64_t, int64_t) {
        const float v = noise(random);
        return v < 15.0f ? 0.0f : v;  // holes without surface, and repeated zeros
      });
      for (const bool detection : {false, true}) {
        Normals::Parameters_In in = settings(depth, 30.0f);
        in.discontinuity_detection = detection;
        in.discontinuity_threshold = 20.0f;
        in.scale_x = 0.5f;
        in.scale_y = 0.25f;
        Normals kernel;
        const Layer<Vector_3<float>> normals = generate(render, in, kernel);
        const brel::Normal_Slope_Settings slope = brel::Normal_Slope_Settings::of(in);
        int64_t mismatches = 0;
        for (int64_t y = 0; y < h; ++y) {
          for (int64_t x = 0; x < w; ++x) {
            const Vector_3<float> expected =
                brel::normal_from_depth(depth.view, x, y, detection, slope);
            mismatches += std::memcmp(&expected, &normals.row(y)[x], sizeof(expected)) != 0;
          }
        }
        EXPECT_EQ(mismatches, 0) << "width " << w << ", threads " << threads << ", detection "
                                 << detection;
      }
    }
}

template <class P>
class Normal_Texture_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Normal_Texture_Test, brel::test::Host_Pixel_Types);

TYPED_TEST(Normal_Texture_Test, OpaquePixelsDecodeUnnormalisedOthersFaceTheViewer) {
  using P = TypeParam;
  using Kernel = brel::Kernel_Generate_Normals<Layer<P>, brel::Implementation_Cpu>;
  Standalone_Render render(2);
  const float white = brel::test::white_of<P>();
  // Integer types count only opaque pixels; one below white is ignored.
  const float almost = brel::Pixel_Traits<P>::is_integer ? white - 1.0f : 2.0f;
  Host_Layer<P> texture(render.context, 6, 1);
  texture.set(0, 0, white, 0, white, white);
  texture.set(1, 0, white, 0, white, almost);
  texture.set(2, 0, white / 2, white, 0, white);
  // Float textures unpremultiply partial alpha: (0.5, 0, 0) normalised; a zero vector, whose z
  // becomes 1; no alpha, where x and y vanish. Integer types ignore them all.
  texture.set(3, 0, white, white / 2, white / 2, white / 2);
  texture.set(4, 0, white / 2, white / 2, white / 2, white / 2);
  texture.set(5, 0, white, 0, white * 0.75f, 0);
  Depth depth(render.context, 6, 1);
  depth.fill([](int64_t x, int64_t) { return static_cast<float>(x * 7); });  // not read
  Kernel kernel;
  kernel.parameters_in.normal_texture = texture.view;
  kernel.parameters_in.depth = depth.view;
  kernel.parameters_in.depth_scale = 5.0f;
  const Layer<Vector_3<float>> normals = generate(render, kernel);
  expect_normal(normals.row(0)[0], 1.0f, -1.0f, 1.0f);
  if constexpr (brel::Pixel_Traits<P>::is_integer) {
    expect_facing(normals.row(0)[1]);
  } else {
    expect_normal(normals.row(0)[1], 1.0f, -1.0f, 1.0f);  // alpha above 1 counts as opaque
  }
  // Half of white: exactly 0 for 16-bit and float, 127.5 is not a channel value in 8-bit.
  const float half = brel::test::by_depth<P>(0.0f, 0.0f, 127.0f / 127.5f - 1.0f);
  expect_normal(normals.row(0)[2], half, 1.0f, -1.0f);
  if constexpr (brel::Pixel_Traits<P>::is_integer) {
    expect_facing(normals.row(0)[3]);
  } else {
    expect_normal(normals.row(0)[3], 1.0f, 0.0f, 0.0f);
  }
  expect_normal(normals.row(0)[4], 0.0f, 0.0f, 1.0f);
  expect_normal(normals.row(0)[5], 0.0f, 0.0f, 1.0f);
}

// The row body decodes blocks of texture pixels without branches; it must agree bit for bit
// with the pixel rule for every alpha (opaque, partial, none, above white) and a texture shifted
// left or right, at every thread count. Pixels outside the texture face the viewer.
TYPED_TEST(Normal_Texture_Test, BlocksMatchThePixelRule) {
  using P = TypeParam;
  using Traits = brel::Pixel_Traits<P>;
  using Kernel = brel::Kernel_Generate_Normals<Layer<P>, brel::Implementation_Cpu>;
  const float white = brel::test::white_of<P>();
  std::mt19937 random(17);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const auto channel = [&] {
    return Traits::is_integer ? std::floor(unit(random) * white) : unit(random);
  };
  const float alphas[] = {0.0f, white, white / 3.0f, Traits::is_integer ? white - 1.0f : 1.5f};
  for (const int64_t threads : brel::test::thread_counts) {
    for (const int64_t origin_x : {-5, 5}) {
      Standalone_Render render(threads);
      Host_Layer<P> texture(render.context, 150, 9, origin_x, 2);
      for (int64_t y = 0; y < 9; ++y) {
        for (int64_t x = 0; x < 150; ++x) {
          const float a = (x + y) % 5 == 4 ? std::floor(unit(random) * white) : alphas[(x + y) % 5];
          texture.set(x, y, channel(), channel(), x % 7 == 0 ? white / 2 : channel(), a);
        }
      }
      Depth depth(render.context, 160, 12);
      depth.fill([](int64_t, int64_t) { return 0.0f; });
      Kernel kernel;
      kernel.parameters_in.normal_texture = texture.view;
      kernel.parameters_in.depth = depth.view;
      const Layer<Vector_3<float>> normals = generate(render, kernel);
      int64_t mismatches = 0;
      for (int64_t y = 0; y < 12; ++y) {
        for (int64_t x = 0; x < 160; ++x) {
          const int64_t tx = x - origin_x;
          const int64_t ty = y - 2;
          const bool inside = tx >= 0 && tx < 150 && ty >= 0 && ty < 9;
          const Vector_3<float> expected = inside ? brel::normal_from_texture(texture.at(tx, ty))
                                                  : Vector_3<float>{0.0f, 0.0f, 1.0f};
          mismatches += std::memcmp(&expected, &normals.row(y)[x], sizeof(expected)) != 0;
        }
      }
      EXPECT_EQ(mismatches, 0) << "threads " << threads << ", origin " << origin_x;
    }
  }
}

}  // namespace
