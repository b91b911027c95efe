#include "kernel/kernel_environmental_occlusion_cpu.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/exception.h"
#include "kernel/kernel_prepare_quick_occlusion_cpu.h"
#include "util/float_to_int.h"
#include "util/target_clones.h"

namespace brel {

namespace {

// Radii and window shifts are kept within ±2^40 pixels: far beyond any frame, and every sum of
// positions stays within int64_t. A full window that large weighs a sample less than 2^-25 and
// leaves 1 unchanged with or without the bound.
constexpr int64_t window_limit = int64_t{1} << 40;

// From this many samples on the full mode's weight is at most 2^-25, and 1 - weight rounds
// back to 1 (a tie goes to the even 1.0).
constexpr double samples_leaving_one = 33554432.0;  // 2^25

// Counts of samples above a pixel that are looked up (in quick mode, counts of rows for all span
// widths together); larger counts continue the subtraction from the last entry.
constexpr int64_t step_table_size = int64_t{1} << 16;

// table[i] = 1 less `weight` subtracted i times in float, one subtraction after the other.
void subtract_repeatedly(float weight, float* table, int64_t entries) {
  float occlusion = 1.0f;
  for (int64_t i = 0; i < entries; ++i) {
    table[i] = occlusion;
    occlusion = occlusion - weight;
  }
}

// The same for `count` subtractions, from a table of `entries` made so; counts past its end go on
// subtracting from its last entry.
float look_up_subtraction(const float* table, int64_t entries, float weight, int64_t count) {
  if (count < entries) {
    return table[count];
  }
  float occlusion = table[entries - 1];
  for (int64_t i = entries - 1; i < count; ++i) {
    occlusion = occlusion - weight;
  }
  return occlusion;
}

// Doubles as integers in their order (both zeros as 0), so that a search can halve the doubles
// between two values; and back.
int64_t order_key(double d) {
  const int64_t bits = std::bit_cast<int64_t>(d);
  return bits >= 0 ? bits : -(bits & std::numeric_limits<int64_t>::max());
}
double from_order_key(int64_t key) {
  return key >= 0 ? std::bit_cast<double>(key)
                  : std::bit_cast<double>(-key | std::numeric_limits<int64_t>::min());
}

// trunc(n × r): how far the normal's slope moves the window, in pixels.
int64_t window_shift(float n, int64_t r) {
  return truncate_clamped(n * static_cast<float>(r), -window_limit, window_limit);
}

// The occlusion scaled by the amount: an amount between 0 and 1 lifts the floor to 1 - amount.
float scaled_by_amount(float occlusion, float amount) {
  return occlusion * amount + std::max(0.0f, 1.0f - amount);
}

// The window's centre for pixel (x, y): the normal's y points up, rows run down.
std::pair<int64_t, int64_t> window_centre(const Occlusion_Settings& s, int64_t x, int64_t y) {
  const Vector_3<float>& n = s.normals.row(y)[x];
  return {x + window_shift(n.x, s.rx), y - window_shift(n.y, s.ry)};
}

// The running-sum columns of the quick mode's span around cx: the mean of a window row covers
// columns b + 1 .. e, so column 0 never enters it. Shifts beyond the row (from normals outside
// [-1, 1]) are kept inside it; an empty or reversed span has no mean.
struct Quick_Span {
  int64_t b;
  int64_t e;
  int64_t count() const { return e - b; }
};
Quick_Span quick_span(int64_t cx, int64_t rx, int64_t width) {
  return {std::clamp<int64_t>(cx - rx - 1, 0, width - 1),
          std::clamp<int64_t>(cx + rx, 0, width - 1)};
}

double row_mean(const Layer<double>& sums, int64_t m, const Quick_Span& span) {
  const double* row = sums.row(m);
  return (row[span.e] - row[span.b]) / static_cast<double>(span.count());
}

// Samples of `n` depths that lie strictly above c, one by one: the plain count.
inline int64_t count_above(const float* depth, int64_t n, float c) {
  int64_t count = 0;
  for (int64_t i = 0; i < n; ++i) {
    count += depth[i] > c ? 1 : 0;
  }
  return count;
}

// Eight depths and eight counts, as generic vectors: one register each where the processor has
// AVX2, two SSE registers otherwise.
using Float_8 = float __attribute__((vector_size(32)));
using Int_8 = int32_t __attribute__((vector_size(32)));

// counts += -1 in the lanes whose depth at p lies above the threshold; a comparison with NaN
// answers 0, as the plain one does. Vectors go by reference: passed or returned by value they
// would change the baseline body's calling convention.
inline void count_8(const float* p, const Float_8& threshold, Int_8& counts) {
  Float_8 depths;
  std::memcpy(&depths, p, sizeof(depths));
  counts += depths > threshold;
}

// The same in the lanes that `lanes` keeps (-1) only.
inline void count_8(const float* p, const Float_8& threshold, const Int_8& lanes, Int_8& counts) {
  Float_8 depths;
  std::memcpy(&depths, p, sizeof(depths));
  counts += (depths > threshold) & lanes;
}

// Samples of depth rows m0 .. m1, columns k0 .. k0 + n - 1 (all inside the layer), strictly
// above c: the plain count's result, eight columns an instruction. Always inlined (as are the
// full mode's other counts), so that the AVX2 body compiles it with AVX2.
[[gnu::always_inline]] inline int64_t count_window_above(const Layer<float>& depth, int64_t k0,
                                                         int64_t n, int64_t m0, int64_t m1,
                                                         float c) {
  if (n < 8) {
    int64_t above = 0;
    for (int64_t m = m0; m <= m1; ++m) {
      above += count_above(depth.row(m) + k0, n, c);
    }
    return above;
  }
  // Whole groups of eight from k0 on; the last n mod 8 columns are read as the eight that end
  // at the last column, with the lanes counted already masked off. A lane counts at most one
  // sample per group and row: a window below 2^25 samples keeps it within int32_t.
  const int64_t whole = n / 8 * 8;
  const int64_t rest = n - whole;
  const Int_8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
  const Int_8 last = lane >= static_cast<int32_t>(8 - rest);
  const Float_8 threshold = Float_8{} + c;
  Int_8 even = {};
  Int_8 odd = {};
  for (int64_t m = m0; m <= m1; ++m) {
    const float* row = depth.row(m) + k0;
    int64_t i = 0;
    for (; i + 16 <= whole; i += 16) {
      count_8(row + i, threshold, even);
      count_8(row + i + 8, threshold, odd);
    }
    if (i < whole) {
      count_8(row + i, threshold, even);
    }
    if (rest > 0) {
      count_8(row + n - 8, threshold, last, odd);
    }
  }
  const Int_8 sum = even + odd;
  int64_t above = 0;
  for (int32_t i = 0; i < 8; ++i) {
    above -= sum[i];
  }
  return above;
}

// One row of occlusion values: pixels without a surface get 1 when they are to be skipped, a
// window that cannot occlude leaves the rest unoccluded, and otherwise `occluded(x, c)` gives
// the occlusion of pixel x of depth c before the amount scales it.
template <class Occluded>
inline void occlusion_row(const Occlusion_Settings& s, int64_t y, bool never_occluded, float* out,
                          Occluded occluded) {
  const float* depth = s.depth.row(y);
  const float unoccluded = scaled_by_amount(1.0f, s.amount);
  for (int64_t x = 0; x < s.depth.width; ++x) {
    const float c = depth[x];
    if (s.skip_zero_depth && c == 0.0f) {
      out[x] = 1.0f;
    } else if (never_occluded) {
      out[x] = unoccluded;
    } else {
      out[x] = scaled_by_amount(occluded(x, c), s.amount);
    }
  }
}

// The counts of count_window_above for the four depths c[0..3] over the same window, each group
// of eight samples loaded once for all four: the loads, not the comparisons, bound the count.
// n is at least 8.
[[gnu::always_inline]] inline void count_window_above_4(const Layer<float>& depth, int64_t k0,
                                                        int64_t n, int64_t m0, int64_t m1,
                                                        const float (&c)[4], int64_t (&above)[4]) {
  const int64_t whole = n / 8 * 8;
  const int64_t rest = n - whole;
  const Int_8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
  const Int_8 last = lane >= static_cast<int32_t>(8 - rest);
  const Float_8 t0 = Float_8{} + c[0];
  const Float_8 t1 = Float_8{} + c[1];
  const Float_8 t2 = Float_8{} + c[2];
  const Float_8 t3 = Float_8{} + c[3];
  Int_8 n0 = {};
  Int_8 n1 = {};
  Int_8 n2 = {};
  Int_8 n3 = {};
  for (int64_t m = m0; m <= m1; ++m) {
    const float* row = depth.row(m) + k0;
    for (int64_t i = 0; i < whole; i += 8) {
      Float_8 depths;
      std::memcpy(&depths, row + i, sizeof(depths));
      n0 += depths > t0;
      n1 += depths > t1;
      n2 += depths > t2;
      n3 += depths > t3;
    }
    if (rest > 0) {
      Float_8 depths;
      std::memcpy(&depths, row + n - 8, sizeof(depths));
      n0 += (depths > t0) & last;
      n1 += (depths > t1) & last;
      n2 += (depths > t2) & last;
      n3 += (depths > t3) & last;
    }
  }
  for (int32_t i = 0; i < 8; ++i) {
    above[0] -= n0[i];
    above[1] -= n1[i];
    above[2] -= n2[i];
    above[3] -= n3[i];
  }
}

#if BREL_AVX2_ROWS
// Where the processor has AVX-512, sixteen samples a load. Each comparison sets a mask and the
// count adds one in its lanes, two instructions for sixteen comparisons against two for eight:
// the comparisons, not the loads, bound the wide windows.
#define BREL_TARGET_AVX512 __attribute__((target("avx512f")))

bool cpu_has_avx512() {
  static const bool supported = __builtin_cpu_supports("avx512f");
  return supported;
}

// count_window_above_4 sixteen columns a load; n is at least 16. Ordered comparisons: NaN on
// either side counts nothing, as `>` does. Kept out of line, with four named counts: inlined
// into the column's code, or with the counts in an array, the loop copies a register for every
// addition.
BREL_TARGET_AVX512 [[gnu::noinline]] void count_window_above_4_avx512(const Layer<float>& depth,
                                                                      int64_t k0, int64_t n,
                                                                      int64_t m0, int64_t m1,
                                                                      const float (&c)[4],
                                                                      int64_t (&above)[4]) {
  const int64_t whole = n / 16 * 16;
  const int64_t rest = n - whole;
  // The last n mod 16 columns, read as the sixteen that end at the last column.
  const __mmask16 last = static_cast<__mmask16>(0xffffu << (16 - rest));
  const __m512 t0 = _mm512_set1_ps(c[0]);
  const __m512 t1 = _mm512_set1_ps(c[1]);
  const __m512 t2 = _mm512_set1_ps(c[2]);
  const __m512 t3 = _mm512_set1_ps(c[3]);
  const __m512i one = _mm512_set1_epi32(1);
  __m512i n0 = _mm512_setzero_si512();
  __m512i n1 = n0;
  __m512i n2 = n0;
  __m512i n3 = n0;
  for (int64_t m = m0; m <= m1; ++m) {
    const float* row = depth.row(m) + k0;
    for (int64_t i = 0; i < whole; i += 16) {
      const __m512 d = _mm512_loadu_ps(row + i);
      n0 = _mm512_mask_add_epi32(n0, _mm512_cmp_ps_mask(d, t0, _CMP_GT_OQ), n0, one);
      n1 = _mm512_mask_add_epi32(n1, _mm512_cmp_ps_mask(d, t1, _CMP_GT_OQ), n1, one);
      n2 = _mm512_mask_add_epi32(n2, _mm512_cmp_ps_mask(d, t2, _CMP_GT_OQ), n2, one);
      n3 = _mm512_mask_add_epi32(n3, _mm512_cmp_ps_mask(d, t3, _CMP_GT_OQ), n3, one);
    }
    if (rest > 0) {
      const __m512 d = _mm512_loadu_ps(row + n - 16);
      n0 = _mm512_mask_add_epi32(n0, _mm512_mask_cmp_ps_mask(last, d, t0, _CMP_GT_OQ), n0, one);
      n1 = _mm512_mask_add_epi32(n1, _mm512_mask_cmp_ps_mask(last, d, t1, _CMP_GT_OQ), n1, one);
      n2 = _mm512_mask_add_epi32(n2, _mm512_mask_cmp_ps_mask(last, d, t2, _CMP_GT_OQ), n2, one);
      n3 = _mm512_mask_add_epi32(n3, _mm512_mask_cmp_ps_mask(last, d, t3, _CMP_GT_OQ), n3, one);
    }
  }
  const __m512i counts[4] = {n0, n1, n2, n3};
  for (int32_t j = 0; j < 4; ++j) {
    int32_t lanes[16];
    _mm512_storeu_si512(lanes, counts[j]);
    for (const int32_t lane : lanes) {
      above[j] += lane;
    }
  }
}
#endif

// A pixel's window clipped to the layer: columns k0 .. k1, rows m0 .. m1 (empty when either
// range is reversed).
struct Clipped_Window {
  int64_t k0;
  int64_t k1;
  int64_t m0;
  int64_t m1;
  bool empty() const { return k0 > k1 || m0 > m1; }
  int64_t columns() const { return k1 - k0 + 1; }
};

[[gnu::always_inline]] inline Clipped_Window clipped_window(const Occlusion_Settings& s, int64_t x,
                                                            int64_t y) {
  const auto [cx, cy] = window_centre(s, x, y);
  return {std::max<int64_t>(cx - s.rx, 0), std::min<int64_t>(cx + s.rx, s.depth.width - 1),
          std::max<int64_t>(cy - s.ry, 0), std::min<int64_t>(cy + s.ry, s.depth.height - 1)};
}

// Up to four vertically neighbouring pixels of one column in full mode. Pixels whose windows take
// the same columns (the normals shift them alike) are counted together over the rows all their
// windows hold, each loaded group of samples compared with every one of their depths, and each
// pixel's other rows alone. The counts are exact integers, so they equal the pixel by pixel
// count. Samples outside the layer count as depth 0.
template <bool Wide>
[[gnu::always_inline]] inline void full_mode_column(const Occlusion_Settings& s,
                                                    const Occlusion_Steps& steps, int64_t x,
                                                    int64_t y0, int64_t rows,
                                                    float* const (&out)[4]) {
  constexpr float none = std::numeric_limits<float>::quiet_NaN();  // counts nothing
  float c[4] = {none, none, none, none};
  bool counted[4] = {};
  Clipped_Window window[4] = {};
  // The pixels counted together (with their depths; the others' lanes count nothing), the rows
  // [a, b] their windows share, and the first of them.
  bool shared[4] = {};
  float together[4] = {none, none, none, none};
  int64_t lead = -1;
  int64_t sharing = 0;
  int64_t a = 0;
  int64_t b = -1;
  for (int64_t j = 0; j < rows; ++j) {
    c[j] = s.depth.row(y0 + j)[x];
    if (s.skip_zero_depth && c[j] == 0.0f) {
      out[j][x] = 1.0f;
      continue;
    }
    counted[j] = true;
    window[j] = clipped_window(s, x, y0 + j);
    const Clipped_Window& wj = window[j];
    if (wj.empty() || wj.columns() < 8) {
      continue;
    }
    if (lead < 0) {
      lead = j;
      a = wj.m0;
      b = wj.m1;
    } else if (wj.k0 != window[lead].k0 || wj.k1 != window[lead].k1 ||
               std::max(a, wj.m0) > std::min(b, wj.m1)) {
      continue;
    }
    shared[j] = true;
    together[j] = c[j];
    ++sharing;
    a = std::max(a, wj.m0);
    b = std::min(b, wj.m1);
  }
  int64_t above[4] = {};
  if (sharing > 1) {
    const Clipped_Window& wl = window[lead];
#if BREL_AVX2_ROWS
    if (Wide && wl.columns() >= 16) {
      count_window_above_4_avx512(s.depth, wl.k0, wl.columns(), a, b, together, above);
    } else {
      count_window_above_4(s.depth, wl.k0, wl.columns(), a, b, together, above);
    }
#else
    count_window_above_4(s.depth, wl.k0, wl.columns(), a, b, together, above);
#endif
  }
  for (int64_t j = 0; j < rows; ++j) {
    if (!counted[j]) {
      continue;
    }
    const Clipped_Window& wj = window[j];
    int64_t inside = 0;
    if (!wj.empty()) {
      const int64_t n = wj.columns();
      if (sharing > 1 && shared[j]) {
        above[j] += count_window_above(s.depth, wj.k0, n, wj.m0, a - 1, c[j]) +
                    count_window_above(s.depth, wj.k0, n, b + 1, wj.m1, c[j]);
      } else {
        above[j] = count_window_above(s.depth, wj.k0, n, wj.m0, wj.m1, c[j]);
      }
      inside = n * (wj.m1 - wj.m0 + 1);
    }
    if (0.0f > c[j]) {
      above[j] += steps.window() - inside;
    }
    out[j][x] = scaled_by_amount(steps.after(above[j]), s.amount);
  }
}

// Rows y0 .. y0 + rows - 1 (at most four) in full mode, a column of them at a time.
template <bool Wide>
[[gnu::always_inline]] inline void full_mode_rows_body(const Occlusion_Settings& s,
                                                       const Occlusion_Steps& steps, int64_t y0,
                                                       int64_t rows,
                                                       const Layer<float>& occlusion) {
  if (steps.unchanged()) {
    for (int64_t y = y0; y < y0 + rows; ++y) {
      occlusion_row(s, y, true, occlusion.row(y), [](int64_t, float) { return 1.0f; });
    }
    return;
  }
  float* out[4] = {};
  for (int64_t j = 0; j < rows; ++j) {
    out[j] = occlusion.row(y0 + j);
  }
  for (int64_t x = 0; x < s.depth.width; ++x) {
    full_mode_column<Wide>(s, steps, x, y0, rows, out);
  }
}

// The loads and comparisons of samples bound this loop: where the processor has AVX2 it loads
// and compares eight depths an instruction instead of four.
BREL_TARGET_CLONES_AVX2 void full_mode_rows_8(const Occlusion_Settings& s,
                                              const Occlusion_Steps& steps, int64_t y0,
                                              int64_t rows, const Layer<float>& occlusion) {
  full_mode_rows_body<false>(s, steps, y0, rows, occlusion);
}

#if BREL_AVX2_ROWS
BREL_TARGET_AVX512 void full_mode_rows_16(const Occlusion_Settings& s, const Occlusion_Steps& steps,
                                          int64_t y0, int64_t rows, const Layer<float>& occlusion) {
  full_mode_rows_body<true>(s, steps, y0, rows, occlusion);
}
#endif

void full_mode_rows(const Occlusion_Settings& s, const Occlusion_Steps& steps, int64_t y0,
                    int64_t rows, const Layer<float>& occlusion) {
#if BREL_AVX2_ROWS
  if (cpu_has_avx512()) {
    full_mode_rows_16(s, steps, y0, rows, occlusion);
    return;
  }
#endif
  full_mode_rows_8(s, steps, y0, rows, occlusion);
}

// Full mode counts four rows together, a column of them at a time; quick mode takes one row.
int64_t occlusion_rows_per_iteration(const Occlusion_Settings& s) {
  return s.quick_mode ? 1 : 4;
}

// Window rows m0 .. m1 whose difference of running sums between columns e and b is at least
// `least`: independent comparisons, no chain from row to row.
[[gnu::always_inline]] inline int64_t count_rows_at_least(const Layer<double>& sums, int64_t m0,
                                                          int64_t m1, int64_t b, int64_t e,
                                                          double least) {
  int64_t above = 0;
  for (int64_t m = m0; m <= m1; ++m) {
    const double* row = sums.row(m);
    above += row[e] - row[b] >= least ? 1 : 0;
  }
  return above;
}

// The counts of count_rows_at_least for Lanes (2 or 4) pixels whose spans start at columns b,
// b + 1, ... and end at e, e + 1, ..., over rows m0 .. m1: each lane takes its pixel's difference
// and comparison, the pixels together an instruction.
template <int Lanes>
struct Double_Lanes;
template <>
struct Double_Lanes<2> {
  using Doubles = double __attribute__((vector_size(16)));
  using Counts = int64_t __attribute__((vector_size(16)));
};
template <>
struct Double_Lanes<4> {
  using Doubles = double __attribute__((vector_size(32)));
  using Counts = int64_t __attribute__((vector_size(32)));
};

template <int Lanes>
[[gnu::always_inline]] inline void count_rows_at_least_n(const Layer<double>& sums, int64_t m0,
                                                         int64_t m1, int64_t b, int64_t e,
                                                         const double* least, int64_t* above) {
  using Doubles = typename Double_Lanes<Lanes>::Doubles;
  using Counts = typename Double_Lanes<Lanes>::Counts;
  Doubles bound;
  std::memcpy(&bound, least, sizeof(bound));
  Counts counts = {};
  for (int64_t m = m0; m <= m1; ++m) {
    const double* row = sums.row(m);
    Doubles high;
    Doubles low;
    std::memcpy(&high, row + e, sizeof(high));
    std::memcpy(&low, row + b, sizeof(low));
    counts += (high - low) >= bound;
  }
  for (int32_t i = 0; i < Lanes; ++i) {
    above[i] -= counts[i];
  }
}

// What a quick-mode pixel counts: rows m0 .. m1 of its span (b, b + n], against its bound. n 0
// marks a pixel whose value is set already.
struct Quick_Pixel {
  int64_t b;
  int64_t n;
  int64_t m0;
  int64_t m1;
  double least;
};

// Counts the `Lanes` pixels from p on together and writes their values, when all of them are to
// be counted, their spans have one width and lie a column apart, and their windows share a row:
// the shared rows for all at once, each one's other rows alone. False (nothing written)
// otherwise, or when fewer than `Lanes` pixels are left.
template <int Lanes>
[[gnu::always_inline]] inline bool count_quick_pixels(const Occlusion_Settings& s,
                                                      const Layer<double>& sums,
                                                      const Quick_Occlusion_Steps& steps,
                                                      const Quick_Pixel* p, int64_t left,
                                                      float* out) {
  if (left < Lanes) {
    return false;
  }
  int64_t a = p[0].m0;
  int64_t z = p[0].m1;
  double least[Lanes];
  for (int64_t j = 0; j < Lanes; ++j) {
    if (p[j].n != p[0].n || p[j].b != p[0].b + j) {
      return false;
    }
    a = std::max(a, p[j].m0);
    z = std::min(z, p[j].m1);
    least[j] = p[j].least;
  }
  if (a > z) {
    return false;
  }
  int64_t above[Lanes] = {};
  count_rows_at_least_n<Lanes>(sums, a, z, p[0].b, p[0].b + p[0].n, least, above);
  for (int64_t j = 0; j < Lanes; ++j) {
    const Quick_Pixel& q = p[j];
    above[j] += count_rows_at_least(sums, q.m0, a - 1, q.b, q.b + q.n, q.least) +
                count_rows_at_least(sums, z + 1, q.m1, q.b, q.b + q.n, q.least);
    out[j] = scaled_by_amount(steps.after(q.n, above[j]), s.amount);
  }
  return true;
}

// Pixels a row prepares before counting them.
constexpr int64_t quick_chunk = 64;

// One row in quick mode: only the rows strictly between the first and the last take part. The
// plain rule subtracts 1 / n once for every window row whose mean lies above the pixel; here the
// rows are counted and the subtractions looked up. Four neighbouring pixels whose spans are of
// one width and one column apart (the normals shift them alike) count the rows their windows
// share together; each counts its other rows alone. Counts are integers: the order of counting
// does not change them.
BREL_TARGET_CLONES_AVX2 void quick_mode_row(const Occlusion_Settings& s, const Layer<double>& sums,
                                            const Quick_Occlusion_Steps& steps, int64_t y,
                                            float* out) {
  const int64_t w = s.depth.width;
  const int64_t h = s.depth.height;
  if (s.rx < 0 || s.ry < 0) {
    occlusion_row(s, y, true, out, [](int64_t, float) { return 1.0f; });
    return;
  }
  const float* depth = s.depth.row(y);
  Quick_Pixel pixels[quick_chunk];
  for (int64_t x0 = 0; x0 < w; x0 += quick_chunk) {
    const int64_t chunk = std::min(quick_chunk, w - x0);
    for (int64_t i = 0; i < chunk; ++i) {
      const int64_t x = x0 + i;
      const float c = depth[x];
      Quick_Pixel& p = pixels[i];
      p.n = 0;
      if (s.skip_zero_depth && c == 0.0f) {
        out[x] = 1.0f;
        continue;
      }
      const auto [cx, cy] = window_centre(s, x, y);
      const Quick_Span span = quick_span(cx, s.rx, w);
      if (span.count() <= 0) {
        out[x] = scaled_by_amount(1.0f, s.amount);
        continue;
      }
      p.b = span.b;
      p.n = span.count();
      p.m0 = std::max<int64_t>(cy - s.ry, 1);
      p.m1 = std::min<int64_t>(cy + s.ry, h - 2);
      p.least = least_sum_above(static_cast<double>(c), static_cast<double>(p.n));
    }
    for (int64_t i = 0; i < chunk;) {
      if (pixels[i].n == 0) {
        ++i;
        continue;
      }
      if (count_quick_pixels<4>(s, sums, steps, pixels + i, chunk - i, out + x0 + i)) {
        i += 4;
      } else if (count_quick_pixels<2>(s, sums, steps, pixels + i, chunk - i, out + x0 + i)) {
        i += 2;
      } else {
        const Quick_Pixel& p = pixels[i];
        out[x0 + i] = scaled_by_amount(
            steps.after(p.n, count_rows_at_least(sums, p.m0, p.m1, p.b, p.b + p.n, p.least)),
            s.amount);
        ++i;
      }
    }
  }
}

}  // namespace

double least_sum_above(double c, double n) {
  if (!(c < std::numeric_limits<double>::infinity())) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const auto above = [&](int64_t key) { return from_order_key(key) / n > c; };
  // Every mean of +inf lies above c: it bounds the search.
  const int64_t highest = order_key(std::numeric_limits<double>::infinity());
  // c n rounded is never above the bound: a double below it lies below the exact product, so
  // its mean rounds to c at most. For nearly every depth the bound is that product or the
  // double after it. A float depth times a span below 2^29 is exact, so its mean is c itself
  // and only the double after it needs a division.
  const int64_t guess = order_key(c * n);
  const bool exact =
      static_cast<double>(static_cast<float>(c)) == c && n < 536870912.0 && n == std::trunc(n);
  if (!exact && above(guess)) {
    return from_order_key(guess);
  }
  if (above(std::min(guess + 1, highest))) {
    return from_order_key(guess + 1);
  }
  // Where the means are subnormal or zero the bound lies further up: widen a step at a time,
  // doubling, until it lies in (lo, hi], then halve.
  int64_t lo = guess + 1;
  int64_t hi = lo;
  for (int64_t step = 1; hi = std::min(lo + step, highest), !above(hi); step *= 2) {
    lo = hi;
  }
  while (hi - lo > 1) {
    const int64_t middle = lo + (hi - lo) / 2;
    (above(middle) ? hi : lo) = middle;
  }
  return from_order_key(hi);
}

Occlusion_Settings occlusion_settings(const Layer<float>& depth,
                                      const Layer<Vector_3<float>>& normals, float amount,
                                      int64_t radius, bool quick_mode, bool skip_zero_depth) {
  Occlusion_Settings s;
  s.depth = depth;
  s.normals = normals;
  s.amount = amount;
  const float r = static_cast<float>(radius);
  s.rx = truncate_clamped(r * depth.scale_x, -window_limit, window_limit);
  s.ry = truncate_clamped(r * depth.scale_y, -window_limit, window_limit);
  s.quick_mode = quick_mode;
  s.skip_zero_depth = skip_zero_depth;
  return s;
}

Occlusion_Steps::Occlusion_Steps(int64_t rx, int64_t ry) {
  if (rx < 0 || ry < 0 ||
      (2.0 * static_cast<double>(ry) + 1.0) * (2.0 * static_cast<double>(rx) + 1.0) >=
          samples_leaving_one) {
    return;
  }
  window_ = (2 * ry + 1) * (2 * rx + 1);
  weight_ = 1.0f / static_cast<float>(window_);
  table_.resize(static_cast<size_t>(std::min(window_, step_table_size) + 1));
  subtract_repeatedly(weight_, table_.data(), static_cast<int64_t>(table_.size()));
}

float Occlusion_Steps::after(int64_t count) const {
  if (table_.empty()) {
    return 1.0f;
  }
  return look_up_subtraction(table_.data(), static_cast<int64_t>(table_.size()), weight_, count);
}

Quick_Occlusion_Steps::Quick_Occlusion_Steps(int64_t widest, int64_t rows) {
  if (widest < 1 || rows < 0) {
    return;
  }
  widest_ = std::min(widest, step_table_size);
  entries_ = std::min(rows + 1, step_table_size / widest_);
  table_.resize(static_cast<size_t>(widest_ * entries_));
  for (int64_t n = 1; n <= widest_; ++n) {
    subtract_repeatedly(1.0f / static_cast<float>(n),
                        &table_[static_cast<size_t>((n - 1) * entries_)], entries_);
  }
}

float Quick_Occlusion_Steps::after(int64_t samples, int64_t count) const {
  if (samples <= widest_ && count < entries_) {
    return table_[static_cast<size_t>((samples - 1) * entries_ + count)];
  }
  const float weight = 1.0f / static_cast<float>(samples);
  if (samples > widest_) {
    const float one = 1.0f;
    return look_up_subtraction(&one, 1, weight, count);
  }
  return look_up_subtraction(&table_[static_cast<size_t>((samples - 1) * entries_)], entries_,
                             weight, count);
}

float environmental_occlusion_pixel_reference(const Occlusion_Settings& s,
                                              const Layer<double>& prefix_sums, int64_t x,
                                              int64_t y) {
  const int64_t w = s.depth.width;
  const int64_t h = s.depth.height;
  const float c = s.depth.row(y)[x];
  if (s.skip_zero_depth && c == 0.0f) {
    return 1.0f;
  }
  const auto [cx, cy] = window_centre(s, x, y);
  float occlusion = 1.0f;
  if (s.rx < 0 || s.ry < 0) {
    return scaled_by_amount(occlusion, s.amount);
  }
  if (!s.quick_mode) {
    const float weight = 1.0f / static_cast<float>((2 * s.ry + 1) * (2 * s.rx + 1));
    for (int64_t m = cy - s.ry; m <= cy + s.ry; ++m) {
      for (int64_t k = cx - s.rx; k <= cx + s.rx; ++k) {
        const bool inside = k >= 0 && k < w && m >= 0 && m < h;
        const float sample = inside ? s.depth.row(m)[k] : 0.0f;
        if (c < sample) {
          occlusion = occlusion - weight;
        }
      }
    }
  } else {
    const Quick_Span span = quick_span(cx, s.rx, w);
    for (int64_t m = cy - s.ry; m <= cy + s.ry; ++m) {
      if (span.count() > 0 && m > 0 && m < h - 1 &&
          row_mean(prefix_sums, m, span) > static_cast<double>(c)) {
        occlusion = occlusion - 1.0f / static_cast<float>(span.count());
      }
    }
  }
  return scaled_by_amount(occlusion, s.amount);
}

Row_Bands occlusion_bands(int64_t rows, int64_t grain, int64_t workers) {
  static_assert(occlusion_wide_band_rows % 4 == 0);
  BREL_ASSERT(grain > 0 && occlusion_wide_band_rows % grain == 0 && workers > 0);
  return Row_Bands(rows, occlusion_wide_band_rows, grain, workers * occlusion_wide_band_rows);
}

void environmental_occlusion_rows(const Iteration& iteration, Render_Context context,
                                  Occlusion_Settings settings, Row_Bands bands,
                                  Layer<float> occlusion, Layer<double> prefix_sums,
                                  const Occlusion_Steps* steps,
                                  const Quick_Occlusion_Steps* quick_steps) {
  const auto [begin, end] = bands.range(iteration.index);
  if (settings.quick_mode) {
    for (int64_t y = begin; y < end; ++y) {
      quick_mode_row(settings, prefix_sums, *quick_steps, y, occlusion.row(y));
      context.check_abort();
    }
    return;
  }
  // Four rows counted together at a time, one poll per row as for every other row loop.
  for (int64_t y = begin; y < end; y += 4) {
    const int64_t rows = std::min<int64_t>(4, end - y);
    full_mode_rows(settings, *steps, y, rows, occlusion);
    for (int64_t j = 0; j < rows; ++j) {
      context.check_abort();
    }
  }
}

void run_environmental_occlusion(const Render_Context& context, const Occlusion_Settings& settings,
                                 std::unique_ptr<Layer_Holder>& result) {
  const int64_t w = settings.depth.width;
  const int64_t h = settings.depth.height;
  // A kernel run again gives its last layer back first, so that a render's pool can hand that
  // memory to this run instead of fresh pages.
  result.reset();
  result = std::make_unique<Layer_Holder>(
      make_temporary_float_layer(context, w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f));
  const Layer<float> occlusion = layer_view<float>(*result);
  // The running sums live only through this run.
  Layer_Holder sums_holder;
  Layer<double> sums;
  if (settings.quick_mode) {
    sums_holder.memory = context.allocate_memory_2d(w * 8, h);
    sums = layer_view<double>(sums_holder);
    Kernel_Prepare_Quick_Occlusion prepare;
    prepare.parameters_in.depth = settings.depth;
    prepare.parameters_in.prefix_sums = sums;
    prepare.execute(context);
  }
  const Occlusion_Steps steps(settings.quick_mode ? -1 : settings.rx, settings.ry);
  // A quick-mode span holds at most 2 rx + 1 and w - 1 samples, a window at most 2 ry + 1 and
  // h - 2 rows.
  const Quick_Occlusion_Steps quick_steps(
      settings.quick_mode ? std::min(2 * settings.rx + 1, w - 1) : 0,
      std::min(2 * settings.ry + 1, h - 2));
  // Rows cost more where the window lies wholly inside the layer and where pixels have surface:
  // the loop's dynamic hand-out evens that out, and its last pieces are a grain each (one row in
  // quick mode, four in full mode, counted together), so the workers finish within about one
  // grain of each other. Even a row of a small window costs far more than taking the next index.
  const Row_Bands bands =
      occlusion_bands(h, occlusion_rows_per_iteration(settings), context.iteration_count(h));
  cpu_kernel_launch(std::max<int64_t>(bands.count(), 1), &environmental_occlusion_rows, context,
                    settings, bands, occlusion, sums, &steps, &quick_steps);
}

int64_t environmental_occlusion_workload(int64_t normal_pixels, int64_t depth_pixels,
                                         int64_t radius) {
  // Beyond ±2^32 the estimate saturates whatever the radius.
  const __int128 r = std::clamp<int64_t>(radius, -(int64_t{1} << 32), int64_t{1} << 32);
  const __int128 side = 2 * r + 1;
  const __int128 bytes = static_cast<__int128>(normal_pixels) * 12 + side * side * depth_pixels * 4;
  const __int128 most = std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(std::min(bytes, most));
}

template class Kernel_Environmental_Occlusion<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Environmental_Occlusion<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Environmental_Occlusion<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Environmental_Occlusion<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Environmental_Occlusion<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Environmental_Occlusion<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
