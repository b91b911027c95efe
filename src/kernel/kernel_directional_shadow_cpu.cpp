#include "kernel/kernel_directional_shadow_cpu.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "util/target_clones.h"
#include "util/transpose_lanes.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

namespace {

// v clamped to [low, high], no number giving `low`, so that it truncates safely.
float clamp_number(float v, float low, float high) {
  return v >= low ? (v <= high ? v : high) : low;
}

// One axis of a bilinear sample: the indices of the two pixels the coordinate lies between,
// clamped into the layer's n, and its distance from the first.
struct Axis_Sample {
  int64_t a;
  int64_t b;
  float f;
};

inline Axis_Sample axis_sample(float q, int64_t n) {
  const float q0 = std::floor(q);
  // Samples lie inside the layer, so the floor converts safely.
  const int64_t i = static_cast<int64_t>(q0);
  return {std::min(std::max<int64_t>(i, 0), n - 1), std::min(std::max<int64_t>(i, -1) + 1, n - 1),
          q - q0};
}

// The axis sample of a step's own stepping coordinate, j + 0.5 with j and j + 1 inside the layer
// (see line_step): what axis_sample gives it, without the floor and the clamps, which took 5 to
// 10 % of a frame on one thread and on eight (frames of the old and the new march alternated in
// one process, 1920 × 1080 and 3840 × 2160, lines along y and along x).
inline Axis_Sample whole_step_sample(float q) {
  // q > 0, so the conversion floors.
  const int64_t j = static_cast<int64_t>(q);
  return {j, j + 1, 0.5f};
}

inline float bilinear(const Layer<float>& depth, Axis_Sample x, Axis_Sample y) {
  const float* ra = depth.row(y.a);
  const float* rb = depth.row(y.b);
  return ((1.0f - x.f) * ra[x.a] + x.f * ra[x.b]) * (1.0f - y.f) +
         ((1.0f - x.f) * rb[x.a] + x.f * rb[x.b]) * y.f;
}

// The depth at q by bilinear interpolation, indices clamped into the layer.
inline float bilinear(const Layer<float>& depth, float qx, float qy) {
  return bilinear(depth, axis_sample(qx, depth.width), axis_sample(qy, depth.height));
}

// What one line keeps fixed while it marches, in stepping and cross coordinates: along x the
// stepping coordinate is x, along y it is y.
struct Line {
  bool along_x;
  float dir;  // +1 or -1 along the stepping coordinate
  float m;    // cross per stepping unit
  float start_step;
  float start_cross;
  double drop;  // horizon drop per step
  float attenuation_factor;
  float translucency;
  bool skip_zero_depth;
};

struct Line_State {
  double horizon = -999999999.9;
  bool lit = false;
  double acc = 0.0;
};

inline float depth_at(const Layer<float>& depth, const Line& line, float step, float cross) {
  return line.along_x ? bilinear(depth, step, cross) : bilinear(depth, cross, step);
}

inline double clamp_unit(double v) {
  return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
}

// Step k of a line whose lit state changes there, from the state after the step's drop of the
// horizon: the step refines between the previous step and this one in ten sub-samples, each that
// rises above the horizon taking a tenth of the shadow away. Returns the value the step writes.
[[gnu::always_inline]] inline float refined_step(const Layer<float>& depth, const Line& line,
                                                 Line_State& state, int64_t k) {
  const float t = line.translucency;
  const float cube = t * t * t;
  state.horizon = state.horizon + line.drop;
  const double sub_drop = static_cast<float>(line.drop) * 0.1f;
  float value = 1.0f;
  bool above = false;
  for (float f = 0.0f; f <= 1.0f; f += 0.1f) {
    state.horizon = state.horizon - sub_drop;
    const float sub_along = (f + static_cast<float>(k)) * line.dir;
    const float zs = depth_at(depth, line, sub_along + line.start_step - 0.5f,
                              sub_along * line.m + line.start_cross - 0.5f);
    above = zs > state.horizon;
    if (above) {
      state.horizon = zs;
      value = value - 0.1f;
      state.acc = 0.0;
    } else {
      const float increment =
          static_cast<float>((state.horizon - zs) * 0.003) * line.attenuation_factor * 0.1f / cube;
      state.acc = clamp_unit(state.acc + increment);
    }
  }
  state.lit = above;
  return value;
}

// Step k of a line: the shadow value it writes (see refined_step for a change of the lit
// state). Inlined into both builds of march_steps.
[[gnu::always_inline]] inline float line_step(const Layer<float>& depth, const Line& line,
                                              Line_State& state, int64_t k) {
  state.horizon = state.horizon - line.drop;
  const float along = static_cast<float>(k + 1) * line.dir;
  // A line starts on the layer's first or last row (along y) or column (along x) and steps by
  // whole ones: the step's sample lies halfway between two of them, which the march keeps inside
  // the layer (k + 1 from 1 to the extent - 2). The sum is exact below 2^23 pixels.
  const Axis_Sample step = whole_step_sample(along + line.start_step - 0.5f);
  const float cross = along * line.m + line.start_cross - 0.5f;
  const float z = line.along_x ? bilinear(depth, step, axis_sample(cross, depth.height))
                               : bilinear(depth, axis_sample(cross, depth.width), step);
  if (line.skip_zero_depth && z == 0.0f) {
    return 1.0f;
  }
  const float t = line.translucency;
  const float cube = t * t * t;
  if (state.lit == (z > state.horizon)) {
    if (z > state.horizon) {
      state.horizon = z;
      state.acc = 0.0;
      state.lit = true;
      return 0.0f;
    }
    const float increment =
        static_cast<float>((state.horizon - z) * 0.003) * line.attenuation_factor / cube;
    state.acc = clamp_unit(state.acc + increment);
    state.lit = false;
    return 1.0f;
  }
  return refined_step(depth, line, state, k);
}

// What line i keeps while it marches, and where: steps a .. b - 1, step k writing the cell
// start_index + k × step_sign of the line's sheared rows.
struct Line_March {
  Line line;
  int64_t a;
  int64_t b;
  int64_t start_index;
  int64_t step_sign;
  bool marched() const { return a < b; }
  int64_t first() const { return step_sign > 0 ? start_index + a : start_index - (b - 1); }
  int64_t last() const { return step_sign > 0 ? start_index + (b - 1) : start_index - a; }
};

Line_March line_march(const Layer<float>& depth, const Transformation_Information& transformation,
                      const Directional_Shadow_Parameters_In& in, int64_t i) {
  const bool along_x = transformation.along_x != 0;
  const float shift = static_cast<float>(i);
  const float sx = along_x ? transformation.x0 : transformation.x0 + shift;
  const float sy = along_x ? transformation.y0 + shift : transformation.y0;
  const float ex = along_x ? transformation.x1 : transformation.x1 + shift;
  const float ey = along_x ? transformation.y1 + shift : transformation.y1;
  const float start_step = along_x ? sx : sy;
  const float start_cross = along_x ? sy : sx;
  const float d_step = along_x ? ex - sx : ey - sy;
  const float d_cross = along_x ? ey - sy : ex - sx;
  const float step_extent = static_cast<float>(along_x ? depth.width : depth.height);
  const float cross_extent = static_cast<float>(along_x ? depth.height : depth.width);

  const float dir = start_step <= (along_x ? ex : ey) ? 1.0f : -1.0f;
  const float m = d_cross / d_step;
  // The steps whose cross coordinate stays between 0.51 and the extent - 1.51.
  const float c = dir * m;
  const float cross_low = 0.51f - start_cross;
  const float cross_high = cross_extent - 1.51f - start_cross;
  float k_low = -std::numeric_limits<float>::infinity();
  float k_high = std::numeric_limits<float>::infinity();
  if (c > 0.0f) {
    k_low = cross_low / c;
    k_high = cross_high / c;
  } else if (c < 0.0f) {
    k_low = cross_high / c;
    k_high = cross_low / c;
  }
  const float sxs = depth.scale_x;
  const float sys = depth.scale_y;
  const Line line{
      along_x,
      dir,
      m,
      start_step,
      start_cross,
      std::sqrt(d_step * d_step + d_cross * d_cross) / std::fabs(d_step) * transformation.slope,
      1.4142135f / std::sqrt(sxs * sxs + sys * sys),
      in.translucency,
      in.skip_zero_depth};
  return {line, static_cast<int64_t>(clamp_number(k_low, 0.51f, step_extent - 1.51f)),
          static_cast<int64_t>(clamp_number(k_high, 0.51f, step_extent - 1.51f)),
          static_cast<int64_t>(start_step), dir > 0.0f ? 1 : -1};
}

// Of the cells in [read_begin, read_end), the positions the unshear reads, sets those the line
// does not reach to 0.
void zero_unmarched(const Line_March& march, float* row, int64_t read_begin, int64_t read_end) {
  const auto zero = [row](int64_t begin, int64_t end) {
    if (begin < end) {
      std::fill(row + begin, row + end, 0.0f);
    }
  };
  if (march.marched()) {
    zero(read_begin, std::min(march.first(), read_end));
    zero(std::max(march.last() + 1, read_begin), read_end);
  } else {
    zero(read_begin, read_end);
  }
}

// The steps of a line into its sheared rows. The baseline processor has no rounding
// instruction, so each of a sample's two floors is a run of converts, compares and masks; where
// the processor has AVX2 (and with it rounding) the same steps give the same values about 15 %
// sooner on one thread (frames alternated in one process, lines along y and along x,
// 1920 × 1080).
BREL_TARGET_CLONES_AVX2 void march_steps(const Layer<float>& depth, const Line_March& march,
                                         float* sheared, float* sheared_translucent) {
  // Copies, which the stores into the rows cannot change: the fields stay in registers.
  const Line line = march.line;
  const int64_t start_index = march.start_index;
  const int64_t step_sign = march.step_sign;
  Line_State state;
  for (int64_t k = march.a; k < march.b; ++k) {
    const float value = line_step(depth, line, state, k);
    const int64_t index = start_index + k * step_sign;
    sheared[index] = value;
    if (sheared_translucent != nullptr) {
      sheared_translucent[index] = static_cast<float>(state.acc);
    }
  }
}

// Lines a lane group marches side by side where the processor has AVX2.
constexpr int lane_count = 8;

#if BREL_AVX2_ROWS

// The four-bit masks of double lanes, for blends.
alignas(32) constexpr int64_t double_lane_masks[16][4] = {
    {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
    {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
    {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
    {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};

__attribute__((target("avx2"))) inline __m256d double_mask(int bits) {
  return _mm256_load_pd(reinterpret_cast<const double*>(double_lane_masks[bits & 15]));
}

// clamp_unit in four lanes: no number counts as 0.
__attribute__((target("avx2"))) inline __m256d clamp_unit4(__m256d v) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d below_one = _mm256_blendv_pd(one, v, _mm256_cmp_pd(v, one, _CMP_LT_OQ));
  return _mm256_and_pd(below_one, _mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_GT_OQ));
}

// Whether the lanes' clamped indices `a` run on from the first lane's, `first`, each `b` next to
// its `a`: neighbouring lines sample neighbouring cells, which loads can read in place of gathers.
__attribute__((target("avx2"))) inline bool runs_on(__m256i a, __m256i b, __m256i lanes,
                                                    int32_t& first) {
  first = _mm256_cvtsi256_si32(a);
  const __m256i run = _mm256_add_epi32(_mm256_set1_epi32(first), lanes);
  return _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_and_si256(
             _mm256_cmpeq_epi32(a, run),
             _mm256_cmpeq_epi32(b, _mm256_add_epi32(run, _mm256_set1_epi32(1)))))) == 0xff;
}

// bilinear in eight lanes: a0, a1 the first row's cells, b0, b1 the second's, weights x_f and
// y_f, the same products and sums in the same order.
__attribute__((target("avx2"))) inline __m256 bilinear8(__m256 a0, __m256 a1, __m256 b0, __m256 b1,
                                                        __m256 x_f, __m256 y_f) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 x_keep = _mm256_sub_ps(one, x_f);
  return _mm256_add_ps(
      _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(x_keep, a0), _mm256_mul_ps(x_f, a1)),
                    _mm256_sub_ps(one, y_f)),
      _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(x_keep, b0), _mm256_mul_ps(x_f, b1)), y_f));
}

constexpr int64_t prefetch_steps = 8;

// The depth of eight lines along y at step row `step`, cross coordinates in columns ca and cb
// with weight f. Lines along y take a new row every step, and the eight lanes leave the
// processor too few steps in flight to wait for it: the cells prefetch_steps on, where the
// lanes' columns have moved by `ahead_columns`, are asked for early (at the default angle,
// 1920 × 1080 on one thread, 21 ms a frame without, 17 with).
__attribute__((target("avx2"))) inline __m256 depth_along_y(const Layer<float>& depth,
                                                            Axis_Sample step, int64_t step_sign,
                                                            __m256i ca, __m256i cb, __m256 f,
                                                            __m256i lanes, int64_t ahead_columns) {
  const float* ra = depth.row(step.a);
  const float* rb = depth.row(step.b);
  __m256 a0;
  __m256 a1;
  __m256 b0;
  __m256 b1;
  int32_t column;
  if (runs_on(ca, cb, lanes, column)) {
    a0 = _mm256_loadu_ps(ra + column);
    a1 = _mm256_loadu_ps(ra + column + 1);
    b0 = _mm256_loadu_ps(rb + column);
    b1 = _mm256_loadu_ps(rb + column + 1);
  } else {
    a0 = _mm256_i32gather_ps(ra, ca, 4);
    a1 = _mm256_i32gather_ps(ra, cb, 4);
    b0 = _mm256_i32gather_ps(rb, ca, 4);
    b1 = _mm256_i32gather_ps(rb, cb, 4);
  }
  const int64_t row =
      std::min(std::max<int64_t>(step.a + prefetch_steps * step_sign, 0), depth.height - 2);
  const int64_t from =
      std::min(std::max<int64_t>(column + ahead_columns, 0), std::max<int64_t>(depth.width - 9, 0));
  for (const float* p : {depth.row(row) + from, depth.row(row + 1) + from}) {
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(p + 8), _MM_HINT_T0);
  }
  return bilinear8(a0, a1, b0, b1, f, _mm256_set1_ps(step.f));
}

// Columns x and x + 1 of rows r .. r + 3, as four pairs. A pair need not be aligned for a
// double, so each is copied as bytes.
__attribute__((target("avx2"))) inline __m256 four_pairs(const Layer<float>& depth, int64_t r,
                                                         int64_t x) {
  const auto pair = [&](int64_t row) {
    int64_t bits;
    std::memcpy(&bits, depth.row(row) + x, sizeof(bits));
    return bits;
  };
  return _mm256_castsi256_ps(_mm256_setr_epi64x(pair(r), pair(r + 1), pair(r + 2), pair(r + 3)));
}

// Eight pairs, four in each of `low` and `high`, into their first and their second members, in
// order.
__attribute__((target("avx2"))) inline void split_pairs(__m256 low, __m256 high, __m256& firsts,
                                                        __m256& seconds) {
  firsts = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0))),
                            _MM_SHUFFLE(3, 1, 2, 0)));
  seconds = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1))),
                            _MM_SHUFFLE(3, 1, 2, 0)));
}

// The depth of eight lines along x at step column `step`, cross coordinates in `rows` (clamped
// row indices a and b, weight f): rows a + lane mostly, so that nine loads of a pair of columns
// and a few shuffles stand for four gathers.
__attribute__((target("avx2"))) inline __m256 depth_along_x(const Layer<float>& depth,
                                                            Axis_Sample step, __m256i ra,
                                                            __m256i rb, __m256 f, __m256i lanes,
                                                            int32_t stride) {
  __m256 a0;
  __m256 a1;
  __m256 b0;
  __m256 b1;
  int32_t first;
  if (runs_on(ra, rb, lanes, first)) {
    // Columns step.a and step.b = step.a + 1 of rows first .. first + 8, a pair each.
    split_pairs(four_pairs(depth, first, step.a), four_pairs(depth, first + 4, step.a), a0, a1);
    split_pairs(four_pairs(depth, first + 1, step.a), four_pairs(depth, first + 5, step.a), b0, b1);
  } else {
    const __m256i strides = _mm256_set1_epi32(stride);
    const __m256i xa = _mm256_set1_epi32(static_cast<int32_t>(step.a));
    const __m256i xb = _mm256_set1_epi32(static_cast<int32_t>(step.b));
    const __m256i row_a = _mm256_mullo_epi32(ra, strides);
    const __m256i row_b = _mm256_mullo_epi32(rb, strides);
    a0 = _mm256_i32gather_ps(depth.pixels, _mm256_add_epi32(row_a, xa), 4);
    a1 = _mm256_i32gather_ps(depth.pixels, _mm256_add_epi32(row_a, xb), 4);
    b0 = _mm256_i32gather_ps(depth.pixels, _mm256_add_epi32(row_b, xa), 4);
    b1 = _mm256_i32gather_ps(depth.pixels, _mm256_add_epi32(row_b, xb), 4);
  }
  return bilinear8(a0, a1, b0, b1, _mm256_set1_ps(step.f), f);
}

// Eight neighbouring lines, which start on the same row (along y) or column (along x) and step
// the same way, marched side by side: each lane takes line_step's arithmetic in the same order,
// and a lane whose lit state changes takes refined_step itself. A change comes at about one step
// in 170, so the lanes mostly go on together. `rows` and `translucent_rows` (entries null when
// there is no translucent layer) are the lines' sheared rows.
template <bool along_x>
__attribute__((target("avx2"))) void march_lanes(const Layer<float>& depth,
                                                 const Line_March (&march)[lane_count],
                                                 float* const (&rows)[lane_count],
                                                 float* const (&translucent_rows)[lane_count]) {
  const Line& head = march[0].line;
  const bool translucent = translucent_rows[0] != nullptr;
  const float t = head.translucency;
  const float cube = t * t * t;

  alignas(32) int32_t a[lane_count];
  alignas(32) int32_t b[lane_count];
  alignas(32) float m[lane_count];
  alignas(32) float start_cross[lane_count];
  alignas(32) float attenuation[lane_count];
  alignas(32) double drop[lane_count];
  int64_t k_first = std::numeric_limits<int64_t>::max();
  int64_t k_end = std::numeric_limits<int64_t>::min();
  for (int j = 0; j < lane_count; ++j) {
    a[j] = static_cast<int32_t>(march[j].a);
    b[j] = static_cast<int32_t>(march[j].b);
    m[j] = march[j].line.m;
    start_cross[j] = march[j].line.start_cross;
    attenuation[j] = march[j].line.attenuation_factor;
    drop[j] = march[j].line.drop;
    if (march[j].marched()) {
      k_first = std::min(k_first, march[j].a);
      k_end = std::max(k_end, march[j].b);
    }
  }
  const __m256i first_step = _mm256_load_si256(reinterpret_cast<const __m256i*>(a));
  const __m256i end_step = _mm256_load_si256(reinterpret_cast<const __m256i*>(b));
  const __m256 slopes = _mm256_load_ps(m);
  const __m256 starts = _mm256_load_ps(start_cross);
  const __m256 attenuations = _mm256_load_ps(attenuation);
  const __m256d drop_low = _mm256_load_pd(drop);
  const __m256d drop_high = _mm256_load_pd(drop + 4);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i last_column =
      _mm256_set1_epi32(static_cast<int32_t>((along_x ? depth.height : depth.width) - 1));
  const int32_t stride =
      static_cast<int32_t>(depth.row_bytes / static_cast<int64_t>(sizeof(float)));
  // How far the lanes' columns move in depth_along_y's prefetch distance. Lines along x stay on
  // the same rows' cache lines for 16 steps and ask for nothing early.
  const int64_t ahead_columns =
      static_cast<int64_t>(static_cast<float>(prefetch_steps) * head.dir * m[0]);

  __m256d horizon_low = _mm256_set1_pd(Line_State{}.horizon);
  __m256d horizon_high = horizon_low;
  __m256d acc_low = _mm256_setzero_pd();
  __m256d acc_high = _mm256_setzero_pd();
  int lit = 0;
  alignas(32) float refined[lane_count];
  alignas(32) float accs[lane_count];
  alignas(32) double spill[2 * lane_count];
  for (int64_t k = k_first; k < k_end; ++k) {
    const __m256i step_k = _mm256_set1_epi32(static_cast<int32_t>(k));
    const int active = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_andnot_si256(
        _mm256_cmpgt_epi32(first_step, step_k), _mm256_cmpgt_epi32(end_step, step_k))));
    horizon_low =
        _mm256_blendv_pd(horizon_low, _mm256_sub_pd(horizon_low, drop_low), double_mask(active));
    horizon_high = _mm256_blendv_pd(horizon_high, _mm256_sub_pd(horizon_high, drop_high),
                                    double_mask(active >> 4));

    const float along = static_cast<float>(k + 1) * head.dir;
    const Axis_Sample step = whole_step_sample(along + head.start_step - 0.5f);
    const __m256 cross =
        _mm256_sub_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(along), slopes), starts), half);
    // axis_sample in every lane. Marched samples lie inside the layer; the columns of a lane
    // that is not marching are only clamped, as every column is, so that its reads stay inside.
    const __m256 q0 = _mm256_floor_ps(cross);
    const __m256i i = _mm256_cvttps_epi32(q0);
    const __m256i ca = _mm256_min_epi32(_mm256_max_epi32(i, _mm256_setzero_si256()), last_column);
    const __m256i cb = _mm256_min_epi32(
        _mm256_add_epi32(_mm256_max_epi32(i, _mm256_set1_epi32(-1)), _mm256_set1_epi32(1)),
        last_column);
    const __m256 f = _mm256_sub_ps(cross, q0);
    const __m256 z =
        along_x ? depth_along_x(depth, step, ca, cb, f, lanes, stride)
                : depth_along_y(depth, step, march[0].step_sign, ca, cb, f, lanes, ahead_columns);
    const int skipped =
        head.skip_zero_depth
            ? _mm256_movemask_ps(_mm256_cmp_ps(z, _mm256_setzero_ps(), _CMP_EQ_OQ)) & active
            : 0;
    const __m256d z_low = _mm256_cvtps_pd(_mm256_castps256_ps128(z));
    const __m256d z_high = _mm256_cvtps_pd(_mm256_extractf128_ps(z, 1));
    const int above = _mm256_movemask_pd(_mm256_cmp_pd(z_low, horizon_low, _CMP_GT_OQ)) |
                      (_mm256_movemask_pd(_mm256_cmp_pd(z_high, horizon_high, _CMP_GT_OQ)) << 4);
    const int marching = active & ~skipped;
    const int changing = marching & (lit ^ above);
    const int rising = marching & ~changing & above;
    const int shading = marching & ~changing & ~above;

    // Rising lanes take the surface as their horizon and start a new attenuation.
    horizon_low = _mm256_blendv_pd(horizon_low, z_low, double_mask(rising));
    horizon_high = _mm256_blendv_pd(horizon_high, z_high, double_mask(rising >> 4));
    // Shading lanes add what lies below the horizon to the attenuation (their horizon is the
    // step's own: no shading lane rose).
    const __m256d scale = _mm256_set1_pd(0.003);
    const __m128 below_low =
        _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_sub_pd(horizon_low, z_low), scale));
    const __m128 below_high =
        _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_sub_pd(horizon_high, z_high), scale));
    const __m256 increment = _mm256_div_ps(
        _mm256_mul_ps(_mm256_set_m128(below_high, below_low), attenuations), _mm256_set1_ps(cube));
    const __m256d sum_low =
        clamp_unit4(_mm256_add_pd(acc_low, _mm256_cvtps_pd(_mm256_castps256_ps128(increment))));
    const __m256d sum_high =
        clamp_unit4(_mm256_add_pd(acc_high, _mm256_cvtps_pd(_mm256_extractf128_ps(increment, 1))));
    acc_low = _mm256_andnot_pd(double_mask(rising),
                               _mm256_blendv_pd(acc_low, sum_low, double_mask(shading)));
    acc_high = _mm256_andnot_pd(double_mask(rising >> 4),
                                _mm256_blendv_pd(acc_high, sum_high, double_mask(shading >> 4)));
    // Lanes that go on keep their lit state: it is what they found.
    if (changing != 0) {
      _mm256_store_pd(spill, horizon_low);
      _mm256_store_pd(spill + 4, horizon_high);
      _mm256_store_pd(spill + 8, acc_low);
      _mm256_store_pd(spill + 12, acc_high);
      for (int j = 0; j < lane_count; ++j) {
        if ((changing >> j) & 1) {
          Line_State state{spill[j], ((lit >> j) & 1) != 0, spill[8 + j]};
          refined[j] = refined_step(depth, march[j].line, state, k);
          spill[j] = state.horizon;
          spill[8 + j] = state.acc;
          lit = state.lit ? lit | (1 << j) : lit & ~(1 << j);
        }
      }
      horizon_low = _mm256_load_pd(spill);
      horizon_high = _mm256_load_pd(spill + 4);
      acc_low = _mm256_load_pd(spill + 8);
      acc_high = _mm256_load_pd(spill + 12);
    }
    const int64_t index = march[0].start_index + k * march[0].step_sign;
    if (translucent) {
      _mm256_store_ps(accs, _mm256_set_m128(_mm256_cvtpd_ps(acc_high), _mm256_cvtpd_ps(acc_low)));
    }
    for (int j = 0; j < lane_count; ++j) {
      if ((active >> j) & 1) {
        // Changing lanes write what their refinement gave, rising ones 0 and the others 1.
        rows[j][index] = (changing >> j) & 1 ? refined[j] : ((rising >> j) & 1 ? 0.0f : 1.0f);
        if (translucent) {
          translucent_rows[j][index] = accs[j];
        }
      }
    }
  }
}

// Whether eight lines can march side by side: lines that start on the same row or column, step
// the same way and share the settings line_step reads of the first, over a layer whose cells
// have 32-bit lane indices.
bool lanes_fit(const Layer<float>& depth, const Line_March (&march)[lane_count]) {
  constexpr int64_t most = std::numeric_limits<int32_t>::max();
  if (depth.row_bytes % static_cast<int64_t>(sizeof(float)) != 0 || depth.height < 2 ||
      depth.width < 2 ||
      depth.height * (depth.row_bytes / static_cast<int64_t>(sizeof(float))) + depth.width > most) {
    return false;
  }
  const Line_March& head = march[0];
  for (const Line_March& line : march) {
    if (line.line.along_x != head.line.along_x || line.start_index != head.start_index ||
        line.step_sign != head.step_sign || line.line.dir != head.line.dir ||
        line.line.start_step != head.line.start_step ||
        line.line.translucency != head.line.translucency ||
        line.line.skip_zero_depth != head.line.skip_zero_depth || line.a < 0 || line.b > most) {
      return false;
    }
  }
  return true;
}
#endif

// Marches lines first .. end - 1 into `rows(i)` and `translucent_rows(i)` (null where there is
// no translucent layer), and sets the cells of each line's [read_begin, read_end) that it does
// not reach to 0. `side_by_side`: where the processor has AVX2, the lines march eight at a time
// (march_lanes).
template <class Rows, class Translucent_Rows, class Read>
void march_lines(const Layer<float>& depth, const Transformation_Information& transformation,
                 const Directional_Shadow_Parameters_In& in, int64_t first, int64_t end,
                 const Rows& rows, const Translucent_Rows& translucent_rows, const Read& read,
                 [[maybe_unused]] bool side_by_side, const Render_Context& context) {
  int64_t i = first;
#if BREL_AVX2_ROWS
  if (side_by_side && cpu_has_avx2()) {
    for (; i + lane_count <= end; i += lane_count) {
      Line_March march[lane_count];
      float* row[lane_count];
      float* translucent_row[lane_count];
      for (int j = 0; j < lane_count; ++j) {
        march[j] = line_march(depth, transformation, in, i + j);
        row[j] = rows(i + j);
        translucent_row[j] = translucent_rows(i + j);
        const auto [read_begin, read_end] = read(i + j);
        zero_unmarched(march[j], row[j], read_begin, read_end);
        if (translucent_row[j] != nullptr) {
          zero_unmarched(march[j], translucent_row[j], read_begin, read_end);
        }
      }
      if (lanes_fit(depth, march)) {
        if (march[0].line.along_x) {
          march_lanes<true>(depth, march, row, translucent_row);
        } else {
          march_lanes<false>(depth, march, row, translucent_row);
        }
      } else {
        for (int j = 0; j < lane_count; ++j) {
          march_steps(depth, march[j], row[j], translucent_row[j]);
        }
      }
      context.check_abort();
    }
  }
#endif
  for (; i < end; ++i) {
    const Line_March march = line_march(depth, transformation, in, i);
    float* row = rows(i);
    float* translucent_row = translucent_rows(i);
    const auto [read_begin, read_end] = read(i);
    zero_unmarched(march, row, read_begin, read_end);
    if (translucent_row != nullptr) {
      zero_unmarched(march, translucent_row, read_begin, read_end);
    }
    march_steps(depth, march, row, translucent_row);
    context.check_abort();
  }
}

// Lines differ in length from one step to the whole layer, so the sweep hands them out a few at
// a time instead of in one contiguous share per worker.
constexpr int64_t lines_per_sweep_iteration = 8;

// Output rows (along x) or columns (along y) with a line of their own: lines beyond the output
// write nothing, so they are not handed out.
int64_t unshear_extent(const Transformation_Information& transformation,
                       const Layer<float>& shadow) {
  const int64_t outer = transformation.along_x != 0 ? shadow.height : shadow.width;
  return std::min(transformation.line_count, outer);
}

// Along y a band of output columns reads each sheared row it needs across the band's width at
// every output row: 64 columns keep the band's rows of both sheared layers in the first-level
// cache and its writes on whole cache lines. Along x every output row reads sheared rows
// sequentially.
int64_t unshear_grain(const Transformation_Information& transformation) {
  return transformation.along_x != 0 ? 8 : 64;
}

// How the unshear reads the sheared layers: output pixel (o, p), o the output column (lines
// along y) or row (along x) and p the position along the lines, reads position p of lines
// floor(u) and floor(u) + 1, u = t(p) × shift + o. The sweep asks it which cells are read.
struct Unshear_Reading {
  // `output` has the size of the shadow layers (the bordered depth's).
  Unshear_Reading(const Transformation_Information& transformation, const Layer<float>& output)
      : lines(transformation.line_count),
        extent(unshear_extent(transformation, output)),
        inner(transformation.along_x != 0 ? output.width : output.height),
        last(static_cast<float>(inner - 1)) {
    const float dx = transformation.x1 - transformation.x0;
    const float dy = transformation.y1 - transformation.y0;
    flip = (dx < 0.0f) != (dy < 0.0f);
    shift = std::fabs(transformation.along_x != 0 ? dy : dx);
  }

  // u at output line 0: t(p) × shift.
  float offset(int64_t p) const {
    // A layer one position long has only its first: 0 / 0 would make every u a NaN, which the
    // column searches never get past.
    float t = last > 0.0f ? static_cast<float>(p) / last : 0.0f;
    if (!flip) {
      t = 1.0f - t;
    }
    return t * shift;
  }

  float u(int64_t o, int64_t p) const { return offset(p) + static_cast<float>(o); }

  // The positions at which line l is read, [begin, end): u grows with o, and with p (flip) or
  // against it, so at every p the lines read run from floor(u(0, p)) to floor(u(extent - 1, p))
  // + 1, and each bound moves one way along p.
  std::pair<int64_t, int64_t> positions_of_line(int64_t l) const {
    if (extent <= 0) {
      return {0, 0};
    }
    const auto first_line = [&](int64_t p) { return static_cast<int64_t>(std::floor(u(0, p))); };
    const auto last_line = [&](int64_t p) {
      return static_cast<int64_t>(std::floor(u(extent - 1, p))) + 1;
    };
    // The first p of [0, inner) at which `holds` does, for a condition that holds from some p on.
    const auto first_holding = [&](const auto& holds) {
      int64_t low = 0;
      int64_t high = inner;
      while (low < high) {
        const int64_t middle = low + (high - low) / 2;
        if (holds(middle)) {
          high = middle;
        } else {
          low = middle + 1;
        }
      }
      return low;
    };
    if (flip) {
      return {first_holding([&](int64_t p) { return last_line(p) >= l; }),
              first_holding([&](int64_t p) { return first_line(p) > l; })};
    }
    return {first_holding([&](int64_t p) { return first_line(p) <= l; }),
            first_holding([&](int64_t p) { return last_line(p) < l; })};
  }

  int64_t lines;
  int64_t extent;  // output lines handed out
  int64_t inner;   // positions along the lines
  float last;
  bool flip = false;
  float shift = 0.0f;
};

// The unshear's value at position p for u: lines floor(u) and floor(u) + 1 weighted by u's
// distance from them; a line past the last counts 0. Row r of `source` holds line r +
// first_line.
inline float unsheared(const Layer<float>& source, int64_t lines, float u, int64_t p,
                       int64_t first_line = 0) {
  const float lf = std::floor(u);
  const int64_t l = static_cast<int64_t>(lf);
  const float a = l < lines ? source.row(l - first_line)[p] : 0.0f;
  if (l + 1 < lines) {
    const float g = lf - u + 1.0f;
    return a * g + source.row(l + 1 - first_line)[p] * (1.0f - g);
  }
  return a;
}

// The first output column o of [0, n) whose first line, floor(offset + o) capped at the last of
// `lines`, reaches line k, or n. Exact arithmetic puts it at ceil(k - offset); the float sum
// can round across a whole number there, which a step or two settles.
[[gnu::always_inline]] inline int64_t first_column_reaching(float offset, int64_t n, int64_t k,
                                                            int64_t lines) {
  if (n <= 0 || k >= lines) {
    return n > 0 ? n : 0;
  }
  const auto first_line = [&](int64_t o) {
    return std::min(static_cast<int64_t>(std::floor(offset + static_cast<float>(o))), lines - 1);
  };
  const double guess = std::ceil(static_cast<double>(k) - static_cast<double>(offset));
  int64_t o =
      guess <= 0.0 ? 0 : (guess >= static_cast<double>(n) ? n : static_cast<int64_t>(guess));
  while (o > 0 && first_line(o - 1) >= k) {
    --o;
  }
  while (o < n && first_line(o) < k) {
    ++o;
  }
  return o;
}

// The unshear's rule for a pixel whose two lines both exist, rows as for unsheared.
inline float between_lines(const Layer<float>& source, float u, int64_t p, int64_t first_line = 0) {
  const float lf = std::floor(u);
  const int64_t l = static_cast<int64_t>(lf) - first_line;
  const float g = lf - u + 1.0f;
  return source.row(l)[p] * g + source.row(l + 1)[p] * (1.0f - g);
}

// The output pixels [begin, stop) of row p, lines along y: u = offset + o as the reading gives
// it. Below the last line (`inside`) every pixel has both of its lines. Row r of the sheared
// layers holds line r + first_line. Built for AVX2 as well, for the floor of every pixel's u
// (see march_steps).
BREL_TARGET_CLONES_AVX2 void unshear_row(int64_t lines, float offset, int64_t p, int64_t begin,
                                         int64_t stop, bool inside, const Layer<float>& shadow,
                                         const Layer<float>& sheared,
                                         const Layer<float>& translucent,
                                         const Layer<float>& sheared_translucent,
                                         int64_t first_line) {
  const bool with_translucent = translucent.pixels != nullptr;
  float* out = shadow.row(p);
  float* out_translucent = with_translucent ? translucent.row(p) : nullptr;
  // Copies, so that the stores into the rows need not reload the layers' pointers and row
  // bytes: 3 % of a frame on one thread at 1920 × 1080, lines along y.
  const Layer<float> source = sheared;
  const Layer<float> source_translucent = sheared_translucent;
  for (int64_t o = begin; o < stop; ++o) {
    const float u = offset + static_cast<float>(o);
    if (inside) {
      out[o] = between_lines(source, u, p, first_line);
      if (with_translucent) {
        out_translucent[o] = between_lines(source_translucent, u, p, first_line);
      }
    } else {
      out[o] = unsheared(source, lines, u, p, first_line);
      if (with_translucent) {
        out_translucent[o] = unsheared(source_translucent, lines, u, p, first_line);
      }
    }
  }
}

// The columns [begin, stop) of output row p, lines along y, whose first line lies in
// [first, end), at u = offset + o; kept in `begins` and `stops` where given.
[[gnu::always_inline]] inline std::pair<int64_t, int64_t> band_columns(
    const Unshear_Reading& reading, float offset, int64_t first, int64_t end, int64_t p,
    int32_t* begins, int32_t* stops) {
  const int64_t begin = first_column_reaching(offset, reading.extent, first, reading.lines);
  const int64_t stop = first_column_reaching(offset, reading.extent, end, reading.lines);
  if (begins != nullptr) {
    begins[p] = static_cast<int32_t>(begin);
  }
  if (stops != nullptr) {
    stops[p] = static_cast<int32_t>(stop);
  }
  return {begin, stop};
}

#if BREL_AVX2_ROWS
// Lines of a band that the turned unshear takes: the most directional_shadow_lines_per_band
// gives.
constexpr int64_t turned_lines = 128;
// A turned row: up to turned_lines lines and room for an eight-float load at the last.
constexpr int64_t turned_stride = turned_lines + 8;

// Positions p0 .. p0 + 7 of rows 0 .. n - 1 of `rows`, turned: turned[k * turned_stride + r]
// holds rows.row(r)[p0 + k].
__attribute__((target("avx2"))) void turn_positions(const Layer<float>& rows, int64_t n, int64_t p0,
                                                    float* turned) {
  int64_t r = 0;
  for (; r + 8 <= n; r += 8) {
    __m256 block[8];
    for (int64_t j = 0; j < 8; ++j) {
      block[j] = _mm256_loadu_ps(rows.row(r + j) + p0);
    }
    transpose_lanes(block);
    for (int64_t k = 0; k < 8; ++k) {
      _mm256_storeu_ps(turned + k * turned_stride + r, block[k]);
    }
  }
  for (; r < n; ++r) {
    const float* row = rows.row(r) + p0;
    for (int64_t k = 0; k < 8; ++k) {
      turned[k * turned_stride + r] = row[k];
    }
  }
}

// unshear_row's pixels [begin, stop) of one output row whose lines both exist, from the row's
// turned lines (line l at turned[l - first]). Across eight pixels u mostly steps from one whole
// number to the next, so that their lines are side by side and each of the two is read with a
// load; where rounding repeats or skips one, the plain rule takes the eight.
__attribute__((target("avx2"))) void unshear_turned_row(float offset, int64_t begin, int64_t stop,
                                                        const float* turned, int64_t first,
                                                        float* out) {
  const auto pixel = [&](int64_t o) {
    const float u = offset + static_cast<float>(o);
    const float lf = std::floor(u);
    const float* a = turned + (static_cast<int64_t>(lf) - first);
    const float g = lf - u + 1.0f;
    out[o] = a[0] * g + a[1] * (1.0f - g);
  };
  const __m256 offsets = _mm256_set1_ps(offset);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256i steps = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256 float_steps = _mm256_cvtepi32_ps(steps);
  int64_t o = begin;
  for (; o + 8 <= stop; o += 8) {
    const __m256i columns = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(o)), steps);
    const __m256 u = _mm256_add_ps(offsets, _mm256_cvtepi32_ps(columns));
    const __m256 lf = _mm256_floor_ps(u);
    const float l0 = _mm256_cvtss_f32(lf);
    const __m256 following = _mm256_add_ps(_mm256_set1_ps(l0), float_steps);
    if (_mm256_movemask_ps(_mm256_cmp_ps(lf, following, _CMP_EQ_OQ)) != 0xff) {
      for (int64_t q = o; q < o + 8; ++q) {
        pixel(q);
      }
      continue;
    }
    const float* a = turned + (static_cast<int64_t>(l0) - first);
    const __m256 g = _mm256_add_ps(_mm256_sub_ps(lf, u), one);
    _mm256_storeu_ps(out + o,
                     _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(a), g),
                                   _mm256_mul_ps(_mm256_loadu_ps(a + 1), _mm256_sub_ps(one, g))));
  }
  for (; o < stop; ++o) {
    pixel(o);
  }
}

// unshear_lines where every pixel has both its lines, for a band of at most turned_lines rows,
// where the processor has AVX2. A pixel's two lines are a row apart in the band's rows, so the
// plain rule reads a column down them, a cache line a pixel. Here eight output rows at a time
// first turn their columns of the band's rows into rows of a block that stays in the
// first-level cache, and then read their lines side by side.
__attribute__((target("avx2"))) void unshear_lines_turned(
    const Unshear_Reading& reading, const float* offsets, int64_t first, int64_t end, bool upwards,
    const Layer<float>& shadow, const Layer<float>& sheared, const Layer<float>& translucent,
    const Layer<float>& sheared_translucent, int32_t* begins, int32_t* stops) {
  const int64_t lines = reading.lines;
  const bool with_translucent = translucent.pixels != nullptr;
  // Lines first .. end are read.
  const int64_t n = end - first + 1;
  alignas(32) float turned[8 * turned_stride];
  alignas(32) float turned_translucent[8 * turned_stride];
  // Row p from its turned lines, or by the plain rule where it has none.
  const auto row = [&](int64_t p, int64_t k) {
    const float offset = offsets[p];
    const auto [begin, stop] = band_columns(reading, offset, first, end, p, begins, stops);
    if (k < 0) {
      unshear_row(lines, offset, p, begin, stop, true, shadow, sheared, translucent,
                  sheared_translucent, first);
      return;
    }
    unshear_turned_row(offset, begin, stop, turned + k * turned_stride, first, shadow.row(p));
    if (with_translucent) {
      unshear_turned_row(offset, begin, stop, turned_translucent + k * turned_stride, first,
                         translucent.row(p));
    }
  };
  const auto block = [&](int64_t p0) {
    turn_positions(sheared, n, p0, turned);
    if (with_translucent) {
      turn_positions(sheared_translucent, n, p0, turned_translucent);
    }
    for (int64_t k = 0; k < 8; ++k) {
      row(p0 + k, k);
    }
  };
  const int64_t blocked = reading.inner / 8 * 8;
  if (upwards) {
    for (int64_t p = reading.inner - 1; p >= blocked; --p) {
      row(p, -1);
    }
    for (int64_t p0 = blocked - 8; p0 >= 0; p0 -= 8) {
      block(p0);
    }
  } else {
    for (int64_t p0 = 0; p0 < blocked; p0 += 8) {
      block(p0);
    }
    for (int64_t p = blocked; p < reading.inner; ++p) {
      row(p, -1);
    }
  }
}
#endif

// For lines along y: the output pixels whose first line lies in [first, end), a run of columns
// in every row. A pixel's first line is floor(u), or the last line where u lies beyond it; it
// never falls below the pixel's column and grows with the column, as u does. `offsets` holds
// t(p) × shift for every row p, so u = offsets[p] + o as the reading gives it. Each row's first
// column goes into `begins` and its end into `stops`, where given. Row r of the sheared layers
// holds line r + first. The rows go from the last to the first where `upwards`.
void unshear_lines(const Unshear_Reading& reading, const float* offsets, int64_t first, int64_t end,
                   bool upwards, const Layer<float>& shadow, const Layer<float>& sheared,
                   const Layer<float>& translucent, const Layer<float>& sheared_translucent,
                   int32_t* begins, int32_t* stops) {
  const int64_t lines = reading.lines;
#if BREL_AVX2_ROWS
  // Lines below 2^24 keep every u's whole part and its successor exact in float.
  if (end < lines && end - first < turned_lines && lines < (int64_t{1} << 24) && cpu_has_avx2()) {
    unshear_lines_turned(reading, offsets, first, end, upwards, shadow, sheared, translucent,
                         sheared_translucent, begins, stops);
    return;
  }
#endif
  for (int64_t q = 0; q < reading.inner; ++q) {
    const int64_t p = upwards ? reading.inner - 1 - q : q;
    const float offset = offsets[p];
    const auto [begin, stop] = band_columns(reading, offset, first, end, p, begins, stops);
    unshear_row(lines, offset, p, begin, stop, end < lines, shadow, sheared, translucent,
                sheared_translucent, first);
  }
}

}  // namespace

Directional_Shadow_Bands::Directional_Shadow_Bands(const Render_Context& context,
                                                   const Transformation_Information& transformation,
                                                   const Layer<float>& output,
                                                   int64_t lines_per_band, bool translucent)
    : line_count(transformation.line_count),
      lines_per_band(std::max<int64_t>(lines_per_band, 1)),
      count((line_count + this->lines_per_band - 1) / this->lines_per_band),
      bands_done_at_seam(new std::atomic<int>[static_cast<size_t>(count + 1)]),
      workers(std::max(context.iteration_count(count), context.iteration_count(0))) {
  for (int64_t b = 0; b <= count; ++b) {
    bands_done_at_seam[b].store(0, std::memory_order_relaxed);
  }
  offsets = directional_shadow_offsets(transformation, output);
  seam_columns.reset(new int32_t[2 * (static_cast<size_t>(count) + 1) * offsets.size()]);
  const int64_t rows_a_worker = this->lines_per_band * (translucent ? 2 : 1);
  worker_rows_holder =
      make_temporary_float_layer(context, static_cast<int64_t>(offsets.size()),
                                 rows_a_worker * workers, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  worker_rows = layer_view<float>(worker_rows_holder);
  // Each group takes a share of the bands still to hand out as if every worker took one, so
  // that the groups narrow to single bands towards the end of the run.
  group_first_bands.push_back(0);
  while (group_first_bands.back() < count) {
    const int64_t left = count - group_first_bands.back();
    group_first_bands.push_back(group_first_bands.back() + std::max<int64_t>(left / workers, 1));
  }
}

std::vector<float> directional_shadow_offsets(const Transformation_Information& transformation,
                                              const Layer<float>& output) {
  const Unshear_Reading reading(transformation, output);
  std::vector<float> offsets(static_cast<size_t>(reading.inner));
  for (int64_t p = 0; p < reading.inner; ++p) {
    offsets[static_cast<size_t>(p)] = reading.offset(p);
  }
  return offsets;
}

int64_t directional_shadow_lines_per_band(int64_t line_count) {
  // About 48 bands, so that the last ones to finish are short beside each worker's share; at
  // least 16 lines, so that few pixels lie between two bands, and at most 128, so that a band's
  // rows stay in the cache. A whole number of lane groups, so that every line of a band but the
  // last marches in the lanes (a ninth of them marched alone at 1920 x 1080 before).
  constexpr int64_t bands = 48;
  const int64_t lines =
      std::min<int64_t>(std::max<int64_t>((line_count + bands - 1) / bands, 16), 128);
  return (lines + lane_count - 1) / lane_count * lane_count;
}

Transformation_Information directional_light_setup(const Directional_Shadow_Parameters_In& in) {
  const Layer<float>& depth = in.depth_with_border;
  const Vector_3<float> d = in.light.direction;
  const float vx = d.x * depth.scale_x;
  const float vy = -d.y * depth.scale_y;
  const float length = std::sqrt(vx * vx + vy * vy);
  const float ux = vx / length;
  const float uy = vy / length;
  const float w1 = static_cast<float>(depth.width - 1);
  const float h1 = static_cast<float>(depth.height - 1);
  Transformation_Information t;
  t.slope = d.z / length * -1.4142135f;
  float lines = 0.0f;
  if (std::fabs(ux) > std::fabs(uy)) {
    t.along_x = 1;
    const float s = uy / ux * w1;
    lines = std::fabs(s) + h1;
    if (ux > 0.0f) {
      t.x0 = 0.0f;
      t.x1 = w1;
      t.y0 = uy <= 0.0f ? 0.0f : -s;
      t.y1 = uy <= 0.0f ? s : 0.0f;
    } else {
      t.x0 = w1;
      t.x1 = 0.0f;
      t.y0 = uy > 0.0f ? s : 0.0f;
      t.y1 = uy > 0.0f ? 0.0f : -s;
    }
  } else {
    t.along_x = 0;
    const float s = ux / uy * h1;
    lines = std::fabs(s) + w1;
    if (uy <= 0.0f) {
      t.y0 = h1;
      t.y1 = 0.0f;
      t.x0 = ux <= 0.0f ? 0.0f : s;
      t.x1 = ux <= 0.0f ? -s : 0.0f;
    } else {
      t.y0 = 0.0f;
      t.y1 = h1;
      t.x0 = ux <= 0.0f ? 0.0f : -s;
      t.x1 = ux <= 0.0f ? s : 0.0f;
    }
  }
  // Never more lines than cover the layer twice over; no number gives none.
  t.line_count = static_cast<int64_t>(clamp_number(lines, 0.0f, w1 + h1 + 1.0f));
  if (!std::isfinite(t.slope)) {
    t.line_count = 0;
  }
  return t;
}

void directional_shadow_sweep_body(const Iteration& iteration, Render_Context context,
                                   Transformation_Information transformation,
                                   Directional_Shadow_Parameters_In in, Layer<float> sheared,
                                   Layer<float> sheared_translucent) {
  const auto [begin, end] =
      grain_iteration_range(iteration, transformation.line_count, lines_per_sweep_iteration);
  const bool translucent = sheared_translucent.pixels != nullptr;
  const Unshear_Reading reading(transformation, in.depth_with_border);
  march_lines(
      in.depth_with_border, transformation, in, begin, end,
      [&](int64_t i) { return sheared.row(i); },
      [&](int64_t i) { return translucent ? sheared_translucent.row(i) : nullptr; },
      [&](int64_t i) { return reading.positions_of_line(i); }, transformation.along_x != 0,
      context);
}

void directional_shadow_unshear_body(const Iteration& iteration, Render_Context context,
                                     Transformation_Information transformation, Layer<float> shadow,
                                     Layer<float> sheared, Layer<float> translucent,
                                     Layer<float> sheared_translucent) {
  const bool along_x = transformation.along_x != 0;
  const int64_t lines = transformation.line_count;
  const Unshear_Reading reading(transformation, shadow);
  // The iteration's lines name output columns (along y) or rows (along x); only those of the
  // output are handed out. Along the other axis every pixel is written.
  const int64_t inner = reading.inner;
  const auto [begin, end] =
      grain_iteration_range(iteration, reading.extent, unshear_grain(transformation));
  const bool with_translucent =
      translucent.pixels != nullptr && sheared_translucent.pixels != nullptr;
  // Output pixel (line index o, position p along the lines) reads the sheared layers at p in
  // lines l and l + 1.
  const auto resample = [&](const Layer<float>& target, const Layer<float>& source, int64_t o,
                            int64_t p) {
    float* out = along_x ? &target.row(o)[p] : &target.row(p)[o];
    *out = unsheared(source, lines, reading.u(o, p), p);
  };
  // Along y the band's columns are written row by row, so writes stay within a few cache lines.
  if (along_x) {
    for (int64_t o = begin; o < end; ++o) {
      for (int64_t p = 0; p < inner; ++p) {
        resample(shadow, sheared, o, p);
        if (with_translucent) {
          resample(translucent, sheared_translucent, o, p);
        }
      }
      context.check_abort();
    }
  } else {
    for (int64_t p = 0; p < inner; ++p) {
      for (int64_t o = begin; o < end; ++o) {
        resample(shadow, sheared, o, p);
        if (with_translucent) {
          resample(translucent, sheared_translucent, o, p);
        }
      }
      context.check_abort();
    }
  }
}

namespace {

#if BREL_AVX2_ROWS
// between_lines for positions [from, to) of an output row, u = offsets[p] + shift, where the
// processor has AVX2: across eight positions u mostly keeps its whole part, so that both lines
// are read with a load each; where it changes, the plain rule takes the eight (a frame at 70
// degrees, 1920 × 1080 on one thread: 28.7 ms without, 25.6 to 27.4 with).
__attribute__((target("avx2"))) void unshear_positions_lanes(const float* offsets, float shift,
                                                             int64_t from, int64_t to,
                                                             const Layer<float>& source,
                                                             float* out) {
  const __m256 shifts = _mm256_set1_ps(shift);
  const __m256 one = _mm256_set1_ps(1.0f);
  int64_t p = from;
  for (; p + 8 <= to; p += 8) {
    const __m256 u = _mm256_add_ps(_mm256_loadu_ps(offsets + p), shifts);
    const __m256 lf = _mm256_floor_ps(u);
    const float first = _mm256_cvtss_f32(lf);
    if (_mm256_movemask_ps(_mm256_cmp_ps(lf, _mm256_set1_ps(first), _CMP_EQ_OQ)) == 0xff) {
      const int64_t l = static_cast<int64_t>(first);
      const __m256 g = _mm256_add_ps(_mm256_sub_ps(lf, u), one);
      const __m256 a = _mm256_loadu_ps(source.row(l) + p);
      const __m256 b = _mm256_loadu_ps(source.row(l + 1) + p);
      _mm256_storeu_ps(out + p,
                       _mm256_add_ps(_mm256_mul_ps(a, g), _mm256_mul_ps(b, _mm256_sub_ps(one, g))));
    } else {
      for (int64_t q = p; q < p + 8; ++q) {
        out[q] = between_lines(source, offsets[q] + shift, q);
      }
    }
  }
  for (; p < to; ++p) {
    out[p] = between_lines(source, offsets[p] + shift, p);
  }
}
#endif

}  // namespace

BREL_TARGET_CLONES_AVX2 void directional_shadow_unshear_rows_body(
    const Iteration& iteration, Render_Context context, Transformation_Information transformation,
    const float* offsets, Layer<float> shadow, Layer<float> sheared, Layer<float> translucent,
    Layer<float> sheared_translucent) {
  BREL_ASSERT(transformation.along_x != 0);
  const int64_t lines = transformation.line_count;
  const Unshear_Reading reading(transformation, shadow);
  const int64_t inner = reading.inner;
  const auto [begin, end] =
      grain_iteration_range(iteration, reading.extent, unshear_grain(transformation));
  const bool with_translucent =
      translucent.pixels != nullptr && sheared_translucent.pixels != nullptr;
  // u grows with the offset, which moves one way along the row: its largest is at an end.
  const float most = inner > 0 ? std::max(offsets[0], offsets[inner - 1]) : 0.0f;
  // A row reads the sheared rows along a slant, a few cells of each. The iteration's rows go
  // through the positions a block at a time, so that the sheared cells one row reads are still
  // in the first-level cache when the next row reads them, one sheared row on.
  constexpr int64_t block = 64;
  for (int64_t from = 0; from < inner; from += block) {
    const int64_t to = std::min(from + block, inner);
    for (int64_t o = begin; o < end; ++o) {
      const float shift = static_cast<float>(o);
      float* out = shadow.row(o);
      float* out_translucent = with_translucent ? translucent.row(o) : nullptr;
      if (static_cast<int64_t>(std::floor(most + shift)) + 1 < lines) {
#if BREL_AVX2_ROWS
        if (cpu_has_avx2()) {
          unshear_positions_lanes(offsets, shift, from, to, sheared, out);
          if (with_translucent) {
            unshear_positions_lanes(offsets, shift, from, to, sheared_translucent, out_translucent);
          }
          continue;
        }
#endif
        for (int64_t p = from; p < to; ++p) {
          const float u = offsets[p] + shift;
          out[p] = between_lines(sheared, u, p);
          if (with_translucent) {
            out_translucent[p] = between_lines(sheared_translucent, u, p);
          }
        }
      } else {
        for (int64_t p = from; p < to; ++p) {
          const float u = offsets[p] + shift;
          out[p] = unsheared(sheared, lines, u, p);
          if (with_translucent) {
            out_translucent[p] = unsheared(sheared_translucent, lines, u, p);
          }
        }
      }
    }
    context.check_abort();
  }
}

namespace {

// Band `band` of the lines, on the iteration's worker: see directional_shadow_band_body.
void march_and_unshear_band(int64_t band, const Iteration& iteration, Render_Context context,
                            const Directional_Shadow_Bands* bands,
                            const Transformation_Information& transformation,
                            const Directional_Shadow_Parameters_In& in, const Layer<float>& sheared,
                            const Layer<float>& sheared_translucent, const Layer<float>& shadow,
                            const Layer<float>& translucent) {
  const int64_t lines = bands->line_count;
  const int64_t first = band * bands->lines_per_band;
  const int64_t end = std::min(first + bands->lines_per_band, lines);
  const bool with_translucent = sheared_translucent.pixels != nullptr;
  const Unshear_Reading reading(transformation, shadow);
  // The worker's rows: row r holds line first + r.
  const auto worker_layer = [&](int64_t which) {
    Layer<float> rows = bands->worker_rows;
    const int64_t slot = iteration.worker_index * (with_translucent ? 2 : 1) + which;
    rows.pixels = advance_bytes(rows.pixels, slot * bands->lines_per_band * rows.row_bytes);
    rows.height = bands->lines_per_band;
    return rows;
  };
  const Layer<float> band_rows = worker_layer(0);
  const Layer<float> band_translucent_rows =
      with_translucent ? worker_layer(1) : empty_layer<float>();
  march_lines(
      in.depth_with_border, transformation, in, first, end,
      [&](int64_t i) { return band_rows.row(i - first); },
      [&](int64_t i) { return with_translucent ? band_translucent_rows.row(i - first) : nullptr; },
      [&](int64_t i) { return reading.positions_of_line(i); }, true, context);
  // The seams read the band's first and last lines after the worker has moved on.
  for (const int64_t i : {first, end - 1}) {
    std::copy_n(band_rows.row(i - first), sheared.width, sheared.row(i));
    if (with_translucent) {
      std::copy_n(band_translucent_rows.row(i - first), sheared_translucent.width,
                  sheared_translucent.row(i));
    }
  }
  const Layer<float> translucent_out = with_translucent ? translucent : empty_layer<float>();
  const int64_t inner = reading.inner;
  // Seam b's columns: those of band b - 1's last line, then those of band b's first.
  const auto before_seam = [&](int64_t b) { return bands->seam_columns.get() + 2 * b * inner; };
  const auto after_seam = [&](int64_t b) { return before_seam(b) + inner; };
  // The pixels between a seam's two recorded columns, whose lines both exist.
  const auto unshear_seam = [&](int64_t b) {
    const int32_t* begins = before_seam(b);
    const int32_t* stops = after_seam(b);
    for (int64_t p = 0; p < inner; ++p) {
      unshear_row(lines, bands->offsets[static_cast<size_t>(p)], p, begins[p], stops[p], true,
                  shadow, sheared, translucent_out, sheared_translucent, 0);
    }
  };
  // The band's last line is read together with the next band's first: of the two bands the one
  // that finishes second resamples those pixels, and likewise at the band's start. The count's
  // release and acquire make the other band's rows and recorded columns visible.
  //
  // Neighbouring bands run at once and share a cache line in every row where their pixels meet:
  // odd bands go up the rows and even ones down, so that two neighbours at work together reach
  // the same row once, instead of passing those lines back and forth all the way down. A band
  // that follows its neighbour in a group starts on the rows where that one ended.
  unshear_lines(reading, bands->offsets.data(), first, end < lines ? end - 1 : end, band % 2 == 1,
                shadow, band_rows, translucent_out, band_translucent_rows,
                band > 0 ? after_seam(band) : nullptr,
                end < lines ? before_seam(band + 1) : nullptr);
  if (end < lines &&
      bands->bands_done_at_seam[band + 1].fetch_add(1, std::memory_order_acq_rel) == 1) {
    unshear_seam(band + 1);
  }
  if (band > 0 && bands->bands_done_at_seam[band].fetch_add(1, std::memory_order_acq_rel) == 1) {
    unshear_seam(band);
  }
  context.check_abort();
}

}  // namespace

void directional_shadow_band_body(const Iteration& iteration, Render_Context context,
                                  const Directional_Shadow_Bands* bands,
                                  Transformation_Information transformation,
                                  Directional_Shadow_Parameters_In in, Layer<float> sheared,
                                  Layer<float> sheared_translucent, Layer<float> shadow,
                                  Layer<float> translucent) {
  BREL_ASSERT(transformation.along_x == 0);
  BREL_ASSERT_MSG(iteration.worker_index >= 0 && iteration.worker_index < bands->workers,
                  "rows for every worker");
  const auto group = static_cast<size_t>(iteration.index);
  for (int64_t band = bands->group_first_bands[group]; band < bands->group_first_bands[group + 1];
       ++band) {
    march_and_unshear_band(band, iteration, context, bands, transformation, in, sheared,
                           sheared_translucent, shadow, translucent);
  }
}

void Kernel_Directional_Shadow::run(Render_Context context) {
  // A run's layers replace the last run's, which go first: their memory can serve this run, and
  // a run that casts nothing leaves none behind.
  shadow_layer.reset();
  translucent_shadow_layer.reset();
  const Parameters_In in = parameters_in;
  const Vector_3<float> d = in.light.direction;
  // Almost straight down the view axis (or no direction at all): no shadow to cast.
  if (!(d.x * d.x + d.y * d.y > 0.001f)) {
    return;
  }
  const Transformation_Information transformation = directional_light_setup(in);
  if (transformation.line_count == 0) {
    return;
  }
  const Layer<float>& depth = in.depth_with_border;
  const int64_t sheared_width = transformation.along_x != 0 ? depth.width : depth.height;
  const auto make_layer = [&](int64_t width, int64_t height) {
    return make_temporary_float_layer(context, width, height, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  };
  const Layer_Holder sheared_holder = make_layer(sheared_width, transformation.line_count);
  Layer_Holder sheared_translucent_holder;
  const bool translucent = in.translucency != 0.0f;
  if (translucent) {
    sheared_translucent_holder = make_layer(sheared_width, transformation.line_count);
  }
  if (!in.light.shadows || in.light.intensity == 0.0f) {
    return;
  }
  shadow_layer = std::make_unique<Layer_Holder>(make_layer(depth.width, depth.height));
  if (translucent) {
    translucent_shadow_layer =
        std::make_unique<Layer_Holder>(make_layer(depth.width, depth.height));
  }
  const Layer<float> sheared = layer_view<float>(sheared_holder);
  const Layer<float> sheared_translucent =
      translucent ? layer_view<float>(sheared_translucent_holder) : empty_layer<float>();
  const Layer<float> shadow = layer_view<float>(*shadow_layer);
  const Layer<float> translucent_shadow =
      translucent ? layer_view<float>(*translucent_shadow_layer) : empty_layer<float>();
  // Lines along y: the unshear reads each sheared row a few cells at a time across the rows, so
  // it is done band by band from rows its worker has just written. Lines along x are read along
  // the rows: the sweep, then the unshear row by row.
  if (transformation.along_x == 0) {
    const Directional_Shadow_Bands bands(
        context, transformation, shadow,
        directional_shadow_lines_per_band(transformation.line_count), translucent);
    cpu_kernel_launch(bands.group_count(), &directional_shadow_band_body, context, &bands,
                      transformation, in, sheared, sheared_translucent, shadow, translucent_shadow);
    return;
  }
  cpu_kernel_launch(grain_iteration_count(transformation.line_count, lines_per_sweep_iteration),
                    &directional_shadow_sweep_body, context, transformation, in, sheared,
                    sheared_translucent);
  const std::vector<float> offsets = directional_shadow_offsets(transformation, shadow);
  cpu_kernel_launch(
      grain_iteration_count(unshear_extent(transformation, shadow), unshear_grain(transformation)),
      &directional_shadow_unshear_rows_body, context, transformation, offsets.data(), shadow,
      sheared, translucent_shadow, sheared_translucent);
}

}  // namespace brel
