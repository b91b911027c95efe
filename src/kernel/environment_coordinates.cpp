#include "kernel/environment_coordinates.h"

#include <algorithm>
#include <cmath>

#include "base/exception.h"
#include "kernel/final_routine_parameters.h"
#include "kernel/light_shading.h"
#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

namespace {

struct Vector_d {
  double x;
  double y;
  double z;
};

double dot(const Vector_d& a, const Vector_d& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// v / |v|, or v itself when its length is 0.
Vector_d normalised_or_kept(const Vector_d& v) {
  const double length = std::sqrt(dot(v, v));
  return length != 0.0 ? Vector_d{v.x / length, v.y / length, v.z / length} : v;
}

}  // namespace

namespace environment_detail {

// The mirrored view ray from the pixel's point (x, y, d) meets a sphere around the image; the
// direction from the sphere's middle to that point, taken as longitude (two half-turns side by
// side) and height, is the position in the environment.
void panoramic(int64_t x, int64_t y, float d, const Vector_3<float>& normal, float perspective,
               float depth_scale, int64_t width, int64_t height, float g, double& u, double& v) {
  const Vector_3<float> view = view_direction(perspective, x, y, width, height);
  const Vector_d V{view.x, view.y, view.z};
  const Vector_d N{normal.x, normal.y, normal.z};
  const double vn = 2.0 * dot(V, N);
  Vector_d R{V.x - vn * N.x, V.y - vn * N.y, V.z - vn * N.z};
  if (g < 1.0f) {
    const double dull = (1.0 - g) * (1.0 - g);
    R = {R.x + dull * (N.x - R.x), R.y + dull * (N.y - R.y), R.z + dull * (N.z - R.z)};
  }
  R = normalised_or_kept(R);
  const double half_depth = static_cast<double>(depth_scale) / 2.0;
  const Vector_d M{static_cast<double>(width) / 2.0, static_cast<double>(height) / 2.0, half_depth};
  const Vector_d P{static_cast<double>(x), static_cast<double>(y), d};
  const Vector_d from_middle{P.x - M.x, P.y - M.y, P.z - M.z};
  const double q = dot(from_middle, from_middle);
  const Vector_d outwards = normalised_or_kept(from_middle);
  const double k = dot(R, outwards);
  const double t = ((k > 0.0 ? q : -q) + half_depth) / k;
  const Vector_d Q{P.x + t * R.x, P.y + t * R.y, P.z + t * R.z};
  const Vector_d D = normalised_or_kept({M.x - Q.x, M.y - Q.y, M.z - Q.z});
  double a = D.x;
  double b = D.z;
  const double flat = std::sqrt(a * a + b * b);
  if (flat != 0.0) {
    a /= flat;
    b /= flat;
  }
  u = a > 0.0 ? (b + 1.0) / 4.0 : 1.0 - (b + 1.0) / 4.0;
  v = (1.0 + D.y) / 2.0;
}

}  // namespace environment_detail

namespace {

#if BREL_AVX2_ROWS

// Four lanes of three doubles.
struct Vector_4d {
  __m256d x;
  __m256d y;
  __m256d z;
};

__attribute__((target("avx2"))) inline __m256d dot4(const Vector_4d& a, const Vector_4d& b) {
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(a.x, b.x), _mm256_mul_pd(a.y, b.y)),
                       _mm256_mul_pd(a.z, b.z));
}

// normalised_or_kept in each lane; a length that is not a number divides, as != 0 holds for it.
__attribute__((target("avx2"))) inline Vector_4d normalised_or_kept4(const Vector_4d& v) {
  const __m256d length = _mm256_sqrt_pd(dot4(v, v));
  const __m256d divide = _mm256_cmp_pd(length, _mm256_setzero_pd(), _CMP_NEQ_UQ);
  return {_mm256_blendv_pd(v.x, _mm256_div_pd(v.x, length), divide),
          _mm256_blendv_pd(v.y, _mm256_div_pd(v.y, length), divide),
          _mm256_blendv_pd(v.z, _mm256_div_pd(v.z, length), divide)};
}

// Lane l holds channel(l). The lanes are filled in registers: four narrow stores read back by
// one wide load would stall the loop.
template <class Channel>
__attribute__((target("avx2"))) inline __m256d lanes(Channel channel) {
  return _mm256_set_pd(channel(3), channel(2), channel(1), channel(0));
}

// panoramic for four pixels x .. x + 3 at a time, the lanes running the plain rule's operations
// in its order (each IEEE-rounded, nothing fused) and its branches as selections: the same bits.
// Returns how many of the n pixels it did, a multiple of four.
__attribute__((target("avx2"))) int64_t panoramic_run_avx2(
    int64_t x0, int64_t y, int64_t n, const float* depth, const Vector_3<float>* normals,
    const float* glossiness, float perspective, float depth_scale, int64_t width, int64_t height,
    double* u, double* v) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d two = _mm256_set1_pd(2.0);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const double half_depth = static_cast<double>(depth_scale) / 2.0;
  const __m256d half_depth4 = _mm256_set1_pd(half_depth);
  const Vector_4d M{_mm256_set1_pd(static_cast<double>(width) / 2.0),
                    _mm256_set1_pd(static_cast<double>(height) / 2.0), half_depth4};
  const __m256d py = _mm256_set1_pd(static_cast<double>(y));
  // The view ray without perspective, and the lanes' offsets from their first column.
  const Vector_4d straight_view{zero, zero, _mm256_set1_pd(-1.0)};
  const __m256d steps = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
  const int64_t end = n - n % 4;
  for (int64_t i = 0; i < end; i += 4) {
    Vector_4d V = straight_view;
    if (perspective != 0.0f) {
      Vector_3<float> view[4];
      for (int32_t l = 0; l < 4; ++l) {
        view[l] = view_direction(perspective, x0 + i + l, y, width, height);
      }
      V = {lanes([&](int32_t l) { return static_cast<double>(view[l].x); }),
           lanes([&](int32_t l) { return static_cast<double>(view[l].y); }),
           lanes([&](int32_t l) { return static_cast<double>(view[l].z); })};
    }
    const Vector_3<float>* normal = normals + i;
    const Vector_4d N{lanes([&](int32_t l) { return static_cast<double>(normal[l].x); }),
                      lanes([&](int32_t l) { return static_cast<double>(normal[l].y); }),
                      lanes([&](int32_t l) { return static_cast<double>(normal[l].z); })};
    const __m256d vn = _mm256_mul_pd(two, dot4(V, N));
    Vector_4d R{_mm256_sub_pd(V.x, _mm256_mul_pd(vn, N.x)),
                _mm256_sub_pd(V.y, _mm256_mul_pd(vn, N.y)),
                _mm256_sub_pd(V.z, _mm256_mul_pd(vn, N.z))};
    const __m256d g = _mm256_cvtps_pd(_mm_loadu_ps(glossiness + i));
    const __m256d dull_by = _mm256_cmp_pd(g, one, _CMP_LT_OQ);
    const __m256d rest = _mm256_sub_pd(one, g);
    const __m256d dull = _mm256_mul_pd(rest, rest);
    R = {_mm256_blendv_pd(R.x, _mm256_add_pd(R.x, _mm256_mul_pd(dull, _mm256_sub_pd(N.x, R.x))),
                          dull_by),
         _mm256_blendv_pd(R.y, _mm256_add_pd(R.y, _mm256_mul_pd(dull, _mm256_sub_pd(N.y, R.y))),
                          dull_by),
         _mm256_blendv_pd(R.z, _mm256_add_pd(R.z, _mm256_mul_pd(dull, _mm256_sub_pd(N.z, R.z))),
                          dull_by)};
    R = normalised_or_kept4(R);
    const Vector_4d P{_mm256_add_pd(_mm256_set1_pd(static_cast<double>(x0 + i)), steps), py,
                      _mm256_cvtps_pd(_mm_loadu_ps(depth + i))};
    const Vector_4d from_middle{_mm256_sub_pd(P.x, M.x), _mm256_sub_pd(P.y, M.y),
                                _mm256_sub_pd(P.z, M.z)};
    const __m256d q = dot4(from_middle, from_middle);
    const Vector_4d outwards = normalised_or_kept4(from_middle);
    const __m256d k = dot4(R, outwards);
    const __m256d signed_q =
        _mm256_blendv_pd(_mm256_xor_pd(q, sign), q, _mm256_cmp_pd(k, zero, _CMP_GT_OQ));
    const __m256d t = _mm256_div_pd(_mm256_add_pd(signed_q, half_depth4), k);
    const Vector_4d Q{_mm256_add_pd(P.x, _mm256_mul_pd(t, R.x)),
                      _mm256_add_pd(P.y, _mm256_mul_pd(t, R.y)),
                      _mm256_add_pd(P.z, _mm256_mul_pd(t, R.z))};
    const Vector_4d D = normalised_or_kept4(
        {_mm256_sub_pd(M.x, Q.x), _mm256_sub_pd(M.y, Q.y), _mm256_sub_pd(M.z, Q.z)});
    const __m256d flat =
        _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(D.x, D.x), _mm256_mul_pd(D.z, D.z)));
    const __m256d unfold = _mm256_cmp_pd(flat, zero, _CMP_NEQ_UQ);
    const __m256d a = _mm256_blendv_pd(D.x, _mm256_div_pd(D.x, flat), unfold);
    const __m256d b = _mm256_blendv_pd(D.z, _mm256_div_pd(D.z, flat), unfold);
    // Halving and quartering are exact: multiplying by 0.5 and 0.25 gives the quotients' bits
    // without the divider.
    const __m256d quarter = _mm256_mul_pd(_mm256_add_pd(b, one), _mm256_set1_pd(0.25));
    _mm256_storeu_pd(u + i, _mm256_blendv_pd(_mm256_sub_pd(one, quarter), quarter,
                                             _mm256_cmp_pd(a, zero, _CMP_GT_OQ)));
    _mm256_storeu_pd(v + i, _mm256_mul_pd(_mm256_add_pd(one, D.y), _mm256_set1_pd(0.5)));
  }
  return end;
}

bool cpu_has_avx512f() {
  static const bool supported = __builtin_cpu_supports("avx512f");
  return supported;
}

// Eight lanes of three doubles.
struct Vector_8d {
  __m512d x;
  __m512d y;
  __m512d z;
};

__attribute__((target("avx512f"))) inline __m512d dot8(const Vector_8d& a, const Vector_8d& b) {
  return _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(a.x, b.x), _mm512_mul_pd(a.y, b.y)),
                       _mm512_mul_pd(a.z, b.z));
}

// normalised_or_kept in each lane; lanes of length 0 are not divided at all.
__attribute__((target("avx512f"))) inline Vector_8d normalised_or_kept8(const Vector_8d& v) {
  const __m512d length = _mm512_maskz_sqrt_pd(0xff, dot8(v, v));
  const __mmask8 divide = _mm512_cmp_pd_mask(length, _mm512_setzero_pd(), _CMP_NEQ_UQ);
  return {_mm512_mask_div_pd(v.x, divide, v.x, length),
          _mm512_mask_div_pd(v.y, divide, v.y, length),
          _mm512_mask_div_pd(v.z, divide, v.z, length)};
}

// Component c (0, 1, 2) of the eight vectors whose 24 floats are `low` (the first 16) and `high`
// (the last 8), as doubles.
__attribute__((target("avx512f"))) inline __m512d component8(__m512 low, __m512 high, int32_t c) {
  const __m512i index = _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 21 + c, 18 + c, 15 + c, 12 + c,
                                         9 + c, 6 + c, 3 + c, c);
  return _mm512_maskz_cvtps_pd(
      0xff, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(
                0xf, _mm512_castps_pd(_mm512_permutex2var_ps(low, index, high)), 0)));
}

// The eight vectors at `vectors` as doubles: their 24 floats are read in two loads (the second
// masked to its eight) and picked apart in registers.
__attribute__((target("avx512f"))) inline Vector_8d vectors8(const Vector_3<float>* vectors) {
  static_assert(sizeof(Vector_3<float>) == 3 * sizeof(float));
  const auto* floats = reinterpret_cast<const float*>(vectors);
  const __m512 low = _mm512_loadu_ps(floats);
  const __m512 high = _mm512_maskz_loadu_ps(0x00ff, floats + 16);
  return {component8(low, high, 0), component8(low, high, 1), component8(low, high, 2)};
}

// What eight pixels share whatever their glossiness: the normal, the mirrored view ray, the
// point, the sphere's middle, the squared distance from it and the unit direction from it.
struct Panoramic_Lanes8 {
  Vector_8d N;
  Vector_8d mirrored;
  Vector_8d P;
  Vector_8d M;
  __m512d q;
  Vector_8d outwards;
  __m512d half_depth;
};

// -x in each lane: the sign flipped, as the scalar minus flips it.
__attribute__((target("avx512f"))) inline __m512d negated8(__m512d x) {
  return _mm512_castsi512_pd(
      _mm512_xor_si512(_mm512_castpd_si512(x), _mm512_set1_epi64(INT64_MIN)));
}

// r bent towards the normal by `dull` in the lanes of `by`.
__attribute__((target("avx512f"))) inline __m512d duller8(__mmask8 by, __m512d dull, __m512d r,
                                                          __m512d normal) {
  return _mm512_mask_blend_pd(by, r,
                              _mm512_add_pd(r, _mm512_mul_pd(dull, _mm512_sub_pd(normal, r))));
}

// The rest of the rule for the glossiness g: the environment position into u[0 .. 7] and
// v[0 .. 7].
__attribute__((target("avx512f"))) inline void land8(const Panoramic_Lanes8& s, __m512d g,
                                                     double* u, double* v) {
  const __m512d zero = _mm512_setzero_pd();
  const __m512d one = _mm512_set1_pd(1.0);
  const __mmask8 dull_by = _mm512_cmp_pd_mask(g, one, _CMP_LT_OQ);
  const __m512d rest = _mm512_sub_pd(one, g);
  const __m512d dull = _mm512_mul_pd(rest, rest);
  const Vector_8d R = normalised_or_kept8({duller8(dull_by, dull, s.mirrored.x, s.N.x),
                                           duller8(dull_by, dull, s.mirrored.y, s.N.y),
                                           duller8(dull_by, dull, s.mirrored.z, s.N.z)});
  const __m512d k = dot8(R, s.outwards);
  const __m512d signed_q =
      _mm512_mask_blend_pd(_mm512_cmp_pd_mask(k, zero, _CMP_GT_OQ), negated8(s.q), s.q);
  const __m512d t = _mm512_div_pd(_mm512_add_pd(signed_q, s.half_depth), k);
  const Vector_8d Q{_mm512_add_pd(s.P.x, _mm512_mul_pd(t, R.x)),
                    _mm512_add_pd(s.P.y, _mm512_mul_pd(t, R.y)),
                    _mm512_add_pd(s.P.z, _mm512_mul_pd(t, R.z))};
  const Vector_8d D = normalised_or_kept8(
      {_mm512_sub_pd(s.M.x, Q.x), _mm512_sub_pd(s.M.y, Q.y), _mm512_sub_pd(s.M.z, Q.z)});
  const __m512d flat =
      _mm512_maskz_sqrt_pd(0xff, _mm512_add_pd(_mm512_mul_pd(D.x, D.x), _mm512_mul_pd(D.z, D.z)));
  const __mmask8 unfold = _mm512_cmp_pd_mask(flat, zero, _CMP_NEQ_UQ);
  const __m512d a = _mm512_mask_div_pd(D.x, unfold, D.x, flat);
  const __m512d b = _mm512_mask_div_pd(D.z, unfold, D.z, flat);
  const __m512d quarter = _mm512_mul_pd(_mm512_add_pd(b, one), _mm512_set1_pd(0.25));
  _mm512_storeu_pd(u, _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, zero, _CMP_GT_OQ),
                                           _mm512_sub_pd(one, quarter), quarter));
  _mm512_storeu_pd(v, _mm512_mul_pd(_mm512_add_pd(one, D.y), _mm512_set1_pd(0.5)));
}

// panoramic for eight pixels x .. x + 7 at a time, as panoramic_run_avx2 runs four: the plain
// rule's operations in its order, its branches as selections. With `both`, each pixel's position
// is also followed with glossiness 0 into u0[] and v0[], the view, the mirrored ray and the
// direction from the sphere's middle made once for both. The divider and the square root take
// eight lanes in the time of four here. Returns how many of the n pixels it did, a multiple of
// eight.
template <bool both>
__attribute__((target("avx512f"))) int64_t panoramic_run_avx512(
    int64_t x0, int64_t y, int64_t n, const float* depth, const Vector_3<float>* normals,
    const float* glossiness, float perspective, float depth_scale, int64_t width, int64_t height,
    double* u, double* v, double* u0, double* v0) {
  const __m512d zero = _mm512_setzero_pd();
  const __m512d two = _mm512_set1_pd(2.0);
  Panoramic_Lanes8 s;
  s.half_depth = _mm512_set1_pd(static_cast<double>(depth_scale) / 2.0);
  s.M = {_mm512_set1_pd(static_cast<double>(width) / 2.0),
         _mm512_set1_pd(static_cast<double>(height) / 2.0), s.half_depth};
  const __m512d py = _mm512_set1_pd(static_cast<double>(y));
  const Vector_8d straight_view{zero, zero, _mm512_set1_pd(-1.0)};
  const __m512d steps = _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0);
  const int64_t end = n - n % 8;
  for (int64_t i = 0; i < end; i += 8) {
    Vector_8d V = straight_view;
    if (perspective != 0.0f) {
      Vector_3<float> view[8];
      for (int32_t l = 0; l < 8; ++l) {
        view[l] = view_direction(perspective, x0 + i + l, y, width, height);
      }
      V = vectors8(view);
    }
    const Vector_8d& N = s.N = vectors8(normals + i);
    const __m512d vn = _mm512_mul_pd(two, dot8(V, N));
    s.mirrored = {_mm512_sub_pd(V.x, _mm512_mul_pd(vn, N.x)),
                  _mm512_sub_pd(V.y, _mm512_mul_pd(vn, N.y)),
                  _mm512_sub_pd(V.z, _mm512_mul_pd(vn, N.z))};
    s.P = {_mm512_add_pd(_mm512_set1_pd(static_cast<double>(x0 + i)), steps), py,
           _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(depth + i))};
    const Vector_8d from_middle{_mm512_sub_pd(s.P.x, s.M.x), _mm512_sub_pd(s.P.y, s.M.y),
                                _mm512_sub_pd(s.P.z, s.M.z)};
    s.q = dot8(from_middle, from_middle);
    s.outwards = normalised_or_kept8(from_middle);
    land8(s, _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(glossiness + i)), u + i, v + i);
    if constexpr (both) {
      land8(s, zero, u0 + i, v0 + i);
    }
  }
  return end;
}

#endif

}  // namespace

int32_t environment_detail::panoramic_lanes() {
#if BREL_AVX2_ROWS
  if (cpu_has_avx2()) {
    return cpu_has_avx512f() ? 8 : 4;
  }
#endif
  return 0;
}

int64_t environment_detail::panoramic_run(
    [[maybe_unused]] int64_t x, [[maybe_unused]] int64_t y, [[maybe_unused]] int64_t n,
    [[maybe_unused]] const float* depth, [[maybe_unused]] const Vector_3<float>* normals,
    [[maybe_unused]] const float* glossiness, [[maybe_unused]] float perspective,
    [[maybe_unused]] float depth_scale, [[maybe_unused]] int64_t width,
    [[maybe_unused]] int64_t height, [[maybe_unused]] double* u, [[maybe_unused]] double* v,
    int32_t lanes) {
  const int32_t widest = panoramic_lanes();
  lanes = lanes > 0 ? std::min(lanes, widest) : widest;
#if BREL_AVX2_ROWS
  if (lanes == 8) {
    return panoramic_run_avx512<false>(x, y, n, depth, normals, glossiness, perspective,
                                       depth_scale, width, height, u, v, nullptr, nullptr);
  }
  if (lanes == 4) {
    return panoramic_run_avx2(x, y, n, depth, normals, glossiness, perspective, depth_scale, width,
                              height, u, v);
  }
#endif
  return 0;
}

int64_t environment_detail::panoramic_pair_run(int64_t x, int64_t y, int64_t n, const float* depth,
                                               const Vector_3<float>* normals,
                                               const float* glossiness, float perspective,
                                               float depth_scale, int64_t width, int64_t height,
                                               double* u, double* v, double* u0, double* v0,
                                               int32_t lanes) {
  const int32_t widest = panoramic_lanes();
  lanes = lanes > 0 ? std::min(lanes, widest) : widest;
#if BREL_AVX2_ROWS
  if (lanes == 8) {
    return panoramic_run_avx512<true>(x, y, n, depth, normals, glossiness, perspective, depth_scale,
                                      width, height, u, v, u0, v0);
  }
#endif
  // Narrower lanes follow the two glossinesses one after the other, with the same count.
  BREL_ASSERT_MSG(n <= panoramic_pair_run_most, "a short run");
  const float dull[panoramic_pair_run_most] = {};
  const int64_t done = panoramic_run(x, y, n, depth, normals, glossiness, perspective, depth_scale,
                                     width, height, u, v, lanes);
  panoramic_run(x, y, n, depth, normals, dull, perspective, depth_scale, width, height, u0, v0,
                lanes);
  return done;
}

namespace {

// 0 to 1; a value that is not a number becomes 1.
double unit_or_one(double value) {
  if (value >= 0.0) {
    return value <= 1.0 ? value : 1.0;
  }
  return value < 0.0 ? 0.0 : 1.0;
}

#if BREL_AVX2_ROWS

// environment_pixels four at a time: min(t, 1) gives 1 for a t that is not a number and
// max(0, that) keeps -0 where it compares equal to 0, as unit_or_one does; the same product and
// rounding follow.
__attribute__((target("avx2"))) int64_t environment_pixels_avx2(int64_t n, const double* t,
                                                                double last, float* out) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d scale = _mm256_set1_pd(last);
  const int64_t end = n - n % 4;
  for (int64_t i = 0; i < end; i += 4) {
    const __m256d unit = _mm256_max_pd(zero, _mm256_min_pd(_mm256_loadu_pd(t + i), one));
    _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_mul_pd(unit, scale)));
  }
  return end;
}

#endif

}  // namespace

float environment_detail::environment_pixel(double t, double last) {
  return static_cast<float>(unit_or_one(t) * last);
}

void environment_detail::environment_pixels(int64_t n, const double* t, double last, float* out,
                                            [[maybe_unused]] bool lanes) {
  int64_t done = 0;
#if BREL_AVX2_ROWS
  if (lanes && cpu_has_avx2()) {
    done = environment_pixels_avx2(n, t, last, out);
  }
#endif
  for (int64_t i = done; i < n; ++i) {
    out[i] = environment_pixel(t[i], last);
  }
}

namespace {

// The landing position in environment pixels from the mapping's (lu, lv).
template <class T>
void to_environment_pixels(double lu, double lv, const Layer<T>& map, float& u, float& v) {
  u = environment_detail::environment_pixel(lu, static_cast<double>(map.width - 1));
  v = environment_detail::environment_pixel(lv, static_cast<double>(map.height - 1));
}

// The landing positions of a run's m pixels from the mapping's lu[] and lv[] into row[0 .. m - 1].
template <class T>
void to_environment_pixels_run(int64_t m, const double* lu, const double* lv, const Layer<T>& map,
                               Blur_Coordinates* row) {
  float u[environment_detail::panoramic_pair_run_most];
  float v[environment_detail::panoramic_pair_run_most];
  environment_detail::environment_pixels(m, lu, static_cast<double>(map.width - 1), u);
  environment_detail::environment_pixels(m, lv, static_cast<double>(map.height - 1), v);
  for (int64_t i = 0; i < m; ++i) {
    row[i].x = u[i];
    row[i].y = v[i];
  }
}

// The landing positions of pixels 0 .. n - 1 of row y into row[x].x and .y, each pixel looking
// with the glossiness `glossiness(x)`, and where `dull_row` is given, also with glossiness 0
// into dull_row[x].x and .y. Panoramic rows go a run of pixels at a time, several at once where
// the processor has the lanes, the same bits as environment_lookup_coordinates.
template <class T, class Glossiness>
void landing_positions_row(int64_t n, Blur_Coordinates* row, Blur_Coordinates* dull_row, int64_t y,
                           const Environment_Parameter<T>& environment, const Layer<float>& depth,
                           const Layer<Vector_3<float>>& normals, Glossiness glossiness) {
  if (environment.environment_type == 1) {
    for (int64_t x = 0; x < n; ++x) {
      environment_lookup_coordinates(x, y, row[x].x, row[x].y, environment, depth, normals,
                                     glossiness(x));
      if (dull_row != nullptr) {
        environment_lookup_coordinates(x, y, dull_row[x].x, dull_row[x].y, environment, depth,
                                       normals, 0.0f);
      }
    }
    return;
  }
  constexpr int64_t run = environment_detail::panoramic_pair_run_most;
  float g[run];
  double lu[run];
  double lv[run];
  double du[run];
  double dv[run];
  const float* depth_row = depth.row(y);
  const Vector_3<float>* normal_row = normals.row(y);
  const Layer<T>& map = environment.environment_texture;
  for (int64_t x0 = 0; x0 < n; x0 += run) {
    const int64_t m = std::min(run, n - x0);
    for (int64_t i = 0; i < m; ++i) {
      g[i] = glossiness(x0 + i);
    }
    const auto pixel_rule = [&](int64_t i, float gi, double& u, double& v) {
      environment_detail::panoramic(x0 + i, y, depth_row[x0 + i], normal_row[x0 + i],
                                    environment.perspective, environment.depth_scale, depth.width,
                                    depth.height, gi, u, v);
    };
    if (dull_row == nullptr) {
      const int64_t done = environment_detail::panoramic_run(
          x0, y, m, depth_row + x0, normal_row + x0, g, environment.perspective,
          environment.depth_scale, depth.width, depth.height, lu, lv);
      for (int64_t i = done; i < m; ++i) {
        pixel_rule(i, g[i], lu[i], lv[i]);
      }
    } else {
      const int64_t done = environment_detail::panoramic_pair_run(
          x0, y, m, depth_row + x0, normal_row + x0, g, environment.perspective,
          environment.depth_scale, depth.width, depth.height, lu, lv, du, dv);
      for (int64_t i = done; i < m; ++i) {
        pixel_rule(i, g[i], lu[i], lv[i]);
        pixel_rule(i, 0.0f, du[i], dv[i]);
      }
      to_environment_pixels_run(m, du, dv, map, dull_row + x0);
    }
    to_environment_pixels_run(m, lu, lv, map, row + x0);
  }
}

// The glossiness a surface of glossiness texture colour `gloss` looks with; sets its blur, the
// more the duller.
template <class T>
float reflection_glossiness(const Shading_Color& gloss, const Environment_Parameter<T>& environment,
                            float& blur) {
  const float g0 = std::max(0.0f, environment.glossiness * texture_mean(gloss));
  // A fully glossy surface reflects sharply.
  blur = g0 < 1.0f ? (1.0f - g0) * 0.5f : 0.0f;
  return std::min(g0, 1.0f);
}

// The glossiness of reflection row y's pixel x, from x; each call sets row[x].blur. A row the
// glossiness texture does not reach reads white everywhere: its one glossiness is taken once.
template <class T>
auto reflection_row_glossiness(int64_t y, const Environment_Parameter<T>& environment,
                               Blur_Coordinates* row) {
  const Layer<T>& texture = environment.glossiness_texture;
  const bool reached = !outside_on_row(texture, y);
  float white_blur = 0.0f;
  const float white = reflection_glossiness(shading_white, environment, white_blur);
  return [=, &environment, &texture](int64_t x) {
    if (!reached) {
      row[x].blur = white_blur;
      return white;
    }
    return reflection_glossiness(texture_at(texture, x, y, shading_white), environment,
                                 row[x].blur);
  };
}

}  // namespace

template <class T>
void environment_lookup_coordinates(int64_t x, int64_t y, float& u, float& v,
                                    const Environment_Parameter<T>& environment,
                                    const Layer<float>& depth,
                                    const Layer<Vector_3<float>>& normals, float g) {
  const Vector_3<float> normal = normals.row(y)[x];
  double lu = 0.0;
  double lv = 0.0;
  if (environment.environment_type == 1) {
    lu = (1.0f + normal.x) / 2.0f;
    lv = (1.0f - normal.y) / 2.0f;
  } else {
    environment_detail::panoramic(x, y, depth.row(y)[x], normal, environment.perspective,
                                  environment.depth_scale, depth.width, depth.height, g, lu, lv);
  }
  to_environment_pixels(lu, lv, environment.environment_texture, u, v);
}

template <class T>
void init_reflection_coordinates_row(int64_t width, Blur_Coordinates* row, int64_t y,
                                     const Environment_Parameter<T>& environment,
                                     const Layer<float>& depth,
                                     const Layer<Vector_3<float>>& normals) {
  landing_positions_row(std::min(width, depth.width), row, nullptr, y, environment, depth, normals,
                        reflection_row_glossiness(y, environment, row));
}

template <class T>
void init_illumination_coordinates_row(int64_t width, Blur_Coordinates* row, int64_t y,
                                       const Environment_Parameter<T>& environment,
                                       const Layer<float>& depth,
                                       const Layer<Vector_3<float>>& normals) {
  const float blur = environment.blur_illumination * 0.5f;
  landing_positions_row(std::min(width, depth.width), row, nullptr, y, environment, depth, normals,
                        [&](int64_t x) {
                          row[x].blur = blur;
                          return 0.0f;
                        });
}

template <class T>
void init_environment_coordinates_rows(int64_t width, Blur_Coordinates* reflection_row,
                                       Blur_Coordinates* illumination_row, int64_t y,
                                       const Environment_Parameter<T>& environment,
                                       const Layer<float>& depth,
                                       const Layer<Vector_3<float>>& normals) {
  const int64_t n = std::min(width, depth.width);
  const float blur = environment.blur_illumination * 0.5f;
  for (int64_t x = 0; x < n; ++x) {
    illumination_row[x].blur = blur;
  }
  landing_positions_row(n, reflection_row, illumination_row, y, environment, depth, normals,
                        reflection_row_glossiness(y, environment, reflection_row));
}

template void environment_lookup_coordinates<ARGB8>(int64_t, int64_t, float&, float&,
                                                    const Environment_Parameter<ARGB8>&,
                                                    const Layer<float>&,
                                                    const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<ARGB8>(int64_t, Blur_Coordinates*, int64_t,
                                                     const Environment_Parameter<ARGB8>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<ARGB8>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<ARGB8>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void init_environment_coordinates_rows<ARGB8>(int64_t, Blur_Coordinates*,
                                                       Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<ARGB8>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<ARGB16>(int64_t, int64_t, float&, float&,
                                                     const Environment_Parameter<ARGB16>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<ARGB16>(int64_t, Blur_Coordinates*, int64_t,
                                                      const Environment_Parameter<ARGB16>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<ARGB16>(int64_t, Blur_Coordinates*, int64_t,
                                                        const Environment_Parameter<ARGB16>&,
                                                        const Layer<float>&,
                                                        const Layer<Vector_3<float>>&);
template void init_environment_coordinates_rows<ARGB16>(int64_t, Blur_Coordinates*,
                                                        Blur_Coordinates*, int64_t,
                                                        const Environment_Parameter<ARGB16>&,
                                                        const Layer<float>&,
                                                        const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<ARGB32f>(int64_t, int64_t, float&, float&,
                                                      const Environment_Parameter<ARGB32f>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<ARGB32f>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<ARGB32f>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<ARGB32f>(int64_t, Blur_Coordinates*, int64_t,
                                                         const Environment_Parameter<ARGB32f>&,
                                                         const Layer<float>&,
                                                         const Layer<Vector_3<float>>&);
template void init_environment_coordinates_rows<ARGB32f>(int64_t, Blur_Coordinates*,
                                                         Blur_Coordinates*, int64_t,
                                                         const Environment_Parameter<ARGB32f>&,
                                                         const Layer<float>&,
                                                         const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<BGRA8>(int64_t, int64_t, float&, float&,
                                                    const Environment_Parameter<BGRA8>&,
                                                    const Layer<float>&,
                                                    const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<BGRA8>(int64_t, Blur_Coordinates*, int64_t,
                                                     const Environment_Parameter<BGRA8>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<BGRA8>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<BGRA8>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void init_environment_coordinates_rows<BGRA8>(int64_t, Blur_Coordinates*,
                                                       Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<BGRA8>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<BGRA16>(int64_t, int64_t, float&, float&,
                                                     const Environment_Parameter<BGRA16>&,
                                                     const Layer<float>&,
                                                     const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<BGRA16>(int64_t, Blur_Coordinates*, int64_t,
                                                      const Environment_Parameter<BGRA16>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<BGRA16>(int64_t, Blur_Coordinates*, int64_t,
                                                        const Environment_Parameter<BGRA16>&,
                                                        const Layer<float>&,
                                                        const Layer<Vector_3<float>>&);
template void init_environment_coordinates_rows<BGRA16>(int64_t, Blur_Coordinates*,
                                                        Blur_Coordinates*, int64_t,
                                                        const Environment_Parameter<BGRA16>&,
                                                        const Layer<float>&,
                                                        const Layer<Vector_3<float>>&);
template void environment_lookup_coordinates<BGRA32f>(int64_t, int64_t, float&, float&,
                                                      const Environment_Parameter<BGRA32f>&,
                                                      const Layer<float>&,
                                                      const Layer<Vector_3<float>>&, float);
template void init_reflection_coordinates_row<BGRA32f>(int64_t, Blur_Coordinates*, int64_t,
                                                       const Environment_Parameter<BGRA32f>&,
                                                       const Layer<float>&,
                                                       const Layer<Vector_3<float>>&);
template void init_illumination_coordinates_row<BGRA32f>(int64_t, Blur_Coordinates*, int64_t,
                                                         const Environment_Parameter<BGRA32f>&,
                                                         const Layer<float>&,
                                                         const Layer<Vector_3<float>>&);
template void init_environment_coordinates_rows<BGRA32f>(int64_t, Blur_Coordinates*,
                                                         Blur_Coordinates*, int64_t,
                                                         const Environment_Parameter<BGRA32f>&,
                                                         const Layer<float>&,
                                                         const Layer<Vector_3<float>>&);

}  // namespace brel
