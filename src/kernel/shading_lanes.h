#pragma once

// Vector lanes the final shading's row bodies share: eight pixels side by side, one lane each.

#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>

#include <cstdint>

#include "base/layer.h"
#include "base/pixel.h"
#include "kernel/final_routine_parameters.h"
#include "kernel/light_shading.h"
#include "kernel/power_lanes.h"

namespace brel::shading_lanes {

struct Rgb_8 {
  __m256 red, green, blue;
};

// Eight Shading_Colors, channel by channel.
struct Color_8 {
  __m256 r, g, b, a;
};

// Eight records of three floats each, one after another (colours, normals), as three vectors of
// their first, second and third floats.
__attribute__((target("avx2"))) inline void load_triples8(const float* p, __m256& first,
                                                          __m256& second, __m256& third) {
  const __m256 a0 = _mm256_loadu_ps(p);
  const __m256 a1 = _mm256_loadu_ps(p + 8);
  const __m256 a2 = _mm256_loadu_ps(p + 16);
  // Each vector takes its floats from the three loads in turn, then puts its lanes in order.
  const __m256 x = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0b10010010), a2, 0b00100100);
  const __m256 y = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0b00100100), a2, 0b01001001);
  const __m256 z = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0b01001001), a2, 0b10010010);
  first = _mm256_permutevar8x32_ps(x, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
  second = _mm256_permutevar8x32_ps(y, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6));
  third = _mm256_permutevar8x32_ps(z, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
}

// Eight colours of three floats each, red, green, blue one after another, as three vectors.
__attribute__((target("avx2"))) inline Rgb_8 load_rgb8(const float* p) {
  Rgb_8 c;
  load_triples8(p, c.red, c.green, c.blue);
  return c;
}

// Four channels of four-float pixels, by channel position: a 4 x 8 transposition.
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

// Eight host pixels on the scale where white is 1, as shading_color gives each.
template <class T>
__attribute__((target("avx2"))) inline Color_8 shading_colors8(const T* pixels) {
  using Traits = Pixel_Traits<T>;
  const __m256 unit = _mm256_set1_ps(1.0f / Traits::white_value);
  __m256 c[4];
  load_channels8(pixels, c);
  return {_mm256_mul_ps(c[Traits::red], unit), _mm256_mul_ps(c[Traits::green], unit),
          _mm256_mul_ps(c[Traits::blue], unit), _mm256_mul_ps(c[Traits::alpha], unit)};
}

__attribute__((target("avx2"))) inline Color_8 broadcast8(const Shading_Color& c) {
  return {_mm256_set1_ps(c.r), _mm256_set1_ps(c.g), _mm256_set1_ps(c.b), _mm256_set1_ps(c.a)};
}

// Where the columns x .. x + 7 lie against the columns begin .. end - 1 that an image covers.
enum class Cover { none, all, part };

inline Cover cover8(int64_t x, int64_t begin, int64_t end) {
  if (x + 8 <= begin || x >= end) {
    return Cover::none;
  }
  return x >= begin && x + 8 <= end ? Cover::all : Cover::part;
}

// texture_at for pixels x .. x + 7 of row y, one lane each: a texture that covers all eight is
// read in lanes, one that covers some of them pixel by pixel.
template <class T>
__attribute__((target("avx2"))) inline Color_8 texture_at8(const Layer<T>& texture, int64_t x,
                                                           int64_t y,
                                                           const Shading_Color& outside) {
  if (outside_on_row(texture, y)) {
    return broadcast8(outside);
  }
  const Cover cover = cover8(x, texture.origin_x, texture.origin_x + texture.width);
  if (cover == Cover::none) {
    return broadcast8(outside);
  }
  if (cover == Cover::all) {
    return shading_colors8(texture.row(y - texture.origin_y) + (x - texture.origin_x));
  }
  alignas(32) float c[4][8];
  for (int32_t l = 0; l < 8; ++l) {
    const Shading_Color s = texture_at(texture, x + l, y, outside);
    c[0][l] = s.r;
    c[1][l] = s.g;
    c[2][l] = s.b;
    c[3][l] = s.a;
  }
  return {_mm256_load_ps(c[0]), _mm256_load_ps(c[1]), _mm256_load_ps(c[2]), _mm256_load_ps(c[3])};
}

// texture_mean in lanes: (r + g + b) / (3 a), a NaN counting 0.
__attribute__((target("avx2"))) inline __m256 texture_mean8(const Color_8& c) {
  const __m256 mean = _mm256_div_ps(_mm256_add_ps(_mm256_add_ps(c.r, c.g), c.b),
                                    _mm256_mul_ps(_mm256_set1_ps(3.0f), c.a));
  return _mm256_and_ps(mean, _mm256_cmp_ps(mean, mean, _CMP_ORD_Q));
}

// std::clamp(v, lo, hi): lo where v < lo, else hi where hi < v, else v (a NaN stays).
__attribute__((target("avx2"))) inline __m256 clamp8(__m256 v, __m256 lo, __m256 hi) {
  const __m256 upper = _mm256_blendv_ps(v, hi, _mm256_cmp_ps(hi, v, _CMP_LT_OQ));
  return _mm256_blendv_ps(upper, lo, _mm256_cmp_ps(v, lo, _CMP_LT_OQ));
}

// Applies f to the lanes of `values` that `mask` selects, one at a time: the powers, which have
// no exact vector form.
template <class F>
__attribute__((target("avx2"))) inline __m256 per_lane(__m256 values, __m256 mask, F f) {
  const int selected = _mm256_movemask_ps(mask);
  if (selected == 0) {
    return values;
  }
  alignas(32) float v[8];
  _mm256_store_ps(v, values);
  for (int32_t l = 0; l < 8; ++l) {
    if ((selected >> l & 1) != 0) {
      v[l] = f(v[l], l);
    }
  }
  return _mm256_load_ps(v);
}

// The lanes whose bits are set in `bits`, as a mask.
__attribute__((target("avx2"))) inline __m256 lanes_of_bits(int bits) {
  const __m256i lane = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  return _mm256_castsi256_ps(
      _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(bits), lane), lane));
}

// shading_power in the lanes of `mask`: +0 to a positive power stays +0 without the call; with
// FMA, the library's power runs in lanes where its main path applies (library_powf8) and
// power_of would call it. The other lanes take shading_power one by one.
__attribute__((target("avx2"))) inline __m256 shading_power8(__m256 base, __m256 exponent,
                                                             __m256 mask) {
  const __m256 plus_zero =
      _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_castps_si256(base), _mm256_setzero_si256()));
  const __m256 known =
      _mm256_and_ps(plus_zero, _mm256_cmp_ps(exponent, _mm256_setzero_ps(), _CMP_GT_OQ));
  __m256 values = _mm256_blendv_ps(base, _mm256_setzero_ps(), known);
  __m256 rest = _mm256_andnot_ps(known, mask);
  if (_mm256_movemask_ps(rest) != 0 && cpu_has_avx2_fma()) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const int without_call = _mm256_movemask_ps(_mm256_or_ps(
        _mm256_cmp_ps(exponent, one, _CMP_EQ_OQ), _mm256_cmp_ps(base, one, _CMP_EQ_OQ)));
    int handled = 0;
    const __m256 power = library_powf8(base, exponent, handled);
    const __m256 taken = lanes_of_bits(handled & _mm256_movemask_ps(rest) & ~without_call);
    values = _mm256_blendv_ps(values, power, taken);
    rest = _mm256_andnot_ps(taken, rest);
  }
  alignas(32) float e[8];
  _mm256_store_ps(e, exponent);
  return per_lane(values, rest, [&](float b, int32_t l) { return shading_power(b, e[l]); });
}

// shading_power(c, exponent) for every lane of the three channels: the gamma correction.
__attribute__((target("avx2"))) inline void raise8(Rgb_8& c, float exponent) {
  const __m256 every = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  const __m256 e = _mm256_set1_ps(exponent);
  c = {shading_power8(c.red, e, every), shading_power8(c.green, e, every),
       shading_power8(c.blue, e, every)};
}

}  // namespace brel::shading_lanes

#endif
