#include "kernel/power_lanes.h"

#if BREL_AVX2_ROWS

#include <cstdint>

namespace brel {

namespace {

// log2(x) = log2(c) + log1p(z / c - 1) / ln 2 + k for x = 2^k z, with z near 1 in one of 16
// subintervals, each with its c: 1 / c and log2(c), then the polynomial's coefficients.
constexpr double log2_inverse_c[16] = {
    0x1.661ec79f8f3bep+0, 0x1.571ed4aaf883dp+0, 0x1.49539f0f010b0p+0, 0x1.3c995b0b80385p+0,
    0x1.30d190c8864a5p+0, 0x1.25e227b0b8ea0p+0, 0x1.1bb4a4a1a343fp+0, 0x1.12358f08ae5bap+0,
    0x1.0953f419900a7p+0, 0x1.0000000000000p+0, 0x1.e608cfd9a47acp-1, 0x1.ca4b31f026aa0p-1,
    0x1.b2036576afce6p-1, 0x1.9c2d163a1aa2dp-1, 0x1.886e6037841edp-1, 0x1.767dcf5534862p-1};
constexpr double log2_c[16] = {-0x1.efec65b963019p-2, -0x1.b0b6832d4fca4p-2,
                               -0x1.7418b0a1fb77bp-2, -0x1.39de91a6dcf7bp-2,
                               -0x1.01d9bf3f2b631p-2, -0x1.97c1d1b3b7af0p-3,
                               -0x1.2f9e393af3c9fp-3, -0x1.960cbbf788d5cp-4,
                               -0x1.a6f9db6475fcep-5, 0.0,
                               0x1.338ca9f24f53dp-4,  0x1.476a9543891bap-3,
                               0x1.e840b4ac4e4d2p-3,  0x1.40645f0c6651cp-2,
                               0x1.88e9c2c1b9ff8p-2,  0x1.ce0a44eb17bccp-2};
constexpr double log2_poly[5] = {0x1.27616c9496e0bp-2, -0x1.71969a075c67ap-2, 0x1.ec70a6ca7baddp-2,
                                 -0x1.7154748bef6c8p-1, 0x1.71547652ab82bp+0};

// 2^x = 2^(i / 32) 2^r: the bits of 2^(i / 32) with i << 47 taken off (added back with the
// exponent), the shift that rounds x to 32nds, and the polynomial of 2^r.
constexpr uint64_t exp2_table[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
constexpr double exp2_shift = 0x1.8p+47;
constexpr double exp2_poly[3] = {0x1.c6af84b912394p-5, 0x1.ebfce50fac4f3p-3, 0x1.62e42ff0c52d6p-1};

// The power of four lanes: x's bits split into the subinterval index i, the exponent k and z,
// and y, as the library splits them.
__attribute__((target("avx2,fma"))) inline __m128 powf4(__m128i index, __m128i k, __m128 z,
                                                        __m128 y, int& out_of_range) {
  const __m256d zd = _mm256_cvtps_pd(z);
  // Masked gathers of every lane, which start from a set value.
  const __m256d every = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const __m256d inverse_c =
      _mm256_mask_i32gather_pd(_mm256_setzero_pd(), log2_inverse_c, index, every, 8);
  const __m256d c_log = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), log2_c, index, every, 8);
  const __m256d r = _mm256_fmadd_pd(zd, inverse_c, _mm256_set1_pd(-1.0));
  const __m256d y0 = _mm256_add_pd(_mm256_cvtepi32_pd(k), c_log);
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d a = _mm256_fmadd_pd(r, _mm256_set1_pd(log2_poly[0]), _mm256_set1_pd(log2_poly[1]));
  const __m256d p = _mm256_fmadd_pd(r, _mm256_set1_pd(log2_poly[2]), _mm256_set1_pd(log2_poly[3]));
  const __m256d r4 = _mm256_mul_pd(r2, r2);
  __m256d q = _mm256_fmadd_pd(r, _mm256_set1_pd(log2_poly[4]), y0);
  q = _mm256_fmadd_pd(r2, p, q);
  const __m256d log2_x = _mm256_fmadd_pd(a, r4, q);
  const __m256d y_log2_x = _mm256_mul_pd(_mm256_cvtps_pd(y), log2_x);
  // Beyond |y log2 x| of about 126 the library takes its overflow and underflow checks.
  const __m256i top = _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(y_log2_x), 47),
                                       _mm256_set1_epi64x(0xffff));
  out_of_range =
      _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(top, _mm256_set1_epi64x(0x80be))));

  const __m256d shift = _mm256_set1_pd(exp2_shift);
  const __m256d shifted = _mm256_add_pd(y_log2_x, shift);
  const __m256i ki = _mm256_castpd_si256(shifted);
  const __m256d kd = _mm256_sub_pd(shifted, shift);
  const __m256d rest = _mm256_sub_pd(y_log2_x, kd);
  const __m256i t = _mm256_add_epi64(
      _mm256_slli_epi64(ki, 47),
      _mm256_mask_i64gather_epi64(
          _mm256_setzero_si256(), reinterpret_cast<const long long*>(exp2_table),
          _mm256_and_si256(ki, _mm256_set1_epi64x(31)), _mm256_castpd_si256(every), 8));
  const __m256d e =
      _mm256_fmadd_pd(rest, _mm256_set1_pd(exp2_poly[0]), _mm256_set1_pd(exp2_poly[1]));
  const __m256d rest2 = _mm256_mul_pd(rest, rest);
  __m256d power = _mm256_fmadd_pd(rest, _mm256_set1_pd(exp2_poly[2]), _mm256_set1_pd(1.0));
  power = _mm256_fmadd_pd(e, rest2, power);
  power = _mm256_mul_pd(power, _mm256_castsi256_pd(t));
  return _mm256_cvtpd_ps(power);
}

}  // namespace

__attribute__((target("avx2,fma"))) __m256 library_powf8(__m256 x, __m256 y, int& handled) {
  const __m256i ix = _mm256_castps_si256(x);
  const __m256i iy = _mm256_castps_si256(y);
  // Unsigned comparisons as signed ones with the top bit flipped: x - 2^-126 above the largest
  // normal's distance (x not a positive normal), 2y - 1 at or above infinity's (y 0, infinite
  // or NaN).
  const __m256i flip = _mm256_set1_epi32(INT32_MIN);
  const __m256i x_special = _mm256_cmpgt_epi32(
      _mm256_xor_si256(_mm256_sub_epi32(ix, _mm256_set1_epi32(0x00800000)), flip),
      _mm256_set1_epi32(static_cast<int32_t>(0x7effffffu ^ 0x80000000u)));
  const __m256i y_special = _mm256_cmpgt_epi32(
      _mm256_xor_si256(_mm256_sub_epi32(_mm256_add_epi32(iy, iy), _mm256_set1_epi32(1)), flip),
      _mm256_set1_epi32(static_cast<int32_t>(0xfefffffeu ^ 0x80000000u)));
  const int special =
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(x_special, y_special)));

  const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(0x3f330000));
  const __m256i index = _mm256_and_si256(_mm256_srli_epi32(tmp, 19), _mm256_set1_epi32(15));
  const __m256i top = _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int32_t>(0xff800000u)));
  const __m256 z = _mm256_castsi256_ps(_mm256_sub_epi32(ix, top));
  const __m256i k = _mm256_srai_epi32(top, 23);

  int low_out = 0;
  int high_out = 0;
  const __m128 low = powf4(_mm256_castsi256_si128(index), _mm256_castsi256_si128(k),
                           _mm256_castps256_ps128(z), _mm256_castps256_ps128(y), low_out);
  const __m128 high = powf4(_mm256_extracti128_si256(index, 1), _mm256_extracti128_si256(k, 1),
                            _mm256_extractf128_ps(z, 1), _mm256_extractf128_ps(y, 1), high_out);
  handled = ~(special | low_out | high_out << 4) & 0xff;
  return _mm256_set_m128(high, low);
}

}  // namespace brel

#endif
