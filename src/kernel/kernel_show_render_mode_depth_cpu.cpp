#include "kernel/kernel_show_render_mode_depth_cpu.h"

#include <limits>

#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

namespace show_render_mode_depth_detail {

#if BREL_AVX2_ROWS

namespace {

// One pass from depths to pixel words: the grey of eight depths is clamped and truncated in its
// lane, and one byte shuffle puts the lane's low byte into red, green and blue. The block loop
// beside it takes three passes and four stores a pixel, which left a row far from the memory's
// pace even on one thread.
template <class P>
__attribute__((target("avx2"))) int64_t byte_pixels_avx2(const float* depth, P* output, int64_t n,
                                                         float factor, float depth_scale) {
  using Traits = Pixel_Traits<P>;
  static_assert(Traits::white_value == 255.0f);
  int8_t spread[16];
  for (int32_t j = 0; j < 4; ++j) {
    spread[4 * j + Traits::red] = static_cast<int8_t>(4 * j);
    spread[4 * j + Traits::green] = static_cast<int8_t>(4 * j);
    spread[4 * j + Traits::blue] = static_cast<int8_t>(4 * j);
    spread[4 * j + Traits::alpha] = -1;
  }
  const __m128i spread_half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(spread));
  const __m256i spread_both = _mm256_set_m128i(spread_half, spread_half);
  const __m256i alpha = _mm256_set1_epi32(
      static_cast<int32_t>(Traits::to_word_truncated(Traits::white_value, Traits::alpha)));
  const __m256 white = _mm256_set1_ps(Traits::white_value);
  const __m256 scale = _mm256_set1_ps(factor);
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 largest = _mm256_set1_ps(std::numeric_limits<float>::max());
  // show_depth_overflowed redoes a grey only for a finite depth whose grey left the float range,
  // and never for a range that is not a number.
  const bool redo_possible = depth_scale == depth_scale;
  const int64_t end = n - n % 8;
  for (int64_t i = 0; i < end; i += 8) {
    const __m256 d = _mm256_loadu_ps(depth + i);
    const __m256 v = _mm256_mul_ps(_mm256_mul_ps(d, white), scale);
    if (redo_possible) {
      const __m256 grey_in_range = _mm256_cmp_ps(_mm256_and_ps(v, magnitude), largest, _CMP_LE_OQ);
      const __m256 depth_in_range = _mm256_cmp_ps(_mm256_and_ps(d, magnitude), largest, _CMP_LE_OQ);
      if (_mm256_movemask_ps(_mm256_andnot_ps(grey_in_range, depth_in_range)) != 0) {
        return i;
      }
    }
    // maxps gives its second operand when the first is not a number: NaN becomes 0.
    const __m256i grey =
        _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), white));
    const __m256i words = _mm256_or_si256(_mm256_shuffle_epi8(grey, spread_both), alpha);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(output + i), words);
  }
  return end;
}

}  // namespace

#endif

template <class P>
int64_t byte_pixels([[maybe_unused]] const float* depth, [[maybe_unused]] P* output,
                    [[maybe_unused]] int64_t n, [[maybe_unused]] float factor,
                    [[maybe_unused]] float depth_scale) {
#if BREL_AVX2_ROWS
  if (cpu_has_avx2()) {
    return byte_pixels_avx2(depth, output, n, factor, depth_scale);
  }
#endif
  return 0;
}

template int64_t byte_pixels(const float*, ARGB8*, int64_t, float, float);
template int64_t byte_pixels(const float*, BGRA8*, int64_t, float, float);

}  // namespace show_render_mode_depth_detail

template class Kernel_Show_Render_Mode_Depth<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
