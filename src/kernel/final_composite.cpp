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

// What every unclipped pixel of a row shares, each value made by the pixel rule's own
// expressions: the lanes take their row when no texture reaches it and nothing is raised by a
// gamma.
template <class T>
struct Composite_Row {
  Rgb_Value illumination_color;
  float illumination_amount;
  float reflection_weight_base;  // the glossiness above 1
  float reflection_amount;
  float reflection_texture_mean;
  bool tinted;
  Rgb_Value tint;  // the specular colour's factor per channel
  float t;         // the transparency
  float colorize;
  float fading;
  const float* occlusion;  // null: 1
  // Row y of the refracted image, or else of the background layer, and the image columns it
  // covers; both null where the background is black all along the row.
  const RGB32f* refracted;
  const T* background;
  int64_t background_begin;
  int64_t background_end;
};

template <class T>
bool composite_row_in_lanes(int64_t y, const Final_Routine_Parameters_In<T>& in, const Lit_Run& run,
                            Composite_Row<T>& row) {
  const Environment_Parameter<T>& environment = in.environment;
  if (in.highlights_only != 0 || in.gamma != 1.0f || !outside_on_row(in.transparency_texture, y)) {
    return false;
  }
  if (run.reflect &&
      (environment.gamma != 1.0f || !outside_on_row(environment.reflection_texture, y))) {
    return false;
  }
  if (in.specular_tint != 0.0f && !outside_on_row(in.specular_color_texture, y)) {
    return false;
  }
  const Layer<RGB32f>& refracted = in.refracted_image;
  row.refracted = nullptr;
  row.background = nullptr;
  row.background_begin = 0;
  row.background_end = 0;
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
  row.illumination_color = environment.illumination_color;
  row.illumination_amount = environment.illumination_amount;
  row.reflection_weight_base = environment.glossiness > 1.0f ? environment.glossiness - 1.0f : 0.0f;
  row.reflection_amount = environment.reflection_amount;
  row.reflection_texture_mean = texture_mean(shading_white);
  row.tinted = in.specular_tint != 0.0f;
  const float tint = std::clamp(in.specular_tint, 0.0f, 1.0f);
  const Shading_Color k = shading_white;
  row.tint = {k.r * tint + (1.0f - tint), k.g * tint + (1.0f - tint), k.b * tint + (1.0f - tint)};
  row.t = std::clamp(texture_mean(shading_white), 0.0f, 1.0f) * in.transparency;
  row.colorize = in.colorize;
  row.fading = in.alpha_fading;
  row.occlusion = in.occlusion.pixels != nullptr ? in.occlusion.row(y) : nullptr;
  return true;
}

struct Rgb_8 {
  __m256 red, green, blue;
};

// Eight colours of three floats each, red, green, blue one after another, as three vectors.
__attribute__((target("avx2"))) inline Rgb_8 load_rgb8(const float* p) {
  Rgb_8 c;
  shading_lanes::load_triples8(p, c.red, c.green, c.blue);
  return c;
}

// Four channels of four-float pixels, by channel position, and back: a 4 x 8 transposition.
__attribute__((target("avx2"))) inline void load_float_channels8(const float* p, __m256* c) {
  const __m256 r0 = _mm256_loadu_ps(p);                    // pixels 0, 1
  const __m256 r1 = _mm256_loadu_ps(p + 8);                // 2, 3
  const __m256 r2 = _mm256_loadu_ps(p + 16);               // 4, 5
  const __m256 r3 = _mm256_loadu_ps(p + 24);               // 6, 7
  const __m256 u0 = _mm256_permute2f128_ps(r0, r2, 0x20);  // 0 | 4
  const __m256 u1 = _mm256_permute2f128_ps(r0, r2, 0x31);  // 1 | 5
  const __m256 u2 = _mm256_permute2f128_ps(r1, r3, 0x20);  // 2 | 6
  const __m256 u3 = _mm256_permute2f128_ps(r1, r3, 0x31);  // 3 | 7
  const __m256 t0 = _mm256_unpacklo_ps(u0, u1);
  const __m256 t1 = _mm256_unpackhi_ps(u0, u1);
  const __m256 t2 = _mm256_unpacklo_ps(u2, u3);
  const __m256 t3 = _mm256_unpackhi_ps(u2, u3);
  c[0] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  c[1] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  c[2] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  c[3] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
}

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

// The channels of eight host pixels by position, as Pixel_Traits::load gives them.
template <class T>
__attribute__((target("avx2"))) inline void load_channels8(const T* pixels, __m256* c) {
  using Channel = typename Pixel_Traits<T>::Channel;
  if constexpr (sizeof(Channel) == 1) {
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels));
    const __m256i byte = _mm256_set1_epi32(0xff);
    c[0] = _mm256_cvtepi32_ps(_mm256_and_si256(w, byte));
    c[1] = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 8), byte));
    c[2] = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 16), byte));
    c[3] = _mm256_cvtepi32_ps(_mm256_srli_epi32(w, 24));
  } else if constexpr (sizeof(Channel) == 2) {
    const __m256 v0 = _mm256_loadu_ps(reinterpret_cast<const float*>(pixels));      // 0 .. 3
    const __m256 v1 = _mm256_loadu_ps(reinterpret_cast<const float*>(pixels + 4));  // 4 .. 7
    // The low and high halves of the pixels, in the order 0 1 4 5 | 2 3 6 7, then in order.
    const __m256i low = _mm256_permute4x64_epi64(
        _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0))),
        _MM_SHUFFLE(3, 1, 2, 0));
    const __m256i high = _mm256_permute4x64_epi64(
        _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1))),
        _MM_SHUFFLE(3, 1, 2, 0));
    const __m256i word = _mm256_set1_epi32(0xffff);
    c[0] = _mm256_cvtepi32_ps(_mm256_and_si256(low, word));
    c[1] = _mm256_cvtepi32_ps(_mm256_srli_epi32(low, 16));
    c[2] = _mm256_cvtepi32_ps(_mm256_and_si256(high, word));
    c[3] = _mm256_cvtepi32_ps(_mm256_srli_epi32(high, 16));
  } else {
    load_float_channels8(reinterpret_cast<const float*>(pixels), c);
  }
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
// times white (NaN and less give 0), floats 0 and above.
template <class T>
__attribute__((target("avx2"))) inline __m256 stored8(__m256 v) {
  using Traits = Pixel_Traits<T>;
  const __m256 above = _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ);
  if constexpr (Traits::is_integer) {
    return _mm256_mul_ps(_mm256_and_ps(_mm256_min_ps(v, _mm256_set1_ps(1.0f)), above),
                         _mm256_set1_ps(Traits::white_value));
  } else {
    return _mm256_and_ps(v, above);
  }
}

// composite_pixel for the eight unclipped pixels x .. x + 7 of row y (run elements i ..), in a
// row that composite_row_in_lanes accepted: each lane runs the rule's float operations in its
// order.
template <class T>
__attribute__((target("avx2"))) void composite_lanes_avx2(int64_t x, int64_t y, int64_t i,
                                                          const Final_Routine_Parameters_In<T>& in,
                                                          const Lit_Run& run,
                                                          const Composite_Row<T>& row) {
  using Traits = Pixel_Traits<T>;
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 occ = row.occlusion != nullptr ? _mm256_loadu_ps(row.occlusion + x) : one;

  // The environment's light.
  Rgb_8 e{_mm256_set1_ps(row.illumination_color.red), _mm256_set1_ps(row.illumination_color.green),
          _mm256_set1_ps(row.illumination_color.blue)};
  if (run.illuminate) {
    const Rgb_8 a = load_rgb8(&run.illuminated[i].red);
    e = {_mm256_mul_ps(e.red, a.red), _mm256_mul_ps(e.green, a.green),
         _mm256_mul_ps(e.blue, a.blue)};
  }
  const __m256 amount = _mm256_mul_ps(_mm256_set1_ps(row.illumination_amount), occ);
  Rgb_8 diffuse = load_rgb8(&run.diffuse[i].red);
  diffuse = {_mm256_add_ps(diffuse.red, _mm256_mul_ps(e.red, amount)),
             _mm256_add_ps(diffuse.green, _mm256_mul_ps(e.green, amount)),
             _mm256_add_ps(diffuse.blue, _mm256_mul_ps(e.blue, amount))};
  Rgb_8 specular = load_rgb8(&run.specular[i].red);
  if (run.reflect) {
    const __m256 weight =
        _mm256_add_ps(_mm256_set1_ps(row.reflection_weight_base),
                      _mm256_mul_ps(_mm256_mul_ps(occ, _mm256_set1_ps(row.reflection_amount)),
                                    _mm256_set1_ps(row.reflection_texture_mean)));
    const Rgb_8 r = load_rgb8(&run.reflected[i].red);
    specular = {_mm256_add_ps(specular.red, _mm256_mul_ps(r.red, weight)),
                _mm256_add_ps(specular.green, _mm256_mul_ps(r.green, weight)),
                _mm256_add_ps(specular.blue, _mm256_mul_ps(r.blue, weight))};
  }
  if (row.tinted) {
    specular = {_mm256_mul_ps(specular.red, _mm256_set1_ps(row.tint.red)),
                _mm256_mul_ps(specular.green, _mm256_set1_ps(row.tint.green)),
                _mm256_mul_ps(specular.blue, _mm256_set1_ps(row.tint.blue))};
  }

  // The surface over the background.
  const __m256 unit = _mm256_set1_ps(1.0f / Traits::white_value);
  __m256 channels[4];
  Rgb_8 background{zero, zero, zero};
  if (row.refracted != nullptr) {
    background = load_rgb8(row.refracted[x - row.background_begin].channel);
  } else if (row.background != nullptr) {
    load_channels8(row.background + (x - row.background_begin), channels);
    background = {_mm256_mul_ps(channels[Traits::red], unit),
                  _mm256_mul_ps(channels[Traits::green], unit),
                  _mm256_mul_ps(channels[Traits::blue], unit)};
  }
  T* out = in.output.row(y) + x;
  load_channels8(out, channels);
  const __m256 t = _mm256_set1_ps(row.t);
  const __m256 opaque = _mm256_set1_ps(1.0f - row.t);
  const __m256 k = _mm256_set1_ps(row.colorize);
  const __m256 keep = _mm256_set1_ps(1.0f - row.colorize);
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
  if (row.fading != 0.0f) {
    const __m256 f = _mm256_set1_ps(row.fading);
    const __m256 d = _mm256_loadu_ps(in.depth.row(y) + x);
    a = _mm256_blendv_ps(a, _mm256_mul_ps(a, _mm256_div_ps(d, f)), _mm256_cmp_ps(f, d, _CMP_GE_OQ));
  }

  channels[Traits::alpha] = stored8<T>(a);
  channels[Traits::red] = stored8<T>(red);
  channels[Traits::green] = stored8<T>(green);
  channels[Traits::blue] = stored8<T>(blue);
  store_channels8(out, channels);
}

// composite_run in lanes; returns false, having done nothing, where the row's settings need the
// pixel rule.
template <class T>
__attribute__((target("avx2"))) bool composite_run_avx2(int64_t x0, int64_t n, int64_t y,
                                                        const Final_Routine_Parameters_In<T>& in,
                                                        const Lit_Run& run) {
  Composite_Row<T> row;
  if (!composite_row_in_lanes(y, in, run, row)) {
    return false;
  }
  const float* depth = in.depth.row(y);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const int64_t x = x0 + i;
    // Clipped pixels, and pixels their background covers only in part, take the pixel rule.
    const bool clipped = in.alpha_clipping != 0 &&
                         _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(depth + x),
                                                          _mm256_setzero_ps(), _CMP_EQ_OQ)) != 0;
    const bool covered = (row.refracted == nullptr && row.background == nullptr) ||
                         (x >= row.background_begin && x + 8 <= row.background_end);
    if (clipped || !covered) {
      for (int64_t l = i; l < i + 8; ++l) {
        composite_pixel(x0 + l, y, l, in, run);
      }
    } else {
      composite_lanes_avx2(x, y, i, in, run, row);
    }
  }
  for (; i < n; ++i) {
    composite_pixel(x0 + i, y, i, in, run);
  }
  return true;
}

#endif

}  // namespace

template <class T>
void composite_run(int64_t x0, int64_t n, int64_t y, const Final_Routine_Parameters_In<T>& in,
                   const Lit_Run& run) {
#if BREL_AVX2_ROWS
  if (cpu_has_avx2() && composite_run_avx2(x0, n, y, in, run)) {
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
