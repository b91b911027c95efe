#include "kernel/kernel_pre_blur_cpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::test::Standalone_Render;
using Pre_Blur = brel::Kernel_Pre_Blur<Layer<brel::ARGB8>, brel::Implementation_Cpu>;

// A depth layer inside a 3-pixel border, as the pipeline hands it on; the border is numbered
// so that a write into it shows.
struct Bordered_Depth {
  Bordered_Depth(const brel::Render_Context& context, int64_t width, int64_t height,
                 float scale = 1.0f)
      : holder(brel::make_temporary_float_layer(context, width + 6, height + 6, 0, 0, 0, 1.0f,
                                                scale, scale)),
        bordered(brel::layer_view<float>(holder)) {
    for (int64_t y = 0; y < bordered.height; ++y) {
      for (int64_t x = 0; x < bordered.width; ++x) {
        bordered.row(y)[x] = -1000.0f - static_cast<float>(x + 100 * y);
      }
    }
    view = bordered;
    view.width = width;
    view.height = height;
    view.pixels = brel::advance_bytes(bordered.pixels, 3 * bordered.row_bytes + 12);
  }

  Bordered_Depth& fill(const std::function<float(int64_t, int64_t)>& value) {
    for (int64_t y = 0; y < view.height; ++y) {
      for (int64_t x = 0; x < view.width; ++x) {
        view.row(y)[x] = value(x, y);
      }
    }
    return *this;
  }

  brel::Layer_Holder holder;
  Layer<float> bordered;
  Layer<float> view;
};

Pre_Blur::Parameters_In blur_settings(const Layer<float>& depth, int64_t iterations) {
  Pre_Blur::Parameters_In in;
  in.depth = depth;
  in.strength = 1.0f;
  in.threshold = 20.0f;
  in.depth_scale = 1000.0f;
  in.iterations = iterations;
  return in;
}

void blur(Standalone_Render& render, const Pre_Blur::Parameters_In& in) {
  Pre_Blur kernel;
  kernel.parameters_in = in;
  kernel.execute(render.context);
}

// The values of a layer, row after row.
std::vector<float> values(const Layer<float>& depth) {
  std::vector<float> values;
  for (int64_t y = 0; y < depth.height; ++y) {
    values.insert(values.end(), depth.row(y), depth.row(y) + depth.width);
  }
  return values;
}

// The passes one by one with the plain pixel rule, on copies of the inner values.
std::vector<float> reference_passes(const Layer<float>& depth, const Pre_Blur::Parameters_In& in,
                                    int64_t passes) {
  const int64_t w = depth.width;
  const int64_t h = depth.height;
  std::vector<float> source = values(depth);
  std::vector<float> target = source;
  for (int64_t pass = 0; pass < passes; ++pass) {
    Layer<float> view = depth;
    view.pixels = source.data();
    view.row_bytes = w * 4;
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        target[y * w + x] = brel::pre_blur_pixel_reference(view, x, y, target[y * w + x], in);
      }
    }
    std::swap(source, target);
  }
  return source;
}

// The depth carries the input's origin while the scratch layer does not; the values must stay
// at their pixels all the same.
TEST(Pre_Blur, PassesFollowThePixelRuleAndTheirCountInPlace) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> noise(0.0f, 40.0f);
  for (const int64_t threads : brel::test::thread_counts) {
    // Requested 1, 2 and 3 passes at full resolution, and 10 at half resolution (2 passes).
    for (const auto& [iterations, scale, passes] : std::vector<std::tuple<int64_t, float, int64_t>>{
             {0, 1.0f, 0}, {1, 1.0f, 1}, {2, 1.0f, 2}, {3, 1.0f, 3}, {10, 0.5f, 2}}) {
      Standalone_Render render(threads);
      Bordered_Depth depth(render.context, 45, 41, scale);
      depth.fill([&](int64_t, int64_t) {
        const float v = noise(random);
        return v < 8.0f ? 0.0f : v;
      });
      depth.view.origin_x = 7;
      depth.view.origin_y = -3;
      const Pre_Blur::Parameters_In in = blur_settings(depth.view, iterations);
      const std::vector<float> expected = reference_passes(depth.view, in, passes);
      blur(render, in);
      EXPECT_EQ(values(depth.view), expected) << iterations << " at scale " << scale;
    }
  }
}

TEST(Pre_Blur, ZeroDepthAndTheBorderAreNeverWritten) {
  Standalone_Render render(2);
  Bordered_Depth depth(render.context, 8, 6);
  depth.fill([](int64_t x, int64_t y) { return (x + y) % 3 == 0 ? 0.0f : 5.0f + x; });
  const std::vector<float> before = values(depth.bordered);
  blur(render, blur_settings(depth.view, 4));
  const std::vector<float> after = values(depth.bordered);
  for (int64_t y = 0; y < depth.bordered.height; ++y) {
    for (int64_t x = 0; x < depth.bordered.width; ++x) {
      const bool in_image = x >= 3 && x < 11 && y >= 3 && y < 9;
      const float was = before[y * depth.bordered.width + x];
      if (!in_image || was == 0.0f) {
        EXPECT_EQ(after[y * depth.bordered.width + x], was) << x << ", " << y;
      }
    }
  }
}

TEST(Pre_Blur, ZeroThresholdOnlyLimitsToTheDepthScale) {
  Standalone_Render render(1);
  Bordered_Depth depth(render.context, 4, 2);
  depth.fill([](int64_t x, int64_t) { return 50.0f * static_cast<float>(x + 1); });
  Pre_Blur::Parameters_In in = blur_settings(depth.view, 1);
  in.threshold = 0.0f;
  in.depth_scale = 120.0f;
  blur(render, in);
  EXPECT_EQ(values(depth.view), (std::vector<float>{50, 100, 120, 120, 50, 100, 120, 120}));
}

TEST(Pre_Blur, SinglePixelWideImageUsesItselfAsSideNeighboursAndSkipsFarOnes) {
  Standalone_Render render(1);
  Bordered_Depth depth(render.context, 1, 3);
  depth.fill([](int64_t, int64_t y) { return y == 0 ? 2.0f : (y == 1 ? 4.0f : 100.0f); });
  Pre_Blur::Parameters_In in = blur_settings(depth.view, 1);
  in.threshold = 4.0f;
  blur(render, in);
  // Middle: itself left and right (weight 1 each, value 4), above (value 2, weight 0.5 as a
  // side, 0.5 × 0.70710677 each as the two diagonals); below lies beyond the threshold.
  const float diagonal = 0.5f * 0.70710677f;
  const float sum = 4.0f + 4.0f + 4.0f + 2.0f * 0.5f + 2.0f * 2.0f * diagonal;
  const float weight = 1.0f + 2.0f + 0.5f + 2.0f * diagonal;
  EXPECT_NEAR(depth.view.row(1)[0], sum / weight, 1e-6f);
}

// A render that runs no pass takes no scratch layer and copies nothing; one that does takes one.
TEST(Pre_Blur, NoPassTakesNoMemory) {
  Standalone_Render render(2);
  int64_t allocations = 0;
  brel::Render_Context counting = render.context;
  counting.allocate_memory_2d = [&allocations, allocate = render.context.allocate_memory_2d](
                                    int64_t width, int64_t height) {
    ++allocations;
    return allocate(width, height);
  };
  Bordered_Depth depth(render.context, 9, 7);
  depth.fill([](int64_t x, int64_t y) { return 10.0f + static_cast<float>((x * 7 + y * 3) % 5); });
  const std::vector<float> before = values(depth.bordered);
  // No pass: none asked, a negative count, and 3 at half resolution (0.75 of a pass).
  for (const auto& [iterations, scale] :
       std::vector<std::pair<int64_t, float>>{{0, 1.0f}, {-2, 1.0f}, {3, 0.5f}}) {
    depth.view.scale_x = scale;
    depth.view.scale_y = scale;
    Pre_Blur kernel;
    kernel.parameters_in = blur_settings(depth.view, iterations);
    kernel.execute(counting);
    EXPECT_EQ(allocations, 0) << iterations << " at scale " << scale;
    EXPECT_EQ(values(depth.bordered), before) << iterations << " at scale " << scale;
  }
  depth.view.scale_x = 1.0f;
  depth.view.scale_y = 1.0f;
  Pre_Blur kernel;
  kernel.parameters_in = blur_settings(depth.view, 1);
  kernel.execute(counting);
  EXPECT_EQ(allocations, 1);
  EXPECT_NE(values(depth.bordered), before);
}

TEST(Pre_Blur, PassCountNeverConvertsANonNumber) {
  EXPECT_EQ(brel::pre_blur_passes(10, 0.5f, 0.5f), 2);
  EXPECT_EQ(brel::pre_blur_passes(7, 1.0f, 1.0f), 7);
  EXPECT_EQ(brel::pre_blur_passes(-3, 1.0f, 1.0f), 0);
  EXPECT_EQ(brel::pre_blur_passes(5, std::numeric_limits<float>::quiet_NaN(), 1.0f), 0);
  EXPECT_EQ(brel::pre_blur_passes(5, std::numeric_limits<float>::infinity(), 1.0f),
            std::numeric_limits<int64_t>::max());
}

}  // namespace
