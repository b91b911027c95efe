#include "kernel/environment_coordinates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "support/plain_layer.h"

namespace {

using brel::Blur_Coordinates;
using brel::Vector_3;
using brel::test::Plain_Layer;

// A 100 × 100 surface facing the viewer at depth 0, depth scale 100, and an environment of
// 9 × 5 pixels (only its size is read).
template <class P>
struct Scene {
  Scene() : depth(100, 100, 0.0f), normals(100, 100, Vector_3<float>{0.0f, 0.0f, 1.0f}) {
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

}  // namespace
