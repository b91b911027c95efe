#include "kernel/refraction_vector.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Blur_Coordinates;
using brel::Layer;
using brel::Vector_3;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;
using Record = brel::Refraction_Parameter<brel::ARGB32f, brel::Implementation_Cpu>;

// A 4 × 3 surface of one depth and one normal, downsampled by `scale`.
struct Surface {
  explicit Surface(float z, Vector_3<float> normal, float scale = 1.0f)
      : depths(12, z), normals(12, normal) {
    depth.width = 4;
    depth.height = 3;
    depth.scale_x = scale;
    depth.scale_y = scale;
    depth.pixels = depths.data();
    depth.row_bytes = 16;
    normal_view.width = 4;
    normal_view.height = 3;
    normal_view.pixels = normals.data();
    normal_view.row_bytes = 48;
  }

  template <class T>
  Blur_Coordinates refract(const brel::Refraction_Parameter<T, brel::Implementation_Cpu>& record,
                           Vector_3<float> direction, int64_t x = 2, int64_t y = 1) const {
    return brel::refract_light_coordinates(x, y, record, depth, normal_view, direction);
  }

  std::vector<float> depths;
  std::vector<Vector_3<float>> normals;
  Layer<float> depth;
  Layer<Vector_3<float>> normal_view;
};

constexpr Vector_3<float> facing{0.0f, 0.0f, 1.0f};
constexpr Vector_3<float> view_ray{0.0f, 0.0f, -1.0f};

Record record(float index, int64_t type = brel::refraction_type_accurate) {
  Record r;
  r.refraction_index = index;
  r.refraction_type = type;
  return r;
}

void expect_record(const Blur_Coordinates& got, float x, float y, float blur) {
  EXPECT_FLOAT_EQ(got.x, x);
  EXPECT_FLOAT_EQ(got.y, y);
  EXPECT_FLOAT_EQ(got.blur, blur);
}

TEST(Refraction_Vector, IndexOneOrAFacingSurfaceLeavesThePointInPlace) {
  // Index 1 bends nothing, even on a tilted normal.
  const Surface tilted(7.0f, {0.6f, 0.0f, 0.8f});
  expect_record(tilted.refract(record(1.0f), view_ray), 2.0f, 1.0f, 7.0f);
  // A surface facing the view ray is met head on, for every type; the sign of eta decides the
  // path's sign.
  const Surface flat(-5.0f, facing);
  for (int64_t type = -1; type <= 4; ++type) {
    expect_record(flat.refract(record(1.5f, type), view_ray), 2.0f, 1.0f, 5.0f);
    expect_record(flat.refract(record(-0.5f, type), view_ray), 2.0f, 1.0f, -5.0f);
  }
}

// v = (0.6, 0, -0.8) through a facing surface with eta 1.5: c = 0.8 and r = (0.3, 0, -1.2).
TEST(Refraction_Vector, TiltedRayLandsByType) {
  const Surface surface(10.0f, facing);
  const Vector_3<float> slanted{0.6f, 0.0f, -0.8f};
  // "accurate": the horizontal run over the drop, 10 × 0.3 / 1.2 to the right.
  expect_record(surface.refract(record(1.5f, 0), slanted), 4.5f, 1.0f, std::sqrt(106.25f));
  // "normalized": r / |r|, then times its own z: 10 × 0.3 × 1.2 / 1.53.
  const float normalized = 3.6f / 1.53f;
  expect_record(surface.refract(record(1.5f, 1), slanted), 2.0f + normalized, 1.0f,
                std::sqrt(100.0f + normalized * normalized));
  // "wicked": times the unnormalised z, 10 × 0.3 × 1.2; negative types behave alike.
  for (const int64_t type : {int64_t{2}, int64_t{-7}}) {
    expect_record(surface.refract(record(1.5f, type), slanted), 5.6f, 1.0f, std::sqrt(112.96f));
  }
  // "whatever": the run without the drop; larger types behave alike.
  for (const int64_t type : {int64_t{3}, int64_t{9}}) {
    expect_record(surface.refract(record(1.5f, type), slanted), 5.0f, 1.0f, std::sqrt(109.0f));
  }
  Record inverted = record(1.5f, 0);
  inverted.invert_refraction = true;
  expect_record(surface.refract(inverted, slanted), -0.5f, 1.0f, std::sqrt(106.25f));
}

// Directions have y upwards, rows run downwards: a ray slanting up lands on an earlier row.
TEST(Refraction_Vector, UpwardRunMovesToEarlierRowsAndScalesWithTheDownsampling) {
  const Vector_3<float> upward{0.0f, 0.6f, -0.8f};
  expect_record(Surface(10.0f, facing).refract(record(1.5f), upward), 2.0f, -1.5f,
                std::sqrt(106.25f));
  expect_record(Surface(10.0f, facing, 0.5f).refract(record(1.5f), upward), 2.0f, -0.25f,
                std::sqrt(101.5625f));
}

TEST(Refraction_Vector, DepthMultiplier) {
  const Surface surface(10.0f, facing);
  const Vector_3<float> slanted{0.6f, 0.0f, -0.8f};
  Record r = record(1.5f);
  r.depth_multiplier = 0.5f;
  expect_record(surface.refract(r, slanted), 3.25f, 1.0f, std::sqrt(26.5625f));
  r.depth_multiplier = 0.0f;
  expect_record(surface.refract(r, slanted), 2.0f, 1.0f, 0.0f);
}

// A ray that leaves the surface towards the viewer carries a negative length; one that runs
// along the plane (r.z = 0) a positive one, whatever its landing point.
TEST(Refraction_Vector, SignOfThePathFollowsTheRefractedZ) {
  const Surface surface(4.0f, facing);
  const Blur_Coordinates back = surface.refract(record(1.0f), {0.0f, 0.0f, 1.0f});
  EXPECT_FLOAT_EQ(back.blur, -4.0f);
  // eta 2 removes the run along the surface and doubles the crossing: r = (0, 0, 0) for
  // v = (0.6, 0, 0) (c = 0), so the offset is 0 and the length is the depth.
  const Blur_Coordinates along = surface.refract(record(2.0f), {0.6f, 0.0f, 0.0f});
  EXPECT_FLOAT_EQ(along.blur, 4.0f);
  // eta 1 with a ray in the plane: r.z = 0 and "accurate" divides a non-zero offset by 0.
  const Blur_Coordinates flat = surface.refract(record(1.0f), {0.6f, 0.0f, 0.0f});
  EXPECT_TRUE(std::isinf(flat.x));
  EXPECT_GT(flat.blur, 0.0f);
}

template <class P>
class Refraction_Texture_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Refraction_Texture_Test, brel::test::Host_Pixel_Types);

// Channels on each type's own scale: 51, 102, 153 of 255 are 0.2, 0.4, 0.6.
template <class P>
void set_scaled(const Host_Layer<P>& layer, int64_t x, int64_t y, float r, float g, float b,
                float a) {
  const float white = brel::test::white_of<P>();
  layer.set(x, y, r * white, g * white, b * white, a * white);
}

TYPED_TEST(Refraction_Texture_Test, LuminanceIsPlacedByOriginAndWhiteOutside) {
  using P = TypeParam;
  Standalone_Render render(1);
  Host_Layer<P> texture(render.context, 2, 2, 10, 20);
  texture.fill(0.0f, 0.0f, 0.0f, brel::test::white_of<P>());
  set_scaled(texture, 1, 0, 0.2f, 0.4f, 0.6f, 1.0f);
  set_scaled(texture, 0, 1, 0.5f, 0.5f, 0.5f, 0.5f);
  // 16-bit channels hold 0.2 only to within 2^-15.
  EXPECT_NEAR(brel::texture_luminance(texture.view, 11, 20), 0.4f, 1e-4f);
  EXPECT_EQ(brel::texture_luminance(texture.view, 10, 20), 0.0f);
  EXPECT_EQ(brel::texture_luminance(texture.view, 10, 21), 1.0f);  // over alpha, unclamped
  for (const auto& [x, y] : std::vector<std::pair<int64_t, int64_t>>{
           {9, 20}, {12, 20}, {10, 19}, {10, 22}, {-5, -5}, {0, 0}}) {
    EXPECT_EQ(brel::texture_luminance(texture.view, x, y), 1.0f) << x << ", " << y;
  }
  EXPECT_EQ(brel::texture_luminance(Layer<P>{}, 3, 3), 1.0f);
  // Alpha 0 inside the texture: the quotient is not finite (no clamp, no substitute).
  set_scaled(texture, 1, 1, 0.2f, 0.2f, 0.2f, 0.0f);
  EXPECT_FALSE(std::isfinite(brel::texture_luminance(texture.view, 11, 21)));
}

// The refraction texture scales the bend, the depth texture the depth, each at the pixel's
// place in the texture. Pure red has luminance 1/3 in every type.
TYPED_TEST(Refraction_Texture_Test, TexturesScaleTheBendAndTheDepth) {
  using P = TypeParam;
  Standalone_Render render(1);
  const Surface surface(10.0f, facing);
  Host_Layer<P> red(render.context, 1, 1, 2, 1);
  set_scaled(red, 0, 0, 1.0f, 0.0f, 0.0f, 1.0f);
  const Vector_3<float> slanted{0.6f, 0.0f, -0.8f};
  brel::Refraction_Parameter<P, brel::Implementation_Cpu> r;
  r.refraction_index = 2.5f;
  r.refraction_texture = red.view;
  // 1 + 1.5 / 3 = 1.5 on the texture pixel.
  expect_record(surface.refract(r, slanted), 4.5f, 1.0f, std::sqrt(106.25f));
  // Beside it the index holds unscaled: eta 2.5 gives r = (-0.3, 0, -2).
  expect_record(surface.refract(r, slanted, 1, 1), -0.5f, 1.0f, std::sqrt(102.25f));

  r = {};
  r.refraction_index = 1.5f;
  r.refraction_depth_texture = red.view;
  // Multiplier exactly 1: the depth texture is not consulted.
  expect_record(surface.refract(r, slanted), 4.5f, 1.0f, std::sqrt(106.25f));
  r.depth_multiplier = 1.5f;  // depth 10 × 1.5 / 3
  expect_record(surface.refract(r, slanted), 3.25f, 1.0f, std::sqrt(26.5625f));
  r.depth_multiplier = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(std::isnan(surface.refract(r, slanted).blur));
}

// The same bits, where a value is a number; any NaN for a NaN, since which operand's NaN an
// operation passes on (and so its sign) depends on how the compiler ordered the operands.
bool same_record(const Blur_Coordinates& a, const Blur_Coordinates& b) {
  const auto same = [](float u, float v) {
    return std::isnan(u) ? std::isnan(v) : std::bit_cast<uint32_t>(u) == std::bit_cast<uint32_t>(v);
  };
  return same(a.x, b.x) && same(a.y, b.y) && same(a.blur, b.blur);
}

// Rows of random surfaces, refracted run by run, against the rule pixel by pixel: the same bits
// for every type, with and without inversion, depth multiplier and textures, at row widths
// around the run length. Values include zero normals and depths, rays along the plane and
// texture pixels of alpha 0, whose records are not finite.
TEST(Refraction_Vector, RowsRunAsThePixelRule) {
  using P = brel::ARGB16;
  Standalone_Render render(1);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const auto pick = [&](std::initializer_list<float> values) {
    return values.begin()[random() % values.size()];
  };
  for (const int64_t width : {int64_t{1}, int64_t{255}, int64_t{256}, int64_t{300}, int64_t{513}}) {
    const int64_t height = 3;
    std::vector<float> depths(static_cast<size_t>(width * height));
    std::vector<Vector_3<float>> normals(depths.size());
    for (size_t i = 0; i < depths.size(); ++i) {
      depths[i] = random() % 9 == 0 ? 0.0f : 50.0f * unit(random);
      normals[i] = random() % 11 == 0 ? Vector_3<float>{0.0f, 0.0f, 0.0f}
                                      : Vector_3<float>{unit(random), unit(random), unit(random)};
    }
    Layer<float> depth;
    depth.width = width;
    depth.height = height;
    depth.scale_x = 0.5f;
    depth.scale_y = 0.25f;
    depth.pixels = depths.data();
    depth.row_bytes = width * 4;
    Layer<Vector_3<float>> normal_view;
    normal_view.width = width;
    normal_view.height = height;
    normal_view.pixels = normals.data();
    normal_view.row_bytes = width * 12;
    Host_Layer<P> texture(render.context, width, 2, 0, 1);
    for (int64_t y = 0; y < 2; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        const float white = brel::test::white_of<P>();
        texture.set(x, y, white * 0.3f, white * (unit(random) + 1.0f) / 2.0f, white,
                    x % 37 == 5 ? 0.0f : white);
      }
    }
    for (int64_t type = -1; type <= 4; ++type) {
      for (int32_t variant = 0; variant < 4; ++variant) {
        brel::Refraction_Parameter<P, brel::Implementation_Cpu> r;
        r.refraction_type = type;
        r.refraction_index = pick({1.0f, 1.33f, 2.0f, -0.5f});
        r.invert_refraction = (variant & 1) != 0;
        if ((variant & 2) != 0) {
          r.depth_multiplier = 0.7f;
          r.refraction_texture = texture.view;
          r.refraction_depth_texture = texture.view;
        }
        const Vector_3<float> direction = pick({0.0f, 1.0f}) == 0.0f
                                              ? Vector_3<float>{0.6f, 0.0f, 0.0f}
                                              : Vector_3<float>{unit(random), unit(random), -0.7f};
        for (int64_t y = 0; y < height; ++y) {
          std::vector<Blur_Coordinates> row(static_cast<size_t>(width));
          const auto rays = [&](int64_t, int64_t n, brel::Refraction_Run& run) {
            std::fill_n(run.ray_x, n, direction.x);
            std::fill_n(run.ray_y, n, direction.y);
            std::fill_n(run.ray_z, n, direction.z);
          };
          brel::refract_row(r, depth, normal_view, y, rays, row.data());
          for (int64_t x = 0; x < width; ++x) {
            const Blur_Coordinates plain =
                brel::refract_light_coordinates(x, y, r, depth, normal_view, direction);
            ASSERT_TRUE(same_record(plain, row[static_cast<size_t>(x)]))
                << "width " << width << " type " << type << " variant " << variant << " at " << x
                << ", " << y;
          }
        }
      }
    }
  }
}

// The rays towards a point light, run by run, against the unit vector taken pixel by pixel.
TEST(Refraction_Vector, PointLightRaysAreTheUnitVectorsTowardsTheLight) {
  std::mt19937 random(3);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  constexpr int64_t n = 200;
  std::vector<float> depth(n);
  for (float& d : depth) {
    d = 20.0f * unit(random);
  }
  // A light on the surface point of pixel 40 leaves that ray zero.
  depth[40] = 5.0f;
  const float light_x = 47.0f;
  const float light_y = 3.0f;
  const float light_z = 5.0f;
  const int64_t x0 = 7;
  const int64_t y = 3;
  brel::Refraction_Run run;
  brel::point_light_rays(light_x, light_y, light_z, 1.0f, 1.0f, depth.data(), x0, y, n, run);
  for (int64_t i = 0; i < n; ++i) {
    float dx = light_x - static_cast<float>(x0 + i);
    float dy = light_y - static_cast<float>(y);
    float dz = light_z - depth[static_cast<size_t>(i)];
    const float q = dx * dx + dy * dy + dz * dz;
    if (q > 0.0f) {
      const float inverse = 1.0f / std::sqrt(q);
      dx *= inverse;
      dy *= inverse;
      dz *= inverse;
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(run.ray_x[i]), std::bit_cast<uint32_t>(-dx)) << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(run.ray_y[i]), std::bit_cast<uint32_t>(dy)) << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(run.ray_z[i]), std::bit_cast<uint32_t>(-dz)) << i;
  }
  EXPECT_EQ(run.ray_x[40], 0.0f);
  EXPECT_EQ(run.ray_z[40], 0.0f);
}

}  // namespace
