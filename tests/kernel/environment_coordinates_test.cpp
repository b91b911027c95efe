#include "kernel/environment_coordinates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernel/final_routine_parameters.h"
#include "support/plain_layer.h"

namespace {

using brel::Blur_Coordinates;
using brel::Vector_3;
using brel::test::Plain_Layer;

// A surface (100 × 100 unless given) facing the viewer at depth 0, depth scale 100, and an
// environment of 9 × 5 pixels (only its size is read).
template <class P>
struct Scene {
  explicit Scene(int64_t width = 100, int64_t height = 100)
      : depth(width, height, 0.0f), normals(width, height, Vector_3<float>{0.0f, 0.0f, 1.0f}) {
    environment.environment_texture.width = 9;
    environment.environment_texture.height = 5;
    environment.depth_scale = 100.0f;
  }

  std::pair<float, float> lookup(int64_t x, int64_t y, float g = 0.0f) const {
    float u = -1.0f;
    float v = -1.0f;
    brel::environment_lookup_coordinates(x, y, u, v, environment, depth.view, normals.view, g);
    return {u, v};
  }

  Plain_Layer<float> depth;
  Plain_Layer<Vector_3<float>> normals;
  brel::Environment_Parameter<P> environment;
};

TEST(Environment_Coordinates, SphericalMapsTheNormalAlone) {
  Scene<brel::ARGB32f> scene;
  scene.environment.environment_type = 1;
  struct Case {
    Vector_3<float> normal;
    float u;
    float v;
  };
  for (const Case& c :
       {Case{{0.0f, 0.0f, 1.0f}, 4.0f, 2.0f}, Case{{1.0f, 0.0f, 0.0f}, 8.0f, 2.0f},
        Case{{0.0f, 1.0f, 0.0f}, 4.0f, 0.0f}, Case{{-1.0f, -1.0f, 0.0f}, 0.0f, 4.0f},
        Case{{0.5f, 0.0f, 0.5f}, 6.0f, 2.0f}}) {
    scene.normals.at(7, 3) = c.normal;
    // Glossiness, depth and perspective play no part.
    scene.depth.at(7, 3) = 55.0f;
    scene.environment.perspective = 0.7f;
    EXPECT_EQ(scene.lookup(7, 3, 0.5f), std::make_pair(c.u, c.v)) << c.normal.x << c.normal.y;
  }
  // An environment one pixel wide or high has only its first column or row.
  scene.environment.environment_texture.width = 1;
  scene.environment.environment_texture.height = 1;
  EXPECT_EQ(scene.lookup(7, 3), std::make_pair(0.0f, 0.0f));
}

TEST(Environment_Coordinates, PanoramicFollowsTheMirroredRayToTheSphere) {
  Scene<brel::ARGB32f> scene;
  // The middle pixel at depth 0 sees the ray (0, 0, 1) from (50, 50, 0), 50 below the sphere's
  // middle: k = -1, t = 2450, and the direction back to the middle is (0, 0, -1): a = 0 is not
  // positive, so u = 1 - (b + 1) / 4 = 1 and v = 1 / 2.
  EXPECT_EQ(scene.lookup(50, 50), std::make_pair(8.0f, 2.0f));
  // At the sphere's middle height and 10 to the right, the ray is perpendicular to the way out
  // (k = 0): the division gives infinity and NaN, which the clamp turns into 1.
  scene.depth.at(60, 50) = 50.0f;
  EXPECT_EQ(scene.lookup(60, 50), std::make_pair(8.0f, 4.0f));
  // The two half-turns lie side by side: a ray sent towards +x lands where the way back to the
  // middle points to -x, in the second half; towards -x in the first.
  scene.normals.at(20, 50) = {0.6f, 0.0f, 0.8f};
  const auto [u_right, v_right] = scene.lookup(20, 50, 1.0f);
  EXPECT_GT(u_right, 4.0f);
  EXPECT_LT(u_right, 8.0f);
  scene.normals.at(20, 50) = {-0.6f, 0.0f, 0.8f};
  const auto [u_left, v_left] = scene.lookup(20, 50, 1.0f);
  EXPECT_GT(u_left, 0.0f);
  EXPECT_LT(u_left, 4.0f);
  EXPECT_EQ(v_right, v_left);
}

TEST(Environment_Coordinates, ReflectionBlurFollowsTheGlossinessTexturePlacedByItsOrigin) {
  Scene<brel::ARGB8> scene;
  scene.environment.environment_type = 1;
  scene.environment.glossiness = 0.5f;
  // Black at image pixel (2, 4) only; elsewhere the missing texture reads white.
  Plain_Layer<brel::ARGB8> texture(1, 1, brel::ARGB8{{255, 0, 0, 0}});
  texture.view.origin_x = 2;
  texture.view.origin_y = 4;
  scene.environment.glossiness_texture = texture.view;
  std::vector<Blur_Coordinates> row(100, Blur_Coordinates{-1.0f, -1.0f, -1.0f});
  brel::init_reflection_coordinates_row(100, row.data(), 4, scene.environment, scene.depth.view,
                                        scene.normals.view);
  EXPECT_EQ(row[1].blur, 0.25f);
  EXPECT_EQ(row[2].blur, 0.5f);  // glossiness 0: the widest blur
  EXPECT_EQ(row[99].x, 4.0f);
  EXPECT_EQ(row[99].y, 2.0f);
  // Glossiness 1 or more: a sharp reflection.
  scene.environment.glossiness = 3.0f;
  brel::init_reflection_coordinates_row(100, row.data(), 0, scene.environment, scene.depth.view,
                                        scene.normals.view);
  EXPECT_EQ(row[2].blur, 0.0f);
  // A row the texture does not reach reads white at every pixel, its panoramic points too.
  scene.environment.glossiness = 0.5f;
  scene.environment.environment_type = 0;
  for (int64_t x = 0; x < 100; ++x) {
    scene.normals.at(x, 5) = {0.3f, -0.2f, 0.93f};
  }
  brel::init_reflection_coordinates_row(100, row.data(), 5, scene.environment, scene.depth.view,
                                        scene.normals.view);
  for (const int64_t x : {0, 2, 63, 99}) {
    const auto [u, v] = scene.lookup(x, 5, 0.5f);
    EXPECT_EQ(row[x].blur, 0.25f) << x;
    EXPECT_EQ(row[x].x, u) << x;
    EXPECT_EQ(row[x].y, v) << x;
    EXPECT_NE(scene.lookup(x, 5, 1.0f), scene.lookup(x, 5, 0.5f)) << x;
  }
}

TEST(Environment_Coordinates, RowsWriteOnlyTheDepthWidth) {
  Scene<brel::BGRA16> scene;
  scene.environment.blur_illumination = 0.3f;
  scene.depth.view.width = 60;
  std::vector<Blur_Coordinates> row(100, Blur_Coordinates{-1.0f, -1.0f, -1.0f});
  brel::init_illumination_coordinates_row(100, row.data(), 50, scene.environment, scene.depth.view,
                                          scene.normals.view);
  EXPECT_EQ(row[59].blur, 0.15f);
  EXPECT_EQ(row[60].blur, -1.0f);
  // Illumination looks along the normal, as the reflection of a glossiness-0 surface does.
  std::vector<Blur_Coordinates> reflection(100);
  brel::init_reflection_coordinates_row(100, reflection.data(), 50, scene.environment,
                                        scene.depth.view, scene.normals.view);
  for (int64_t x = 0; x < 60; ++x) {
    EXPECT_EQ(row[x].x, reflection[x].x) << x;
    EXPECT_EQ(row[x].y, reflection[x].y) << x;
  }
}

// Panoramic rows run several pixels at a time (four at once in AVX2 where the processor has
// it); every mapping and every landing point must carry the bits the pixel rule gives, for every
// glossiness (dull, exactly 1, clamped from above), with and without perspective, and for the odd
// cases the rule selects between: a zero or not-a-number normal, a depth that is huge, infinite or
// not a number, a ray that grazes the sphere. The width leaves a short tail after the last run of
// four.
TEST(Environment_Coordinates, PanoramicRowsGiveTheBitsOfThePixelRule) {
  constexpr int64_t w = 203;
  constexpr int64_t h = 9;
  Scene<brel::ARGB32f> scene(w, h);
  scene.environment.environment_texture.width = 3840;
  scene.environment.environment_texture.height = 2160;
  scene.environment.depth_scale = 56.568542f;
  scene.environment.glossiness = 1.0f;
  Plain_Layer<brel::ARGB32f> glossiness(w, h);
  scene.environment.glossiness_texture = glossiness.view;
  std::mt19937 random(11);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_real_distribution<float> depth(0.0f, 80.0f);
  std::uniform_real_distribution<float> gloss(-0.5f, 2.0f);
  std::uniform_int_distribution<int> pick(0, 30);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      Vector_3<float> n{unit(random), unit(random), std::fabs(unit(random))};
      float d = depth(random);
      float g = gloss(random);
      switch (pick(random)) {
        case 0:
          n = {0.0f, 0.0f, 0.0f};
          break;
        case 1:
          n = {nan, 0.0f, 1.0f};
          break;
        case 2:
          d = 1e30f;
          break;
        case 3:
          d = infinity;
          break;
        case 4:
          d = nan;
          break;
        case 5:
          g = 1.0f;
          break;
        case 6:
          g = 0.0f;
          break;
        case 7:
          n = {0.0f, 0.0f, 1.0f};
          d = 0.0f;
          break;  // straight up from the flat surface
        default:
          break;
      }
      scene.normals.at(x, y) = n;
      scene.depth.at(x, y) = d;
      glossiness.at(x, y) = {{1.0f, g, g, g}};
    }
  }
  const auto same = [](double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) || (a != a && b != b);
  };
  std::vector<Blur_Coordinates> row(w);
  for (const float perspective : {0.0f, 0.65f}) {
    scene.environment.perspective = perspective;
    for (int64_t y = 0; y < h; ++y) {
      // The run's doubles, before the clamp and the rounding to float hide a last bit.
      std::vector<float> g(w);
      for (int64_t x = 0; x < w; ++x) {
        g[x] = glossiness.at(x, y).channel[1];
      }
      // Every lane width the processor has, alone and with the glossiness-0 run beside it
      // (runs of up to 64 pixels, the last one short).
      for (int32_t lanes = 4; lanes <= brel::environment_detail::panoramic_lanes(); lanes *= 2) {
        for (int64_t x0 = 0; x0 < w; x0 += 64) {
          const int64_t n = std::min<int64_t>(64, w - x0);
          std::vector<double> u(n);
          std::vector<double> v(n);
          std::vector<double> pair_u(n);
          std::vector<double> pair_v(n);
          std::vector<double> dull_u(n);
          std::vector<double> dull_v(n);
          const int64_t done = brel::environment_detail::panoramic_run(
              x0, y, n, scene.depth.view.row(y) + x0, scene.normals.view.row(y) + x0, g.data() + x0,
              perspective, scene.environment.depth_scale, w, h, u.data(), v.data(), lanes);
          const int64_t pair_done = brel::environment_detail::panoramic_pair_run(
              x0, y, n, scene.depth.view.row(y) + x0, scene.normals.view.row(y) + x0, g.data() + x0,
              perspective, scene.environment.depth_scale, w, h, pair_u.data(), pair_v.data(),
              dull_u.data(), dull_v.data(), lanes);
          ASSERT_EQ(done, n - n % lanes);
          ASSERT_EQ(pair_done, done);
          for (int64_t i = 0; i < done; ++i) {
            const int64_t x = x0 + i;
            double ru = 0.0;
            double rv = 0.0;
            double zu = 0.0;
            double zv = 0.0;
            brel::environment_detail::panoramic(x, y, scene.depth.at(x, y), scene.normals.at(x, y),
                                                perspective, scene.environment.depth_scale, w, h,
                                                g[x], ru, rv);
            brel::environment_detail::panoramic(x, y, scene.depth.at(x, y), scene.normals.at(x, y),
                                                perspective, scene.environment.depth_scale, w, h,
                                                0.0f, zu, zv);
            ASSERT_TRUE(same(u[i], ru) && same(v[i], rv) && same(pair_u[i], ru) &&
                        same(pair_v[i], rv) && same(dull_u[i], zu) && same(dull_v[i], zv))
                << x << ", " << y << " perspective " << perspective << " lanes " << lanes << ": "
                << u[i] << ", " << v[i] << " / " << pair_u[i] << ", " << pair_v[i] << " / "
                << dull_u[i] << ", " << dull_v[i] << " against " << ru << ", " << rv << " / " << zu
                << ", " << zv;
          }
        }
      }
      for (const bool reflection : {true, false}) {
        if (reflection) {
          brel::init_reflection_coordinates_row(w, row.data(), y, scene.environment,
                                                scene.depth.view, scene.normals.view);
        } else {
          brel::init_illumination_coordinates_row(w, row.data(), y, scene.environment,
                                                  scene.depth.view, scene.normals.view);
        }
        for (int64_t x = 0; x < w; ++x) {
          // The row reads the glossiness as (r + g + b) / 3a of its texture pixel.
          const float mean = brel::texture_mean(brel::shading_color(glossiness.at(x, y)));
          const float g = reflection ? std::clamp(mean, 0.0f, 1.0f) : 0.0f;
          const auto [u, v] = scene.lookup(x, y, g);
          ASSERT_EQ(std::bit_cast<uint32_t>(row[x].x), std::bit_cast<uint32_t>(u))
              << x << ", " << y << " perspective " << perspective << " reflection " << reflection;
          ASSERT_EQ(std::bit_cast<uint32_t>(row[x].y), std::bit_cast<uint32_t>(v))
              << x << ", " << y << " perspective " << perspective << " reflection " << reflection;
        }
      }
      // Both rows at once give each row's points and blurs, panoramic and spherical.
      scene.environment.blur_illumination = 0.3f;
      for (const int32_t type : {0, 1}) {
        scene.environment.environment_type = type;
        std::vector<Blur_Coordinates> alone[2] = {std::vector<Blur_Coordinates>(w),
                                                  std::vector<Blur_Coordinates>(w)};
        std::vector<Blur_Coordinates> both[2] = {std::vector<Blur_Coordinates>(w),
                                                 std::vector<Blur_Coordinates>(w)};
        brel::init_reflection_coordinates_row(w, alone[0].data(), y, scene.environment,
                                              scene.depth.view, scene.normals.view);
        brel::init_illumination_coordinates_row(w, alone[1].data(), y, scene.environment,
                                                scene.depth.view, scene.normals.view);
        brel::init_environment_coordinates_rows(w, both[0].data(), both[1].data(), y,
                                                scene.environment, scene.depth.view,
                                                scene.normals.view);
        for (int32_t kind = 0; kind < 2; ++kind) {
          ASSERT_EQ(
              std::memcmp(alone[kind].data(), both[kind].data(), w * sizeof(Blur_Coordinates)), 0)
              << "row " << y << " perspective " << perspective << " type " << type << " kind "
              << kind;
        }
      }
      scene.environment.environment_type = 0;
    }
  }
}

}  // namespace

namespace {

// The clamp to the environment in lanes against the pixel rule: zeros of both signs, the ends
// of 0 .. 1 and their neighbours, values beyond, infinities, not-a-numbers, subnormals and random
// values, at every offset of a short tail.
TEST(Environment_Coordinates, EnvironmentPixelsInLanesGiveTheBitsOfThePixelRule) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  std::vector<double> t = {-0.0,
                           0.0,
                           1.0,
                           std::nextafter(1.0, 2.0),
                           std::nextafter(1.0, 0.0),
                           std::nextafter(0.0, -1.0),
                           std::numeric_limits<double>::denorm_min(),
                           -1.0,
                           2.0,
                           infinity,
                           -infinity,
                           nan,
                           -nan,
                           0.5,
                           0.25};
  std::mt19937 random(5);
  std::uniform_real_distribution<double> wide(-0.5, 1.5);
  for (int32_t i = 0; i < 200; ++i) {
    t.push_back(wide(random));
  }
  for (const double last : {3839.0, 2159.0, 0.0, 8.0}) {
    for (size_t n = t.size() - 5; n <= t.size(); ++n) {
      std::vector<float> lanes(n);
      brel::environment_detail::environment_pixels(static_cast<int64_t>(n), t.data(), last,
                                                   lanes.data());
      for (size_t i = 0; i < n; ++i) {
        const float pixel = brel::environment_detail::environment_pixel(t[i], last);
        ASSERT_EQ(std::bit_cast<uint32_t>(lanes[i]), std::bit_cast<uint32_t>(pixel))
            << t[i] << " times " << last << " at " << i << " of " << n;
      }
    }
  }
  // The pixel rule itself: not a number reads the last pixel, -0 stays -0.
  EXPECT_EQ(brel::environment_detail::environment_pixel(nan, 8.0), 8.0f);
  EXPECT_EQ(std::bit_cast<uint32_t>(brel::environment_detail::environment_pixel(-0.0, 8.0)),
            std::bit_cast<uint32_t>(-0.0f));
  EXPECT_EQ(brel::environment_detail::environment_pixel(-3.0, 8.0), 0.0f);
  EXPECT_EQ(brel::environment_detail::environment_pixel(3.0, 8.0), 8.0f);
}

}  // namespace
