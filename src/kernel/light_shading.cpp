#include "kernel/light_shading.h"

#include <algorithm>
#include <cmath>

#include "kernel/power_lanes.h"
#include "kernel/shading_lanes.h"
#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

namespace {

using Vector = Vector_3<float>;

float dot(const Vector& a, const Vector& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vector normalised(const Vector& v) {
  const float length = std::sqrt(dot(v, v));
  return {v.x / length, v.y / length, v.z / length};
}

// sum += a × color × b, channel by channel, multiplied in that order.
void add_product(Rgb_Value& sum, float a, const Rgb_Value& color, float b) {
  sum.red += a * color.red * b;
  sum.green += a * color.green * b;
  sum.blue += a * color.blue * b;
}

float unit_clamped(float v) {
  return std::clamp(v, 0.0f, 1.0f);
}

// std::pow(base, exponent), without the call where its result is known exactly: x^1 is x (for
// every x but NaN, whose bits the library may change) and 1^y is 1.
float power_of(float base, float exponent) {
  if (exponent == 1.0f && !std::isnan(base)) {
    return base;
  }
  if (base == 1.0f) {
    return 1.0f;
  }
  return std::pow(base, exponent);
}

}  // namespace

float shading_power(float base, float exponent) {
  // +0 to a positive power is +0. The highlight's base is +0 wherever the mirrored ray misses
  // the light by more than the sharpness, over most of a frame, so most calls end here.
  if (base == 0.0f && exponent > 0.0f && !std::signbit(base)) {
    return 0.0f;
  }
  const float power = power_of(base, exponent);
  return base < 0.0f && std::isnan(power) ? 0.0f : power;
}

Vector_3<float> view_direction(float perspective, int64_t x, int64_t y, int64_t width,
                               int64_t height) {
  if (perspective == 0.0f) {
    return {0.0f, 0.0f, -1.0f};
  }
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  const float spread = 2.0f * perspective;
  const Vector v{spread * ((static_cast<float>(x) + 0.5f) / w - 0.5f),
                 spread * (h / w) * (0.5f - (static_cast<float>(y) + 0.5f) / h), -1.0f};
  return normalised(v);
}

namespace {

// The view ray mirrored at the normal, made when a light's highlight first needs it and kept for
// the other light of the same sample, which has the same normal, view ray and glossiness.
struct Mirrored_Ray {
  bool made = false;
  Vector R;

  const Vector& of(const Vector& N, const Vector& V, float g) {
    if (!made) {
      const float vn = 2.0f * dot(V, N);
      R = {V.x - vn * N.x, V.y - vn * N.y, V.z - vn * N.z};
      if (g < 1.0f) {
        // A dull surface bends the mirrored ray towards the normal.
        const float dull = (1.0f - g) * (1.0f - g);
        R = normalised(
            {R.x + dull * (N.x - R.x), R.y + dull * (N.y - R.y), R.z + dull * (N.z - R.z)});
      }
      made = true;
    }
    return R;
  }
};

// shade_light, its mirrored ray taken from `ray`.
void shade_light_along(const Vector& N, const Vector& L, const Vector& V, Rgb_Value& diffuse,
                       Rgb_Value& specular, float s, const Rgb_Value& col, float t, float g,
                       float m, float tau, float u, const Rgb_Value& K, Mirrored_Ray& ray) {
  float d = -dot(N, L);
  const float w1 = 0.5f * s + 1.0f;
  if (s > 0.0f && d > 0.0f) {
    d = 1.0f - shading_power(1.0f - d, w1);
  }
  Rgb_Value tinted = col;
  if (tau != 0.0f) {
    const float w = unit_clamped(tau);
    const float q = 2.0f * (s + 1.0f) * tau;
    const float a = (1.0f - u) * (1.0f - u);
    const float b = (1.0f - a) + (tau > 1.0f ? tau - 1.0f : 0.0f);
    tinted = {col.red * ((1.0f - w) + w * (b * K.red + a)),
              col.green * ((1.0f - w) + w * (b * K.green + a)),
              col.blue * ((1.0f - w) + w * (b * K.blue + a))};
    const float through = (q + d) * a * w * std::min(1.0f, 1.0f - d) / (q + 1.0f);
    const float through_squared = through * through;
    diffuse.red += K.red * through_squared * tinted.red;
    diffuse.green += K.green * through_squared * tinted.green;
    diffuse.blue += K.blue * through_squared * tinted.blue;
    d = std::max(0.0f, d);
  } else if (d <= 0.0f) {
    return;  // a light behind an opaque surface adds nothing, not even a highlight
  }
  add_product(diffuse, d, tinted, 1.0f - t);
  if (g == 0.0f) {
    return;
  }
  float h = -dot(L, ray.of(N, V, g));
  if (s > 0.0f) {
    h = 1.0f - shading_power(1.0f - h, w1);
  }
  const float sharpness = std::clamp(g, 0.04f, 0.99f);
  const float highlight = unit_clamped(shading_power(
      unit_clamped(std::max(0.0f, h) - sharpness) / (1.0f - sharpness), 20.0f * sharpness));
  const float strength = g + (m > 1.0f ? m - 1.0f : 0.0f);
  const float e = strength * strength * highlight;
  specular.red += tinted.red * e * (1.0f - t);
  specular.green += tinted.green * e * (1.0f - t);
  specular.blue += tinted.blue * e * (1.0f - t);
}

}  // namespace

void shade_light(const Vector_3<float>& N, const Vector_3<float>& L, const Vector_3<float>& V,
                 Rgb_Value& diffuse, Rgb_Value& specular, float s, const Rgb_Value& col, float t,
                 float g, float m, float tau, float u, const Rgb_Value& K) {
  Mirrored_Ray ray;
  shade_light_along(N, L, V, diffuse, specular, s, col, t, g, m, tau, u, K, ray);
}

Point_Light_Sample point_light_sample(const Point_Light& light, float qx, float qy, float d,
                                      float scale_x, float scale_y, float depth_scale) {
  Point_Light_Sample sample;
  const Vector to_point{(qx - light.position_x) / scale_x, (light.position_y - qy) / scale_y,
                        d - light.position_z};
  const float distance = std::sqrt(dot(to_point, to_point));
  sample.direction = distance == 0.0f ? Vector{0.0f, 0.0f, 1.0f}
                                      : Vector{to_point.x / distance, to_point.y / distance,
                                               to_point.z / distance};
  float intensity = light.intensity;
  if (light.falloff == 0.0f) {
    sample.color = {intensity * light.color.red, intensity * light.color.green,
                    intensity * light.color.blue};
    return sample;
  }
  if (depth_scale != 0.0f) {
    // Behind the light's reach (a negative depth scale) or beyond what a float can weaken, the
    // light does not arrive at all; it never grows infinite or NaN.
    const float base = distance / depth_scale + 1.0f;
    const float power = base > 0.0f ? power_of(base, light.falloff) : 0.0f;
    intensity = power != 0.0f ? intensity / power : 0.0f;
  }
  const float a = unit_clamped(intensity);
  const float k = (1.0f - a) * (1.0f - a);
  const Rgb_Value& c = light.color;
  const Rgb_Value& tint = light.attenuation_color;
  sample.color = {intensity * c.red * ((1.0f - k) + k * tint.red),
                  intensity * c.green * ((1.0f - k) + k * tint.green),
                  intensity * c.blue * ((1.0f - k) + k * tint.blue)};
  return sample;
}

int64_t light_samples_per_side(int32_t oversampling, float bend) {
  if (oversampling < 2) {
    return 1;
  }
  const float level = static_cast<float>(oversampling - 1) * 0.24666667f + bend + 0.25f;
  // Truncated towards zero and limited to 2; a bend that is not a number takes one sample.
  const int64_t n = level >= 2.0f ? 2 : (level >= 1.0f ? 1 : 0);
  return 2 * n + 1;
}

namespace {

// What one pixel's samples share: the textures, the shadows and the view ray.
struct Pixel_Light_Inputs {
  Vector view;
  float glossiness;
  float translucency;
  Rgb_Value translucency_color;
  float directional_shadow;
  float directional_translucency_shadow;
  float point_shadow;
  float point_translucency_shadow;
};

template <class T>
Pixel_Light_Inputs pixel_light_inputs(int64_t x, int64_t y,
                                      const Final_Routine_Parameters_In<T>& in) {
  Pixel_Light_Inputs p;
  p.view = view_direction(in.perspective, x, y, in.depth.width, in.depth.height);
  // No glossiness makes no highlight whatever the texture: a colour over zero alpha has an
  // infinite mean, which times 0 is not a number.
  p.glossiness =
      in.glossiness == 0.0f
          ? 0.0f
          : in.glossiness * texture_mean(texture_at(in.glossiness_texture, x, y, shading_white));
  p.translucency =
      in.translucency *
      unit_clamped(texture_mean(texture_at(in.translucency_texture, x, y, shading_white)));
  const Shading_Color k = texture_at(in.translucency_color_texture, x, y, shading_white);
  p.translucency_color = {in.translucency_color.red * k.r, in.translucency_color.green * k.g,
                          in.translucency_color.blue * k.b};
  p.directional_shadow = float_at(in.directional_shadow, x, y, 0.0f);
  p.directional_translucency_shadow = float_at(in.directional_translucency_shadow, x, y, 0.0f);
  p.point_shadow = float_at(in.point_shadow, x, y, 0.0f);
  p.point_translucency_shadow = float_at(in.point_translucency_shadow, x, y, 0.0f);
  return p;
}

// Both lights at one sample position (qx, qy) with its depth and normal.
template <class T>
void shade_sample(float qx, float qy, float depth, const Vector& normal,
                  const Pixel_Light_Inputs& p, const Final_Routine_Parameters_In<T>& in,
                  Rgb_Value& diffuse, Rgb_Value& specular) {
  Mirrored_Ray ray;
  if (in.direct_light.intensity != 0.0f) {
    shade_light_along(normal, in.direct_light.direction, p.view, diffuse, specular,
                      in.direct_light.size, in.direct_light.color, p.directional_shadow,
                      p.glossiness, in.specular_tint, p.translucency,
                      p.directional_translucency_shadow, p.translucency_color, ray);
  }
  if (in.point_light.intensity != 0.0f) {
    const Point_Light_Sample light = point_light_sample(
        in.point_light, qx, qy, depth, in.source.scale_x, in.source.scale_y, in.depth_scale);
    shade_light_along(normal, light.direction, p.view, diffuse, specular, in.point_light.size,
                      light.color, p.point_shadow, p.glossiness, in.specular_tint, p.translucency,
                      p.point_translucency_shadow, p.translucency_color, ray);
  }
}

float bend_between(const Vector& a, const Vector& b) {
  return 1.0f - std::max(0.0f, dot(a, b));
}

// A pixel's 3 × 3 neighbourhood of depths and normals, [row][column], rows and columns clamped
// into the input, and the bend of its normals, which sets how many samples the pixel takes.
struct Neighbourhood {
  float D[3][3];
  Vector N[3][3];
  float bend;
};

template <class T>
Neighbourhood neighbourhood_of(int64_t x, int64_t y, const Final_Routine_Parameters_In<T>& in) {
  const int64_t last_x = in.source.width - 1;
  const int64_t last_y = in.source.height - 1;
  Neighbourhood around;
  auto& D = around.D;
  auto& N = around.N;
  for (int64_t j = 0; j < 3; ++j) {
    const int64_t row = std::clamp<int64_t>(y + j - 1, 0, last_y);
    const float* depth = in.depth.row(row);
    const Vector* normals = in.normals.row(row);
    for (int64_t i = 0; i < 3; ++i) {
      const int64_t column = std::clamp<int64_t>(x + i - 1, 0, last_x);
      D[j][i] = depth[column];
      N[j][i] = normals[column];
    }
  }
  around.bend = bend_between(N[2][2], N[0][0]) + bend_between(N[2][0], N[0][2]) +
                bend_between(N[1][1], N[1][2]) + bend_between(N[1][1], N[0][1]) +
                bend_between(N[1][1], N[1][0]) + bend_between(N[1][1], N[2][1]);
  return around;
}

// The adaptive supersampling: samples on a grid inside the pixel, each with the depth and
// normal blended from the neighbours on its side unless a depth step lies between them.
template <class T>
void shade_supersampled(int64_t x, int64_t y, const Pixel_Light_Inputs& p,
                        const Final_Routine_Parameters_In<T>& in, Rgb_Value& diffuse,
                        Rgb_Value& specular) {
  const Neighbourhood around = neighbourhood_of(x, y, in);
  const auto& D = around.D;
  const auto& N = around.N;
  const int64_t side = light_samples_per_side(in.oversampling, around.bend);
  const int64_t n = side / 2;
  const float step = 1.0f / static_cast<float>(side);
  const float threshold = in.discontinuity_threshold;
  float weights = 0.0f;
  for (int64_t j = -n; j <= n; ++j) {
    const float sy = static_cast<float>(j) * step;
    for (int64_t i = -n; i <= n; ++i) {
      const float sx = static_cast<float>(i) * step;
      float depth = D[1][1];
      Vector normal = N[1][1];
      float weight = 1.0f;
      if (i != 0 || j != 0) {
        const int64_t h = sx > 0.0f ? 2 : (sx < 0.0f ? 0 : 1);
        const int64_t v = sy > 0.0f ? 2 : (sy < 0.0f ? 0 : 1);
        // Ph beside the centre, Pv above or below it, Pd beside Pv.
        if (std::fabs(D[1][h] - D[1][1]) < threshold && std::fabs(D[v][h] - D[v][1]) < threshold) {
          const float ax = std::fabs(sx);
          const float ay = std::fabs(sy);
          const auto blend = [&](float c, float ph, float pv, float pd) {
            return (1.0f - ay) * ((1.0f - ax) * c + ax * ph) + ay * ((1.0f - ax) * pv + ax * pd);
          };
          depth = blend(D[1][1], D[1][h], D[v][1], D[v][h]);
          const Vector mixed{blend(N[1][1].x, N[1][h].x, N[v][1].x, N[v][h].x),
                             blend(N[1][1].y, N[1][h].y, N[v][1].y, N[v][h].y),
                             blend(N[1][1].z, N[1][h].z, N[v][1].z, N[v][h].z)};
          // Opposite normals cancel; such a sample keeps the centre's normal.
          if (dot(mixed, mixed) > 0.0f) {
            normal = normalised(mixed);
          }
        }
        weight = sx * sx + sy * sy;
      }
      Rgb_Value sample_diffuse{0.0f, 0.0f, 0.0f};
      Rgb_Value sample_specular{0.0f, 0.0f, 0.0f};
      shade_sample(static_cast<float>(x) + sx, static_cast<float>(y) + sy, depth, normal, p, in,
                   sample_diffuse, sample_specular);
      add_product(diffuse, weight, sample_diffuse, 1.0f);
      add_product(specular, weight, sample_specular, 1.0f);
      weights += weight;
    }
  }
  diffuse = {diffuse.red / weights, diffuse.green / weights, diffuse.blue / weights};
  specular = {specular.red / weights, specular.green / weights, specular.blue / weights};
}

void gamma_corrected(Rgb_Value& c, float exponent) {
  c = {shading_power(c.red, exponent), shading_power(c.green, exponent),
       shading_power(c.blue, exponent)};
}

}  // namespace

template <class T>
void shade_lights_pixel(int64_t x, int64_t y, Rgb_Value& diffuse, Rgb_Value& specular,
                        const Final_Routine_Parameters_In<T>& in) {
  const Pixel_Light_Inputs p = pixel_light_inputs(x, y, in);
  if (in.oversampling < 2) {
    shade_sample(static_cast<float>(x), static_cast<float>(y), in.depth.row(y)[x],
                 in.normals.row(y)[x], p, in, diffuse, specular);
  } else {
    shade_supersampled(x, y, p, in, diffuse, specular);
  }
  if (in.gamma != 1.0f) {
    const float exponent = 1.0f / in.gamma;
    gamma_corrected(diffuse, exponent);
    gamma_corrected(specular, exponent);
  }
}

namespace {

#if BREL_AVX2_ROWS

using shading_lanes::clamp8;
using shading_lanes::per_lane;
using shading_lanes::Rgb_8;
using shading_lanes::shading_power8;

struct Vector_8 {
  __m256 x, y, z;
};

__attribute__((target("avx2"))) inline __m256 dot8(const Vector_8& a, const Vector_8& b) {
  return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(a.x, b.x), _mm256_mul_ps(a.y, b.y)),
                       _mm256_mul_ps(a.z, b.z));
}

// shading_powers eight at a time; returns how many it took.
__attribute__((target("avx2"))) int64_t shading_powers_avx2(const float* base,
                                                            const float* exponent, float* power,
                                                            int64_t count) {
  const __m256 every = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    _mm256_storeu_ps(
        power + i, shading_power8(_mm256_loadu_ps(base + i), _mm256_loadu_ps(exponent + i), every));
  }
  return i;
}

// sum += a × c × unshadowed in the lanes of `mask`; the others keep their sums.
__attribute__((target("avx2"))) inline void add_lit(__m256& sum, __m256 a, __m256 c,
                                                    __m256 unshadowed, __m256 mask) {
  sum = _mm256_blendv_ps(sum, _mm256_add_ps(sum, _mm256_mul_ps(_mm256_mul_ps(a, c), unshadowed)),
                         mask);
}

// shade_light_along for eight pixels: each lane runs the same operations in the same order, the
// rule's branches taken by selection, and a lane the rule leaves early keeps its sums. `ray`
// holds the mirrored view rays once `ray_made`.
__attribute__((target("avx2"))) void shade_light8(const Vector_8& N, const Vector_8& L,
                                                  const Vector_8& V, Rgb_8& diffuse,
                                                  Rgb_8& specular, float s, const Rgb_8& col,
                                                  __m256 t, __m256 g, float m, __m256 tau, __m256 u,
                                                  const Rgb_8& K, Vector_8& ray, bool& ray_made) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 minus_zero = _mm256_set1_ps(-0.0f);
  const float w1 = 0.5f * s + 1.0f;
  __m256 d = _mm256_xor_ps(dot8(N, L), minus_zero);
  if (s > 0.0f) {
    const __m256 rest = shading_power8(_mm256_sub_ps(one, d), _mm256_set1_ps(w1),
                                       _mm256_cmp_ps(d, zero, _CMP_GT_OQ));
    d = _mm256_blendv_ps(d, _mm256_sub_ps(one, rest), _mm256_cmp_ps(d, zero, _CMP_GT_OQ));
  }
  // Translucent lanes (tau != 0, a NaN too) add the light passing through and go on; the others
  // are lit where d is not at most 0 (a NaN goes on, as in the rule).
  const __m256 translucent = _mm256_cmp_ps(tau, zero, _CMP_NEQ_UQ);
  const __m256 lit = _mm256_or_ps(translucent, _mm256_cmp_ps(d, zero, _CMP_NLE_UQ));
  if (_mm256_movemask_ps(lit) == 0) {
    return;
  }
  Rgb_8 tinted = col;
  if (_mm256_movemask_ps(translucent) != 0) {
    const __m256 w = clamp8(tau, zero, one);
    const __m256 q = _mm256_mul_ps(_mm256_set1_ps(2.0f * (s + 1.0f)), tau);
    const __m256 a = _mm256_mul_ps(_mm256_sub_ps(one, u), _mm256_sub_ps(one, u));
    const __m256 beyond =
        _mm256_and_ps(_mm256_sub_ps(tau, one), _mm256_cmp_ps(tau, one, _CMP_GT_OQ));
    const __m256 b = _mm256_add_ps(_mm256_sub_ps(one, a), beyond);
    const __m256 keep = _mm256_sub_ps(one, w);
    const Rgb_8 through_color{
        _mm256_mul_ps(
            col.red,
            _mm256_add_ps(keep, _mm256_mul_ps(w, _mm256_add_ps(_mm256_mul_ps(b, K.red), a)))),
        _mm256_mul_ps(
            col.green,
            _mm256_add_ps(keep, _mm256_mul_ps(w, _mm256_add_ps(_mm256_mul_ps(b, K.green), a)))),
        _mm256_mul_ps(
            col.blue,
            _mm256_add_ps(keep, _mm256_mul_ps(w, _mm256_add_ps(_mm256_mul_ps(b, K.blue), a))))};
    // std::min(1, 1 - d) is 1 - d where that is below 1, else 1 (a NaN too): min_ps(1 - d, 1).
    const __m256 through =
        _mm256_div_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_add_ps(q, d), a), w),
                                    _mm256_min_ps(_mm256_sub_ps(one, d), one)),
                      _mm256_add_ps(q, one));
    const __m256 through_squared = _mm256_mul_ps(through, through);
    add_lit(diffuse.red, K.red, through_squared, through_color.red, translucent);
    add_lit(diffuse.green, K.green, through_squared, through_color.green, translucent);
    add_lit(diffuse.blue, K.blue, through_squared, through_color.blue, translucent);
    d = _mm256_blendv_ps(d, _mm256_max_ps(d, zero), translucent);
    tinted = {_mm256_blendv_ps(col.red, through_color.red, translucent),
              _mm256_blendv_ps(col.green, through_color.green, translucent),
              _mm256_blendv_ps(col.blue, through_color.blue, translucent)};
  }
  const __m256 unshadowed = _mm256_sub_ps(one, t);
  add_lit(diffuse.red, d, tinted.red, unshadowed, lit);
  add_lit(diffuse.green, d, tinted.green, unshadowed, lit);
  add_lit(diffuse.blue, d, tinted.blue, unshadowed, lit);
  const __m256 glossy = _mm256_and_ps(lit, _mm256_cmp_ps(g, zero, _CMP_NEQ_UQ));
  if (_mm256_movemask_ps(glossy) == 0) {
    return;
  }
  if (!ray_made) {
    const __m256 vn = _mm256_mul_ps(_mm256_set1_ps(2.0f), dot8(V, N));
    Vector_8 R{_mm256_sub_ps(V.x, _mm256_mul_ps(vn, N.x)),
               _mm256_sub_ps(V.y, _mm256_mul_ps(vn, N.y)),
               _mm256_sub_ps(V.z, _mm256_mul_ps(vn, N.z))};
    const __m256 rest = _mm256_sub_ps(one, g);
    const __m256 dull = _mm256_mul_ps(rest, rest);
    const Vector_8 bent{_mm256_add_ps(R.x, _mm256_mul_ps(dull, _mm256_sub_ps(N.x, R.x))),
                        _mm256_add_ps(R.y, _mm256_mul_ps(dull, _mm256_sub_ps(N.y, R.y))),
                        _mm256_add_ps(R.z, _mm256_mul_ps(dull, _mm256_sub_ps(N.z, R.z)))};
    const __m256 length = _mm256_sqrt_ps(dot8(bent, bent));
    const __m256 dulled = _mm256_cmp_ps(g, one, _CMP_LT_OQ);
    ray = {_mm256_blendv_ps(R.x, _mm256_div_ps(bent.x, length), dulled),
           _mm256_blendv_ps(R.y, _mm256_div_ps(bent.y, length), dulled),
           _mm256_blendv_ps(R.z, _mm256_div_ps(bent.z, length), dulled)};
    ray_made = true;
  }
  __m256 h = _mm256_xor_ps(dot8(L, ray), minus_zero);
  if (s > 0.0f) {
    const __m256 rest = shading_power8(_mm256_sub_ps(one, h), _mm256_set1_ps(w1), glossy);
    h = _mm256_sub_ps(one, rest);
  }
  const __m256 sharpness = clamp8(g, _mm256_set1_ps(0.04f), _mm256_set1_ps(0.99f));
  // std::max(0, h) is h where h > 0, else 0 (a NaN too): so is max_ps(h, 0).
  const __m256 above = clamp8(_mm256_sub_ps(_mm256_max_ps(h, zero), sharpness), zero, one);
  const __m256 power = shading_power8(_mm256_div_ps(above, _mm256_sub_ps(one, sharpness)),
                                      _mm256_mul_ps(_mm256_set1_ps(20.0f), sharpness), glossy);
  const __m256 highlight = clamp8(power, zero, one);
  const __m256 strength = _mm256_add_ps(g, _mm256_set1_ps(m > 1.0f ? m - 1.0f : 0.0f));
  const __m256 e = _mm256_mul_ps(_mm256_mul_ps(strength, strength), highlight);
  add_lit(specular.red, tinted.red, e, unshadowed, glossy);
  add_lit(specular.green, tinted.green, e, unshadowed, glossy);
  add_lit(specular.blue, tinted.blue, e, unshadowed, glossy);
}

// intensity × channel × ((1 - k) + k × tint), (1 - k) given as `keep`.
__attribute__((target("avx2"))) inline __m256 weakened(__m256 intensity, float channel, __m256 keep,
                                                       __m256 k, float tint) {
  return _mm256_mul_ps(_mm256_mul_ps(intensity, _mm256_set1_ps(channel)),
                       _mm256_add_ps(keep, _mm256_mul_ps(k, _mm256_set1_ps(tint))));
}

// point_light_sample for eight sample positions (qx, qy), one a lane.
__attribute__((target("avx2"))) void point_light_sample8(const Point_Light& light, __m256 qx,
                                                         __m256 qy, __m256 d, float scale_x,
                                                         float scale_y, float depth_scale,
                                                         Vector_8& direction, Rgb_8& color) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const Vector_8 to_point{
      _mm256_div_ps(_mm256_sub_ps(qx, _mm256_set1_ps(light.position_x)), _mm256_set1_ps(scale_x)),
      _mm256_div_ps(_mm256_sub_ps(_mm256_set1_ps(light.position_y), qy), _mm256_set1_ps(scale_y)),
      _mm256_sub_ps(d, _mm256_set1_ps(light.position_z))};
  const __m256 distance = _mm256_sqrt_ps(dot8(to_point, to_point));
  const __m256 at_light = _mm256_cmp_ps(distance, zero, _CMP_EQ_OQ);
  direction = {_mm256_blendv_ps(_mm256_div_ps(to_point.x, distance), zero, at_light),
               _mm256_blendv_ps(_mm256_div_ps(to_point.y, distance), zero, at_light),
               _mm256_blendv_ps(_mm256_div_ps(to_point.z, distance), one, at_light)};
  __m256 intensity = _mm256_set1_ps(light.intensity);
  const Rgb_Value& c = light.color;
  if (light.falloff == 0.0f) {
    color = {_mm256_mul_ps(intensity, _mm256_set1_ps(c.red)),
             _mm256_mul_ps(intensity, _mm256_set1_ps(c.green)),
             _mm256_mul_ps(intensity, _mm256_set1_ps(c.blue))};
    return;
  }
  if (depth_scale != 0.0f) {
    const __m256 base = _mm256_add_ps(_mm256_div_ps(distance, _mm256_set1_ps(depth_scale)), one);
    const __m256 reaches = _mm256_cmp_ps(base, zero, _CMP_GT_OQ);
    const __m256 power = per_lane(_mm256_and_ps(base, reaches), reaches,
                                  [&](float b, int32_t) { return power_of(b, light.falloff); });
    intensity =
        _mm256_and_ps(_mm256_div_ps(intensity, power), _mm256_cmp_ps(power, zero, _CMP_NEQ_UQ));
  }
  const __m256 a = clamp8(intensity, zero, one);
  const __m256 k = _mm256_mul_ps(_mm256_sub_ps(one, a), _mm256_sub_ps(one, a));
  const __m256 keep = _mm256_sub_ps(one, k);
  const Rgb_Value& tint = light.attenuation_color;
  color = {weakened(intensity, c.red, keep, k, tint.red),
           weakened(intensity, c.green, keep, k, tint.green),
           weakened(intensity, c.blue, keep, k, tint.blue)};
}

// What shade_sample reads of eight samples, one a lane: of eight pixels of a row taking one
// sample each, or of eight samples of one pixel.
struct Light_Vectors {
  Vector_8 normal;
  Vector_8 view;
  __m256 column;  // the sample's position: x as a float
  __m256 row;     // and y
  __m256 depth;
  __m256 glossiness;
  __m256 translucency;
  Rgb_8 translucency_color;
  __m256 directional_shadow;
  __m256 directional_translucency_shadow;
  __m256 point_shadow;
  __m256 point_translucency_shadow;
};

__attribute__((target("avx2"))) inline Vector_8 normals8(const float* p) {
  Vector_8 n;
  shading_lanes::load_triples8(p, n.x, n.y, n.z);
  return n;
}

// Pixels x .. x + 7 of row y of a float layer, or 0 where it has no pixels.
__attribute__((target("avx2"))) inline __m256 row_or_zero(int64_t x, int64_t y,
                                                          const Layer<float>& layer) {
  return layer.pixels != nullptr ? _mm256_loadu_ps(layer.row(y) + x) : _mm256_setzero_ps();
}

// The inputs of pixels x .. x + 7 of row y, as pixel_light_inputs gives them: the shadows and
// normals are read straight from their rows, the view rays are made in lanes as view_direction
// makes them, and glossiness, translucency and its colour are the row's `shared` ones where no
// texture reaches the row, else made in lanes from the textures' pixels.
template <class T>
__attribute__((target("avx2"))) Light_Vectors row_vectors(
    int64_t x, int64_t y, bool textured, const Pixel_Light_Inputs& shared,
    const Final_Routine_Parameters_In<T>& in) {
  using shading_lanes::texture_at8;
  using shading_lanes::texture_mean8;
  const __m256 column = _mm256_cvtepi32_ps(_mm256_add_epi32(
      _mm256_set1_epi32(static_cast<int32_t>(x)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
  Vector_8 view{_mm256_set1_ps(shared.view.x), _mm256_set1_ps(shared.view.y),
                _mm256_set1_ps(shared.view.z)};
  if (in.perspective != 0.0f) {
    const float w = static_cast<float>(in.depth.width);
    const float h = static_cast<float>(in.depth.height);
    const float spread = 2.0f * in.perspective;
    const Vector_8 v{
        _mm256_mul_ps(_mm256_set1_ps(spread),
                      _mm256_sub_ps(_mm256_div_ps(_mm256_add_ps(column, _mm256_set1_ps(0.5f)),
                                                  _mm256_set1_ps(w)),
                                    _mm256_set1_ps(0.5f))),
        _mm256_set1_ps(spread * (h / w) * (0.5f - (static_cast<float>(y) + 0.5f) / h)),
        _mm256_set1_ps(-1.0f)};
    const __m256 length = _mm256_sqrt_ps(dot8(v, v));
    view = {_mm256_div_ps(v.x, length), _mm256_div_ps(v.y, length), _mm256_div_ps(v.z, length)};
  }
  __m256 glossiness = _mm256_set1_ps(shared.glossiness);
  __m256 translucency = _mm256_set1_ps(shared.translucency);
  Rgb_8 translucency_color{_mm256_set1_ps(shared.translucency_color.red),
                           _mm256_set1_ps(shared.translucency_color.green),
                           _mm256_set1_ps(shared.translucency_color.blue)};
  if (textured) {
    glossiness =
        in.glossiness == 0.0f
            ? _mm256_setzero_ps()
            : _mm256_mul_ps(_mm256_set1_ps(in.glossiness),
                            texture_mean8(texture_at8(in.glossiness_texture, x, y, shading_white)));
    translucency = _mm256_mul_ps(
        _mm256_set1_ps(in.translucency),
        clamp8(texture_mean8(texture_at8(in.translucency_texture, x, y, shading_white)),
               _mm256_setzero_ps(), _mm256_set1_ps(1.0f)));
    const shading_lanes::Color_8 k =
        texture_at8(in.translucency_color_texture, x, y, shading_white);
    translucency_color = {_mm256_mul_ps(_mm256_set1_ps(in.translucency_color.red), k.r),
                          _mm256_mul_ps(_mm256_set1_ps(in.translucency_color.green), k.g),
                          _mm256_mul_ps(_mm256_set1_ps(in.translucency_color.blue), k.b)};
  }
  return {normals8(&in.normals.row(y)[x].x),
          view,
          column,
          _mm256_set1_ps(static_cast<float>(y)),
          _mm256_loadu_ps(in.depth.row(y) + x),
          glossiness,
          translucency,
          translucency_color,
          row_or_zero(x, y, in.directional_shadow),
          row_or_zero(x, y, in.directional_translucency_shadow),
          row_or_zero(x, y, in.point_shadow),
          row_or_zero(x, y, in.point_translucency_shadow)};
}

// shade_sample for the eight samples in `p`, into sums d and s that it clears first.
template <class T>
__attribute__((target("avx2"))) void shade_sample8(const Light_Vectors& p,
                                                   const Final_Routine_Parameters_In<T>& in,
                                                   Rgb_8& d, Rgb_8& s) {
  const Vector_8& N = p.normal;
  const Vector_8& V = p.view;
  const __m256 g = p.glossiness;
  const __m256 tau = p.translucency;
  const Rgb_8& K = p.translucency_color;
  d = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
  s = d;
  Vector_8 ray{};
  bool ray_made = false;
  const Direct_Light& direct = in.direct_light;
  if (direct.intensity != 0.0f) {
    const Vector_8 L{_mm256_set1_ps(direct.direction.x), _mm256_set1_ps(direct.direction.y),
                     _mm256_set1_ps(direct.direction.z)};
    const Rgb_8 col{_mm256_set1_ps(direct.color.red), _mm256_set1_ps(direct.color.green),
                    _mm256_set1_ps(direct.color.blue)};
    shade_light8(N, L, V, d, s, direct.size, col, p.directional_shadow, g, in.specular_tint, tau,
                 p.directional_translucency_shadow, K, ray, ray_made);
  }
  if (in.point_light.intensity != 0.0f) {
    Vector_8 L;
    Rgb_8 col;
    point_light_sample8(in.point_light, p.column, p.row, p.depth, in.source.scale_x,
                        in.source.scale_y, in.depth_scale, L, col);
    shade_light8(N, L, V, d, s, in.point_light.size, col, p.point_shadow, g, in.specular_tint, tau,
                 p.point_translucency_shadow, K, ray, ray_made);
  }
}

// weight × c × 1, channel by channel, as add_product adds a sample into the supersampled sums.
__attribute__((target("avx2"))) inline Rgb_8 weighted8(__m256 weight, const Rgb_8& c) {
  const __m256 one = _mm256_set1_ps(1.0f);
  return {_mm256_mul_ps(_mm256_mul_ps(weight, c.red), one),
          _mm256_mul_ps(_mm256_mul_ps(weight, c.green), one),
          _mm256_mul_ps(_mm256_mul_ps(weight, c.blue), one)};
}

// The eight lanes of the sums d and s into diffuse[0 .. 7] and specular[0 .. 7].
__attribute__((target("avx2"))) inline void store_sums8(const Rgb_8& d, const Rgb_8& s,
                                                        Rgb_Value* diffuse, Rgb_Value* specular) {
  alignas(32) float out[6][8];
  _mm256_store_ps(out[0], d.red);
  _mm256_store_ps(out[1], d.green);
  _mm256_store_ps(out[2], d.blue);
  _mm256_store_ps(out[3], s.red);
  _mm256_store_ps(out[4], s.green);
  _mm256_store_ps(out[5], s.blue);
  for (int32_t l = 0; l < 8; ++l) {
    diffuse[l] = {out[0][l], out[1][l], out[2][l]};
    specular[l] = {out[3][l], out[4][l], out[5][l]};
  }
}

// shade_sample for the eight pixels of row y in `p`, then the gamma correction; the sums are
// returned cleared and then lit, as shade_lights_pixel's callers clear them. `supersampled`
// pixels take their one sample through shade_supersampled's sums: 0 + 1 × sample × 1, divided
// by the weights' sum 0 + 1.
template <class T>
__attribute__((target("avx2"))) void shade_lanes_avx2(const Light_Vectors& p,
                                                      const Final_Routine_Parameters_In<T>& in,
                                                      bool supersampled, Rgb_Value* diffuse,
                                                      Rgb_Value* specular) {
  Rgb_8 d;
  Rgb_8 s;
  shade_sample8(p, in, d, s);
  if (supersampled) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 weights = _mm256_add_ps(zero, one);
    const Rgb_8 dw = weighted8(one, d);
    const Rgb_8 sw = weighted8(one, s);
    d = {_mm256_div_ps(_mm256_add_ps(zero, dw.red), weights),
         _mm256_div_ps(_mm256_add_ps(zero, dw.green), weights),
         _mm256_div_ps(_mm256_add_ps(zero, dw.blue), weights)};
    s = {_mm256_div_ps(_mm256_add_ps(zero, sw.red), weights),
         _mm256_div_ps(_mm256_add_ps(zero, sw.green), weights),
         _mm256_div_ps(_mm256_add_ps(zero, sw.blue), weights)};
  }
  if (in.gamma != 1.0f) {
    const float exponent = 1.0f / in.gamma;
    shading_lanes::raise8(d, exponent);
    shading_lanes::raise8(s, exponent);
  }
  store_sums8(d, s, diffuse, specular);
}

// The grid of a pixel's samples on one side count (3 or 5), as shade_supersampled walks it:
// positions, weights and which neighbours each blends, worked out by the rule's own
// expressions, and the weights' sum in the rule's order. Padded to whole groups of eight with
// copies of the centre.
struct Sample_Grid {
  static constexpr int32_t capacity = 32;
  int32_t count = 0;
  alignas(32) float sx[capacity];
  alignas(32) float sy[capacity];
  alignas(32) float weight[capacity];
  // Indices into a 3 × 3 neighbourhood, row by row: Ph beside the centre, Pv above or below it,
  // Pd beside Pv.
  alignas(32) int32_t beside[capacity];
  alignas(32) int32_t across[capacity];
  alignas(32) int32_t diagonal[capacity];
  alignas(32) int32_t off_centre[capacity];  // -1 but at the centre
  float weights = 0.0f;

  explicit Sample_Grid(int64_t side) {
    const int64_t n = side / 2;
    const float step = 1.0f / static_cast<float>(side);
    for (int64_t j = -n; j <= n; ++j) {
      const float y = static_cast<float>(j) * step;
      for (int64_t i = -n; i <= n; ++i) {
        const float x = static_cast<float>(i) * step;
        const int32_t h = x > 0.0f ? 2 : (x < 0.0f ? 0 : 1);
        const int32_t v = y > 0.0f ? 2 : (y < 0.0f ? 0 : 1);
        const bool centre = i == 0 && j == 0;
        const float w = centre ? 1.0f : x * x + y * y;
        add(x, y, w, 3 + h, 3 * v + 1, 3 * v + h, centre ? 0 : -1);
        weights += w;
      }
    }
    while (count % 8 != 0) {
      add(0.0f, 0.0f, 1.0f, 4, 4, 4, 0);
    }
  }

  void add(float x, float y, float w, int32_t h, int32_t v, int32_t d, int32_t off) {
    sx[count] = x;
    sy[count] = y;
    weight[count] = w;
    beside[count] = h;
    across[count] = v;
    diagonal[count] = d;
    off_centre[count] = off;
    ++count;
  }
};

// (1 - ay) ((1 - ax) c + ax ph) + ay ((1 - ax) pv + ax pd), as shade_supersampled blends.
__attribute__((target("avx2"))) inline __m256 blend8(__m256 ax, __m256 ay, __m256 c, __m256 ph,
                                                     __m256 pv, __m256 pd) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 bx = _mm256_sub_ps(one, ax);
  return _mm256_add_ps(
      _mm256_mul_ps(_mm256_sub_ps(one, ay),
                    _mm256_add_ps(_mm256_mul_ps(bx, c), _mm256_mul_ps(ax, ph))),
      _mm256_mul_ps(ay, _mm256_add_ps(_mm256_mul_ps(bx, pv), _mm256_mul_ps(ax, pd))));
}

// Nine values of a 3 × 3 neighbourhood, row by row, in registers: the first eight and the last.
struct Nine_8 {
  __m256 first;
  __m256 last;
};

// The values at indices 0 to 8 of `table`, one a lane; `last` marks the lanes of index 8.
__attribute__((target("avx2"))) inline __m256 lookup9(const Nine_8& table, __m256i index,
                                                      __m256 last) {
  return _mm256_blendv_ps(_mm256_permutevar8x32_ps(table.first, index), table.last, last);
}

// shade_supersampled for a pixel of more than one sample, eight of its samples at a time, one a
// lane: each sample's depth, normal and light are found in lanes as the rule finds them, and
// its weighted light is added into the sums in the rule's order.
template <class T>
__attribute__((target("avx2"))) void shade_supersampled_avx2(
    int64_t x, int64_t y, const Pixel_Light_Inputs& p, const Final_Routine_Parameters_In<T>& in,
    Rgb_Value& diffuse, Rgb_Value& specular) {
  const Neighbourhood around = neighbourhood_of(x, y, in);
  const int64_t side = light_samples_per_side(in.oversampling, around.bend);
  if (side == 1) {
    shade_supersampled(x, y, p, in, diffuse, specular);
    return;
  }
  static const Sample_Grid grids[2] = {Sample_Grid(3), Sample_Grid(5)};
  const Sample_Grid& grid = grids[side == 3 ? 0 : 1];
  const int64_t samples = side * side;

  const __m256 zero = _mm256_setzero_ps();
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 threshold = _mm256_set1_ps(in.discontinuity_threshold);
  // The neighbourhood's depths and its normals' components, each nine in registers.
  static_assert(sizeof(Vector) == 3 * sizeof(float));
  const Vector& corner = around.N[2][2];
  const Nine_8 D{_mm256_loadu_ps(&around.D[0][0]), _mm256_set1_ps(around.D[2][2])};
  Nine_8 Nx{_mm256_setzero_ps(), _mm256_set1_ps(corner.x)};
  Nine_8 Ny{_mm256_setzero_ps(), _mm256_set1_ps(corner.y)};
  Nine_8 Nz{_mm256_setzero_ps(), _mm256_set1_ps(corner.z)};
  shading_lanes::load_triples8(&around.N[0][0].x, Nx.first, Ny.first, Nz.first);
  const __m256i eight = _mm256_set1_epi32(8);
  const __m256 c = _mm256_set1_ps(around.D[1][1]);
  const Vector& middle = around.N[1][1];
  const Vector_8 centre{_mm256_set1_ps(middle.x), _mm256_set1_ps(middle.y),
                        _mm256_set1_ps(middle.z)};
  Light_Vectors v{
      centre,
      {_mm256_set1_ps(p.view.x), _mm256_set1_ps(p.view.y), _mm256_set1_ps(p.view.z)},
      zero,
      zero,
      zero,
      _mm256_set1_ps(p.glossiness),
      _mm256_set1_ps(p.translucency),
      {_mm256_set1_ps(p.translucency_color.red), _mm256_set1_ps(p.translucency_color.green),
       _mm256_set1_ps(p.translucency_color.blue)},
      _mm256_set1_ps(p.directional_shadow),
      _mm256_set1_ps(p.directional_translucency_shadow),
      _mm256_set1_ps(p.point_shadow),
      _mm256_set1_ps(p.point_translucency_shadow)};
  const __m256 column = _mm256_set1_ps(static_cast<float>(x));
  const __m256 row = _mm256_set1_ps(static_cast<float>(y));
  for (int64_t k0 = 0; k0 < samples; k0 += 8) {
    const __m256 sx = _mm256_load_ps(grid.sx + k0);
    const __m256 sy = _mm256_load_ps(grid.sy + k0);
    const __m256i h = _mm256_load_si256(reinterpret_cast<const __m256i*>(grid.beside + k0));
    const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(grid.across + k0));
    const __m256i g = _mm256_load_si256(reinterpret_cast<const __m256i*>(grid.diagonal + k0));
    const __m256 off = _mm256_castsi256_ps(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(grid.off_centre + k0)));
    const __m256 h_last = _mm256_castsi256_ps(_mm256_cmpeq_epi32(h, eight));
    const __m256 a_last = _mm256_castsi256_ps(_mm256_cmpeq_epi32(a, eight));
    const __m256 g_last = _mm256_castsi256_ps(_mm256_cmpeq_epi32(g, eight));
    const __m256 ph = lookup9(D, h, h_last);
    const __m256 pv = lookup9(D, a, a_last);
    const __m256 pd = lookup9(D, g, g_last);
    // Off the centre, a sample blends where neither Ph nor Pd lies a depth step away.
    const __m256 smooth = _mm256_and_ps(
        off,
        _mm256_and_ps(
            _mm256_cmp_ps(_mm256_and_ps(_mm256_sub_ps(ph, c), magnitude), threshold, _CMP_LT_OQ),
            _mm256_cmp_ps(_mm256_and_ps(_mm256_sub_ps(pd, pv), magnitude), threshold, _CMP_LT_OQ)));
    const __m256 ax = _mm256_and_ps(sx, magnitude);
    const __m256 ay = _mm256_and_ps(sy, magnitude);
    v.depth = _mm256_blendv_ps(c, blend8(ax, ay, c, ph, pv, pd), smooth);
    const Vector_8 mixed{blend8(ax, ay, centre.x, lookup9(Nx, h, h_last), lookup9(Nx, a, a_last),
                                lookup9(Nx, g, g_last)),
                         blend8(ax, ay, centre.y, lookup9(Ny, h, h_last), lookup9(Ny, a, a_last),
                                lookup9(Ny, g, g_last)),
                         blend8(ax, ay, centre.z, lookup9(Nz, h, h_last), lookup9(Nz, a, a_last),
                                lookup9(Nz, g, g_last))};
    // Opposite normals cancel; such a sample keeps the centre's normal.
    const __m256 squared = dot8(mixed, mixed);
    const __m256 turned = _mm256_and_ps(smooth, _mm256_cmp_ps(squared, zero, _CMP_GT_OQ));
    const __m256 length = _mm256_sqrt_ps(squared);
    v.normal = {_mm256_blendv_ps(centre.x, _mm256_div_ps(mixed.x, length), turned),
                _mm256_blendv_ps(centre.y, _mm256_div_ps(mixed.y, length), turned),
                _mm256_blendv_ps(centre.z, _mm256_div_ps(mixed.z, length), turned)};
    v.column = _mm256_add_ps(column, sx);
    v.row = _mm256_add_ps(row, sy);
    Rgb_8 d;
    Rgb_8 s;
    shade_sample8(v, in, d, s);
    const __m256 weight = _mm256_load_ps(grid.weight + k0);
    Rgb_Value dw[8];
    Rgb_Value sw[8];
    store_sums8(weighted8(weight, d), weighted8(weight, s), dw, sw);
    // Added in the samples' order, as the rule adds them.
    const int64_t lanes = std::min<int64_t>(8, samples - k0);
    for (int64_t l = 0; l < lanes; ++l) {
      diffuse = {diffuse.red + dw[l].red, diffuse.green + dw[l].green, diffuse.blue + dw[l].blue};
      specular = {specular.red + sw[l].red, specular.green + sw[l].green,
                  specular.blue + sw[l].blue};
    }
  }
  const float weights = grid.weights;
  diffuse = {diffuse.red / weights, diffuse.green / weights, diffuse.blue / weights};
  specular = {specular.red / weights, specular.green / weights, specular.blue / weights};
}

// bend_between in lanes. std::max(0, d) is d where 0 < d, else 0 (a NaN too): so is
// max_ps(d, 0).
__attribute__((target("avx2"))) inline __m256 bend_between8(const Vector_8& a, const Vector_8& b) {
  return _mm256_sub_ps(_mm256_set1_ps(1.0f), _mm256_max_ps(dot8(a, b), _mm256_setzero_ps()));
}

// The bend of the 3 × 3 neighbourhoods of pixels x .. x + 7 of row y, as shade_supersampled
// sums it, and from it the lanes whose pixels take more than one sample, as bits. Rows and columns
// are clamped into the input as the rule clamps them; a group at the input's left or right edge
// reads its clamped columns from a copy.
template <class T>
__attribute__((target("avx2"))) int supersampled_lanes(int64_t x, int64_t y,
                                                       const Final_Routine_Parameters_In<T>& in) {
  const int64_t last_x = in.source.width - 1;
  const int64_t last_y = in.source.height - 1;
  Vector_8 N[3][3];
  for (int64_t j = 0; j < 3; ++j) {
    const Vector* normals = in.normals.row(std::clamp<int64_t>(y + j - 1, 0, last_y));
    // Columns x - 1 to x + 8.
    Vector copy[10];
    const Vector* first = copy;
    if (x < 1 || x + 8 > last_x) {
      for (int64_t i = 0; i < 10; ++i) {
        copy[i] = normals[std::clamp<int64_t>(x - 1 + i, 0, last_x)];
      }
    } else {
      first = normals + (x - 1);
    }
    for (int64_t i = 0; i < 3; ++i) {
      N[j][i] = normals8(&first[i].x);
    }
  }
  __m256 bend = _mm256_add_ps(bend_between8(N[2][2], N[0][0]), bend_between8(N[2][0], N[0][2]));
  bend = _mm256_add_ps(bend, bend_between8(N[1][1], N[1][2]));
  bend = _mm256_add_ps(bend, bend_between8(N[1][1], N[0][1]));
  bend = _mm256_add_ps(bend, bend_between8(N[1][1], N[1][0]));
  bend = _mm256_add_ps(bend, bend_between8(N[1][1], N[2][1]));
  // light_samples_per_side's level; a level that is not at least 1 (a NaN too) takes one sample.
  const __m256 level = _mm256_add_ps(
      _mm256_add_ps(_mm256_set1_ps(static_cast<float>(in.oversampling - 1) * 0.24666667f), bend),
      _mm256_set1_ps(0.25f));
  return _mm256_movemask_ps(_mm256_cmp_ps(level, _mm256_set1_ps(1.0f), _CMP_GE_OQ));
}

// shade_lights_row eight pixels at a time; returns how many it shaded. Without oversampling each
// pixel takes one sample in a lane. With it, the pixels whose neighbourhood takes one sample do
// as well, and each of the others takes its samples eight at a time.
template <class T>
int64_t shade_lights_run_avx2(int64_t x0, int64_t n, int64_t y, Rgb_Value* diffuse,
                              Rgb_Value* specular, const Final_Routine_Parameters_In<T>& in) {
  const int64_t end = n - n % 8;
  // Columns are made exactly as floats from 32-bit integers.
  if (end == 0 || x0 + n > int64_t{1} << 24) {
    return 0;
  }
  const bool supersampled = in.oversampling >= 2;
  // The rule reads a supersampled pixel's centre at its row and column clamped into the input;
  // the lanes read them unclamped.
  if (supersampled && (x0 < 0 || x0 + n > in.source.width || y < 0 || y >= in.source.height)) {
    return 0;
  }
  // Without a texture on the row, every pixel's glossiness and translucency are the first's.
  const bool textured = !outside_on_row(in.glossiness_texture, y) ||
                        !outside_on_row(in.translucency_texture, y) ||
                        !outside_on_row(in.translucency_color_texture, y);
  const Pixel_Light_Inputs shared = pixel_light_inputs(x0, y, in);
  for (int64_t i = 0; i < end; i += 8) {
    const int64_t x = x0 + i;
    const int more = supersampled ? supersampled_lanes(x, y, in) : 0;
    if (more != 0xff) {
      shade_lanes_avx2(row_vectors(x, y, textured, shared, in), in, supersampled, diffuse + i,
                       specular + i);
    }
    for (int32_t l = 0; l < 8; ++l) {
      if ((more >> l & 1) == 0) {
        continue;
      }
      Rgb_Value& d = diffuse[i + l];
      Rgb_Value& s = specular[i + l];
      d = {0.0f, 0.0f, 0.0f};
      s = {0.0f, 0.0f, 0.0f};
      shade_supersampled_avx2(x + l, y, pixel_light_inputs(x + l, y, in), in, d, s);
      if (in.gamma != 1.0f) {
        const float exponent = 1.0f / in.gamma;
        gamma_corrected(d, exponent);
        gamma_corrected(s, exponent);
      }
    }
  }
  return end;
}

#endif

}  // namespace

void shading_powers(const float* base, const float* exponent, float* power, int64_t count) {
  int64_t i = 0;
#if BREL_AVX2_ROWS
  if (cpu_has_avx2()) {
    i = shading_powers_avx2(base, exponent, power, count);
  }
#endif
  for (; i < count; ++i) {
    power[i] = shading_power(base[i], exponent[i]);
  }
}

template <class T>
void shade_lights_row(int64_t x0, int64_t n, int64_t y, Rgb_Value* diffuse, Rgb_Value* specular,
                      const Final_Routine_Parameters_In<T>& in) {
  int64_t done = 0;
#if BREL_AVX2_ROWS
  if (cpu_has_avx2()) {
    done = shade_lights_run_avx2(x0, n, y, diffuse, specular, in);
  }
#endif
  for (int64_t i = done; i < n; ++i) {
    diffuse[i] = {0.0f, 0.0f, 0.0f};
    specular[i] = {0.0f, 0.0f, 0.0f};
    shade_lights_pixel(x0 + i, y, diffuse[i], specular[i], in);
  }
}

#define BREL_SHADE_LIGHTS_ROW(T)                                                       \
  template void shade_lights_row<T>(int64_t, int64_t, int64_t, Rgb_Value*, Rgb_Value*, \
                                    const Final_Routine_Parameters_In<T>&);
BREL_SHADE_LIGHTS_ROW(ARGB8)
BREL_SHADE_LIGHTS_ROW(ARGB16)
BREL_SHADE_LIGHTS_ROW(ARGB32f)
BREL_SHADE_LIGHTS_ROW(BGRA8)
BREL_SHADE_LIGHTS_ROW(BGRA16)
BREL_SHADE_LIGHTS_ROW(BGRA32f)
#undef BREL_SHADE_LIGHTS_ROW

template void shade_lights_pixel<ARGB8>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                        const Final_Routine_Parameters_In<ARGB8>&);
template void shade_lights_pixel<ARGB16>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                         const Final_Routine_Parameters_In<ARGB16>&);
template void shade_lights_pixel<ARGB32f>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                          const Final_Routine_Parameters_In<ARGB32f>&);
template void shade_lights_pixel<BGRA8>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                        const Final_Routine_Parameters_In<BGRA8>&);
template void shade_lights_pixel<BGRA16>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                         const Final_Routine_Parameters_In<BGRA16>&);
template void shade_lights_pixel<BGRA32f>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                          const Final_Routine_Parameters_In<BGRA32f>&);

}  // namespace brel
