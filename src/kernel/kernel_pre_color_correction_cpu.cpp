#include "kernel/kernel_pre_color_correction_cpu.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/finite_float.h"

#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

namespace {

// 1/√3 as a double: the grey direction's components and the luminance weight of a unit colour.
constexpr double grey_component = 0.5773502691896257;
// The same in float: brightness = length × this, so white has brightness 1.
constexpr float brightness_per_length = 0.57735026f;
constexpr double minus_log_2 = -0.6931471805599453;

// Limits to 0 .. 1; a value that is not a number passes.
inline float limit_unit(float v) {
  if (v < 0.0f) {
    return 0.0f;
  }
  if (v > 1.0f) {
    return 1.0f;
  }
  return v;
}

// The limit of the corrected colour. A curve that raised a negative brightness to a fractional
// power, or multiplied an infinite one by 0, leaves no number: such a colour counts as black.
inline float limit_corrected(float v) {
  v = v > 1.0f ? 1.0f : v;
  return v < 0.0f || v != v ? 0.0f : v;
}

inline bool is_neutral(const Pre_Color_Correction_Settings& s) {
  return s.saturation == 1.0f && s.depth_bias == 0.0f && s.depth_gain == 0.0f &&
         s.back_level == 0.0f && s.front_level == 1.0f;
}

// The exponent of a curve whose control value maps 0.5 to `half`.
inline float curve_exponent(float half) {
  return static_cast<float>(std::log(half) / minus_log_2);
}

// Whether the float length of a finite colour that is not black lost the colour's direction:
// its squares overflowed (channels from about 1e19 on) or all vanished (below about 1e-23).
inline bool direction_lost(float length, float r, float g, float b) {
  return (length == 0.0f || !within_float_range(length)) && within_float_range(r) &&
         within_float_range(g) && within_float_range(b) && (r != 0.0f || g != 0.0f || b != 0.0f);
}

// The length of such a colour and the colour divided by it, measured in double, where the
// squares of every finite float fit; a length beyond the float range is the largest float.
inline void length_in_double(float r, float g, float b, float& length, float& ur, float& ug,
                             float& ub) {
  const double dr = r;
  const double dg = g;
  const double db = b;
  const double measured = std::sqrt(dr * dr + dg * dg + db * db);
  length = nearest_finite_float(measured);
  ur = static_cast<float>(dr / measured);
  ug = static_cast<float>(dg / measured);
  ub = static_cast<float>(db / measured);
}

inline float luminance_depth(float r, float g, float b) {
  return std::sqrt(r * r + g * g + b * b) * brightness_per_length;
}

// The channel the depth is taken from, in arithmetic T.
template <class T>
T depth_channel_value(const Pre_Color_Correction_Settings& s, T r, T g, T b, T alpha) {
  switch (s.depth_channel) {
    case Depth_Channel_Luminance:
      return std::sqrt(r * r + g * g + b * b) * brightness_per_length;
    case Depth_Channel_Red:
      return r;
    case Depth_Channel_Green:
      return g;
    case Depth_Channel_Blue:
      return b;
    case Depth_Channel_Alpha:
      return alpha;
    default:
      return 0;
  }
}

// The depth value in double, for pixels whose float depth overflowed: channels from about 1e19
// on overflow the luminance's squares, and the depth scale can carry a channel beyond the float
// range, where the largest float stands for it.
float depth_in_double(const Pre_Color_Correction_Settings& s, double r, double g, double b,
                      double alpha) {
  return nearest_finite_float(s.depth_scale * depth_channel_value(s, r, g, b, alpha));
}

}  // namespace

Pre_Color_Correction_Pixel pre_color_correction_pixel_reference(
    const Pre_Color_Correction_Settings& s, const float c[3], float alpha, const float t[3]) {
  float corrected[3] = {c[0], c[1], c[2]};
  if (!is_neutral(s)) {
    float length = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    float unit[3];
    for (int i = 0; i < 3; ++i) {
      unit[i] = length != 0.0f ? c[i] / length : c[i];
    }
    if (direction_lost(length, c[0], c[1], c[2])) {
      length_in_double(c[0], c[1], c[2], length, unit[0], unit[1], unit[2]);
    }
    float direction[3];
    float saturated_length = length;
    if (s.saturation == 1.0f) {
      std::copy(unit, unit + 3, direction);
    } else {
      const float t_amount = std::min(std::fabs(s.saturation - 1.0f), 1.0f);
      const double luminance = 0.212671 * unit[0] + 0.71516 * unit[1] + 0.072169 * unit[2];
      saturated_length =
          length * (t_amount * static_cast<float>(luminance / grey_component) + (1.0f - t_amount));
      for (int i = 0; i < 3; ++i) {
        direction[i] =
            static_cast<float>((unit[i] - grey_component) * s.saturation + grey_component);
      }
      const float squared =
          direction[0] * direction[0] + direction[1] * direction[1] + direction[2] * direction[2];
      if (squared != 0.0f) {
        const float norm = std::sqrt(squared);
        for (float& component : direction) {
          component = component / norm;
        }
      }
    }
    for (float& component : direction) {
      component = limit_unit(component);
    }
    float brightness = limit_unit(saturated_length * brightness_per_length);
    if (s.front_level != s.back_level) {
      brightness = (brightness - s.back_level) / (s.front_level - s.back_level);
    }
    brightness = std::min(brightness, 1.0f);
    if (s.depth_bias != 0.0f) {
      brightness = std::pow(brightness, curve_exponent(0.5f * s.depth_bias + 0.5f));
    }
    if (s.depth_gain != 0.0f) {
      const float q = 0.5f * s.depth_gain + 0.5f;
      const float exponent = curve_exponent(1.0f - q);
      if (q < 0.5f) {
        brightness = 0.5f * std::pow(brightness + brightness, exponent);
      } else {
        brightness = 1.0f - 0.5f * std::pow(2.0f - (brightness + brightness), exponent);
      }
    }
    const float scale = brightness / brightness_per_length;
    for (int i = 0; i < 3; ++i) {
      corrected[i] = limit_corrected(direction[i] * scale);
    }
  }
  Pre_Color_Correction_Pixel result;
  result.depth =
      s.depth_scale * depth_channel_value(s, corrected[0], corrected[1], corrected[2], alpha);
  if (!within_float_range(result.depth)) {
    result.depth = depth_in_double(s, corrected[0], corrected[1], corrected[2], alpha);
  }
  const float m = s.surface_tint_amount;
  const float k = s.color_mix;
  for (int i = 0; i < 3; ++i) {
    float surface = s.surface_color[i] * ((1.0f - m) + m * t[i]);
    if (k != 0.0f) {
      surface =
          s.additive_mix ? surface + k * corrected[i] : surface * (k * corrected[i] + (1.0f - k));
    }
    result.surface[i] = surface;
  }
  return result;
}

namespace pre_color_correction_detail {

namespace {

// Square roots and divisions bound the steps below: where the processor has AVX2 they run eight
// pixels an instruction instead of four, with the same results.
// The colour correction of n pixels in place, one step at a time over the block.
BREL_TARGET_CLONES_AVX2 void correct_block(const Pre_Color_Correction_Settings& s, Block& v,
                                           int64_t n) {
  float length[block];
  float direction_r[block];
  float direction_g[block];
  float direction_b[block];
  for (int64_t i = 0; i < n; ++i) {
    length[i] = std::sqrt(v.r[i] * v.r[i] + v.g[i] * v.g[i] + v.b[i] * v.b[i]);
    const bool scaled = length[i] != 0.0f;
    direction_r[i] = scaled ? v.r[i] / length[i] : v.r[i];
    direction_g[i] = scaled ? v.g[i] / length[i] : v.g[i];
    direction_b[i] = scaled ? v.b[i] / length[i] : v.b[i];
  }
  int32_t lost = 0;
  for (int64_t i = 0; i < n; ++i) {
    lost += static_cast<int32_t>(direction_lost(length[i], v.r[i], v.g[i], v.b[i]));
  }
  if (lost != 0) {
    for (int64_t i = 0; i < n; ++i) {
      if (direction_lost(length[i], v.r[i], v.g[i], v.b[i])) {
        length_in_double(v.r[i], v.g[i], v.b[i], length[i], direction_r[i], direction_g[i],
                         direction_b[i]);
      }
    }
  }
  float brightness[block];
  if (s.saturation == 1.0f) {
    std::copy(length, length + n, brightness);
  } else {
    const float t_amount = std::min(std::fabs(s.saturation - 1.0f), 1.0f);
    const double saturation = s.saturation;
    for (int64_t i = 0; i < n; ++i) {
      const float ur = direction_r[i];
      const float ug = direction_g[i];
      const float ub = direction_b[i];
      const double luminance = 0.212671 * ur + 0.71516 * ug + 0.072169 * ub;
      brightness[i] = length[i] * (t_amount * static_cast<float>(luminance / grey_component) +
                                   (1.0f - t_amount));
      float dr = static_cast<float>((ur - grey_component) * saturation + grey_component);
      float dg = static_cast<float>((ug - grey_component) * saturation + grey_component);
      float db = static_cast<float>((ub - grey_component) * saturation + grey_component);
      const float squared = dr * dr + dg * dg + db * db;
      const float norm = squared != 0.0f ? std::sqrt(squared) : 1.0f;
      direction_r[i] = dr / norm;
      direction_g[i] = dg / norm;
      direction_b[i] = db / norm;
    }
  }
  for (int64_t i = 0; i < n; ++i) {
    direction_r[i] = limit_unit(direction_r[i]);
    direction_g[i] = limit_unit(direction_g[i]);
    direction_b[i] = limit_unit(direction_b[i]);
    brightness[i] = limit_unit(brightness[i] * brightness_per_length);
  }
  if (s.front_level != s.back_level) {
    const float range = s.front_level - s.back_level;
    for (int64_t i = 0; i < n; ++i) {
      brightness[i] = (brightness[i] - s.back_level) / range;
    }
  }
  for (int64_t i = 0; i < n; ++i) {
    brightness[i] = std::min(brightness[i], 1.0f);
  }
  if (s.depth_bias != 0.0f) {
    const float exponent = curve_exponent(0.5f * s.depth_bias + 0.5f);
    for (int64_t i = 0; i < n; ++i) {
      brightness[i] = std::pow(brightness[i], exponent);
    }
  }
  if (s.depth_gain != 0.0f) {
    const float q = 0.5f * s.depth_gain + 0.5f;
    const float exponent = curve_exponent(1.0f - q);
    // The sign of the gain picks the branch, for every brightness alike.
    if (q < 0.5f) {
      for (int64_t i = 0; i < n; ++i) {
        brightness[i] = 0.5f * std::pow(brightness[i] + brightness[i], exponent);
      }
    } else {
      for (int64_t i = 0; i < n; ++i) {
        brightness[i] = 1.0f - 0.5f * std::pow(2.0f - (brightness[i] + brightness[i]), exponent);
      }
    }
  }
  for (int64_t i = 0; i < n; ++i) {
    const float scale = brightness[i] / brightness_per_length;
    v.r[i] = limit_corrected(direction_r[i] * scale);
    v.g[i] = limit_corrected(direction_g[i] * scale);
    v.b[i] = limit_corrected(direction_b[i] * scale);
  }
}

BREL_TARGET_CLONES_AVX2 void depth_block_in_float(const Pre_Color_Correction_Settings& s,
                                                  const Block& v, int64_t n, float* depth) {
  const float scale = s.depth_scale;
  const float* channel = nullptr;
  switch (s.depth_channel) {
    case Depth_Channel_Luminance:
      for (int64_t i = 0; i < n; ++i) {
        depth[i] = scale * luminance_depth(v.r[i], v.g[i], v.b[i]);
      }
      return;
    case Depth_Channel_Red:
      channel = v.r;
      break;
    case Depth_Channel_Green:
      channel = v.g;
      break;
    case Depth_Channel_Blue:
      channel = v.b;
      break;
    case Depth_Channel_Alpha:
      channel = v.a;
      break;
    default:
      for (int64_t i = 0; i < n; ++i) {
        depth[i] = scale * 0.0f;
      }
      return;
  }
  for (int64_t i = 0; i < n; ++i) {
    depth[i] = scale * channel[i];
  }
}

void depth_block(const Pre_Color_Correction_Settings& s, const Block& v, int64_t n, float* depth) {
  depth_block_in_float(s, v, n, depth);
  int32_t overflows = 0;
  for (int64_t i = 0; i < n; ++i) {
    overflows += static_cast<int32_t>(!within_float_range(depth[i]));
  }
  if (overflows == 0) {
    return;
  }
  for (int64_t i = 0; i < n; ++i) {
    if (!within_float_range(depth[i])) {
      depth[i] = depth_in_double(s, v.r[i], v.g[i], v.b[i], v.a[i]);
    }
  }
}

// Surface colour into the tint arrays, which hold the texture colour on entry.
BREL_TARGET_CLONES_AVX2 void surface_block(const Pre_Color_Correction_Settings& s, Block& v,
                                           int64_t n) {
  const float m = s.surface_tint_amount;
  const float keep = 1.0f - m;
  float* surface[3] = {v.tint_r, v.tint_g, v.tint_b};
  const float* corrected[3] = {v.r, v.g, v.b};
  const float k = s.color_mix;
  for (int c = 0; c < 3; ++c) {
    const float base = s.surface_color[c];
    float* out = surface[c];
    const float* mix = corrected[c];
    for (int64_t i = 0; i < n; ++i) {
      out[i] = base * (keep + m * out[i]);
    }
    if (k == 0.0f) {
      continue;
    }
    if (s.additive_mix) {
      for (int64_t i = 0; i < n; ++i) {
        out[i] = out[i] + k * mix[i];
      }
    } else {
      for (int64_t i = 0; i < n; ++i) {
        out[i] = out[i] * (k * mix[i] + (1.0f - k));
      }
    }
  }
}

}  // namespace

// Conversions bound these loops: where the processor has AVX2 they run eight pixels an
// instruction instead of four, with the same results.
template <class P>
BREL_TARGET_CLONES_AVX2 void load_integer_block(const P* input, int64_t n, Block& values) {
  using Traits = Pixel_Traits<P>;
  using Word = typename Traits::Word;
  for (int64_t i = 0; i < n; ++i) {
    Word word;
    std::memcpy(&word, input + i, sizeof(Word));
    values.r[i] = input_value<P>(Traits::load_word(word, Traits::red));
    values.g[i] = input_value<P>(Traits::load_word(word, Traits::green));
    values.b[i] = input_value<P>(Traits::load_word(word, Traits::blue));
    values.a[i] = input_value<P>(Traits::load_word(word, Traits::alpha));
  }
}

template <class P>
BREL_TARGET_CLONES_AVX2 void store_integer_block(const Block& values, int64_t n, P* output) {
  using Traits = Pixel_Traits<P>;
  using Word = typename Traits::Word;
  const float white = Traits::white_value;
  for (int64_t i = 0; i < n; ++i) {
    const Word word = Traits::to_word_truncated(values.a[i] * white, Traits::alpha) |
                      Traits::to_word_truncated(values.tint_r[i] * white, Traits::red) |
                      Traits::to_word_truncated(values.tint_g[i] * white, Traits::green) |
                      Traits::to_word_truncated(values.tint_b[i] * white, Traits::blue);
    std::memcpy(output + i, &word, sizeof(Word));
  }
}

template <class P>
BREL_TARGET_CLONES_AVX2 void store_integer_block_constant(const Block& values, int64_t n,
                                                          typename Pixel_Traits<P>::Word rgb,
                                                          P* output) {
  using Traits = Pixel_Traits<P>;
  using Word = typename Traits::Word;
  const float white = Traits::white_value;
  for (int64_t i = 0; i < n; ++i) {
    const Word word = Traits::to_word_truncated(values.a[i] * white, Traits::alpha) | rgb;
    std::memcpy(output + i, &word, sizeof(Word));
  }
}

#if BREL_AVX2_ROWS

namespace {

// Channel `position` (0 .. 3) of eight pixel words as floats 0 .. 255.
__attribute__((target("avx2,fma"))) inline __m256 byte_channel(__m256i words, int32_t position) {
  const __m256i shifted = _mm256_srlv_epi32(words, _mm256_set1_epi32(8 * position));
  return _mm256_cvtepi32_ps(_mm256_and_si256(shifted, _mm256_set1_epi32(255)));
}

// v / 255 for byte values v, as the division rounds it: the product with the float nearest
// 1/255, corrected by its remainder (exact under fused multiply-add) times that reciprocal. The
// same float as the division for every one of the 256 values; the tests run them all through
// every channel.
__attribute__((target("avx2,fma"))) inline __m256 byte_unit(__m256 v) {
  const __m256 reciprocal = _mm256_set1_ps(1.0f / 255.0f);
  const __m256 q = _mm256_mul_ps(v, reciprocal);
  const __m256 remainder = _mm256_fnmadd_ps(q, _mm256_set1_ps(255.0f), v);
  return _mm256_fmadd_ps(remainder, reciprocal, q);
}

// The luminance depth, its overflow fallback and the alpha store of the block steps, eight
// pixels at a time; squares and sums are rounded one by one, as the block steps round them.
template <class P>
__attribute__((target("avx2,fma"))) int64_t one_pass_row_avx2(
    const Pre_Color_Correction_Settings& s, const P* input, int64_t n,
    typename Pixel_Traits<P>::Word rgb, float* depth, P* output) {
  using Traits = Pixel_Traits<P>;
  const __m256 scale = _mm256_set1_ps(s.depth_scale);
  const __m256 per_length = _mm256_set1_ps(brightness_per_length);
  const __m256 largest = _mm256_set1_ps(std::numeric_limits<float>::max());
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256 white = _mm256_set1_ps(Traits::white_value);
  const __m256 zero = _mm256_setzero_ps();
  const __m256i alpha_shift = _mm256_set1_epi32(8 * Traits::alpha);
  const __m256i surface = _mm256_set1_epi32(static_cast<int32_t>(rgb));
  const int64_t end = n - n % 8;
  for (int64_t i = 0; i < end; i += 8) {
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + i));
    const __m256 r = byte_unit(byte_channel(words, Traits::red));
    const __m256 g = byte_unit(byte_channel(words, Traits::green));
    const __m256 b = byte_unit(byte_channel(words, Traits::blue));
    const __m256 a = byte_unit(byte_channel(words, Traits::alpha));
    const __m256 squares =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(r, r), _mm256_mul_ps(g, g)), _mm256_mul_ps(b, b));
    const __m256 d = _mm256_mul_ps(scale, _mm256_mul_ps(_mm256_sqrt_ps(squares), per_length));
    _mm256_storeu_ps(depth + i, d);
    const __m256 within = _mm256_cmp_ps(_mm256_andnot_ps(sign, d), largest, _CMP_LE_OQ);
    if (_mm256_movemask_ps(within) != 0xFF) {
      for (int64_t k = i; k < i + 8; ++k) {
        if (!within_float_range(depth[k])) {
          const P& pixel = input[k];
          depth[k] = depth_in_double(
              s, input_channel(pixel, Traits::red), input_channel(pixel, Traits::green),
              input_channel(pixel, Traits::blue), input_channel(pixel, Traits::alpha));
        }
      }
    }
    // maxps gives its second operand when the first is not a number: NaN becomes 0.
    const __m256 clamped = _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(a, white), zero), white);
    const __m256i alpha = _mm256_sllv_epi32(_mm256_cvttps_epi32(clamped), alpha_shift);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(output + i), _mm256_or_si256(alpha, surface));
  }
  return end;
}

}  // namespace

#endif

template <class P>
int64_t one_pass_row([[maybe_unused]] const Pre_Color_Correction_Settings& s,
                     [[maybe_unused]] bool constant, [[maybe_unused]] const P* input,
                     [[maybe_unused]] int64_t n,
                     [[maybe_unused]] typename Pixel_Traits<P>::Word rgb,
                     [[maybe_unused]] float* depth, [[maybe_unused]] P* output) {
#if BREL_AVX2_ROWS
  if (cpu_has_avx2_fma() && constant && is_neutral(s) &&
      s.depth_channel == Depth_Channel_Luminance) {
    return one_pass_row_avx2(s, input, n, rgb, depth, output);
  }
#endif
  return 0;
}

template int64_t one_pass_row(const Pre_Color_Correction_Settings&, bool, const ARGB8*, int64_t,
                              Pixel_Traits<ARGB8>::Word, float*, ARGB8*);
template int64_t one_pass_row(const Pre_Color_Correction_Settings&, bool, const BGRA8*, int64_t,
                              Pixel_Traits<BGRA8>::Word, float*, BGRA8*);

#define BREL_INTEGER_BLOCK_FUNCTIONS(P)                         \
  template void load_integer_block(const P*, int64_t, Block&);  \
  template void store_integer_block(const Block&, int64_t, P*); \
  template void store_integer_block_constant(const Block&, int64_t, Pixel_Traits<P>::Word, P*);
BREL_INTEGER_BLOCK_FUNCTIONS(ARGB16)
BREL_INTEGER_BLOCK_FUNCTIONS(BGRA16)
BREL_INTEGER_BLOCK_FUNCTIONS(ARGB8)
BREL_INTEGER_BLOCK_FUNCTIONS(BGRA8)
#undef BREL_INTEGER_BLOCK_FUNCTIONS

// Float pixels only move between layouts; multiplying by white (1) keeps every value as the
// integer path's steps would, not-a-number signals included.
template <class P>
BREL_TARGET_CLONES_AVX2 void load_float_block(const P* input, int64_t n, Block& values) {
  using Traits = Pixel_Traits<P>;
  for (int64_t i = 0; i < n; ++i) {
    values.r[i] = input_value<P>(input[i].channel[Traits::red]);
    values.g[i] = input_value<P>(input[i].channel[Traits::green]);
    values.b[i] = input_value<P>(input[i].channel[Traits::blue]);
    values.a[i] = input_value<P>(input[i].channel[Traits::alpha]);
  }
}

template <class P>
BREL_TARGET_CLONES_AVX2 void store_float_block(const Block& values, int64_t n, P* output) {
  using Traits = Pixel_Traits<P>;
  const float white = Traits::white_value;
  for (int64_t i = 0; i < n; ++i) {
    output[i].channel[Traits::alpha] = values.a[i] * white;
    output[i].channel[Traits::red] = values.tint_r[i] * white;
    output[i].channel[Traits::green] = values.tint_g[i] * white;
    output[i].channel[Traits::blue] = values.tint_b[i] * white;
  }
}

template <class P>
BREL_TARGET_CLONES_AVX2 void store_float_block_constant(const Block& values, int64_t n, float r,
                                                        float g, float b, P* output) {
  using Traits = Pixel_Traits<P>;
  const float white = Traits::white_value;
  const float red = r * white;
  const float green = g * white;
  const float blue = b * white;
  for (int64_t i = 0; i < n; ++i) {
    output[i].channel[Traits::alpha] = values.a[i] * white;
    output[i].channel[Traits::red] = red;
    output[i].channel[Traits::green] = green;
    output[i].channel[Traits::blue] = blue;
  }
}

#define BREL_FLOAT_BLOCK_FUNCTIONS(P)                         \
  template void load_float_block(const P*, int64_t, Block&);  \
  template void store_float_block(const Block&, int64_t, P*); \
  template void store_float_block_constant(const Block&, int64_t, float, float, float, P*);
BREL_FLOAT_BLOCK_FUNCTIONS(ARGB32f)
BREL_FLOAT_BLOCK_FUNCTIONS(BGRA32f)
#undef BREL_FLOAT_BLOCK_FUNCTIONS

void process_block(const Pre_Color_Correction_Settings& s, Block& block, int64_t n, float* depth,
                   bool surface) {
  if (!is_neutral(s)) {
    correct_block(s, block, n);
  }
  depth_block(s, block, n, depth);
  if (surface) {
    surface_block(s, block, n);
  }
}

bool constant_surface(const Pre_Color_Correction_Settings& s, bool texture) {
  return !texture && s.color_mix == 0.0f;
}

void constant_surface_color(const Pre_Color_Correction_Settings& s, float color[3]) {
  const float m = s.surface_tint_amount;
  for (int c = 0; c < 3; ++c) {
    color[c] = s.surface_color[c] * ((1.0f - m) + m * 1.0f);
  }
}

void fill_border(const Layer<float>& depth_with_border) {
  const int64_t width = depth_with_border.width;
  const int64_t height = depth_with_border.height;
  const size_t row_size = static_cast<size_t>(width) * sizeof(float);
  const auto row = [&](int64_t y) { return depth_with_border.row(y); };
  if (width <= 6 || height <= 6) {
    for (int64_t y = 0; y < height; ++y) {
      std::memset(row(y), 0, row_size);
    }
    return;
  }
  // Rows first, over the full width, then columns over the full height: so the 2 × 2 blocks
  // outside the corners repeat the corner pixel and the outermost ring is 0 all round.
  std::memset(row(0), 0, row_size);
  std::memcpy(row(1), row(3), row_size);
  std::memcpy(row(2), row(3), row_size);
  std::memcpy(row(height - 3), row(height - 4), row_size);
  std::memcpy(row(height - 2), row(height - 4), row_size);
  std::memset(row(height - 1), 0, row_size);
  for (int64_t y = 0; y < height; ++y) {
    float* r = row(y);
    r[0] = 0.0f;
    r[1] = r[3];
    r[2] = r[3];
    r[width - 3] = r[width - 4];
    r[width - 2] = r[width - 4];
    r[width - 1] = 0.0f;
  }
}

}  // namespace pre_color_correction_detail

template class Kernel_Pre_Color_Correction<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Pre_Color_Correction<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Pre_Color_Correction<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Pre_Color_Correction<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Pre_Color_Correction<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Pre_Color_Correction<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
