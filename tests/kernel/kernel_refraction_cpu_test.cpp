#include "kernel/kernel_refraction_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "base/layer_holder.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Blur_Coordinates;
using brel::Layer;
using brel::RGB32f;
using brel::Vector_3;
using brel::test::Standalone_Render;
using Refraction = brel::Kernel_Refraction<Layer<brel::ARGB32f>, brel::Implementation_Cpu>;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// Depth, normals facing the viewer and a lit background whose every pixel differs.
struct Scene {
  Scene(const brel::Render_Context& context, int64_t width, int64_t height)
      : depth_holder(
            brel::make_temporary_float_layer(context, width, height, 0, 0, 0, 1.0f, 1.0f, 1.0f)),
        background_holder(
            brel::make_rgb32f_layer(context, width, height, 0, 2, 0, 1.0f, 1.0f, 1.0f)) {
    depth = brel::layer_view<float>(depth_holder);
    background = brel::layer_view<RGB32f>(background_holder);
    normal_holder.memory = context.allocate_memory_2d(width * 12, height);
    normals = brel::layer_view<Vector_3<float>>(normal_holder);
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        depth.row(y)[x] = 20.0f;
        normals.row(y)[x] = {0.0f, 0.0f, 1.0f};
        const float v = static_cast<float>(x + 3 * y);
        background.row(y)[x] = RGB32f{{v * 0.01f, 1.0f - v * 0.005f, 0.5f}};
      }
    }
  }

  Refraction::Parameters_In settings() const {
    Refraction::Parameters_In in;
    in.lit_background = background;
    in.depth = depth;
    in.normals = normals;
    in.transparency = 1.0f;
    in.refraction.refraction_index = 1.33f;
    return in;
  }

  brel::Layer_Holder depth_holder;
  brel::Layer_Holder background_holder;
  brel::Layer_Holder normal_holder;
  Layer<float> depth;
  Layer<RGB32f> background;
  Layer<Vector_3<float>> normals;
};

// The refraction layer's channels, row after row; empty when the kernel made none.
std::vector<float> refract(Standalone_Render& render, const Refraction::Parameters_In& in) {
  Refraction kernel;
  kernel.parameters_in = in;
  kernel.execute(render.context);
  std::vector<float> values;
  if (kernel.refraction_layer != nullptr) {
    const Layer<RGB32f> layer = brel::layer_view<RGB32f>(*kernel.refraction_layer);
    EXPECT_EQ(layer.width, in.depth.width);
    EXPECT_EQ(layer.height, in.depth.height);
    EXPECT_EQ(kernel.workload(), layer.width * layer.height * 12);
    for (int64_t y = 0; y < layer.height; ++y) {
      for (int64_t x = 0; x < layer.width; ++x) {
        values.insert(values.end(), layer.row(y)[x].channel, layer.row(y)[x].channel + 3);
      }
    }
  } else {
    EXPECT_EQ(kernel.workload(), 0);
  }
  return values;
}

// The coordinate pass alone over every row.
std::vector<Blur_Coordinates> landing_points(Standalone_Render& render,
                                             const Refraction::Parameters_In& in) {
  const auto memory =
      brel::make_blur_coordinates_array(render.context, in.depth.width, in.depth.height);
  const auto array = brel::array_2d_view<Blur_Coordinates>(*memory);
  brel::cpu_kernel_launch(in.depth.height, &brel::init_refraction_coordinates_row<brel::ARGB32f>,
                          render.context, in.refraction, in.depth, in.normals, array);
  std::vector<Blur_Coordinates> points;
  for (int64_t y = 0; y < array.height; ++y) {
    points.insert(points.end(), array.row(y), array.row(y) + array.width);
  }
  return points;
}

TEST(Refraction, NoLayerWhenNothingIsSeenThroughOrNothingBends) {
  Standalone_Render render(2);
  Scene scene(render.context, 5, 4);
  Refraction::Parameters_In in = scene.settings();
  EXPECT_EQ(refract(render, in).size(), 5u * 4u * 3u);
  in.transparency = 0.0f;
  EXPECT_TRUE(refract(render, in).empty());
  in.transparency = nan;  // not 0
  EXPECT_FALSE(refract(render, in).empty());
  in = scene.settings();
  in.refraction.refraction_index = 1.0f;
  in.refraction.perspective = 0.5f;  // bends nothing either
  EXPECT_TRUE(refract(render, in).empty());
  in.refraction.blur_scale = 0.1f;
  EXPECT_FALSE(refract(render, in).empty());
  in = scene.settings();
  in.lit_background = {};
  EXPECT_TRUE(refract(render, in).empty());
}

// Refraction 1 with a blur: the orthographic view ray passes straight, so every pixel lands on
// itself with its depth times the blur weight as path length.
TEST(Refraction, OrthographicUnbentRecordsAreThePixelAndItsDepth) {
  Standalone_Render render(2);
  Scene scene(render.context, 6, 5);
  for (int64_t y = 0; y < 5; ++y) {
    for (int64_t x = 0; x < 6; ++x) {
      scene.depth.row(y)[x] = x == 2 ? -7.5f : 3.0f + static_cast<float>(x * y);
      scene.normals.row(y)[x] = {0.3f, -0.2f, 0.93f};
    }
  }
  Refraction::Parameters_In in = scene.settings();
  in.refraction.refraction_index = 1.0f;
  in.refraction.blur_scale = 0.25f;
  for (const auto& [glossiness, weight] :
       std::vector<std::pair<float, float>>{{0.0f, 1.0f}, {0.25f, 0.75f}, {1.0f, 0.0f}}) {
    in.refraction.link_blur_to_glossiness = true;
    in.refraction.glossiness = glossiness;
    const std::vector<Blur_Coordinates> points = landing_points(render, in);
    for (int64_t y = 0; y < 5; ++y) {
      for (int64_t x = 0; x < 6; ++x) {
        const Blur_Coordinates& p = points[static_cast<size_t>(y * 6 + x)];
        EXPECT_EQ(p.x, static_cast<float>(x));
        EXPECT_EQ(p.y, static_cast<float>(y));
        EXPECT_EQ(p.blur, weight * std::fabs(scene.depth.row(y)[x])) << glossiness;
      }
    }
  }
}

// Landing points of rows of several runs, in perspective with the blur linked to a glossiness
// texture that covers only part of the image: each is the rule's for its pixel, bit for bit, at
// every thread count.
TEST(Refraction, LandingPointsAreEachPixelsOwnAtEveryThreadCount) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Standalone_Render setup(1);
  constexpr int64_t width = 2 * brel::refraction_run_pixels + 37;
  constexpr int64_t height = 4;
  Scene scene(setup.context, width, height);
  brel::test::Host_Layer<brel::ARGB32f> glossiness(setup.context, 400, 3, 100, 1);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      scene.depth.row(y)[x] = 30.0f * unit(random);
      const float nx = unit(random) - 0.5f;
      const float ny = unit(random) - 0.5f;
      scene.normals.row(y)[x] = {nx, ny, std::sqrt(1.0f - nx * nx - ny * ny)};
      if (y < 3 && x < 400) {
        glossiness.set(x, y, unit(random), unit(random), unit(random), 1.0f);
      }
    }
  }
  Refraction::Parameters_In in = scene.settings();
  in.refraction.perspective = 0.4f;
  in.refraction.blur_scale = 0.05f;
  in.refraction.link_blur_to_glossiness = true;
  in.refraction.glossiness = 0.8f;
  in.refraction.glossiness_texture = glossiness.view;
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    const std::vector<Blur_Coordinates> points = landing_points(render, in);
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        Blur_Coordinates expected = brel::refract_light_coordinates(
            x, y, in.refraction, in.depth, in.normals,
            brel::view_ray(x, y, width, height, in.refraction.perspective));
        expected.blur = brel::refraction_blur_weight(in.refraction, x, y) * expected.blur;
        const Blur_Coordinates& p = points[static_cast<size_t>(y * width + x)];
        ASSERT_EQ(std::bit_cast<uint32_t>(p.x), std::bit_cast<uint32_t>(expected.x))
            << threads << " threads at " << x << ", " << y;
        ASSERT_EQ(std::bit_cast<uint32_t>(p.y), std::bit_cast<uint32_t>(expected.y))
            << threads << " threads at " << x << ", " << y;
        ASSERT_EQ(std::bit_cast<uint32_t>(p.blur), std::bit_cast<uint32_t>(expected.blur))
            << threads << " threads at " << x << ", " << y;
      }
    }
  }
}

// Odd sides put a pixel's centre on the image's centre: its ray is straight into the image.
// Mirrored pixels get mirrored rays, and the corner rays spread as the perspective asks.
TEST(Refraction, PerspectiveViewRays) {
  const Vector_3<float> centre = brel::view_ray(3, 2, 7, 5, 0.8f);
  EXPECT_EQ(centre.x, 0.0f);
  EXPECT_EQ(centre.y, 0.0f);
  EXPECT_EQ(centre.z, -1.0f);
  const Vector_3<float> left = brel::view_ray(0, 1, 7, 5, 0.8f);
  const Vector_3<float> right = brel::view_ray(6, 3, 7, 5, 0.8f);
  // Equal up to the rounding of x / w and y / h on either side.
  EXPECT_FLOAT_EQ(left.x, -right.x);
  EXPECT_FLOAT_EQ(left.y, -right.y);
  EXPECT_FLOAT_EQ(left.z, right.z);
  // Pixel (0, 0) of 7 × 5: (-0.8 · 6 / 7, 0.8 · 4 / 5 · 5 / 7, -1) before normalising.
  const Vector_3<float> corner = brel::view_ray(0, 0, 7, 5, 0.8f);
  EXPECT_NEAR(corner.x / -corner.z, -0.8f * 6.0f / 7.0f, 1e-6f);
  EXPECT_NEAR(corner.y / -corner.z, 0.8f * 4.0f / 7.0f, 1e-6f);
  EXPECT_NEAR(corner.x * corner.x + corner.y * corner.y + corner.z * corner.z, 1.0f, 1e-6f);
  const Vector_3<float> flat = brel::view_ray(0, 0, 7, 5, 0.0f);
  EXPECT_EQ(flat.z, -1.0f);
}

// The rays of a run, eight at a time, are view_ray's bit for bit: runs starting anywhere in rows
// of odd and even sides, the first and the last row, perspectives of both signs, huge and not a
// number, and none.
TEST(Refraction, RunsOfViewRaysAreThoseOfEachPixel) {
  const auto bits = [](float v) {
    return std::isnan(v) ? 0x7fc00000u : std::bit_cast<uint32_t>(v);
  };
  brel::Refraction_Run run;
  for (const auto& [width, height] :
       {std::pair<int64_t, int64_t>{7, 5}, {600, 337}, {1920, 1080}}) {
    for (const float p : {0.8f, -0.3f, 0.0f, 1000.0f, nan}) {
      for (const int64_t y : {int64_t{0}, height / 2, height - 1}) {
        for (int64_t x = 0; x < width; x += brel::refraction_run_pixels - 3) {
          const int64_t n = std::min(brel::refraction_run_pixels, width - x);
          brel::view_rays(x, y, n, width, height, p, run);
          for (int64_t i = 0; i < n; ++i) {
            const Vector_3<float> ray = brel::view_ray(x + i, y, width, height, p);
            ASSERT_EQ(bits(run.ray_x[i]), bits(ray.x)) << width << " " << p << " " << x + i;
            ASSERT_EQ(bits(run.ray_y[i]), bits(ray.y)) << width << " " << p << " " << x + i;
            ASSERT_EQ(bits(run.ray_z[i]), bits(ray.z)) << width << " " << p << " " << x + i;
          }
        }
      }
    }
  }
}

// A flat surface facing the viewer bends nothing sideways, and without blur every footprint is
// the pixel itself: the background shows in place in every gather mode (away from the first
// row and column, whose footprints borrow the pixel's own points for the missing neighbours).
TEST(Refraction, FlatSurfaceWithoutBlurShowsTheBackgroundInPlace) {
  Standalone_Render render(2);
  Scene scene(render.context, 9, 6);
  for (int32_t mode = 1; mode <= 4; ++mode) {
    Refraction::Parameters_In in = scene.settings();
    in.refraction.gather_mode = mode;
    const std::vector<float> values = refract(render, in);
    ASSERT_EQ(values.size(), 9u * 6u * 3u);
    for (int64_t y = 1; y < 6; ++y) {
      for (int64_t x = 1; x < 9; ++x) {
        for (int64_t c = 0; c < 3; ++c) {
          EXPECT_EQ(values[static_cast<size_t>((y * 9 + x) * 3 + c)],
                    scene.background.row(y)[x].channel[c])
              << "mode " << mode << " at " << x << ", " << y;
        }
      }
    }
  }
}

// Each pixel gathered alone: the landing points of its row and the row above (row 0 for
// itself), a fresh footprint scale.
std::vector<float> gathered_pixel_by_pixel(Standalone_Render& render,
                                           const Refraction::Parameters_In& in) {
  const std::vector<Blur_Coordinates> points = landing_points(render, in);
  const brel::Gatherer<Layer<RGB32f>, brel::Implementation_Cpu> gatherer(
      render.context, in.lit_background, in.refraction.gather_mode);
  const int64_t w = in.depth.width;
  std::vector<float> values;
  for (int64_t y = 0; y < in.depth.height; ++y) {
    const Blur_Coordinates* first = &points[static_cast<size_t>(y * w)];
    const Blur_Coordinates* second = &points[static_cast<size_t>((y > 0 ? y - 1 : 0) * w)];
    for (int64_t x = 0; x < w; ++x) {
      const float blur = in.refraction.blur_scale;
      brel::Footprint_Scale scale{in.depth.scale_x * blur, blur * in.depth.scale_y};
      const RGB32f pixel = brel::gather_pixel(gatherer, x, y, scale, first, second);
      values.insert(values.end(), pixel.channel, pixel.channel + 3);
    }
  }
  return values;
}

// A rough surface seen in perspective through a textured refraction: tiles of rows and columns
// give every pixel what it gathers alone, at every thread count, and landing points that are not
// numbers still gather a finite colour.
TEST(Refraction, ResultsAreTheSameAtEveryThreadCount) {
  std::mt19937 random(3);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Standalone_Render setup(1);
  // Wider than a tile's columns, high enough for tall and short bands of tiles at 1 and 2
  // threads, and not a whole number of either high.
  constexpr int64_t height = 150;
  Scene scene(setup.context, 300, height);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < 300; ++x) {
      scene.depth.row(y)[x] = 30.0f * unit(random);
      const float nx = unit(random) - 0.5f;
      const float ny = unit(random) - 0.5f;
      scene.normals.row(y)[x] = {nx, ny, std::sqrt(1.0f - nx * nx - ny * ny)};
    }
  }
  scene.normals.row(8)[11] = {nan, 0.0f, 1.0f};
  for (int32_t mode = 1; mode <= 4; ++mode) {
    Refraction::Parameters_In in = scene.settings();
    in.refraction.gather_mode = mode;
    in.refraction.perspective = 0.4f;
    in.refraction.blur_scale = 0.05f;
    const std::vector<float> expected = gathered_pixel_by_pixel(setup, in);
    for (const int64_t threads : brel::test::thread_counts) {
      Standalone_Render render(threads);
      const std::vector<float> values = refract(render, in);
      for (const float v : values) {
        ASSERT_TRUE(std::isfinite(v)) << "mode " << mode;
      }
      EXPECT_EQ(values, expected) << "mode " << mode << ", " << threads << " threads";
    }
  }
}

// Box modes with one box and with four, boxes of exactly one pixel (no blur) and wider ones, on a
// surface whose left part is flat, so that its pixels land unmoved and read their own background
// pixel, and whose right part is rough, its boxes inside the layer and across its edges. The rows
// gathered together give each pixel what it gathers alone, bit for bit, at every thread count.
TEST(Refraction, RowsOfBoxesGiveWhatEachPixelGathersAlone) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Standalone_Render setup(1);
  constexpr int64_t width = 270;
  constexpr int64_t height = 40;
  Scene scene(setup.context, width, height);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const float v = unit(random);
      scene.background.row(y)[x] =
          RGB32f{{v - 0.5f, (x + y) % 3 == 0 ? -0.0f : v, x % 4 == 0 ? 0.0f : -v}};
      if (x >= 90) {
        scene.depth.row(y)[x] = 12.0f * unit(random);
        const float nx = unit(random) - 0.5f;
        const float ny = unit(random) - 0.5f;
        scene.normals.row(y)[x] = {nx, ny, std::sqrt(1.0f - nx * nx - ny * ny)};
      }
    }
  }
  for (const int32_t mode : {1, 2}) {
    for (const float blur : {0.0f, 0.03f}) {
      Refraction::Parameters_In in = scene.settings();
      in.refraction.gather_mode = mode;
      in.refraction.blur_scale = blur;
      const std::vector<float> expected = gathered_pixel_by_pixel(setup, in);
      for (const int64_t threads : brel::test::thread_counts) {
        Standalone_Render render(threads);
        const std::vector<float> values = refract(render, in);
        ASSERT_EQ(values.size(), expected.size());
        for (size_t i = 0; i < values.size(); ++i) {
          ASSERT_EQ(std::bit_cast<uint32_t>(values[i]), std::bit_cast<uint32_t>(expected[i]))
              << "mode " << mode << ", blur " << blur << ", " << threads << " threads, pixel "
              << i / 3 % width << ", " << i / 3 / width << " channel " << i % 3;
        }
      }
    }
  }
}

TEST(Refraction, ImageOfWidthZeroGetsAnEmptyLayer) {
  Standalone_Render render(2);
  Scene scene(render.context, 4, 3);
  Refraction::Parameters_In in = scene.settings();
  in.depth.width = 0;
  Refraction kernel;
  kernel.parameters_in = in;
  kernel.execute(render.context);
  ASSERT_NE(kernel.refraction_layer, nullptr);
  EXPECT_EQ(brel::layer_view<RGB32f>(*kernel.refraction_layer).width, 0);
}

}  // namespace
