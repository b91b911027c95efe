#include "kernel/refraction_vector.h"

#include <bit>
#include <cstdint>

#include "base/exception.h"
#include "util/target_clones.h"

namespace brel {

namespace {

// How the landing offset is taken from the refracted ray's z, with the normalisation of the ray
// that "normalized" adds.
enum class Offset_Rule { divide, normalize_and_multiply, multiply, negate };

// refract_light_coordinates from the point where the ray and the textures are known; every
// branch of the rule is a choice between values computed for every pixel.
template <Offset_Rule rule>
[[gnu::always_inline]] inline void refract_pixels(const Refraction_Run_Settings& settings,
                                                  Refraction_Run& run, const float* depth,
                                                  int32_t x, float y, int64_t n) {
  const double scale_x = static_cast<double>(settings.scale_x);
  const double scale_y = static_cast<double>(settings.scale_y);
  // Negation flips the sign bit only; flipping it by a mask keeps the choice out of the loop.
  const uint32_t invert = settings.invert ? 0x80000000u : 0u;
  for (int64_t i = 0; i < n; ++i) {
    const double eta = 1.0 + static_cast<double>(run.k[i]);
    const Vector_3<float> normal{run.normal_x[i], run.normal_y[i], run.normal_z[i]};
    const float vx = run.ray_x[i];
    const float vy = run.ray_y[i];
    const float vz = run.ray_z[i];
    const double nx = static_cast<double>(normal.x);
    const double ny = static_cast<double>(normal.y);
    const double nz = static_cast<double>(normal.z);
    const double c = static_cast<double>(((-normal.y * vy) - vx * normal.x) - vz * normal.z);
    const double along = 2.0 - eta;
    const double across = eta * c;
    double rx = along * (static_cast<double>(vx) + c * nx) - across * nx;
    double ry = along * (static_cast<double>(vy) + c * ny) - across * ny;
    double rz = along * (static_cast<double>(vz) + c * nz) - across * nz;
    if constexpr (rule == Offset_Rule::normalize_and_multiply) {
      const double q = rx * rx + ry * ry + rz * rz;
      const double length = std::sqrt(q);
      const bool scaled = q > 0.0;
      rx = scaled ? rx / length : rx;
      ry = scaled ? ry / length : ry;
      rz = scaled ? rz / length : rz;
    }
    const double d = static_cast<double>(depth[i]) * run.depth_factor[i];
    float ox = static_cast<float>(scale_x * (d * -rx));
    float oy = static_cast<float>(scale_y * (d * ry));
    const float z = static_cast<float>(rz);
    float moved_x;
    float moved_y;
    if constexpr (rule == Offset_Rule::divide) {
      moved_x = ox / z;
      moved_y = oy / z;
    } else if constexpr (rule == Offset_Rule::negate) {
      moved_x = -ox;
      moved_y = -oy;
    } else {
      moved_x = ox * z;
      moved_y = oy * z;
    }
    ox = ox != 0.0f ? moved_x : ox;
    oy = oy != 0.0f ? moved_y : oy;
    ox = std::bit_cast<float>(std::bit_cast<uint32_t>(ox) ^ invert);
    oy = std::bit_cast<float>(std::bit_cast<uint32_t>(oy) ^ invert);
    const float df = static_cast<float>(d);
    const float length = std::sqrt(df * df + (ox * ox + oy * oy));
    run.out_x[i] = static_cast<float>(x + static_cast<int32_t>(i)) + ox;
    run.out_y[i] = y + oy;
    // Chosen in double, where the test is: the same float either way.
    const double path = static_cast<double>(length);
    run.out_blur[i] = static_cast<float>(rz > 0.0 ? -path : path);
  }
}

}  // namespace

BREL_TARGET_CLONES_AVX2 void refract_run(const Refraction_Run_Settings& settings,
                                         Refraction_Run& run, const Vector_3<float>* normals,
                                         const float* depth, int64_t x, int64_t y, int64_t n,
                                         Blur_Coordinates* out) {
  BREL_ASSERT(n <= refraction_run_pixels && x >= 0 && y >= 0 && x + n <= INT32_MAX &&
              y <= INT32_MAX);
  // Columns and the row go to float through 32-bit integers, which vector code converts; the
  // values are the same.
  const int32_t column = static_cast<int32_t>(x);
  const float row = static_cast<float>(static_cast<int32_t>(y));
  // Vector code loads and stores groups of three poorly: the normals and the records pass
  // through the run's arrays.
  for (int64_t i = 0; i < n; ++i) {
    run.normal_x[i] = normals[i].x;
    run.normal_y[i] = normals[i].y;
    run.normal_z[i] = normals[i].z;
  }
  const int64_t type = settings.type;
  if (type == refraction_type_accurate) {
    refract_pixels<Offset_Rule::divide>(settings, run, depth, column, row, n);
  } else if (type == refraction_type_normalized) {
    refract_pixels<Offset_Rule::normalize_and_multiply>(settings, run, depth, column, row, n);
  } else if (type < 0 || type == refraction_type_wicked) {
    refract_pixels<Offset_Rule::multiply>(settings, run, depth, column, row, n);
  } else {
    refract_pixels<Offset_Rule::negate>(settings, run, depth, column, row, n);
  }
  for (int64_t i = 0; i < n; ++i) {
    out[i] = {run.out_x[i], run.out_y[i], run.out_blur[i]};
  }
}

BREL_TARGET_CLONES_AVX2 void point_light_rays(float light_x, float light_y, float light_z,
                                              float scale_x, float scale_y, const float* depth,
                                              int64_t x, int64_t y, int64_t n,
                                              Refraction_Run& run) {
  BREL_ASSERT(n <= refraction_run_pixels && x >= 0 && y >= 0 && x + n <= INT32_MAX &&
              y <= INT32_MAX);
  const int32_t column = static_cast<int32_t>(x);
  const float dy = (light_y - static_cast<float>(static_cast<int32_t>(y))) / scale_y;
  for (int64_t i = 0; i < n; ++i) {
    const float dx = (light_x - static_cast<float>(column + static_cast<int32_t>(i))) / scale_x;
    const float dz = light_z - depth[i];
    const float q = dx * dx + dy * dy + dz * dz;
    const float inverse = 1.0f / std::sqrt(q);
    // A light at the surface point leaves the zero vector as it is.
    const bool scaled = q > 0.0f;
    run.ray_x[i] = -(scaled ? dx * inverse : dx);
    run.ray_y[i] = scaled ? dy * inverse : dy;
    run.ray_z[i] = -(scaled ? dz * inverse : dz);
  }
}

}  // namespace brel
