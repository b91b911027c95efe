#include "kernel/kernel_point_shadow_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "kernel/kernel_div_shadow_cpu.h"
#include "kernel/kernel_smooth_shadows_cpu.h"
#include "support/float_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Kernel_Point_Shadow;
using brel::Shadow_Point;
using brel::test::Float_Layer;
using brel::test::Standalone_Render;
using brel::test::values_of;

// The march written out plainly, one ray after another with ordinary additions, counting how
// many additions land in each pixel.
class Plain_Point_Shadow {
 public:
  explicit Plain_Point_Shadow(const Kernel_Point_Shadow::Parameters_In& in)
      : in_(in),
        w_(in.depth.width),
        h_(in.depth.height),
        shadow_(w_ * h_, 0.0f),
        translucent_(w_ * h_, 0.0f),
        weight_(w_ * h_, 0.0f),
        additions_(w_ * h_, 0) {
    const float w1 = static_cast<float>(w_ - 1);
    const float h1 = static_cast<float>(h_ - 1);
    for (int64_t i = 0; i < w_; ++i) {
      ray({static_cast<float>(i), 0.0f});
    }
    for (int64_t i = 0; i < h_; ++i) {
      ray({w1, static_cast<float>(i)});
    }
    for (int64_t i = 0; i < w_; ++i) {
      ray({static_cast<float>(i), h1});
    }
    for (int64_t i = 0; i < h_; ++i) {
      ray({0.0f, static_cast<float>(i)});
    }
    for (int64_t p = 0; p < w_ * h_; ++p) {
      if (weight_[p] != 0.0f) {
        shadow_[p] = shadow_[p] / weight_[p];
        translucent_[p] = translucent_[p] / weight_[p];
      }
    }
  }

  const std::vector<float>& shadow() const { return shadow_; }
  const std::vector<float>& translucent() const { return translucent_; }
  // The largest difference two orders of the additions into pixel p can make in a mean: each of
  // the two sums is off by at most (k - 1) units of rounding of the weight, k the additions,
  // and the division rounds once more.
  float bound(int64_t p) const {
    return static_cast<float>(4 * additions_[p] + 4) * std::ldexp(1.0f, -24);
  }

 private:
  float depth(int64_t x, int64_t y) const { return in_.depth.row(y)[x]; }

  void splat(std::vector<float>& layer, int64_t x0, int64_t y0, int64_t x1, int64_t y1, float fx,
             float fy, float f, float scale) {
    layer[y0 * w_ + x0] += (1.0f - fx) * (1.0f - fy) * f * scale;
    layer[y0 * w_ + x1] += fx * (1.0f - fy) * f * scale;
    layer[y1 * w_ + x0] += (1.0f - fx) * fy * f * scale;
    layer[y1 * w_ + x1] += fx * fy * f * scale;
    if (&layer == &weight_) {
      ++additions_[y0 * w_ + x0];
      ++additions_[y0 * w_ + x1];
      ++additions_[y1 * w_ + x0];
      ++additions_[y1 * w_ + x1];
    }
  }

  // A sample at (qx, qy) with weight f; returns whether it is in shadow.
  bool sample(float qx, float qy, float f, bool coarse) {
    const int64_t x0 = static_cast<int64_t>(qx);
    const int64_t y0 = static_cast<int64_t>(qy);
    const int64_t x1 = std::min(x0 + 1, w_ - 1);
    const int64_t y1 = std::min(y0 + 1, h_ - 1);
    const float fx = qx - static_cast<float>(x0);
    const float fy = qy - static_cast<float>(y0);
    const float z = (depth(x0, y0) * (1.0f - fx) + depth(x1, y0) * fx) * (1.0f - fy) +
                    (depth(x0, y1) * (1.0f - fx) + depth(x1, y1) * fx) * fy;
    bool shadowed = false;
    if (!(in_.skip_zero_depth && z == 0.0f)) {
      if (coarse) {
        int above = 0;
        for (const float corner : {depth(x0, y0), depth(x1, y0), depth(x0, y1), depth(x1, y1)}) {
          above += corner > horizon_ ? 1 : 0;
        }
        if ((z <= horizon_) != shadowed_ || (above > 0 && above < 4)) {
          return !shadowed_;
        }
      }
      if (z > horizon_) {
        horizon_ = z;
        acc_ = 0.0;
        const float dx = in_.light.position_x - qx;
        const float dy = in_.light.position_y - qy;
        slope_ = (in_.light.position_z - z) / (std::sqrt(dx * dx + dy * dy) + 0.0001f);
      } else {
        shadowed = true;
        const float t = in_.translucency;
        const float sx = in_.depth.scale_x;
        const float sy = in_.depth.scale_y;
        const float increment = static_cast<float>((horizon_ - z) * 0.003) *
                                (1.4142135f / std::sqrt(sx * sx + sy * sy)) * step_ * f / (t * t) /
                                t;
        acc_ = std::min(1.0, std::max(0.0, acc_ + increment));
      }
    }
    if (in_.translucency != 0.0f && acc_ != 0.0) {
      splat(translucent_, x0, y0, x1, y1, fx, fy, f, static_cast<float>(acc_));
    }
    if (shadowed) {
      splat(shadow_, x0, y0, x1, y1, fx, fy, f, 1.0f);
    }
    splat(weight_, x0, y0, x1, y1, fx, fy, f, 1.0f);
    return shadowed;
  }

  void ray(Shadow_Point end) {
    Shadow_Point start{in_.light.position_x, in_.light.position_y};
    if (!brel::clip_segment(start, end, 0.0f, static_cast<float>(w_ - 1), 0.0f,
                            static_cast<float>(h_ - 1))) {
      return;
    }
    const float dx = end.x - start.x;
    const float dy = end.y - start.y;
    const float longest = std::max(std::fabs(dx), std::fabs(dy));
    if (!(longest >= 1.0f)) {
      return;
    }
    const int64_t n = static_cast<int64_t>(longest);
    step_ = std::sqrt(dx * dx + dy * dy) / static_cast<float>(n);
    horizon_ = -999999999.9;
    slope_ = 1e8;
    acc_ = 0.0;
    shadowed_ = false;
    int64_t i = 0;
    while (true) {
      horizon_ = horizon_ - slope_ * step_;
      const float a = static_cast<float>(i) / static_cast<float>(n);
      const bool now = sample(start.x + dx * a, start.y + dy * a, 1.0f, true);
      if (now != shadowed_) {
        int64_t j0 = 0;
        if (i > 0) {
          horizon_ = horizon_ + slope_ * step_;
          j0 = 5 * i - 5;
        }
        const int64_t j1 = std::min(5 * n, 5 * (i + 2));
        for (int64_t j = j0; j < j1; ++j) {
          horizon_ = horizon_ - slope_ * step_ * 0.2;
          const float b = static_cast<float>(j) / static_cast<float>(5 * n);
          shadowed_ = sample(start.x + dx * b, start.y + dy * b, 0.2f, false);
        }
        i = i + 2;
      }
      if (i >= n) {
        break;
      }
      i = i + 1;
    }
  }

  Kernel_Point_Shadow::Parameters_In in_;
  int64_t w_;
  int64_t h_;
  std::vector<float> shadow_;
  std::vector<float> translucent_;
  std::vector<float> weight_;
  std::vector<int64_t> additions_;
  double horizon_ = 0.0;
  double slope_ = 0.0;
  double acc_ = 0.0;
  bool shadowed_ = false;
  float step_ = 0.0f;
};

brel::Point_Light light_at(float x, float y, float z, int64_t softness = 0) {
  brel::Point_Light light;
  light.intensity = 1.0f;
  light.position_x = x;
  light.position_y = y;
  light.position_z = z;
  light.shadows = true;
  light.softness = softness;
  return light;
}

Kernel_Point_Shadow::Parameters_In settings(const brel::Layer<float>& depth,
                                            const brel::Point_Light& light,
                                            float translucency = 0.0f) {
  Kernel_Point_Shadow::Parameters_In in;
  in.depth = depth;
  in.depth_scale = 100.0f;
  in.translucency = translucency;
  in.light = light;
  return in;
}

struct Result {
  std::vector<float> shadow;
  std::vector<float> translucent;  // empty without a translucent layer
  bool made = false;
};

Result cast(Standalone_Render& render, const Kernel_Point_Shadow::Parameters_In& in) {
  Kernel_Point_Shadow kernel;
  kernel.parameters_in = in;
  kernel.execute(render.context);
  Result result;
  result.made = kernel.shadow_layer != nullptr;
  if (result.made) {
    result.shadow = values_of(brel::layer_view<float>(*kernel.shadow_layer));
  }
  if (kernel.translucent_shadow_layer != nullptr) {
    result.translucent = values_of(brel::layer_view<float>(*kernel.translucent_shadow_layer));
  }
  return result;
}

// Ground at depth 10 with a wall of depth 30 over columns 20 to 23, a hole of no surface at
// columns 26 to 31 and bumps, 64 × 32.
float scene(int64_t x, int64_t y) {
  if (x >= 20 && x < 24) {
    return 30.0f;
  }
  if (x >= 26 && x < 32) {
    return 0.0f;
  }
  return 10.0f + ((x * 7 + y * 3) % 11 == 0 ? 6.0f : 0.0f);
}

void expect_within_bounds(const std::vector<float>& actual, const std::vector<float>& expected,
                          const Plain_Point_Shadow& plain, const char* what) {
  ASSERT_EQ(actual.size(), expected.size());
  int64_t outside = 0;
  for (size_t p = 0; p < actual.size(); ++p) {
    // NaN counts as outside.
    outside += !(std::fabs(actual[p] - expected[p]) <= plain.bound(static_cast<int64_t>(p)));
  }
  EXPECT_EQ(outside, 0) << what;
}

// One thread adds in the plain order and matches it bit for bit; more threads reorder the
// additions, which moves a mean by no more than the additions into its pixel allow.
TEST(Point_Shadow, RaysMatchThePlainMarchWithinTheirAdditionsBound) {
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    // The larger image gives groups of rays long enough to add plainly far from the light.
    for (const auto& [w, h] : {std::pair{64, 32}, std::pair{203, 117}}) {
      Float_Layer depth(render.context, w, h);
      depth.fill(scene);
      for (const bool skip : {false, true}) {
        for (const brel::Point_Light& light :
             {light_at(8.0f, 16.0f, 40.0f), light_at(-20.5f, 40.0f, 60.0f),
              light_at(50.25f, 3.5f, 25.0f), light_at(101.5f, 60.25f, 80.0f)}) {
          Kernel_Point_Shadow::Parameters_In in = settings(depth.view, light, 0.3f);
          in.skip_zero_depth = skip;
          const Plain_Point_Shadow plain(in);
          const Result result = cast(render, in);
          if (threads == 1) {
            EXPECT_EQ(result.shadow, plain.shadow());
            EXPECT_EQ(result.translucent, plain.translucent());
          } else {
            expect_within_bounds(result.shadow, plain.shadow(), plain, "shadow");
            expect_within_bounds(result.translucent, plain.translucent(), plain, "translucent");
          }
        }
      }
    }
  }
}

// A ray marched a stretch at a time goes on exactly where it stopped: alone in its group it adds
// the same values in the same order as when marched whole, at every stretch (a stretch of one
// step ends inside every refinement), from a light inside and one outside.
TEST(Point_Shadow, RayMarchedAStretchAtATimeAddsWhatTheWholeRayAdds) {
  Standalone_Render render(1);
  Float_Layer depth(render.context, 203, 117);
  depth.fill(scene);
  const auto march = [&](const Kernel_Point_Shadow::Parameters_In& in,
                         const brel::Shadow_Group& group, int64_t stretch) {
    std::vector<Float_Layer> sums;
    for (int k = 0; k < 3; ++k) {
      sums.emplace_back(render.context, 203, 117).fill([](int64_t, int64_t) { return 0.0f; });
    }
    const brel::Point_Shadow_Ray_Layers layers{sums[0].view, sums[1].view, sums[2].view,
                                               depth.view};
    brel::point_shadow_march_group(render.context, layers, in, group, 0.0f, nullptr, stretch);
    std::vector<std::vector<float>> out;
    for (const Float_Layer& layer : sums) {
      out.push_back(values_of(layer.view));
    }
    return out;
  };
  for (const brel::Point_Light& light :
       {light_at(-20.5f, 40.0f, 60.0f), light_at(101.5f, 60.25f, 80.0f)}) {
    const Kernel_Point_Shadow::Parameters_In in = settings(depth.view, light, 0.3f);
    for (const brel::Shadow_Group& ray : {brel::Shadow_Group{brel::Shadow_Edge::right, 10, 11},
                                          brel::Shadow_Group{brel::Shadow_Edge::bottom, 150, 151},
                                          brel::Shadow_Group{brel::Shadow_Edge::top, 30, 31}}) {
      const std::vector<std::vector<float>> whole = march(in, ray, 0);
      for (const int64_t stretch :
           {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{7}, brel::point_shadow_stretch}) {
        EXPECT_EQ(march(in, ray, stretch), whole)
            << static_cast<int>(ray.edge) << " " << ray.begin << " stretch " << stretch;
      }
    }
  }
}

// Near the light, workers keep their sums in tiles added up after the rays, or add atomically
// past the tiles' reach: no reach loses or doubles a sum, on a light inside, on a border's line
// (nothing vouched for: all tiles or atomics near it) and outside.
TEST(Point_Shadow, NearLightSumsCountOnceWhereverTheyAreKept) {
  for (const int64_t threads : {2, 8}) {
    Standalone_Render render(threads);
    Float_Layer depth(render.context, 203, 117);
    depth.fill(scene);
    for (const brel::Point_Light& light :
         {light_at(101.5f, 60.25f, 80.0f), light_at(40.0f, 0.0f, 60.0f),
          light_at(-20.5f, 40.0f, 60.0f)}) {
      const Kernel_Point_Shadow::Parameters_In in = settings(depth.view, light, 0.3f);
      const Plain_Point_Shadow plain(in);
      for (const float reach : {0.0f, 6.0f, brel::point_shadow_tile_reach}) {
        Float_Layer shadow(render.context, 203, 117);
        Float_Layer translucent(render.context, 203, 117);
        Float_Layer weight(render.context, 203, 117);
        for (Float_Layer* layer : {&shadow, &translucent, &weight}) {
          layer->fill([](int64_t, int64_t) { return 0.0f; });
        }
        brel::point_shadow_pass(render.context, in, shadow.view, translucent.view, weight.view,
                                reach);
        expect_within_bounds(values_of(shadow.view), plain.shadow(), plain, "shadow");
        expect_within_bounds(values_of(translucent.view), plain.translucent(), plain,
                             "translucent");
      }
    }
  }
}

// With softness the kernel divides and then smooths both layers, each by its own count.
TEST(Point_Shadow, DividedLayersAreSmoothedWithTheirOwnCounts) {
  Standalone_Render render(1);
  Float_Layer depth(render.context, 64, 32);
  depth.fill(scene);
  Kernel_Point_Shadow::Parameters_In in =
      settings(depth.view, light_at(8.0f, 16.0f, 40.0f, 2), 0.3f);
  in.shadow_softness = 1.0f;
  const Plain_Point_Shadow plain(in);
  const auto smoothed = [&](std::vector<float> values, bool opaque, int64_t passes) {
    brel::Smooth_Shadows_Parameters_In s{
        depth.view, brel::test::view_of(values, depth.view), passes, in.depth_scale, false, opaque};
    for (int64_t pass = 0; pass < passes; ++pass) {
      std::vector<float> next = values;
      const brel::Layer<float> source = brel::test::view_of(values, depth.view);
      for (int64_t y = 0; y < 32; ++y) {
        for (int64_t x = 0; x < 64; ++x) {
          next[y * 64 + x] = brel::smooth_shadows_pixel_reference(source, x, y, 0.0f, s);
        }
      }
      values = next;
    }
    return values;
  };
  const Result result = cast(render, in);
  // Softness 2: 2 passes; (2 × 1 + 2) / 2 = 2 for the translucent layer as well.
  EXPECT_EQ(result.shadow, smoothed(plain.shadow(), true, 2));
  EXPECT_EQ(result.translucent, smoothed(plain.translucent(), false, 2));
}

TEST(Point_Shadow, FlatSurfaceUnderTheLightIsFullyLitAndOverItShadowed) {
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Float_Layer depth(render.context, 40, 30);
    depth.fill([](int64_t, int64_t) { return 10.0f; });
    const Result lit = cast(render, settings(depth.view, light_at(17.0f, 12.0f, 50.0f)));
    EXPECT_EQ(lit.shadow, std::vector<float>(40 * 30, 0.0f));
    // A light below the surface: every sample after the first of its ray lies in shadow, so
    // all but the pixels at the light are fully shadowed.
    const Kernel_Point_Shadow::Parameters_In below =
        settings(depth.view, light_at(17.0f, 12.0f, 5.0f));
    const Plain_Point_Shadow plain(below);
    const Result dark = cast(render, below);
    for (int64_t y = 0; y < 30; ++y) {
      for (int64_t x = 0; x < 40; ++x) {
        if (std::abs(x - 17) > 2 || std::abs(y - 12) > 2) {
          EXPECT_NEAR(dark.shadow[y * 40 + x], 1.0f, plain.bound(y * 40 + x)) << x << ", " << y;
        }
      }
    }
  }
}

// A wall of height 20 over ground 10, its far edge at column 23, 15 pixels from a light 90
// above the ground: the shadow runs to 15 × 90 / 70 ≈ 19.3 pixels from the light, column 27.3.
// The same holds for a light outside the image, whose rays start where they enter it: from 43
// pixels away, to 43 × 90 / 70 ≈ 55.3 pixels, column 35.3.
TEST(Point_Shadow, WallShadowsTheFarSideAsFarAsTheLightsHeightGives) {
  Standalone_Render render(2);
  Float_Layer depth(render.context, 64, 32);
  depth.fill([](int64_t x, int64_t) { return x >= 20 && x < 24 ? 30.0f : 10.0f; });
  for (const float light_x : {8.0f, -20.0f}) {
    const Result result = cast(render, settings(depth.view, light_at(light_x, 16.0f, 100.0f)));
    const float end = 23.0f + (23.0f - light_x) * 20.0f / 70.0f;
    for (int64_t x = 0; x < 64; ++x) {
      const float value = result.shadow[16 * 64 + x];
      if (x < 20 || static_cast<float>(x) > end + 1.5f) {
        EXPECT_EQ(value, 0.0f) << "column " << x << ", light at " << light_x;
      } else if (x > 24 && static_cast<float>(x) < end - 1.0f) {
        EXPECT_GT(value, 0.95f) << "column " << x << ", light at " << light_x;
      }
    }
  }
}

// Behind a wall with a low light the horizon falls slowly: pixels without surface in the hole
// are lit when depth 0 means no surface and shadowed otherwise, and the ground beyond the hole
// is shadowed either way.
TEST(Point_Shadow, EmptyPixelsAreLitAndTheShadowResumesBehindThem) {
  Standalone_Render render(2);
  Float_Layer depth(render.context, 64, 32);
  depth.fill([](int64_t x, int64_t) {
    return x >= 20 && x < 24 ? 30.0f : (x >= 26 && x < 32 ? 0.0f : 10.0f);
  });
  for (const bool skip : {false, true}) {
    Kernel_Point_Shadow::Parameters_In in = settings(depth.view, light_at(8.0f, 16.0f, 40.0f));
    in.skip_zero_depth = skip;
    const Result result = cast(render, in);
    for (int64_t x = 27; x <= 30; ++x) {
      EXPECT_EQ(result.shadow[16 * 64 + x], skip ? 0.0f : 1.0f) << x;
    }
    for (int64_t x = 34; x <= 36; ++x) {
      EXPECT_GT(result.shadow[16 * 64 + x], 0.95f) << x;
    }
  }
}

TEST(Point_Shadow, LayersExistOnlyWhenTheLightCastsShadowsAndAsTranslucencyAsks) {
  Standalone_Render render(2);
  Float_Layer depth(render.context, 12, 10);
  depth.fill([](int64_t, int64_t) { return 10.0f; });
  Kernel_Point_Shadow kernel;
  kernel.parameters_in = settings(depth.view, light_at(5.0f, 5.0f, 50.0f), 0.5f);
  kernel.execute(render.context);
  EXPECT_NE(kernel.translucent_shadow_layer, nullptr);
  EXPECT_EQ(kernel.workload(), 48 * 12 * 10);

  // The kernel above runs every further case in turn: a run leaves none of the last run's
  // layers behind.
  const auto made = [&](const Kernel_Point_Shadow::Parameters_In& in) {
    kernel.parameters_in = in;
    kernel.execute(render.context);
    return std::make_pair(kernel.shadow_layer != nullptr, kernel.workload());
  };
  EXPECT_EQ(made(settings(depth.view, light_at(5.0f, 5.0f, 50.0f))),
            std::make_pair(true, int64_t{32 * 12 * 10}));
  brel::Point_Light off = light_at(5.0f, 5.0f, 50.0f);
  off.shadows = false;
  EXPECT_EQ(made(settings(depth.view, off, 0.5f)), std::make_pair(false, int64_t{16 * 12 * 10}));
  brel::Point_Light dark = light_at(5.0f, 5.0f, 50.0f);
  dark.intensity = 0.0f;
  EXPECT_EQ(made(settings(depth.view, dark, 0.5f)).first, false);
}

// A light position that is not a number (or not finite) marches no ray: layers of zeros.
TEST(Point_Shadow, LightPositionThatIsNotANumberCastsNothing) {
  Standalone_Render render(2);
  Float_Layer depth(render.context, 12, 10);
  depth.fill([](int64_t, int64_t) { return 10.0f; });
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  for (const brel::Point_Light& light :
       {light_at(nan, 5.0f, 50.0f), light_at(5.0f, infinity, 50.0f),
        light_at(-infinity, 3.0f, 1.0f)}) {
    const Result result = cast(render, settings(depth.view, light, 0.5f));
    EXPECT_EQ(result.shadow, std::vector<float>(120, 0.0f));
    EXPECT_EQ(result.translucent, std::vector<float>(120, 0.0f));
  }
}

TEST(Point_Shadow, ClippingMovesTheEndsOntoTheRectangle) {
  struct Case {
    Shadow_Point a, b;
    bool inside;
    Shadow_Point clipped_a, clipped_b;
  };
  const Case cases[] = {
      {{-10.0f, 5.0f}, {10.0f, 5.0f}, true, {0.0f, 5.0f}, {10.0f, 5.0f}},
      {{10.0f, 15.0f}, {10.0f, -5.0f}, true, {10.0f, 10.0f}, {10.0f, 0.0f}},
      {{-10.0f, -10.0f}, {30.0f, 30.0f}, true, {0.0f, 0.0f}, {10.0f, 10.0f}},
      // Through a corner only: both ends meet there, a ray too short to march.
      {{-5.0f, 5.0f}, {5.0f, -5.0f}, true, {0.0f, 0.0f}, {0.0f, 0.0f}},
      {{-5.0f, 0.0f}, {5.0f, -10.0f}, false, {}, {}},
      {{-5.0f, 2.0f}, {-1.0f, 8.0f}, false, {}, {}},
      {{25.0f, 2.0f}, {5.0f, 2.0f}, true, {20.0f, 2.0f}, {5.0f, 2.0f}},
  };
  for (const Case& c : cases) {
    Shadow_Point a = c.a;
    Shadow_Point b = c.b;
    const bool inside = brel::clip_segment(a, b, 0.0f, 20.0f, 0.0f, 10.0f);
    EXPECT_EQ(inside, c.inside) << c.a.x << ", " << c.a.y;
    if (inside && c.inside) {
      EXPECT_FLOAT_EQ(a.x, c.clipped_a.x);
      EXPECT_FLOAT_EQ(a.y, c.clipped_a.y);
      EXPECT_FLOAT_EQ(b.x, c.clipped_b.x);
      EXPECT_FLOAT_EQ(b.y, c.clipped_b.y);
    }
  }
}

// The cycle's groups of `per_border` rays each way round a w × h image.
std::vector<brel::Shadow_Group> equal_groups(int64_t per_border, int64_t w, int64_t h) {
  std::vector<brel::Shadow_Group> groups;
  for (const auto edge : {brel::Shadow_Edge::top, brel::Shadow_Edge::right,
                          brel::Shadow_Edge::bottom, brel::Shadow_Edge::left}) {
    const bool backwards = edge == brel::Shadow_Edge::bottom || edge == brel::Shadow_Edge::left;
    for (int64_t k = 0; k < per_border; ++k) {
      const auto [begin, end] = brel::point_shadow_group_rays(
          backwards ? per_border - 1 - k : k, per_border, brel::point_shadow_ray_count(edge, w, h));
      groups.push_back({edge, begin, end});
    }
  }
  return groups;
}

// Every ray of every border is marched once, each border's groups follow the cycle round the
// image in an even count, and one worker marches the four borders whole: the plain order.
TEST(Point_Shadow, GroupsCoverEveryBorderOnceRoundTheCycle) {
  for (const auto& [n, groups] :
       std::vector<std::pair<int64_t, int64_t>>{{1920, 128}, {37, 32}, {5, 5}, {64, 1}}) {
    int64_t previous_end = 0;
    for (int64_t g = 0; g < groups; ++g) {
      const auto [begin, end] = brel::point_shadow_group_rays(g, groups, n);
      EXPECT_EQ(begin, previous_end) << n << " rays, group " << g;
      EXPECT_GT(end, begin);
      previous_end = end;
    }
    EXPECT_EQ(previous_end, n);
  }
  const std::vector<brel::Shadow_Group> whole = brel::point_shadow_groups(1, {5, 5}, 64, 32);
  ASSERT_EQ(whole.size(), 4u);
  EXPECT_EQ(whole[2].edge, brel::Shadow_Edge::bottom);
  EXPECT_EQ(whole[2].end, 64);
  EXPECT_EQ(brel::point_shadow_groups(8, {5, 5}, 64, 1).size(), 4u);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& [w, h] : {std::pair{64, 32}, std::pair{7, 3}, std::pair{1920, 1080}}) {
    for (const Shadow_Point light :
         std::vector<Shadow_Point>{{0.4f * static_cast<float>(w), 0.45f * static_cast<float>(h)},
                                   {1.0f, 1.0f},
                                   {-3.0f * static_cast<float>(w), -2.0f * static_cast<float>(h)},
                                   {static_cast<float>(w) - 1.0f, 2.0f},
                                   {2.0f, -5.0f},
                                   {1e6f, 3.0f},
                                   {nan, 3.0f}}) {
      for (const int64_t workers : {2, 8}) {
        const std::vector<brel::Shadow_Group> groups =
            brel::point_shadow_groups(workers, light, w, h);
        // Per border: the rays it covers, and the group before in the cycle.
        std::vector<std::vector<int>> covered = {std::vector<int>(w), std::vector<int>(h),
                                                 std::vector<int>(w), std::vector<int>(h)};
        int64_t border_groups[4] = {};
        for (size_t p = 0; p < groups.size(); ++p) {
          const brel::Shadow_Group& group = groups[p];
          const auto e = static_cast<size_t>(group.edge);
          ++border_groups[e];
          EXPECT_LT(group.begin, group.end);
          for (int64_t i = group.begin; i < group.end; ++i) {
            ++covered[e][static_cast<size_t>(i)];
          }
          if (p > 0 && groups[p - 1].edge == group.edge) {
            const bool backwards =
                group.edge == brel::Shadow_Edge::bottom || group.edge == brel::Shadow_Edge::left;
            EXPECT_EQ(backwards ? group.end : group.begin,
                      backwards ? groups[p - 1].begin : groups[p - 1].end);
          }
        }
        for (size_t e = 0; e < 4; ++e) {
          EXPECT_EQ(covered[e], std::vector<int>(covered[e].size(), 1))
              << w << " x " << h << ", light " << light.x << ", " << light.y;
          EXPECT_EQ(border_groups[e] % 2, 0) << w << " x " << h;
        }
      }
    }
  }
  // The two launches hand out every place once, even and odd apart, costliest first: from a
  // light near the top left the rays to the top border grow longer to the right.
  const std::vector<brel::Shadow_Group> groups = equal_groups(16, 64, 32);
  for (const int64_t phase : {0, 1}) {
    const std::vector<int64_t> order =
        brel::point_shadow_launch_order({2.0f, 3.0f}, groups, 64, 32, phase);
    ASSERT_EQ(order.size(), 32u);
    std::vector<int64_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (size_t k = 0; k < sorted.size(); ++k) {
      EXPECT_EQ(sorted[k], static_cast<int64_t>(2 * k) + phase);
    }
    std::vector<int64_t> top;
    std::copy_if(order.begin(), order.end(), std::back_inserter(top),
                 [](int64_t p) { return p < 16; });
    std::vector<int64_t> expected;
    for (int64_t p = 14 + phase; p >= 0; p -= 2) {
      expected.push_back(p);
    }
    EXPECT_EQ(top, expected);
  }
}

// From a light inside, groups that turn through equal angles keep every group's exclusive
// distance near every other's, all within the tiles' reach: no sample near the light adds
// atomically. Groups of equal ray counts reach twice as far towards the corners.
TEST(Point_Shadow, GroupsOfALightInsideTurnThroughEqualAngles) {
  for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
    const Shadow_Point light{0.4f * static_cast<float>(w), 0.45f * static_cast<float>(h)};
    const std::vector<brel::Shadow_Group> groups = brel::point_shadow_groups(8, light, w, h);
    // Each border's count is rounded to an even number.
    EXPECT_NEAR(static_cast<double>(groups.size()), 4 * 8 * brel::point_shadow_groups_per_worker,
                4.0);
    const std::vector<float> distances =
        brel::point_shadow_exclusive_distances(light, groups, w, h);
    const auto [least, most] = std::minmax_element(distances.begin(), distances.end());
    EXPECT_LT(*most, 1.2f * *least) << w << " x " << h;
    EXPECT_LT(*most, brel::point_shadow_tile_reach) << w << " x " << h;
  }
}

// The pixels each sample of a ray splats into, at the positions the march computes, with
// whether the sample lies beyond `exclusive_from`.
void for_each_splat(Shadow_Point light, Shadow_Point end, int64_t w, int64_t h,
                    float exclusive_from,
                    const std::function<void(int64_t pixel, bool exclusive)>& visit) {
  Shadow_Point start = light;
  if (!brel::clip_segment(start, end, 0.0f, static_cast<float>(w - 1), 0.0f,
                          static_cast<float>(h - 1))) {
    return;
  }
  const float dx = end.x - start.x;
  const float dy = end.y - start.y;
  const float span = std::max(std::fabs(dx), std::fabs(dy));
  if (!(span >= 1.0f)) {
    return;
  }
  const int64_t n = static_cast<int64_t>(span);
  const auto at = [&](float fraction) {
    const float qx = start.x + dx * fraction;
    const float qy = start.y + dy * fraction;
    const int64_t x0 = std::min(static_cast<int64_t>(qx), w - 1);
    const int64_t y0 = std::min(static_cast<int64_t>(qy), h - 1);
    const float lx = light.x - qx;
    const float ly = light.y - qy;
    const bool exclusive = lx * lx + ly * ly >= exclusive_from * exclusive_from;
    for (const int64_t y : {y0, std::min(y0 + 1, h - 1)}) {
      for (const int64_t x : {x0, std::min(x0 + 1, w - 1)}) {
        visit(y * w + x, exclusive);
      }
    }
  };
  // Every coarse and every refining sample the march can take.
  for (int64_t i = 0; i <= n; ++i) {
    at(static_cast<float>(i) / static_cast<float>(n));
  }
  for (int64_t j = 0; j < 5 * n; ++j) {
    at(static_cast<float>(j) / static_cast<float>(5 * n));
  }
}

// Groups marched at once add plainly only into pixels no other group of their launch reaches,
// for lights inside the image, just outside, far away, on a border's line and on a corner, and
// worker counts giving groups of many rays, of a few and of one; and plain additions are not
// confined to a few pixels, or nothing would be gained.
// Lights of a 97 × 61 image inside, just outside, far away, on a border's line and on a corner.
const std::vector<Shadow_Point> lights_round_97_by_61 = {
    {40.5f, 27.25f}, {10.0f, 30.0f},  {95.5f, 1.0f},      {-3.0f, 70.0f},
    {-2.0f, 30.0f},  {48.0f, 63.5f},  {-291.0f, -122.0f}, {50.0f, 0.0f},
    {96.0f, 45.0f},  {120.0f, 60.0f}, {96.0f, 60.0f},     {0.3f, 59.9f}};

TEST(Point_Shadow, PlainAdditionsReachPixelsNoOtherGroupOfTheLaunchReaches) {
  const int64_t w = 97;
  const int64_t h = 61;
  int64_t plain_splats = 0;
  int64_t splats = 0;
  for (const Shadow_Point light : lights_round_97_by_61) {
    for (const int64_t workers : {int64_t{2}, int64_t{4}, int64_t{32}}) {
      const std::vector<brel::Shadow_Group> groups =
          brel::point_shadow_groups(workers, light, w, h);
      const std::vector<float> from = brel::point_shadow_exclusive_distances(light, groups, w, h);
      for (const int64_t phase : {0, 1}) {
        // Per pixel: the first group of the launch that reaches it, whether another one does
        // too, and whether any adds plainly into it.
        std::vector<int64_t> first(static_cast<size_t>(w * h), -1);
        std::vector<bool> shared(static_cast<size_t>(w * h), false);
        std::vector<bool> plain(static_cast<size_t>(w * h), false);
        for (const int64_t p : brel::point_shadow_launch_order(light, groups, w, h, phase)) {
          const brel::Shadow_Group& group = groups[static_cast<size_t>(p)];
          for (int64_t i = group.begin; i < group.end; ++i) {
            for_each_splat(light, brel::point_shadow_ray_end(group.edge, i, w, h), w, h,
                           from[static_cast<size_t>(p)], [&](int64_t pixel, bool exclusive) {
                             const auto q = static_cast<size_t>(pixel);
                             if (first[q] == -1) {
                               first[q] = p;
                             } else if (first[q] != p) {
                               shared[q] = true;
                             }
                             plain[q] = plain[q] || exclusive;
                             // Counted for the widest groups.
                             plain_splats += workers == 2 && exclusive;
                             splats += workers == 2;
                           });
          }
        }
        int64_t conflicts = 0;
        for (size_t q = 0; q < shared.size(); ++q) {
          conflicts += shared[q] && plain[q];
        }
        EXPECT_EQ(conflicts, 0) << "light " << light.x << ", " << light.y << ", " << workers
                                << " workers, launch " << phase;
      }
    }
  }
  EXPECT_GT(plain_splats, splats / 8);
}

// The schedule marches a group at once with any but its two neighbours in the cycle, of either
// parity: a group's plain additions go into pixels that no group but those neighbours reaches.
TEST(Point_Shadow, PlainAdditionsReachPixelsOnlyTheGroupsNeighboursAlsoReach) {
  const int64_t w = 97;
  const int64_t h = 61;
  for (const Shadow_Point light : lights_round_97_by_61) {
    for (const int64_t workers : {int64_t{2}, int64_t{4}, int64_t{32}}) {
      const std::vector<brel::Shadow_Group> groups =
          brel::point_shadow_groups(workers, light, w, h);
      const std::vector<float> from = brel::point_shadow_exclusive_distances(light, groups, w, h);
      const auto count = static_cast<int64_t>(groups.size());
      // Per pixel: the groups that reach it, and those that add plainly into it.
      std::vector<std::vector<int64_t>> reaching(static_cast<size_t>(w * h));
      std::vector<std::vector<int64_t>> plain(static_cast<size_t>(w * h));
      for (int64_t p = 0; p < count; ++p) {
        const brel::Shadow_Group& group = groups[static_cast<size_t>(p)];
        for (int64_t i = group.begin; i < group.end; ++i) {
          for_each_splat(light, brel::point_shadow_ray_end(group.edge, i, w, h), w, h,
                         from[static_cast<size_t>(p)], [&](int64_t pixel, bool exclusive) {
                           for (auto* list : {&reaching, &plain}) {
                             auto& groups_here = (*list)[static_cast<size_t>(pixel)];
                             if ((list == &reaching || exclusive) &&
                                 (groups_here.empty() || groups_here.back() != p)) {
                               groups_here.push_back(p);
                             }
                           }
                         });
        }
      }
      int64_t conflicts = 0;
      for (size_t q = 0; q < plain.size(); ++q) {
        for (const int64_t p : plain[q]) {
          for (const int64_t other : reaching[q]) {
            const int64_t apart =
                std::min((p - other + count) % count, (other - p + count) % count);
            conflicts += apart > 1;
          }
        }
      }
      EXPECT_EQ(conflicts, 0) << "light " << light.x << ", " << light.y << ", " << workers
                              << " workers";
    }
  }
}

// A light on a border's own line sends that border's rays along one line: nothing there, nor
// at the groups meeting them across a corner, is vouched for. Groups of a border beyond the
// light march nothing and bound nobody.
TEST(Point_Shadow, ExclusiveDistanceIsUnboundedWhereRaysRunTogether) {
  const float infinity = std::numeric_limits<float>::infinity();
  const std::vector<brel::Shadow_Group> groups = equal_groups(16, 64, 32);
  // Places 0 to 15 are the top border's, 16 to 31 the right's.
  const auto distances = [&](Shadow_Point light) {
    return brel::point_shadow_exclusive_distances(light, groups, 64, 32);
  };
  EXPECT_EQ(distances({30.0f, 0.0f})[5], infinity);
  EXPECT_EQ(distances({30.0f, 0.0f})[17], infinity);  // across the corner from place 15
  EXPECT_LT(distances({30.0f, 0.0f})[19], infinity);
  EXPECT_EQ(distances({63.0f, 9.0f})[20], infinity);
  EXPECT_EQ(distances({1e6f, 9.0f})[5], infinity);
  EXPECT_EQ(distances({std::nanf(""), 9.0f})[30], infinity);
  // From above the image the top border marches nothing.
  EXPECT_EQ(distances({30.0f, -4.0f})[5], 0.0f);
  // Place 5 holds rays 20 to 23 of the top border; the nearest rays of places 3 and 7 are 15
  // and 28. Seen from (19.5, 10), rays 23 and 28 part at 21.1 degrees, 3 / sin 21.1° = 8.34
  // pixels, more than the 6.59 towards ray 15 (27.1 degrees).
  EXPECT_NEAR(distances({19.5f, 10.0f})[5], 8.34f, 0.01f);
}

// A worker's tile comes from uncleared memory: the worker clears it at its first group, and only
// then, or the first group's sums would be lost; the sums match the plain march bit for bit.
TEST(Point_Shadow, WorkersClearTheirTilesOnceBeforeTheirFirstGroup) {
  Standalone_Render render(1);
  Float_Layer depth(render.context, 64, 32);
  depth.fill(scene);
  const Kernel_Point_Shadow::Parameters_In in =
      settings(depth.view, light_at(20.5f, 16.25f, 60.0f), 0.3f);
  const float nan = std::nanf("");
  std::vector<Float_Layer> sums;
  for (int k = 0; k < 6; ++k) {
    sums.emplace_back(render.context, 64, 32).fill([&](int64_t, int64_t) {
      return k < 3 ? nan : 0.0f;
    });
  }
  brel::Point_Shadow_Tile tile{{sums[0].view, sums[1].view, sums[2].view, {}}, 0, 0};
  const brel::Point_Shadow_Ray_Layers plain{sums[3].view, sums[4].view, sums[5].view, depth.view};
  // Both groups add only into the tile, which covers the image.
  const std::vector<brel::Shadow_Group> groups = {{brel::Shadow_Edge::top, 0, 32},
                                                  {brel::Shadow_Edge::top, 32, 64}};
  const float everywhere[] = {1e9f, 1e9f};
  const int64_t order[] = {0, 1};
  const brel::Point_Shadow_Launch launch{groups.data(), everywhere, order, 2, false, &tile, 1};
  for (int64_t index = 0; index < 2; ++index) {
    brel::point_shadow_groups_body(brel::Iteration{index, 2, 0, 1}, render.context, plain, in,
                                   launch);
  }
  for (int64_t i = 0; i < 64; ++i) {
    brel::point_shadow_march_ray({in.light.position_x, in.light.position_y},
                                 {static_cast<float>(i), 0.0f}, plain, false, in.light.position_z,
                                 in.translucency, 0.0f);
  }
  EXPECT_TRUE(tile.used);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(values_of(sums[k].view), values_of(sums[k + 3].view)) << "sum " << k;
  }
}

// The row launch after the rays adds the used tiles into the layers in worker order, skips a
// tile its worker never cleared, and then divides every row, inside the tiles and out.
TEST(Point_Shadow, FinishAddsOnlyUsedTilesThenDivides) {
  Standalone_Render render(2);
  const auto value = [](float base) {
    return [base](int64_t x, int64_t y) { return base + 0.125f * static_cast<float>(x + 7 * y); };
  };
  Float_Layer shadow(render.context, 6, 4);
  Float_Layer translucent(render.context, 6, 4);
  Float_Layer weight(render.context, 6, 4);
  shadow.fill(value(0.3f));
  translucent.fill(value(0.1f));
  weight.fill([](int64_t x, int64_t) { return x == 0 ? 0.0f : 1.5f + static_cast<float>(x); });
  std::vector<Float_Layer> sums;
  for (int k = 0; k < 9; ++k) {
    sums.emplace_back(render.context, 3, 2)
        .fill(k / 3 == 1 ? value(std::nanf("")) : value(0.7f + static_cast<float>(k)));
  }
  std::vector<brel::Point_Shadow_Tile> tiles;
  for (int k = 0; k < 3; ++k) {
    tiles.push_back(
        {{sums[3 * k].view, sums[3 * k + 1].view, sums[3 * k + 2].view, {}}, 2, 1, k != 1});
  }
  const auto expected = [&](const Float_Layer& layer, int k) {
    std::vector<float> out = values_of(layer.view);
    for (int64_t y = 0; y < 4; ++y) {
      for (int64_t x = 0; x < 6; ++x) {
        float& v = out[static_cast<size_t>(y * 6 + x)];
        for (const int tile : {0, 2}) {
          if (x >= 2 && x < 5 && y >= 1 && y < 3) {
            v += sums[static_cast<size_t>(3 * tile + k)].at(x - 2, y - 1);
          }
        }
      }
    }
    return out;
  };
  std::vector<float> shadow_sums = expected(shadow, 0);
  std::vector<float> translucent_sums = expected(translucent, 1);
  const std::vector<float> weights = expected(weight, 2);
  for (size_t p = 0; p < weights.size(); ++p) {
    if (weights[p] != 0.0f) {
      shadow_sums[p] /= weights[p];
      translucent_sums[p] /= weights[p];
    }
  }
  brel::cpu_kernel_launch(
      4, &brel::point_shadow_finish_body, render.context,
      brel::Point_Shadow_Ray_Layers{shadow.view, translucent.view, weight.view, {}},
      static_cast<const brel::Point_Shadow_Tile*>(tiles.data()), int64_t{3},
      static_cast<const brel::Point_Shadow_Marks*>(nullptr), int64_t{0});
  EXPECT_EQ(values_of(shadow.view), shadow_sums);
  EXPECT_EQ(values_of(translucent.view), translucent_sums);
  EXPECT_EQ(values_of(weight.view), weights);
}

// Whether pixel (x, y) lies in the 2 × 2 pixels that a sample marked in `marks` may have
// splatted into: its own part of its row or the next part, on its row or the next row.
bool near_a_mark(const std::vector<brel::Point_Shadow_Marks>& marks, int64_t x, int64_t y) {
  for (const brel::Point_Shadow_Marks& worker : marks) {
    const int64_t part = x >> worker.shift;
    for (const int64_t row : {y, y - 1}) {
      for (const int64_t marked : {part, part - 1}) {
        if (row >= 0 && marked >= 0 && ((worker.rows[row] >> marked) & 1) != 0) {
          return true;
        }
      }
    }
  }
  return false;
}

// With workers' marks the row launch divides the pixels that marked samples may have splatted
// into, up to the end of the row, and leaves every other sum as it is; the weights stay.
TEST(Point_Shadow, FinishDividesOnlyWhereTheWorkersMarkedSplats) {
  Standalone_Render render(2);
  const int64_t w = 13;
  const int64_t h = 5;
  const auto value = [](float base) {
    return [base](int64_t x, int64_t y) { return base + 0.125f * static_cast<float>(x + 7 * y); };
  };
  Float_Layer shadow(render.context, w, h);
  Float_Layer translucent(render.context, w, h);
  Float_Layer weight(render.context, w, h);
  shadow.fill(value(0.3f));
  translucent.fill(value(0.1f));
  weight.fill([](int64_t x, int64_t) { return x == 9 ? 0.0f : 1.5f + static_cast<float>(x); });
  // Parts of 4 pixels, the last one a pixel wide: worker 0 marks the first part of row 1,
  // worker 1 the third part of row 3 and the last part of the last row.
  std::vector<uint64_t> rows(2 * h, 0);
  rows[1] = 1;
  rows[h + 3] = 4;
  rows[h + 4] = 8;
  const std::vector<brel::Point_Shadow_Marks> marks = {{rows.data(), 2}, {rows.data() + h, 2}};
  std::vector<float> shadows = values_of(shadow.view);
  std::vector<float> translucents = values_of(translucent.view);
  const std::vector<float> weights = values_of(weight.view);
  int64_t divided = 0;
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const auto p = static_cast<size_t>(y * w + x);
      if (near_a_mark(marks, x, y) && weights[p] != 0.0f) {
        shadows[p] /= weights[p];
        translucents[p] /= weights[p];
        ++divided;
      }
    }
  }
  // Rows 1 and 2, pixels 0 to 7, and rows 3 and 4, pixels 8 to 12 but for the weightless 9.
  EXPECT_EQ(divided, 24);
  brel::cpu_kernel_launch(
      h, &brel::point_shadow_finish_body, render.context,
      brel::Point_Shadow_Ray_Layers{shadow.view, translucent.view, weight.view, {}},
      static_cast<const brel::Point_Shadow_Tile*>(nullptr), int64_t{0},
      static_cast<const brel::Point_Shadow_Marks*>(marks.data()), int64_t{2});
  EXPECT_EQ(values_of(shadow.view), shadows);
  EXPECT_EQ(values_of(translucent.view), translucents);
  EXPECT_EQ(values_of(weight.view), weights);
}

// Rows cut into at most 64 parts, as few pixels a part as that allows.
TEST(Point_Shadow, MarkShiftCutsARowIntoAtMost64Parts) {
  for (const auto& [w, shift] :
       {std::pair{1, 0}, std::pair{64, 0}, std::pair{65, 1}, std::pair{128, 1}, std::pair{129, 2},
        std::pair{1920, 5}, std::pair{3840, 6}}) {
    EXPECT_EQ(brel::point_shadow_mark_shift(w), shift) << w;
  }
}

// Every pixel whose shadow or translucent sum a ray added to lies near a mark of the ray's
// samples, with depth 0 as surface and as none (samples there add translucent attenuation and no
// shadow), from lights inside and outside; and from the light over the middle, which leaves
// pixels round it lit, marks leave parts of the image out, or the division would gain nothing.
TEST(Point_Shadow, MarksCoverEveryShadowAndTranslucentSplat) {
  Standalone_Render render(1);
  // Parts of one pixel, and of four.
  for (const auto& [w, h] : {std::pair{64, 32}, std::pair{203, 117}}) {
    Float_Layer depth(render.context, w, h);
    depth.fill(scene);
    const float middle_x = static_cast<float>(w) / 2.0f;
    for (const bool skip : {false, true}) {
      for (const brel::Point_Light& light :
           {light_at(middle_x, static_cast<float>(h) / 2.0f + 0.25f, 80.0f),
            light_at(50.25f, 3.5f, 25.0f), light_at(-20.5f, 40.0f, 60.0f)}) {
        Kernel_Point_Shadow::Parameters_In in = settings(depth.view, light, 0.3f);
        in.skip_zero_depth = skip;
        std::vector<Float_Layer> sums;
        for (int k = 0; k < 3; ++k) {
          sums.emplace_back(render.context, w, h).fill([](int64_t, int64_t) { return 0.0f; });
        }
        const brel::Point_Shadow_Ray_Layers layers{sums[0].view, sums[1].view, sums[2].view,
                                                   depth.view};
        std::vector<uint64_t> rows(static_cast<size_t>(h), 0);
        const std::vector<brel::Point_Shadow_Marks> marks = {
            {rows.data(), brel::point_shadow_mark_shift(w)}};
        for (const brel::Shadow_Edge edge : {brel::Shadow_Edge::top, brel::Shadow_Edge::right,
                                             brel::Shadow_Edge::bottom, brel::Shadow_Edge::left}) {
          brel::point_shadow_march_group(render.context, layers, in,
                                         {edge, 0, brel::point_shadow_ray_count(edge, w, h)}, 0.0f,
                                         nullptr, 0, marks[0]);
        }
        int64_t splatted = 0;
        int64_t unmarked = 0;
        int64_t outside_marks = 0;
        for (int64_t y = 0; y < h; ++y) {
          for (int64_t x = 0; x < w; ++x) {
            const bool near = near_a_mark(marks, x, y);
            const bool added = sums[0].at(x, y) != 0.0f || sums[1].at(x, y) != 0.0f;
            splatted += added;
            unmarked += !near;
            outside_marks += added && !near;
          }
        }
        const std::string what = std::to_string(w) + " wide, light at " +
                                 std::to_string(light.position_x) + ", skip " +
                                 std::to_string(skip);
        EXPECT_EQ(outside_marks, 0) << what;
        EXPECT_GT(splatted, 0) << what;
        if (light.position_x == middle_x) {
          EXPECT_GT(unmarked, w * h / 20) << what;
        }
      }
    }
  }
}

// The places of a cycle of `count`, even or odd ones, in ascending order.
std::vector<int64_t> places(int64_t count, int64_t parity) {
  std::vector<int64_t> out;
  for (int64_t p = parity; p < count; p += 2) {
    out.push_back(p);
  }
  return out;
}

// Eight workers take places until none is left, each marching for a while: every place is
// handed out once, never while a neighbour of it is being marched, and an odd one only after
// both its neighbours are done.
TEST(Point_Shadow, ScheduleNeverMarchesAGroupBesideOneBeingMarched) {
  for (const int64_t count : {8, 32, 128}) {
    brel::Point_Shadow_Schedule schedule(places(count, 0), places(count, 1));
    // 0 free, 1 being marched, 2 done; and how often each place was handed out.
    std::vector<std::atomic<int>> state(static_cast<size_t>(count));
    std::vector<std::atomic<int>> handed_out(static_cast<size_t>(count));
    std::atomic<int64_t> faults{0};
    const auto at = [&](int64_t p) -> std::atomic<int>& {
      return state[static_cast<size_t>((p + count) % count)];
    };
    std::vector<std::thread> workers;
    for (int k = 0; k < 8; ++k) {
      workers.emplace_back([&, k] {
        for (int64_t p = schedule.claim(); p >= 0; p = schedule.claim()) {
          ++handed_out[static_cast<size_t>(p)];
          const int before = at(p - 1).load();
          const int after = at(p + 1).load();
          faults += before == 1 || after == 1 || (p % 2 == 1 && (before != 2 || after != 2));
          at(p).store(1);
          for (int spin = 0; spin < 200 * (k + 1); ++spin) {
            std::this_thread::yield();
          }
          at(p).store(2);
          schedule.finish(p);
        }
      });
    }
    for (std::thread& worker : workers) {
      worker.join();
    }
    EXPECT_EQ(faults.load(), 0) << count;
    for (int64_t p = 0; p < count; ++p) {
      EXPECT_EQ(handed_out[static_cast<size_t>(p)].load(), 1) << "place " << p << " of " << count;
    }
  }
}

// Places that costliest first hands out side by side round the cycle (a light near a corner,
// whose groups grow costlier along the border) go out spread apart: the groups marched at once,
// any `workers` places handed out in a row, lie farther apart on average, twice as far where the
// cycle has room. No place goes out more than `workers` places later than costliest first would
// hand it out, so costly groups still go early.
TEST(Point_Shadow, SpreadOrderKeepsGroupsMarchedAtOnceApartAndCostlyOnesEarly) {
  for (const int64_t cycle : {8, 32, 128, 256}) {
    for (const int64_t workers : {2, 4, 8}) {
      for (const bool along_cycle : {true, false}) {
        std::vector<int64_t> costliest = places(cycle, 0);
        if (!along_cycle) {
          std::shuffle(costliest.begin(), costliest.end(),
                       std::mt19937(static_cast<uint32_t>(cycle + workers)));
        }
        const std::vector<int64_t> order =
            brel::point_shadow_spread_order(costliest, cycle, workers);
        std::vector<int64_t> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, places(cycle, 0)) << cycle << " places, " << workers << " workers";
        // Over every place after the first: how far round the cycle the nearest of the
        // workers - 1 places before it lies.
        const auto mean_apart = [&](const std::vector<int64_t>& handed_out) {
          double sum = 0.0;
          for (size_t k = 1; k < handed_out.size(); ++k) {
            int64_t nearest = cycle;
            for (size_t j = k - std::min(k, static_cast<size_t>(workers - 1)); j < k; ++j) {
              const int64_t d = std::abs(handed_out[k] - handed_out[j]);
              nearest = std::min({nearest, d, cycle - d});
            }
            sum += static_cast<double>(nearest);
          }
          return sum / static_cast<double>(handed_out.size() - 1);
        };
        const double before = mean_apart(costliest);
        const double after = mean_apart(order);
        EXPECT_GE(after, along_cycle && cycle >= 32 ? 2.0 * before : before)
            << cycle << " places, " << workers << " workers";
        for (size_t k = 0; k < order.size(); ++k) {
          const auto first = std::find(costliest.begin(), costliest.end(), order[k]);
          EXPECT_LE(static_cast<int64_t>(k) - (first - costliest.begin()), workers)
              << "place " << order[k] << " of " << cycle << ", " << workers << " workers";
        }
      }
    }
  }
}

// Every even place goes out first, in its order, and then the first odd place in its order
// whose neighbours are both done; a worker that waits for a group that failed gives up.
TEST(Point_Shadow, ScheduleHandsOutOddPlacesBesideFinishedGroupsAndGivesUpOnAFailedOne) {
  brel::Point_Shadow_Schedule schedule({2, 0, 6, 4}, {7, 1, 3, 5});
  for (const int64_t place : {2, 0, 6, 4}) {
    EXPECT_EQ(schedule.claim(), place);
  }
  schedule.finish(0);
  schedule.finish(6);
  EXPECT_EQ(schedule.claim(), 7);
  schedule.finish(2);
  EXPECT_EQ(schedule.claim(), 1);
  // Places 3 and 5 wait for place 4, which fails.
  std::thread failing([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    schedule.abandon();
  });
  EXPECT_EQ(schedule.claim(), -1);
  failing.join();
}

// A group that fails while other workers wait for it to end (one poll fails, the others pass)
// stops the run: the failure comes back from the launch, and no worker is left waiting.
TEST(Point_Shadow, AbortWhileWorkersWaitEndsTheRun) {
  Standalone_Render render(8);
  Float_Layer depth(render.context, 203, 117);
  depth.fill(scene);
  const Kernel_Point_Shadow::Parameters_In in =
      settings(depth.view, light_at(101.5f, 60.25f, 80.0f), 0.3f);
  for (const int64_t polls : {1, 7, 100, 500}) {
    std::atomic<int64_t> left{polls};
    brel::Render_Context context = render.context;
    context.check_abort = [&left] {
      if (left.fetch_sub(1) == 1) {
        throw brel::Exception_Abort();
      }
    };
    Float_Layer shadow(render.context, 203, 117);
    Float_Layer translucent(render.context, 203, 117);
    Float_Layer weight(render.context, 203, 117);
    EXPECT_THROW(brel::point_shadow_pass(context, in, shadow.view, translucent.view, weight.view),
                 brel::Exception_Abort)
        << polls;
  }
}

TEST(Div_Shadow, DividesByTheWeightWhereThereIsOne) {
  Standalone_Render render(2);
  Float_Layer shadow(render.context, 3, 2);
  shadow.fill([](int64_t x, int64_t y) { return static_cast<float>(x + 3 * y); });
  Float_Layer weight(render.context, 3, 2);
  weight.fill([](int64_t x, int64_t) { return x == 1 ? 0.0f : 2.0f; });
  Float_Layer translucent(render.context, 3, 2);
  translucent.fill([](int64_t, int64_t) { return 1.0f; });
  brel::Kernel_Div_Shadow division;
  division.parameters_in = {shadow.view, weight.view, translucent.view};
  division.execute(render.context);
  EXPECT_EQ(values_of(shadow.view), (std::vector<float>{0.0f, 1.0f, 1.0f, 1.5f, 4.0f, 2.5f}));
  EXPECT_EQ(values_of(translucent.view), (std::vector<float>{0.5f, 1.0f, 0.5f, 0.5f, 1.0f, 0.5f}));
  division.parameters_in.translucent_shadow = brel::empty_layer<float>();
  division.execute(render.context);
  EXPECT_EQ(values_of(shadow.view), (std::vector<float>{0.0f, 1.0f, 0.5f, 0.75f, 4.0f, 1.25f}));
  // Pixels 1 and 2 of row 1 alone, both layers.
  division.parameters_in.translucent_shadow = translucent.view;
  brel::div_shadow_row_part(division.parameters_in, 1, 1, 3);
  EXPECT_EQ(values_of(shadow.view), (std::vector<float>{0.0f, 1.0f, 0.5f, 0.75f, 4.0f, 0.625f}));
  EXPECT_EQ(values_of(translucent.view), (std::vector<float>{0.5f, 1.0f, 0.5f, 0.5f, 1.0f, 0.25f}));
}

}  // namespace
