#pragma once

// Vector lanes the final shading's row bodies share: eight pixels side by side, one lane each.

#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>

namespace brel::shading_lanes {

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

}  // namespace brel::shading_lanes

#endif
