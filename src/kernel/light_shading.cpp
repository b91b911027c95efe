#include "kernel/light_shading.h"

#include <algorithm>
#include <cmath>

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
  p.glossiness =
      in.glossiness * texture_mean(texture_at(in.glossiness_texture, x, y, shading_white));
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

// The adaptive supersampling: samples on a grid inside the pixel, each with the depth and
// normal blended from the neighbours on its side unless a depth step lies between them.
template <class T>
void shade_supersampled(int64_t x, int64_t y, const Pixel_Light_Inputs& p,
                        const Final_Routine_Parameters_In<T>& in, Rgb_Value& diffuse,
                        Rgb_Value& specular) {
  // The 3 × 3 neighbourhood, [row][column], rows and columns clamped into the input.
  const int64_t last_x = in.source.width - 1;
  const int64_t last_y = in.source.height - 1;
  float D[3][3];
  Vector N[3][3];
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
  const float bend = bend_between(N[2][2], N[0][0]) + bend_between(N[2][0], N[0][2]) +
                     bend_between(N[1][1], N[1][2]) + bend_between(N[1][1], N[0][1]) +
                     bend_between(N[1][1], N[1][0]) + bend_between(N[1][1], N[2][1]);
  const int64_t side = light_samples_per_side(in.oversampling, bend);
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
