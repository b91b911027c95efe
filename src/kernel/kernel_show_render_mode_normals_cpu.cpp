#include "kernel/kernel_show_render_mode_normals_cpu.h"

#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

namespace show_render_mode_normals_detail {

#if BREL_AVX2_ROWS

namespace {

// Eight components as 8-bit channel values, as to_word_truncated converts them: (c + 1) × 0.5 ×
// 255, clamped in float (maxps gives its second operand when the first is not a number: NaN
// becomes 0) and truncated.
__attribute__((target("avx2"))) inline __m256i byte_channels(const float* components) {
  const __m256 white = _mm256_set1_ps(255.0f);
  const __m256 v =
      _mm256_mul_ps(_mm256_mul_ps(_mm256_add_ps(_mm256_loadu_ps(components), _mm256_set1_ps(1.0f)),
                                  _mm256_set1_ps(0.5f)),
                    white);
  return _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), white));
}

// 8-bit pixels of n normals, eight at a time, where the processor has AVX2: the 24 components
// of eight normals are three contiguous vectors, converted alike, packed to bytes and spread
// into the pixels' words by one byte shuffle. Returns how many it wrote (a multiple of 8). The
// same words as the plain loop: the same products in the same order, clamped in float.
template <class P>
__attribute__((target("avx2"))) int64_t normals_to_byte_pixels_avx2(const Vector_3<float>* normals,
                                                                    P* output, int64_t n) {
  using Traits = Pixel_Traits<P>;
  static_assert(Traits::white_value == 255.0f);
  // After the packs, the 4-byte groups of components 0-3, 8-11, 16-19, -, 4-7, 12-15, 20-23, -:
  // this order puts components 0 .. 11 into the lower half and 12 .. 23 into the upper one.
  const __m256i in_order = _mm256_setr_epi32(0, 4, 1, 0, 5, 2, 6, 0);
  // Byte 4j + channel position of each half takes component 3j + 0, 1 or 2 of that half; the
  // alpha byte takes 0 (index -1) and then white.
  int8_t spread[16];
  for (int32_t j = 0; j < 4; ++j) {
    spread[4 * j + Traits::red] = static_cast<int8_t>(3 * j);
    spread[4 * j + Traits::green] = static_cast<int8_t>(3 * j + 1);
    spread[4 * j + Traits::blue] = static_cast<int8_t>(3 * j + 2);
    spread[4 * j + Traits::alpha] = -1;
  }
  const __m128i spread_half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(spread));
  const __m256i spread_both = _mm256_set_m128i(spread_half, spread_half);
  const __m256i alpha = _mm256_set1_epi32(
      static_cast<int32_t>(Traits::to_word_truncated(Traits::white_value, Traits::alpha)));
  const float* components = reinterpret_cast<const float*>(normals);
  const int64_t end = n - n % 8;
  for (int64_t i = 0; i < end; i += 8) {
    const float* c = components + 3 * i;
    const __m256i low = _mm256_packus_epi32(byte_channels(c), byte_channels(c + 8));
    const __m256i third = byte_channels(c + 16);  // the second half only fills the vector
    const __m256i high = _mm256_packus_epi32(third, third);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), in_order);
    const __m256i words = _mm256_or_si256(_mm256_shuffle_epi8(bytes, spread_both), alpha);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(output + i), words);
  }
  return end;
}

}  // namespace

#endif

// Conversions bound this loop: where the processor has AVX2 it runs eight pixels an instruction
// instead of four, with the same results; 8-bit pixels take the shuffling loop above.
template <class P>
BREL_TARGET_CLONES_AVX2 void normals_to_integer_pixels_plain(const Vector_3<float>* normals,
                                                             P* output, int64_t n) {
  using Traits = Pixel_Traits<P>;
  using Word = typename Traits::Word;
  const float white = Traits::white_value;
  const Word alpha = Traits::to_word_truncated(white, Traits::alpha);
  const float* components = reinterpret_cast<const float*>(normals);
  for (int64_t i = 0; i < n; ++i) {
    const Word word =
        alpha | Traits::to_word_truncated((components[3 * i] + 1.0f) * 0.5f * white, Traits::red) |
        Traits::to_word_truncated((components[3 * i + 1] + 1.0f) * 0.5f * white, Traits::green) |
        Traits::to_word_truncated((components[3 * i + 2] + 1.0f) * 0.5f * white, Traits::blue);
    std::memcpy(output + i, &word, sizeof(Word));
  }
}

template <class P>
void normals_to_integer_pixels(const Vector_3<float>* normals, P* output, int64_t n) {
  int64_t done = 0;
#if BREL_AVX2_ROWS
  if constexpr (sizeof(typename Pixel_Traits<P>::Channel) == 1) {
    if (cpu_has_avx2()) {
      done = normals_to_byte_pixels_avx2(normals, output, n);
    }
  }
#endif
  normals_to_integer_pixels_plain(normals + done, output + done, n - done);
}

template <class P>
BREL_TARGET_CLONES_AVX2 void normals_to_float_pixels(const Vector_3<float>* normals, P* output,
                                                     int64_t n) {
  using Traits = Pixel_Traits<P>;
  const float white = Traits::white_value;
  for (int64_t i = 0; i < n; ++i) {
    P& pixel = output[i];
    pixel.channel[Traits::red] = (normals[i].x + 1.0f) * 0.5f * white;
    pixel.channel[Traits::green] = (normals[i].y + 1.0f) * 0.5f * white;
    pixel.channel[Traits::blue] = (normals[i].z + 1.0f) * 0.5f * white;
    pixel.channel[Traits::alpha] = white;
  }
}

template void normals_to_float_pixels(const Vector_3<float>*, ARGB32f*, int64_t);
template void normals_to_float_pixels(const Vector_3<float>*, BGRA32f*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, ARGB16*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, BGRA16*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, ARGB8*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, BGRA8*, int64_t);

}  // namespace show_render_mode_normals_detail

template class Kernel_Show_Render_Mode_Normals<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
