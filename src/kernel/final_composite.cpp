#include "kernel/final_composite.h"

#include <algorithm>

#include "kernel/light_shading.h"
#include "kernel/shading_lanes.h"
#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

template <class T>
void add_environment_colors(int64_t x, int64_t y, Rgb_Value& diffuse, Rgb_Value& specular,
                            const Rgb_Value& illuminated, const Rgb_Value& reflected,
                            bool illuminate, bool reflect,
                            const Environment_Parameter<T>& environment,
                            const Layer<float>& occlusion) {
  const float occ = float_at(occlusion, x, y, 1.0f);
  Rgb_Value e = environment.illumination_color;
  if (illuminate) {
    const Rgb_Value& a = illuminated;
    e = {e.red * a.red, e.green * a.green, e.blue * a.blue};
  }
  const float amount = environment.illumination_amount * occ;
  diffuse.red += e.red * amount;
  diffuse.green += e.green * amount;
  diffuse.blue += e.blue * amount;

  if (!reflect) {
    return;
  }
  const Shading_Color texture = texture_at(environment.reflection_texture, x, y, shading_white);
  const float weight = (environment.glossiness > 1.0f ? environment.glossiness - 1.0f : 0.0f) +
                       occ * environment.reflection_amount * texture_mean(texture);
  Rgb_Value r = reflected;
  if (environment.gamma != 1.0f) {
    const float exponent = 1.0f / environment.gamma;
    r = {shading_power(std::max(0.0f, r.red), exponent),
         shading_power(std::max(0.0f, r.green), exponent),
         shading_power(std::max(0.0f, r.blue), exponent)};
  }
  specular.red += r.red * weight;
  specular.green += r.green * weight;
  specular.blue += r.blue * weight;
}

namespace {

// The background seen through pixel (x, y): the refracted image where there is one (raised to
// the gamma correction), else the background layer as it is; black where neither reaches.
template <class T>
Rgb_Value background_at(const Final_Routine_Parameters_In<T>& in, int64_t x, int64_t y) {
  const Layer<RGB32f>& refracted = in.refracted_image;
  if (refracted.pixels == nullptr) {
    const Shading_Color b = texture_at(in.background, x, y, shading_black);
    return {b.r, b.g, b.b};
  }
  Rgb_Value b{0.0f, 0.0f, 0.0f};
  const uint64_t tx = static_cast<uint64_t>(x - refracted.origin_x);
  const uint64_t ty = static_cast<uint64_t>(y - refracted.origin_y);
  if (tx < static_cast<uint64_t>(refracted.width) && ty < static_cast<uint64_t>(refracted.height)) {
    const RGB32f& p = refracted.row(static_cast<int64_t>(ty))[tx];
    b = {p.channel[0], p.channel[1], p.channel[2]};
  }
  if (in.gamma != 1.0f) {
    const float exponent = 1.0f / in.gamma;
    b = {shading_power(std::max(b.red, 0.0f), exponent),
         shading_power(std::max(b.green, 0.0f), exponent),
         shading_power(std::max(b.blue, 0.0f), exponent)};
  }
  return b;
}

}  // namespace

template <class T>
void composite_pixel(int64_t x, int64_t y, int64_t i, const Final_Routine_Parameters_In<T>& in,
                     const Lit_Run& run) {
  T& out = in.output.row(y)[x];
  const float d = in.depth.row(y)[x];
  const bool clipped = in.alpha_clipping != 0 && d == 0.0f;
  Rgb_Value diffuse{0.0f, 0.0f, 0.0f};
  Rgb_Value specular{0.0f, 0.0f, 0.0f};
  if (!clipped) {
    diffuse = run.diffuse[i];
    specular = run.specular[i];
    add_environment_colors(x, y, diffuse, specular, run.illuminated[i], run.reflected[i],
                           run.illuminate, run.reflect, in.environment, in.occlusion);
    if (in.specular_tint != 0.0f) {
      const float tint = std::clamp(in.specular_tint, 0.0f, 1.0f);
      const Shading_Color k = texture_at(in.specular_color_texture, x, y, shading_white);
      specular = {specular.red * (k.r * tint + (1.0f - tint)),
                  specular.green * (k.g * tint + (1.0f - tint)),
                  specular.blue * (k.b * tint + (1.0f - tint))};
    }
  }
  const float t =
      clipped ? 1.0f
              : std::clamp(texture_mean(texture_at(in.transparency_texture, x, y, shading_white)),
                           0.0f, 1.0f) *
                    in.transparency;
  if (in.highlights_only != 0) {
    store_highlight_pixel(out, specular);
    return;
  }
  const Rgb_Value background = background_at(in, x, y);
  Rgb_Value surface{0.0f, 0.0f, 0.0f};
  float k = 0.0f;
  float a = 1.0f;
  if (!clipped) {
    const Shading_Color s = shading_color(out);
    surface = {s.r, s.g, s.b};
    k = in.colorize;
  } else if (in.transparency == 0.0f) {
    a = 0.0f;
  }
  a = faded_alpha(a, d, in.alpha_fading);
  store_shaded_pixel(out, composite_color(diffuse, surface, specular, t, background, k), a);
}

namespace {

#if BREL_AVX2_ROWS

using shading_lanes::clamp8;
using shading_lanes::load_rgb8;
using shading_lanes::raise8;
using shading_lanes::Rgb_8;
using shading_lanes::texture_at8;
using shading_lanes::texture_mean8;

// Four channels by position into four-float pixels: a 4 x 8 transposition.
__attribute__((target("avx2"))) inline void store_float_channels8(float* p, const __m256* c) {
  const __m256 t0 = _mm256_unpacklo_ps(c[0], c[1]);
  const __m256 t1 = _mm256_unpackhi_ps(c[0], c[1]);
  const __m256 t2 = _mm256_unpacklo_ps(c[2], c[3]);
  const __m256 t3 = _mm256_unpackhi_ps(c[2], c[3]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));  // 0 | 4
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));  // 1 | 5
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));  // 2 | 6
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));  // 3 | 7
  _mm256_storeu_ps(p, _mm256_permute2f128_ps(u0, u1, 0x20));
  _mm256_storeu_ps(p + 8, _mm256_permute2f128_ps(u2, u3, 0x20));
  _mm256_storeu_ps(p + 16, _mm256_permute2f128_ps(u0, u1, 0x31));
  _mm256_storeu_ps(p + 24, _mm256_permute2f128_ps(u2, u3, 0x31));
}

// Eight host pixels from their channels by position; integer channels arrive clamped to the
// type's range and are truncated.
template <class T>
__attribute__((target("avx2"))) inline void store_channels8(T* pixels, const __m256* c) {
  using Channel = typename Pixel_Traits<T>::Channel;
  if constexpr (sizeof(Channel) == 1) {
    const __m256i w = _mm256_or_si256(
        _mm256_or_si256(_mm256_cvttps_epi32(c[0]), _mm256_slli_epi32(_mm256_cvttps_epi32(c[1]), 8)),
        _mm256_or_si256(_mm256_slli_epi32(_mm256_cvttps_epi32(c[2]), 16),
                        _mm256_slli_epi32(_mm256_cvttps_epi32(c[3]), 24)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels), w);
  } else if constexpr (sizeof(Channel) == 2) {
    const __m256i low = _mm256_or_si256(_mm256_cvttps_epi32(c[0]),
                                        _mm256_slli_epi32(_mm256_cvttps_epi32(c[1]), 16));
    const __m256i high = _mm256_or_si256(_mm256_cvttps_epi32(c[2]),
                                         _mm256_slli_epi32(_mm256_cvttps_epi32(c[3]), 16));
    const __m256i p = _mm256_unpacklo_epi32(low, high);  // pixels 0 1 | 4 5
    const __m256i q = _mm256_unpackhi_epi32(low, high);  // 2 3 | 6 7
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels), _mm256_permute2x128_si256(p, q, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels + 4),
                        _mm256_permute2x128_si256(p, q, 0x31));
  } else {
    store_float_channels8(reinterpret_cast<float*>(pixels), c);
  }
}

// composite_color's channel for eight pixels: (1 - t) d s + p + t b ((1 - k) + k s), with
// 1 - t as `opaque` and 1 - k as `keep`.
__attribute__((target("avx2"))) inline __m256 composite8(__m256 opaque, __m256 t, __m256 keep,
                                                         __m256 k, __m256 d, __m256 s, __m256 p,
                                                         __m256 b) {
  return _mm256_add_ps(
      _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(opaque, d), s), p),
      _mm256_mul_ps(_mm256_mul_ps(t, b), _mm256_add_ps(keep, _mm256_mul_ps(k, s))));
}

// What store_shaded_pixel makes of eight values before the conversion: integers take 0 .. 1
// times white (NaN and less give 0), floats 0 up to the largest float.
template <class T>
__attribute__((target("avx2"))) inline __m256 stored8(__m256 v) {
  using Traits = Pixel_Traits<T>;
  const __m256 above = _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ);
  const float top = Traits::is_integer ? 1.0f : std::numeric_limits<float>::max();
  const __m256 clamped = _mm256_and_ps(_mm256_min_ps(v, _mm256_set1_ps(top)), above);
  if constexpr (Traits::is_integer) {
    return _mm256_mul_ps(clamped, _mm256_set1_ps(Traits::white_value));
  } else {
    return clamped;
  }
}

// final_store::finite for eight values: maxps gives its second operand for a NaN, which the
// ordered mask then makes 0.
__attribute__((target("avx2"))) inline __m256 finite8(__m256 v) {
  constexpr float largest = std::numeric_limits<float>::max();
  const __m256 clamped =
      _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(-largest)), _mm256_set1_ps(largest));
  return _mm256_and_ps(clamped, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
}

// std::max(v, 0): 0 where v < 0, else v (a NaN and -0 stay).
__attribute__((target("avx2"))) inline __m256 not_negative8(__m256 v) {
  const __m256 zero = _mm256_setzero_ps();
  return _mm256_blendv_ps(v, zero, _mm256_cmp_ps(v, zero, _CMP_LT_OQ));
}

// The reflection texture's mean at pixels x .. x + 7 of row y.
template <class T>
__attribute__((target("avx2"))) inline __m256 reflection_mean8(
    const Final_Routine_Parameters_In<T>& in, int64_t x, int64_t y) {
  return texture_mean8(texture_at8(in.environment.reflection_texture, x, y, shading_white));
}

// The specular colour's factor per channel, k × tint + (1 - tint), at pixels x .. x + 7 of row y.
template <class T>
__attribute__((target("avx2"))) inline Rgb_8 specular_tint8(
    const Final_Routine_Parameters_In<T>& in, int64_t x, int64_t y) {
  const float tint = std::clamp(in.specular_tint, 0.0f, 1.0f);
  const __m256 amount = _mm256_set1_ps(tint);
  const __m256 rest = _mm256_set1_ps(1.0f - tint);
  const shading_lanes::Color_8 k = texture_at8(in.specular_color_texture, x, y, shading_white);
  return {_mm256_add_ps(_mm256_mul_ps(k.r, amount), rest),
          _mm256_add_ps(_mm256_mul_ps(k.g, amount), rest),
          _mm256_add_ps(_mm256_mul_ps(k.b, amount), rest)};
}

// The transparency at pixels x .. x + 7 of row y.
template <class T>
__attribute__((target("avx2"))) inline __m256 transparency8(
    const Final_Routine_Parameters_In<T>& in, int64_t x, int64_t y) {
  return _mm256_mul_ps(
      clamp8(texture_mean8(texture_at8(in.transparency_texture, x, y, shading_white)),
             _mm256_setzero_ps(), _mm256_set1_ps(1.0f)),
      _mm256_set1_ps(in.transparency));
}

// What a row's runs of eight take from the row: the occlusion and background rows, and what the
// textures give where they do not reach the row, made once.
template <class T>
struct Composite_Row {
  const float* occlusion;  // null: 1
  // Row y of the refracted image, or else of the background layer, and the image columns it
  // covers; both null where the background is black all along the row.
  const RGB32f* refracted;
  const T* background;
  int64_t background_begin;
  int64_t background_end;
  bool reflection_reaches;
  bool specular_color_reaches;
  bool transparency_reaches;
  __m256 reflection_mean;
  Rgb_8 tint;
  __m256 t;
};

template <class T>
__attribute__((target("avx2"))) inline Composite_Row<T> composite_row(
    const Final_Routine_Parameters_In<T>& in, int64_t y) {
  Composite_Row<T> row{in.occlusion.pixels != nullptr ? in.occlusion.row(y) : nullptr,
                       nullptr,
                       nullptr,
                       0,
                       0,
                       !outside_on_row(in.environment.reflection_texture, y),
                       !outside_on_row(in.specular_color_texture, y),
                       !outside_on_row(in.transparency_texture, y),
                       reflection_mean8(in, 0, y),
                       specular_tint8(in, 0, y),
                       transparency8(in, 0, y)};
  const Layer<RGB32f>& refracted = in.refracted_image;
  if (refracted.pixels == nullptr) {
    if (!outside_on_row(in.background, y)) {
      row.background = in.background.row(y - in.background.origin_y);
      row.background_begin = in.background.origin_x;
      row.background_end = in.background.origin_x + in.background.width;
    }
  } else if (!outside_on_row(refracted, y)) {
    row.refracted = refracted.row(y - refracted.origin_y);
    row.background_begin = refracted.origin_x;
    row.background_end = refracted.origin_x + refracted.width;
  }
  return row;
}

// background_at for pixels x .. x + 7 of row y: read in lanes where the refracted image or the
// background layer covers all eight, pixel by pixel where it covers some.
template <class T, bool any_row>
__attribute__((target("avx2"))) inline Rgb_8 background_at8(
    const Final_Routine_Parameters_In<T>& in, const Composite_Row<T>& row, int64_t x, int64_t y) {
  using shading_lanes::Cover;
  const __m256 zero = _mm256_setzero_ps();
  Rgb_8 b{zero, zero, zero};
  const Cover cover = shading_lanes::cover8(x, row.background_begin, row.background_end);
  if (row.background != nullptr && cover != Cover::none) {
    const shading_lanes::Color_8 c =
        cover == Cover::all
            ? shading_lanes::shading_colors8(row.background + (x - row.background_begin))
            : texture_at8(in.background, x, y, shading_black);
    b = {c.r, c.g, c.b};
  } else if (row.refracted != nullptr && cover == Cover::all) {
    b = load_rgb8(row.refracted[x - row.background_begin].channel);
  } else if (row.refracted != nullptr && cover == Cover::part) {
    alignas(32) float c[3][8] = {};
    for (int64_t l = 0; l < 8; ++l) {
      const int64_t column = x + l - row.background_begin;
      if (column >= 0 && x + l < row.background_end) {
        for (int32_t k = 0; k < 3; ++k) {
          c[k][l] = row.refracted[column].channel[k];
        }
      }
    }
    b = {_mm256_load_ps(c[0]), _mm256_load_ps(c[1]), _mm256_load_ps(c[2])};
  }
  if (any_row && in.refracted_image.pixels != nullptr && in.gamma != 1.0f) {
    b = {not_negative8(b.red), not_negative8(b.green), not_negative8(b.blue)};
    raise8(b, 1.0f / in.gamma);
  }
  return b;
}

// composite_pixel for the eight unclipped pixels x .. x + 7 of row y (run elements i ..): each
// lane runs the rule's float operations in its order, the textures' pixels gathered for it.
template <class T, bool any_row>
__attribute__((target("avx2"))) void composite_lanes_avx2(int64_t x, int64_t y, int64_t i,
                                                          const Final_Routine_Parameters_In<T>& in,
                                                          const Lit_Run& run,
                                                          const Composite_Row<T>& row) {
  using Traits = Pixel_Traits<T>;
  const Environment_Parameter<T>& environment = in.environment;
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 occ = row.occlusion != nullptr ? _mm256_loadu_ps(row.occlusion + x) : one;

  // The environment's light.
  const Rgb_Value& color = environment.illumination_color;
  Rgb_8 e{_mm256_set1_ps(color.red), _mm256_set1_ps(color.green), _mm256_set1_ps(color.blue)};
  if (run.illuminate) {
    const Rgb_8 a = load_rgb8(&run.illuminated[i].red);
    e = {_mm256_mul_ps(e.red, a.red), _mm256_mul_ps(e.green, a.green),
         _mm256_mul_ps(e.blue, a.blue)};
  }
  const __m256 amount = _mm256_mul_ps(_mm256_set1_ps(environment.illumination_amount), occ);
  Rgb_8 diffuse = load_rgb8(&run.diffuse[i].red);
  diffuse = {_mm256_add_ps(diffuse.red, _mm256_mul_ps(e.red, amount)),
             _mm256_add_ps(diffuse.green, _mm256_mul_ps(e.green, amount)),
             _mm256_add_ps(diffuse.blue, _mm256_mul_ps(e.blue, amount))};
  Rgb_8 specular = load_rgb8(&run.specular[i].red);
  if (run.reflect) {
    const float base = environment.glossiness > 1.0f ? environment.glossiness - 1.0f : 0.0f;
    const __m256 mean =
        any_row && row.reflection_reaches ? reflection_mean8(in, x, y) : row.reflection_mean;
    const __m256 weight = _mm256_add_ps(
        _mm256_set1_ps(base),
        _mm256_mul_ps(_mm256_mul_ps(occ, _mm256_set1_ps(environment.reflection_amount)), mean));
    Rgb_8 r = load_rgb8(&run.reflected[i].red);
    if (any_row && environment.gamma != 1.0f) {
      // std::max(0, r) makes a NaN 0.
      r = {_mm256_max_ps(r.red, zero), _mm256_max_ps(r.green, zero), _mm256_max_ps(r.blue, zero)};
      raise8(r, 1.0f / environment.gamma);
    }
    specular = {_mm256_add_ps(specular.red, _mm256_mul_ps(r.red, weight)),
                _mm256_add_ps(specular.green, _mm256_mul_ps(r.green, weight)),
                _mm256_add_ps(specular.blue, _mm256_mul_ps(r.blue, weight))};
  }
  if (in.specular_tint != 0.0f) {
    const Rgb_8 tint = any_row && row.specular_color_reaches ? specular_tint8(in, x, y) : row.tint;
    specular = {_mm256_mul_ps(specular.red, tint.red), _mm256_mul_ps(specular.green, tint.green),
                _mm256_mul_ps(specular.blue, tint.blue)};
  }

  T* out = in.output.row(y) + x;
  __m256 channels[4];
  if (any_row && in.highlights_only != 0) {
    // store_highlight_pixel: integers as store_shaded_pixel with alpha 1, floats made finite.
    if constexpr (Traits::is_integer) {
      channels[Traits::alpha] = stored8<T>(one);
      channels[Traits::red] = stored8<T>(specular.red);
      channels[Traits::green] = stored8<T>(specular.green);
      channels[Traits::blue] = stored8<T>(specular.blue);
    } else {
      channels[Traits::alpha] = one;
      channels[Traits::red] = finite8(specular.red);
      channels[Traits::green] = finite8(specular.green);
      channels[Traits::blue] = finite8(specular.blue);
    }
    store_channels8(out, channels);
    return;
  }

  // The surface over the background.
  const __m256 t = any_row && row.transparency_reaches ? transparency8(in, x, y) : row.t;
  const Rgb_8 background = background_at8<T, any_row>(in, row, x, y);
  const __m256 unit = _mm256_set1_ps(1.0f / Traits::white_value);
  shading_lanes::load_channels8(out, channels);
  const __m256 opaque = _mm256_sub_ps(one, t);
  const __m256 k = _mm256_set1_ps(in.colorize);
  const __m256 keep = _mm256_set1_ps(1.0f - in.colorize);
  const __m256 red =
      composite8(opaque, t, keep, k, diffuse.red, _mm256_mul_ps(channels[Traits::red], unit),
                 specular.red, background.red);
  const __m256 green =
      composite8(opaque, t, keep, k, diffuse.green, _mm256_mul_ps(channels[Traits::green], unit),
                 specular.green, background.green);
  const __m256 blue =
      composite8(opaque, t, keep, k, diffuse.blue, _mm256_mul_ps(channels[Traits::blue], unit),
                 specular.blue, background.blue);
  __m256 a = one;
  if (in.alpha_fading != 0.0f) {
    const __m256 f = _mm256_set1_ps(in.alpha_fading);
    const __m256 d = _mm256_loadu_ps(in.depth.row(y) + x);
    a = _mm256_blendv_ps(a, _mm256_mul_ps(a, _mm256_div_ps(d, f)), _mm256_cmp_ps(f, d, _CMP_GE_OQ));
  }

  channels[Traits::alpha] = stored8<T>(a);
  channels[Traits::red] = stored8<T>(red);
  channels[Traits::green] = stored8<T>(green);
  channels[Traits::blue] = stored8<T>(blue);
  store_channels8(out, channels);
}

// composite_run's groups of eight pixels without a clipped one in lanes; the others and the tail
// take the pixel rule. Without `any_row`, only for a row no texture reaches, without gammas and
// highlights only: such rows, most of a frame, skip the tests for them.
template <class T, bool any_row>
__attribute__((target("avx2"))) void composite_groups_avx2(int64_t x0, int64_t n, int64_t y,
                                                           const Final_Routine_Parameters_In<T>& in,
                                                           const Lit_Run& run,
                                                           const Composite_Row<T>& row) {
  const float* depth = in.depth.row(y);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const int64_t x = x0 + i;
    const bool clipped = in.alpha_clipping != 0 &&
                         _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(depth + x),
                                                          _mm256_setzero_ps(), _CMP_EQ_OQ)) != 0;
    if (clipped) {
      for (int64_t l = i; l < i + 8; ++l) {
        composite_pixel(x0 + l, y, l, in, run);
      }
    } else {
      composite_lanes_avx2<T, any_row>(x, y, i, in, run, row);
    }
  }
  for (; i < n; ++i) {
    composite_pixel(x0 + i, y, i, in, run);
  }
}

template <class T>
__attribute__((target("avx2"))) void composite_run_avx2(int64_t x0, int64_t n, int64_t y,
                                                        const Final_Routine_Parameters_In<T>& in,
                                                        const Lit_Run& run) {
  const Composite_Row<T> row = composite_row(in, y);
  const bool plain_row = !row.reflection_reaches && !row.specular_color_reaches &&
                         !row.transparency_reaches && in.gamma == 1.0f &&
                         in.environment.gamma == 1.0f && in.highlights_only == 0;
  if (plain_row) {
    composite_groups_avx2<T, false>(x0, n, y, in, run, row);
  } else {
    composite_groups_avx2<T, true>(x0, n, y, in, run, row);
  }
}

#endif

}  // namespace

template <class T>
void composite_run(int64_t x0, int64_t n, int64_t y, const Final_Routine_Parameters_In<T>& in,
                   const Lit_Run& run) {
#if BREL_AVX2_ROWS
  if (cpu_has_avx2()) {
    composite_run_avx2(x0, n, y, in, run);
    return;
  }
#endif
  for (int64_t i = 0; i < n; ++i) {
    composite_pixel(x0 + i, y, i, in, run);
  }
}

#define BREL_FINAL_COMPOSITE_INSTANCES(T)                                                          \
  template void add_environment_colors<T>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,                \
                                          const Rgb_Value&, const Rgb_Value&, bool, bool,          \
                                          const Environment_Parameter<T>&, const Layer<float>&);   \
  template void composite_pixel<T>(int64_t, int64_t, int64_t,                                      \
                                   const Final_Routine_Parameters_In<T>&, const Lit_Run&);         \
  template void composite_run<T>(int64_t, int64_t, int64_t, const Final_Routine_Parameters_In<T>&, \
                                 const Lit_Run&);

BREL_FINAL_COMPOSITE_INSTANCES(ARGB8)
BREL_FINAL_COMPOSITE_INSTANCES(ARGB16)
BREL_FINAL_COMPOSITE_INSTANCES(ARGB32f)
BREL_FINAL_COMPOSITE_INSTANCES(BGRA8)
BREL_FINAL_COMPOSITE_INSTANCES(BGRA16)
BREL_FINAL_COMPOSITE_INSTANCES(BGRA32f)

#undef BREL_FINAL_COMPOSITE_INSTANCES

}  // namespace brel
