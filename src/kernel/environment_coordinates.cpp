#include "kernel/environment_coordinates.h"

#include <algorithm>
#include <cmath>

#include "kernel/final_routine_parameters.h"
#include "kernel/light_shading.h"

namespace brel {

namespace {

struct Vector_d {
  double x;
  double y;
  double z;
};

double dot(const Vector_d& a, const Vector_d& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// v / |v|, or v itself when its length is 0.
Vector_d normalised_or_kept(const Vector_d& v) {
  const double length = std::sqrt(dot(v, v));
  return length != 0.0 ? Vector_d{v.x / length, v.y / length, v.z / length} : v;
}

// The panoramic mapping: the mirrored view ray from the pixel's point (x, y, d) meets a sphere
// around the image; the direction from the sphere's middle to that point, taken as longitude
// (two half-turns side by side) and height, is the position in the environment.
void panoramic(int64_t x, int64_t y, float d, const Vector_3<float>& normal, float perspective,
               float depth_scale, int64_t width, int64_t height, float g, double& u, double& v) {
  const Vector_3<float> view = view_direction(perspective, x, y, width, height);
  const Vector_d V{view.x, view.y, view.z};
  const Vector_d N{normal.x, normal.y, normal.z};
  const double vn = 2.0 * dot(V, N);
  Vector_d R{V.x - vn * N.x, V.y - vn * N.y, V.z - vn * N.z};
  if (g < 1.0f) {
    const double dull = (1.0 - g) * (1.0 - g);
    R = {R.x + dull * (N.x - R.x), R.y + dull * (N.y - R.y), R.z + dull * (N.z - R.z)};
  }
  R = normalised_or_kept(R);
  const double half_depth = static_cast<double>(depth_scale) / 2.0;
  const Vector_d M{static_cast<double>(width) / 2.0, static_cast<double>(height) / 2.0, half_depth};
  const Vector_d P{static_cast<double>(x), static_cast<double>(y), d};
  const Vector_d from_middle{P.x - M.x, P.y - M.y, P.z - M.z};
  const double q = dot(from_middle, from_middle);
  const Vector_d outwards = normalised_or_kept(from_middle);
  const double k = dot(R, outwards);
  const double t = ((k > 0.0 ? q : -q) + half_depth) / k;
  const Vector_d Q{P.x + t * R.x, P.y + t * R.y, P.z + t * R.z};
  const Vector_d D = normalised_or_kept({M.x - Q.x, M.y - Q.y, M.z - Q.z});
  double a = D.x;
  double b = D.z;
  const double flat = std::sqrt(a * a + b * b);
  if (flat != 0.0) {
    a /= flat;
    b /= flat;
  }
  u = a > 0.0 ? (b + 1.0) / 4.0 : 1.0 - (b + 1.0) / 4.0;
  v = (1.0 + D.y) / 2.0;
}

// 0 to 1; a value that is not a number becomes 1.
double unit_or_one(double value) {
  if (value >= 0.0) {
    return value <= 1.0 ? value : 1.0;
  }
  return value < 0.0 ? 0.0 : 1.0;
}

}  // namespace

template <class T>
void environment_lookup_coordinates(int64_t x, int64_t y, float& u, float& v,
                                    const Environment_Parameter<T>& environment,
                                    const Layer<float>& depth,
                                    const Layer<Vector_3<float>>& normals, float g) {
  const Vector_3<float> normal = normals.row(y)[x];
  double lu = 0.0;
  double lv = 0.0;
  if (environment.environment_type == 1) {
    lu = (1.0f + normal.x) / 2.0f;
    lv = (1.0f - normal.y) / 2.0f;
  } else {
    panoramic(x, y, depth.row(y)[x], normal, environment.perspective, environment.depth_scale,
              depth.width, depth.height, g, lu, lv);
  }
  const Layer<T>& map = environment.environment_texture;
  u = static_cast<float>(unit_or_one(lu) * static_cast<double>(map.width - 1));
  v = static_cast<float>(unit_or_one(lv) * static_cast<double>(map.height - 1));
}

template <class T>
void init_reflection_coordinates_row(int64_t width, Blur_Coordinates* row, int64_t y,
                                     const Environment_Parameter<T>& environment,
                                     const Layer<float>& depth,
                                     const Layer<Vector_3<float>>& normals) {
  for (int64_t x = 0; x < std::min(width, depth.width); ++x) {
    const Shading_Color gloss = texture_at(environment.glossiness_texture, x, y, shading_white);
    const float g0 = std::max(0.0f, environment.glossiness * texture_mean(gloss));
    Blur_Coordinates& point = row[x];
    environment_lookup_coordinates(x, y, point.x, point.y, environment, depth, normals,
                                   std::min(g0, 1.0f));
    // A fully glossy surface reflects sharply.
    point.blur = g0 < 1.0f ? (1.0f - g0) * 0.5f : 0.0f;
  }
}

template <class T>
void init_illumination_coordinates_row(int64_t width, Blur_Coordinates* row, int64_t y,
                                       const Environment_Parameter<T>& environment,
                                       const Layer<float>& depth,
                                       const Layer<Vector_3<float>>& normals) {
  const float blur = environment.blur_illumination * 0.5f;
  for (int64_t x = 0; x < std::min(width, depth.width); ++x) {
    Blur_Coordinates& point = row[x];
    environment_lookup_coordinates(x, y, point.x, point.y, environment, depth, normals, 0.0f);
    point.blur = blur;
  }
}

template void environment_lookup_coordinates<ARGB8>(int64_t, int64_t, float&, float&,
                                                    const Environment_Parameter<ARGB8>&,
                                                    const Layer<float>&,
                                                    const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<ARGB8>(int64_t, Blur_Coordinates*, int64_t,
                                                     const Environment_Parameter<ARGB8>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<ARGB8>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<ARGB8>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<ARGB16>(int64_t, int64_t, float&, float&,
                                                     const Environment_Parameter<ARGB16>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<ARGB16>(int64_t, Blur_Coordinates*, int64_t,
                                                      const Environment_Parameter<ARGB16>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<ARGB16>(int64_t, Blur_Coordinates*, int64_t,
                                                        const Environment_Parameter<ARGB16>&,
                                                        const Layer<float>&,
                                                        const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<ARGB32f>(int64_t, int64_t, float&, float&,
                                                      const Environment_Parameter<ARGB32f>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<ARGB32f>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<ARGB32f>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<ARGB32f>(int64_t, Blur_Coordinates*, int64_t,
                                                         const Environment_Parameter<ARGB32f>&,
                                                         const Layer<float>&,
                                                         const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<BGRA8>(int64_t, int64_t, float&, float&,
                                                    const Environment_Parameter<BGRA8>&,
                                                    const Layer<float>&,
                                                    const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<BGRA8>(int64_t, Blur_Coordinates*, int64_t,
                                                     const Environment_Parameter<BGRA8>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<BGRA8>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<BGRA8>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<BGRA16>(int64_t, int64_t, float&, float&,
                                                     const Environment_Parameter<BGRA16>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<BGRA16>(int64_t, Blur_Coordinates*, int64_t,
                                                      const Environment_Parameter<BGRA16>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<BGRA16>(int64_t, Blur_Coordinates*, int64_t,
                                                        const Environment_Parameter<BGRA16>&,
                                                        const Layer<float>&,
                                                        const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<BGRA32f>(int64_t, int64_t, float&, float&,
                                                      const Environment_Parameter<BGRA32f>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<BGRA32f>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<BGRA32f>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<BGRA32f>(int64_t, Blur_Coordinates*, int64_t,
                                                         const Environment_Parameter<BGRA32f>&,
                                                         const Layer<float>&,
                                                         const Layer<Vector_3<float>>&);

}  // namespace brel
