#include "kernel/kernel_smooth_shadows_cpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "support/float_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Kernel_Smooth_Shadows;
using brel::test::Float_Layer;
using brel::test::Standalone_Render;
using brel::test::values_of;

// The passes one by one with the plain pixel rule, on copies of the values.
std::vector<float> reference_passes(const Kernel_Smooth_Shadows::Parameters_In& in,
                                    int64_t passes) {
  std::vector<float> source = values_of(in.shadow);
  std::vector<float> target = source;
  for (int64_t pass = 0; pass < passes; ++pass) {
    const brel::Layer<float> view = brel::test::view_of(source, in.shadow);
    for (int64_t y = 0; y < in.depth.height; ++y) {
      for (int64_t x = 0; x < in.depth.width; ++x) {
        float& out = target[y * in.shadow.width + x];
        out = brel::smooth_shadows_pixel_reference(view, x, y, out, in);
      }
    }
    std::swap(source, target);
  }
  return source;
}

// Depth on two levels with holes of no surface, and shadow values in and beyond 0 .. 1, so that
// every rule of both kinds fires; a layer larger than the depth keeps its extra cells.
TEST(Smooth_Shadows, PassesFollowThePixelRuleAtEveryThreadCount) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const int64_t threads : brel::test::thread_counts) {
    for (const auto& [opaque, skip, passes, scale, expected_passes] :
         std::vector<std::tuple<bool, bool, int64_t, float, int64_t>>{
             {true, false, 3, 1.0f, 3},
             {true, true, 2, 1.0f, 2},
             {false, true, 5, 1.0f, 5},
             {false, false, 20, 0.5f, 2}}) {
      Standalone_Render render(threads);
      Float_Layer depth(render.context, 37, 23, scale);
      depth.fill([&](int64_t, int64_t) {
        const float r = unit(random);
        return r < 0.15f ? 0.0f : (r < 0.6f ? 10.0f : 10.0f + 3.0f * r);
      });
      Float_Layer shadow(render.context, 39, 24);
      shadow.fill([&](int64_t, int64_t) {
        const float r = unit(random);
        return r < 0.3f ? 0.0f : 1.4f * r - 0.2f;
      });
      Kernel_Smooth_Shadows kernel;
      kernel.parameters_in = {depth.view, shadow.view, passes, 141.42136f, skip, opaque};
      const std::vector<float> expected = reference_passes(kernel.parameters_in, expected_passes);
      kernel.execute(render.context);
      EXPECT_EQ(values_of(shadow.view), expected)
          << threads << " threads, opaque " << opaque << ", " << passes << " passes";
    }
  }
}

TEST(Smooth_Shadows, PassCountsFromSoftnessAndResolution) {
  // Softness 1 at full resolution: one pass for the shadow, none for the translucent layer.
  EXPECT_EQ(brel::smooth_shadows_opaque_passes(1, 1.0f), 1);
  EXPECT_EQ(brel::smooth_shadows_translucent_passes(1, 0.0f, 1.0f), 0);
  // Softness 4 and "shadow softness" 3: 4 and 5 at full resolution, 8 and 10 at half, which
  // the cube of the mean scale turns into one pass each.
  EXPECT_EQ(brel::smooth_shadows_opaque_passes(4, 1.0f), 4);
  EXPECT_EQ(brel::smooth_shadows_translucent_passes(4, 3.0f, 1.0f), 5);
  EXPECT_EQ(brel::smooth_shadows_opaque_passes(4, 0.5f), 8);
  EXPECT_EQ(brel::smooth_shadows_translucent_passes(4, 3.0f, 0.5f), 10);
  EXPECT_EQ(brel::smooth_shadows_pass_count(8, 0.5f, 0.5f), 1);
  EXPECT_EQ(brel::smooth_shadows_pass_count(20, 0.5f, 0.5f), 2);
  // Nothing that is not a number, negative or beyond any render reaches a conversion.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  EXPECT_EQ(brel::smooth_shadows_opaque_passes(4, 0.0f), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(brel::smooth_shadows_opaque_passes(-4, 1.0f), 0);
  EXPECT_EQ(brel::smooth_shadows_opaque_passes(4, nan), 0);
  EXPECT_EQ(brel::smooth_shadows_translucent_passes(0, infinity, 1.0f),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(brel::smooth_shadows_pass_count(5, nan, 1.0f), 0);
}

// One pass of each rule over a hand-worked 3 × 1 layer: a step in depth between the first two
// pixels (threshold 0.005 × depth scale × sqrt 2 ≈ 0.707 at a depth scale of 100).
TEST(Smooth_Shadows, RulesAtADepthStep) {
  Standalone_Render render(1);
  Float_Layer depth(render.context, 3, 1);
  depth.fill([](int64_t x, int64_t) { return x == 0 ? 5.0f : 1.0f; });
  for (const bool opaque : {true, false}) {
    Float_Layer shadow(render.context, 3, 1);
    shadow.fill([](int64_t x, int64_t) { return x == 0 ? 0.0f : (x == 1 ? 1.0f : 0.5f); });
    Kernel_Smooth_Shadows kernel;
    kernel.parameters_in = {depth.view, shadow.view, 1, 100.0f, false, opaque};
    kernel.execute(render.context);
    // Pixel 0 (lit, on top): opaque, its lower neighbour is another surface and counts as
    // itself; translucent, a surface below a lit centre counts 0 as well.
    EXPECT_EQ(shadow.at(0, 0), 0.0f);
    // Pixel 1 (shadowed, below): opaque, the upper neighbour counts as itself (1); translucent,
    // a surface above a shadowed centre counts as the centre too.
    EXPECT_FLOAT_EQ(shadow.at(1, 0), 0.2f * (1.0f + 1.0f + 1.0f + 1.0f + 0.5f));
    EXPECT_FLOAT_EQ(shadow.at(2, 0), 0.2f * (0.5f + 1.0f + 0.5f + 0.5f + 0.5f));
  }
}

// The translucent rule clamps neighbours, not the centre; the opaque rule clamps nothing.
TEST(Smooth_Shadows, OnlyTranslucentNeighboursAreClamped) {
  Standalone_Render render(1);
  Float_Layer depth(render.context, 2, 1);
  depth.fill([](int64_t, int64_t) { return 1.0f; });
  for (const bool opaque : {true, false}) {
    Float_Layer shadow(render.context, 2, 1);
    shadow.fill([](int64_t x, int64_t) { return x == 0 ? 2.0f : -1.0f; });
    Kernel_Smooth_Shadows kernel;
    kernel.parameters_in = {depth.view, shadow.view, 1, 100.0f, false, opaque};
    kernel.execute(render.context);
    EXPECT_FLOAT_EQ(shadow.at(0, 0),
                    opaque ? 0.2f * (2.0f * 4.0f - 1.0f) : 0.2f * (2.0f + 3.0f + 0.0f));
  }
}

TEST(Smooth_Shadows, EmptyLayersAndZeroPassesLeaveEverythingAlone) {
  Standalone_Render render(2);
  Float_Layer depth(render.context, 4, 4);
  depth.fill([](int64_t x, int64_t) { return static_cast<float>(x); });
  Float_Layer shadow(render.context, 4, 4);
  shadow.fill([](int64_t x, int64_t y) { return static_cast<float>(x * y) * 0.1f; });
  const std::vector<float> before = values_of(shadow.view);
  Kernel_Smooth_Shadows kernel;
  kernel.parameters_in = {depth.view, shadow.view, 0, 100.0f, false, true};
  kernel.execute(render.context);
  EXPECT_EQ(values_of(shadow.view), before);
  kernel.parameters_in.passes = 5;
  kernel.parameters_in.depth = brel::empty_layer<float>();
  kernel.execute(render.context);
  EXPECT_EQ(values_of(shadow.view), before);
  kernel.parameters_in.depth = depth.view;
  kernel.parameters_in.shadow = brel::empty_layer<float>();
  kernel.execute(render.context);
  EXPECT_EQ(kernel.workload(), 16 * 4);
}

}  // namespace
