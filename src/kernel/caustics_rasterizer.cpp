#include "kernel/caustics_rasterizer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "base/exception.h"
#include "util/target_clones.h"
#include "util/transpose_lanes.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel {

namespace {

// Row and column numbers are truncated in float and compared with the buffer's bounds there;
// only values already inside the buffer are converted, so no coordinate, however far off or
// not a number, reaches an undefined conversion.
int64_t index_of(float inside) {
  return static_cast<int64_t>(inside);
}

// The shared buffer as a target of the rasteriser: every addition atomic.
struct Shared_Buffer {
  explicit Shared_Buffer(const Layer<RGB32f>& buffer)
      : width(buffer.width), height(buffer.height), buffer(buffer) {}

  void add(int64_t column, int64_t row, float v, const RGB32f& k) const {
    add_light(buffer, column, row, v, k);
  }

  int64_t width;
  int64_t height;
  const Layer<RGB32f>& buffer;
};

// The shared buffer as a target of a rasteriser that holds the locks of the rows it adds into.
struct Locked_Buffer {
  explicit Locked_Buffer(const Layer<RGB32f>& buffer)
      : width(buffer.width), height(buffer.height), buffer(buffer) {}

  void add(int64_t column, int64_t row, float v, const RGB32f& k) const {
    RGB32f& pixel = buffer.row(row)[column];
    for (int32_t c = 0; c < 3; ++c) {
      pixel.channel[c] += v * k.channel[c];
    }
  }

  int64_t width;
  int64_t height;
  const Layer<RGB32f>& buffer;
};

// Mode 1: one crossing per row at the truncated column, the crossing advanced by the slope
// from row to row; the fractions of the rows are not taken into account. `ta` and `tb` are the
// ends' rows, trunc(ya) and trunc(yb), which a triangle's edges share.
template <class Target>
[[gnu::always_inline]] inline void plain_edge_rows(float xa, float ya, float ta, float xb, float yb,
                                                   float tb, float sign, const RGB32f& k,
                                                   Target& buffer, float width, float height) {
  const float first = std::max(ta, 0.0f);
  const float last = std::min(height, tb);
  if (!(first < last)) {
    return;
  }
  const float slope = (xb - xa) / (yb - ya);
  float x = xa + (first - ta) * slope;
  for (int64_t r = index_of(first), end = index_of(last); r < end; ++r) {
    const float column = std::trunc(x);
    // A crossing left of the buffer lights the whole row: it lands in column 0.
    if (column < width) {
      buffer.add(column > 0.0f ? index_of(column) : 0, r, sign, k);
    }
    x += slope;
  }
}

template <class Target>
void rasterize_edge_plain(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                          Target& buffer) {
  plain_edge_rows(xa, ya, std::trunc(ya), xb, yb, std::trunc(yb), sign, k, buffer,
                  static_cast<float>(buffer.width), static_cast<float>(buffer.height));
}

// A segment wider than its footprint: the weight w spread evenly over [lo, hi], whatever lies
// left of column 1 going to column 0, whatever lies at or right of the buffer's width dropped.
template <class Target>
void spread_span(float lo, float hi, float w, int64_t r, const RGB32f& k, Target& buffer) {
  const float width = static_cast<float>(buffer.width);
  const float cl = std::trunc(lo);
  if (!(cl < width) || !std::isfinite(lo) || !std::isfinite(hi)) {
    return;
  }
  const float ch = std::trunc(hi);
  if (ch < 1.0f) {
    buffer.add(0, r, w, k);
    return;
  }
  const float density = w / (hi - lo);
  const float first = std::max(cl, 0.0f);
  float left = (cl + 1.0f - lo) * density;
  if (cl < 0.0f) {
    left += -cl * density;
  }
  buffer.add(index_of(first), r, left, k);
  if (ch < width) {
    buffer.add(index_of(ch), r, (hi - ch) * density, k);
  }
  const int64_t end = index_of(std::min(ch, width));
  for (int64_t c = index_of(first) + 1; c < end; ++c) {
    buffer.add(c, r, density, k);
  }
}

// The edge's geometry shared by its segments.
struct Edge {
  float xa;
  float ya;
  float xb;
  float yb;
  float slope;

  float x_at(float y) const { return xa + (y - ya) * slope; }
};

template <class Target>
void add_edge_span_sharp(const Edge& edge, float ys, float ye, float w, int64_t r, const RGB32f& k,
                         Target& buffer) {
  const float xs = edge.x_at(ys);
  const float xe = edge.x_at(ye);
  const float lo = std::min(xs, xe);
  const float hi = std::max(xs, xe);
  if (hi - lo > 1.0f) {
    spread_span(lo, hi, w, r, k, buffer);
    return;
  }
  // Split between the two columns whose centres lie around the middle of the segment.
  const float xm = edge.x_at((ys + ye) / 2.0f) - 0.5f;
  if (!std::isfinite(xm)) {
    return;
  }
  const float c = std::trunc(xm);
  const float phi = xm - c;
  const float cc = std::clamp(c, 0.0f, static_cast<float>(buffer.width - 2));
  buffer.add(index_of(cc), r, (1.0f - phi) * w, k);
  buffer.add(index_of(cc) + 1, r, phi * w, k);
}

template <class Target>
void add_edge_span_smooth(const Edge& edge, float ys, float ye, float w, int64_t r, const RGB32f& k,
                          Target& buffer) {
  // Half a row longer at each end, but never beyond the edge's own extent.
  const float xs = edge.x_at(ys - 0.5f);
  const float xe = edge.x_at(ye + 0.5f);
  const float lo = std::max(std::min(xs, xe), std::min(edge.xa, edge.xb));
  const float hi = std::min(std::max(xs, xe), std::max(edge.xa, edge.xb));
  if (hi - lo > 2.0f) {
    spread_span(lo, hi, w, r, k, buffer);
    return;
  }
  const float xm = edge.x_at((ys + ye) / 2.0f) - 0.16666667f;
  if (!std::isfinite(xm)) {
    return;
  }
  const float c = std::trunc(xm);
  const float phi = xm - c;
  const float cc = c > 0.0f ? std::min(c, static_cast<float>(buffer.width - 2)) : 1.0f;
  const int64_t column = index_of(cc);
  buffer.add(column - 1, r, (1.0f - phi) * w / 3.0f, k);
  buffer.add(column, r, (2.0f - phi) * w / 3.0f, k);
  buffer.add(column + 1, r, 2.0f * phi * w / 3.0f, k);
}

// Cuts the edge into row segments of the buffer, each weighted by sign times its height, and
// hands them to `span`: the last row, the full rows between, then the first row.
template <class Target, class Span>
void rasterize_edge(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                    Target& buffer, Span span) {
  if (ya == yb) {
    return;
  }
  const Edge edge{xa, ya, xb, yb, (xb - xa) / (yb - ya)};
  const float height = static_cast<float>(buffer.height);
  const float ra = std::trunc(ya);
  const float rb = std::trunc(yb);
  const auto inside = [&](float r) { return r >= 0.0f && r < height; };
  if (ra == rb) {
    if (inside(ra)) {
      span(edge, ya, yb, sign * (yb - ya), index_of(ra), k, buffer);
    }
    return;
  }
  if (!(rb >= 0.0f)) {
    return;
  }
  if (rb < height) {
    span(edge, rb, yb, sign * (yb - rb), index_of(rb), k, buffer);
  }
  const float first_full = std::max(ra + 1.0f, 0.0f);
  const float end_full = std::min(height, rb);
  if (first_full < end_full) {
    for (int64_t r = index_of(first_full), end = index_of(end_full); r < end; ++r) {
      const float top = static_cast<float>(r);
      span(edge, top, top + 1.0f, sign, r, k, buffer);
    }
  }
  if (inside(ra)) {
    span(edge, ya, ra + 1.0f, sign * (ra + 1.0f - ya), index_of(ra), k, buffer);
  }
}

struct Vertex {
  float x;
  float y;
};

// Adds the band row's values in columns [lowest, highest] into the buffer row, atomically, and
// zeroes them. A locked addition waits for its cache line and lets no later load start before
// it, so the buffer's lines, seldom cached, are asked for a few lines ahead of the additions.
void flush_row_atomically(RGB32f* from, RGB32f* to, int64_t lowest, int64_t highest) {
  constexpr int64_t ahead = 24;  // pixels, four or five cache lines
  for (int64_t x = lowest; x <= highest; ++x) {
    if (x + ahead <= highest) {
      __builtin_prefetch(&to[x + ahead], 1);
    }
    for (int32_t c = 0; c < 3; ++c) {
      float& value = from[x].channel[c];
      // Adding a zero changes no sum (-0 only where the sum was -0 already).
      if (value != 0.0f) {
        std::atomic_ref<float>(to[x].channel[c]).fetch_add(value, std::memory_order_relaxed);
        value = 0.0f;
      }
    }
  }
}

// flush_row_atomically's additions made plainly, over the n floats of a row's pixels taken as
// one array, in a loop without branches that vector code runs.
BREL_TARGET_CLONES_AVX2 void flush_plain(float* from, float* to, int64_t n) {
  for (int64_t e = 0; e < n; ++e) {
    const float value = from[e];
    // Adding a zero changes no sum (-0 only where the sum was -0 already); a zero, of either
    // sign, is left in the band.
    const bool nonzero = value != 0.0f;
    to[e] = nonzero ? to[e] + value : to[e];
    from[e] = nonzero ? 0.0f : value;
  }
}

template <class Target>
void sharp_edge(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                Target& buffer) {
  rasterize_edge(xa, ya, xb, yb, sign, k, buffer, &add_edge_span_sharp<Target>);
}

template <class Target>
void smooth_edge(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                 Target& buffer) {
  rasterize_edge(xa, ya, xb, yb, sign, k, buffer, &add_edge_span_smooth<Target>);
}

template <class Target>
void rasterize_triangle(const RGB32f& k, Target& buffer, int64_t mode, float x0, float y0, float x1,
                        float y1, float x2, float y2) {
  // A vertex that is not finite has no place in the buffer: its triangle adds nothing, rather
  // than the one edge of it that could be drawn.
  for (const float v : {x0, y0, x1, y1, x2, y2}) {
    if (!std::isfinite(v)) {
      return;
    }
  }
  Vertex u{x0, y0};
  Vertex m{x1, y1};
  Vertex l{x2, y2};
  if (m.y < u.y) {
    std::swap(u, m);
  }
  if (l.y < m.y) {
    std::swap(m, l);
  }
  if (m.y < u.y) {
    std::swap(u, m);
  }
  if (!(l.y > u.y) || std::max({u.x, m.x, l.x}) < 0.0f ||
      !(std::min({u.x, m.x, l.x}) < static_cast<float>(buffer.width)) || l.y < 0.0f ||
      u.y >= static_cast<float>(buffer.height)) {
    return;
  }
  // The row enters the triangle on the side of the middle vertex when that lies left of the
  // long edge.
  const float long_x = u.x + (m.y - u.y) * (l.x - u.x) / (l.y - u.y);
  const float short_sign = m.x < long_x ? 1.0f : -1.0f;
  const float long_sign = -short_sign;
  using Edge_Rasterizer = void (*)(float, float, float, float, float, const RGB32f&, Target&);
  const Edge_Rasterizer edge = mode == caustics_antialias_off     ? &rasterize_edge_plain<Target>
                               : mode == caustics_antialias_sharp ? &sharp_edge<Target>
                                                                  : &smooth_edge<Target>;
  edge(u.x, u.y, l.x, l.y, long_sign, k, buffer);
  edge(u.x, u.y, m.x, m.y, short_sign, k, buffer);
  edge(m.x, m.y, l.x, l.y, short_sign, k, buffer);
}

// Rasterises, through `draw`, a triangle the band does not hold straight into the buffer: under
// the locks of the rows between `top` and `bottom` (its vertices' least and greatest row, not
// truncated) if the band has locks, else atomically. A triangle whose rows all lie outside the
// buffer, or that is not finite, adds nothing and takes no lock.
template <class Draw>
[[gnu::always_inline]] inline void draw_outside_band(const Caustics_Band& band,
                                                     const Layer<RGB32f>& buffer, float top,
                                                     float bottom, Draw draw) {
  Caustics_Row_Locks* locks = band.locks();
  if (locks == nullptr) {
    Shared_Buffer target(buffer);
    draw(target);
    return;
  }
  const float first = std::max(std::trunc(top), 0.0f);
  const float last = std::min(std::trunc(bottom), static_cast<float>(buffer.height - 1));
  if (!(first <= last)) {
    return;
  }
  const Caustics_Row_Locks::Hold hold(*locks, index_of(first), index_of(last));
  Locked_Buffer target(buffer);
  draw(target);
}

}  // namespace

Caustics_Row_Locks::Caustics_Row_Locks(int64_t buffer_height)
    : locks_(std::make_unique<std::mutex[]>(
          static_cast<size_t>(std::max<int64_t>(buffer_height, 1) + group_rows - 1) / group_rows)) {
}

Caustics_Row_Locks::Hold::Hold(Caustics_Row_Locks& locks, int64_t first_row, int64_t last_row)
    : first_(&locks.of_row(first_row)), end_(&locks.of_row(last_row) + 1) {
  for (std::mutex* lock = first_; lock != end_; ++lock) {
    try {
      lock->lock();
    } catch (...) {
      // The locks taken so far are given back: no caller is left holding them.
      while (lock != first_) {
        (--lock)->unlock();
      }
      throw;
    }
  }
}

Caustics_Row_Locks::Hold::~Hold() {
  for (std::mutex* lock = first_; lock != end_; ++lock) {
    lock->unlock();
  }
}

Caustics_Band::Caustics_Band(Layer<RGB32f> scratch, int64_t buffer_width, int64_t buffer_height,
                             bool sole_writer)
    : width(buffer_width), height(buffer_height), scratch_(scratch), sole_writer_(sole_writer) {
  BREL_ASSERT(scratch.height >= rows && scratch.width >= buffer_width);
  BREL_ASSERT(buffer_width < std::numeric_limits<int32_t>::max() &&
              rows * scratch.row_bytes < std::numeric_limits<int32_t>::max());
  lowest_.fill(static_cast<int32_t>(buffer_width));
  highest_.fill(-1);
}

Caustics_Band::Caustics_Band(Layer<RGB32f> scratch, int64_t buffer_width, int64_t buffer_height,
                             Caustics_Row_Locks& locks)
    : Caustics_Band(scratch, buffer_width, buffer_height) {
  locks_ = &locks;
}

void Caustics_Band::place(int64_t first_row) {
  if (!zeroed_) {
    for (int64_t i = 0; i < rows; ++i) {
      std::fill_n(scratch_.row(i), width, RGB32f{{0.0f, 0.0f, 0.0f}});
    }
    zeroed_ = true;
  }
  first_row_ = first_row;
}

void Caustics_Band::flush(const Layer<RGB32f>& buffer) {
  // With locks, one group's lock at a time, taken as the rows reach it: ascending.
  std::unique_lock<std::mutex> group;
  for (int64_t i = 0; i < rows; ++i) {
    if (lowest_[i] > highest_[i]) {
      continue;
    }
    RGB32f* from = scratch_.row(i);
    RGB32f* to = buffer.row(first_row_ + i);
    if (locks_ != nullptr) {
      std::mutex& lock = locks_->of_row(first_row_ + i);
      if (group.mutex() != &lock) {
        group = std::unique_lock<std::mutex>(lock);
      }
    }
    if (locks_ != nullptr || sole_writer_) {
      static_assert(sizeof(RGB32f) == 3 * sizeof(float));
      flush_plain(from[lowest_[i]].channel, to[lowest_[i]].channel,
                  3 * (highest_[i] - lowest_[i] + 1));
    } else {
      flush_row_atomically(from, to, lowest_[i], highest_[i]);
    }
    lowest_[i] = static_cast<int32_t>(width);
    highest_[i] = -1;
  }
}

namespace {

// Whether a float is finite, from its bits: the exponent not all ones.
[[gnu::always_inline]] inline bool finite_bits(float v) {
  return (std::bit_cast<uint32_t>(v) & 0x7f800000u) != 0x7f800000u;
}

// The vertex with the lower y first, the first on a tie; a selection rather than a branch, as
// which of two corners of a patch lands higher is a toss-up.
[[gnu::always_inline]] inline void order_by_y(Vertex& a, Vertex& b) {
  const bool swap = b.y < a.y;
  const Vertex upper{swap ? b.x : a.x, swap ? b.y : a.y};
  const Vertex lower{swap ? a.x : b.x, swap ? a.y : b.y};
  a = upper;
  b = lower;
}

// rasterize_triangle of mode 1, into the band when it holds the triangle's rows: each row's
// truncation taken once for the two edges that share it.
[[gnu::always_inline]] inline void plain_triangle(const Caustics_Triangle& t, Caustics_Band& band,
                                                  const Layer<RGB32f>& buffer, float width,
                                                  float height) {
  if (!(finite_bits(t.x0) && finite_bits(t.y0) && finite_bits(t.x1) && finite_bits(t.y1) &&
        finite_bits(t.x2) && finite_bits(t.y2))) {
    return;
  }
  Vertex u{t.x0, t.y0};
  Vertex m{t.x1, t.y1};
  Vertex l{t.x2, t.y2};
  order_by_y(u, m);
  order_by_y(m, l);
  order_by_y(u, m);
  if (!band.holds(u.y, l.y)) {
    draw_outside_band(band, buffer, u.y, l.y, [&](auto& target) {
      rasterize_triangle(t.k, target, caustics_antialias_off, t.x0, t.y0, t.x1, t.y1, t.x2, t.y2);
    });
    return;
  }
  if (!(l.y > u.y) || std::max({u.x, m.x, l.x}) < 0.0f || !(std::min({u.x, m.x, l.x}) < width) ||
      l.y < 0.0f || u.y >= height) {
    return;
  }
  const float tu = std::trunc(u.y);
  const float tl = std::trunc(l.y);
  // All three edges within one row add nothing.
  if (tu == tl) {
    return;
  }
  const float tm = std::trunc(m.y);
  const float long_x = u.x + (m.y - u.y) * (l.x - u.x) / (l.y - u.y);
  const float short_sign = m.x < long_x ? 1.0f : -1.0f;
  const float long_sign = -short_sign;
  plain_edge_rows(u.x, u.y, tu, l.x, l.y, tl, long_sign, t.k, band, width, height);
  plain_edge_rows(u.x, u.y, tu, m.x, m.y, tm, short_sign, t.k, band, width, height);
  plain_edge_rows(m.x, m.y, tm, l.x, l.y, tl, short_sign, t.k, band, width, height);
}

// rasterize_triangle of mode 2 or 3 (`mode`), into the band when it holds the triangle's rows,
// else straight into the buffer.
void banded_triangle(const Caustics_Triangle& t, Caustics_Band& band, const Layer<RGB32f>& buffer,
                     int64_t mode) {
  const float top = std::min({t.y0, t.y1, t.y2});
  const float bottom = std::max({t.y0, t.y1, t.y2});
  if (band.holds(top, bottom)) {
    rasterize_triangle(t.k, band, mode, t.x0, t.y0, t.x1, t.y1, t.x2, t.y2);
  } else {
    draw_outside_band(band, buffer, top, bottom, [&](auto& target) {
      rasterize_triangle(t.k, target, mode, t.x0, t.y0, t.x1, t.y1, t.x2, t.y2);
    });
  }
}

#if BREL_AVX2_ROWS
#define BREL_AVX2_LANES __attribute__((target("avx2"))) inline

BREL_AVX2_LANES __m256 trunc_lanes(__m256 v) {
  return _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}

BREL_AVX2_LANES __m256 less(__m256 a, __m256 b) {
  return _mm256_cmp_ps(a, b, _CMP_LT_OQ);
}

BREL_AVX2_LANES __m256 finite_lanes(__m256 v) {
  return _mm256_cmp_ps(_mm256_sub_ps(v, v), _mm256_setzero_ps(), _CMP_EQ_OQ);
}

// order_by_y in every lane: b's vertex first where b.y < a.y.
BREL_AVX2_LANES void order_lanes_by_y(__m256& ax, __m256& ay, __m256& bx, __m256& by) {
  const __m256 swap = less(by, ay);
  const __m256 upper_x = _mm256_blendv_ps(ax, bx, swap);
  const __m256 upper_y = _mm256_blendv_ps(ay, by, swap);
  bx = _mm256_blendv_ps(bx, ax, swap);
  by = _mm256_blendv_ps(by, ay, swap);
  ax = upper_x;
  ay = upper_y;
}

// One edge of plain_edge_rows in every lane: its rows [first, last), and its crossing of the
// first of them.
struct Edge_Lanes {
  __m256 crosses;  // at least one row
  __m256 many;     // more than one row
  __m256 lit;      // crosses, and left of the buffer's right end
  __m256i row;
  __m256i column;
};

BREL_AVX2_LANES Edge_Lanes edge_lanes(__m256 xa, __m256 ya, __m256 ta, __m256 xb, __m256 yb,
                                      __m256 tb, __m256 width, __m256 height) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 first = _mm256_max_ps(zero, ta);   // std::max(ta, 0)
  const __m256 last = _mm256_min_ps(tb, height);  // std::min(height, tb)
  const __m256 slope = _mm256_div_ps(_mm256_sub_ps(xb, xa), _mm256_sub_ps(yb, ya));
  const __m256 x = _mm256_add_ps(xa, _mm256_mul_ps(_mm256_sub_ps(first, ta), slope));
  const __m256 column = trunc_lanes(x);
  Edge_Lanes e;
  e.crosses = less(first, last);
  e.many = less(_mm256_add_ps(first, _mm256_set1_ps(1.0f)), last);
  e.lit = _mm256_and_ps(e.crosses, less(column, width));
  e.row = _mm256_cvttps_epi32(first);
  // A crossing left of the buffer lands in column 0.
  e.column = _mm256_cvttps_epi32(_mm256_and_ps(column, _mm256_cmp_ps(column, zero, _CMP_GT_OQ)));
  return e;
}

// What eight triangles add by the lanes' rule, lane j in bit or entry j: which of them take
// plain_triangle instead (`slow`), and the crossing of the long edge and of the short edge that
// crosses the row, each added where its bit of `long_lit` or `short_lit` is set, with the
// products of its sign and the colour's channels.
struct Lane_Adds {
  int32_t slow;
  int32_t long_lit;
  int32_t short_lit;
  // Rows of the band, columns, and the pixels' places in bytes from the band's first one.
  alignas(32) int32_t long_row[8];
  alignas(32) int32_t long_column[8];
  alignas(32) int32_t long_offset[8];
  alignas(32) int32_t short_row[8];
  alignas(32) int32_t short_column[8];
  alignas(32) int32_t short_offset[8];
  alignas(32) float long_k[3][8];
  alignas(32) float short_k[3][8];
};

// The constants of the lanes' rule for one band and buffer.
struct Lane_Bounds {
  __m256 width;
  __m256 height;
  __m256 band_top;
  __m256 band_end;
  __m256i first_row;
  __m256i row_bytes;
};

BREL_AVX2_LANES Lane_Bounds lane_bounds(const Caustics_Band& band, float width, float height) {
  return {_mm256_set1_ps(width),
          _mm256_set1_ps(height),
          _mm256_set1_ps(static_cast<float>(band.first_row())),
          _mm256_set1_ps(static_cast<float>(band.first_row() + Caustics_Band::rows)),
          _mm256_set1_epi32(static_cast<int32_t>(band.first_row())),
          _mm256_set1_epi32(static_cast<int32_t>(band.row_bytes()))};
}

// The bytes from the band's first pixel to those in its rows `i` and `columns`.
BREL_AVX2_LANES __m256i pixel_offsets(__m256i i, __m256i column, const Lane_Bounds& bounds) {
  const __m256i pixel_bytes = _mm256_set1_epi32(static_cast<int32_t>(sizeof(RGB32f)));
  return _mm256_add_epi32(_mm256_mullo_epi32(i, bounds.row_bytes),
                          _mm256_mullo_epi32(column, pixel_bytes));
}

// The band's rows of buffer rows, and the bytes from the band's first pixel to their pixels in
// `columns`; of use only where the band holds the rows.
BREL_AVX2_LANES __m256i band_places(__m256i row, __m256i column, const Lane_Bounds& bounds,
                                    int32_t* band_row, int32_t* offset) {
  const __m256i i = _mm256_sub_epi32(row, bounds.first_row);
  _mm256_store_si256(reinterpret_cast<__m256i*>(band_row), i);
  _mm256_store_si256(reinterpret_cast<__m256i*>(offset), pixel_offsets(i, column, bounds));
  return i;
}

BREL_AVX2_LANES int32_t least(__m256i v) {
  __m128i m = _mm_min_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4e));
  return _mm_cvtsi128_si32(_mm_min_epi32(m, _mm_shuffle_epi32(m, 0xb1)));
}

BREL_AVX2_LANES int32_t greatest(__m256i v) {
  __m128i m = _mm_max_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, 0x4e));
  return _mm_cvtsi128_si32(_mm_max_epi32(m, _mm_shuffle_epi32(m, 0xb1)));
}

// Additions of eight lanes into the band's rows `row`, in columns [lowest, highest] of each,
// where `mask` is all ones.
struct Lane_Marks {
  __m256i row;
  __m256i lowest;
  __m256i highest;
  __m256i mask;
};

// Marks the band's rows and columns of the lanes' additions as received. The additions of eight
// neighbouring cells' triangles mostly fall into one or two rows of the band: those are marked
// once for all of them, the rest lane by lane.
template <size_t n>
[[gnu::always_inline]] BREL_AVX2_LANES void mark_lanes(const Lane_Marks (&marks)[n],
                                                       Caustics_Band& band) {
  const __m256i most = _mm256_set1_epi32(std::numeric_limits<int32_t>::max());
  const __m256i fewest = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
  // Each reduction starts from the first set rather than from its identity, which the compiler
  // keeps as an operation of its own.
  __m256i tops = _mm256_blendv_epi8(most, marks[0].row, marks[0].mask);
  __m256i bottoms = _mm256_blendv_epi8(fewest, marks[0].row, marks[0].mask);
  for (size_t m = 1; m < n; ++m) {
    tops = _mm256_min_epi32(tops, _mm256_blendv_epi8(most, marks[m].row, marks[m].mask));
    bottoms = _mm256_max_epi32(bottoms, _mm256_blendv_epi8(fewest, marks[m].row, marks[m].mask));
  }
  const int32_t top = least(tops);
  if (top == std::numeric_limits<int32_t>::max()) {
    return;
  }
  const int32_t bottom = greatest(bottoms);
  if (bottom - top <= 1) {
    for (int32_t i = top; i <= bottom; ++i) {
      const __m256i row = _mm256_set1_epi32(i);
      const __m256i in_first =
          _mm256_and_si256(marks[0].mask, _mm256_cmpeq_epi32(marks[0].row, row));
      __m256i lowest = _mm256_blendv_epi8(most, marks[0].lowest, in_first);
      __m256i highest = _mm256_blendv_epi8(fewest, marks[0].highest, in_first);
      for (size_t m = 1; m < n; ++m) {
        const __m256i in_row =
            _mm256_and_si256(marks[m].mask, _mm256_cmpeq_epi32(marks[m].row, row));
        lowest = _mm256_min_epi32(lowest, _mm256_blendv_epi8(most, marks[m].lowest, in_row));
        highest = _mm256_max_epi32(highest, _mm256_blendv_epi8(fewest, marks[m].highest, in_row));
      }
      const int32_t low = least(lowest);
      const int32_t high = greatest(highest);
      if (low <= high) {
        band.mark(i, low, high);
      }
    }
    return;
  }
  for (const Lane_Marks& m : marks) {
    alignas(32) int32_t rows[8];
    alignas(32) int32_t lowest[8];
    alignas(32) int32_t highest[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(rows), m.row);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lowest), m.lowest);
    _mm256_store_si256(reinterpret_cast<__m256i*>(highest), m.highest);
    const int32_t mask = _mm256_movemask_ps(_mm256_castsi256_ps(m.mask));
    for (int32_t j = 0; j < 8; ++j) {
      if ((mask >> j) & 1) {
        band.mark(rows[j], lowest[j], highest[j]);
      }
    }
  }
}

// What the lanes' rules of every mode work out first: the triangles' vertices ordered by y and
// their rows, the lanes drawn whose vertices are all finite, those whose rows the band holds,
// those rasterize_triangle does not reject by its tests of the whole triangle (for finite lanes),
// and the signs of the long and the short edges.
struct Ordered_Lanes {
  __m256 tu, tm, tl;
  __m256 is_finite;
  __m256 held;
  __m256 drawn;
  __m256 long_sign;
  __m256 short_sign;
};

[[gnu::always_inline]] BREL_AVX2_LANES Ordered_Lanes ordered_lanes(__m256& ux, __m256& uy,
                                                                   __m256& mx, __m256& my,
                                                                   __m256& lx, __m256& ly,
                                                                   __m256 drawn_lanes,
                                                                   const Lane_Bounds& bounds) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 minus_one = _mm256_set1_ps(-1.0f);
  Ordered_Lanes o;
  o.is_finite = _mm256_and_ps(
      drawn_lanes, _mm256_and_ps(_mm256_and_ps(_mm256_and_ps(finite_lanes(ux), finite_lanes(uy)),
                                               _mm256_and_ps(finite_lanes(mx), finite_lanes(my))),
                                 _mm256_and_ps(finite_lanes(lx), finite_lanes(ly))));
  order_lanes_by_y(ux, uy, mx, my);
  order_lanes_by_y(mx, my, lx, ly);
  order_lanes_by_y(ux, uy, mx, my);
  o.tu = trunc_lanes(uy);
  o.tm = trunc_lanes(my);
  o.tl = trunc_lanes(ly);
  o.held =
      _mm256_and_ps(_mm256_cmp_ps(o.tu, bounds.band_top, _CMP_GE_OQ), less(o.tl, bounds.band_end));
  const __m256 right_of_zero =
      _mm256_cmp_ps(_mm256_max_ps(_mm256_max_ps(ux, mx), lx), zero, _CMP_NLT_UQ);
  const __m256 left_of_width = less(_mm256_min_ps(_mm256_min_ps(ux, mx), lx), bounds.width);
  o.drawn = _mm256_and_ps(
      _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(ly, uy, _CMP_GT_OQ), right_of_zero),
                    _mm256_and_ps(left_of_width, _mm256_cmp_ps(ly, zero, _CMP_NLT_UQ))),
      _mm256_cmp_ps(uy, bounds.height, _CMP_NGE_UQ));
  const __m256 long_x =
      _mm256_add_ps(ux, _mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(my, uy), _mm256_sub_ps(lx, ux)),
                                      _mm256_sub_ps(ly, uy)));
  const __m256 left = less(mx, long_x);
  o.short_sign = _mm256_blendv_ps(minus_one, one, left);
  o.long_sign = _mm256_blendv_ps(one, minus_one, left);
  return o;
}

// plain_triangle for eight triangles at a time, up to its additions: each lane runs its float
// operations in their order (and the divisions of edges without rows too, whose results no lane
// uses). Most triangles of a splat are patches of about a pixel whose edges each cross at most
// one row, and which of the two short edges crosses it is a toss-up: such a triangle's one or two
// crossings are added without a branch. The rest, and those the band does not hold, are `slow`.
// Lanes outside `drawn` add nothing, whatever their values.
[[gnu::always_inline]] BREL_AVX2_LANES void triangle_lanes(__m256 ux, __m256 uy, __m256 mx,
                                                           __m256 my, __m256 lx, __m256 ly,
                                                           const __m256 (&k)[3], __m256 drawn_lanes,
                                                           const Lane_Bounds& bounds,
                                                           Caustics_Band& band, Lane_Adds& out) {
  const auto [tu, tm, tl, is_finite, held, any_row_drawn, long_sign, short_sign] =
      ordered_lanes(ux, uy, mx, my, lx, ly, drawn_lanes, bounds);
  // All three edges within one row add nothing in mode 1.
  const __m256 drawn = _mm256_and_ps(any_row_drawn, _mm256_cmp_ps(tu, tl, _CMP_NEQ_UQ));
  const Edge_Lanes long_edge = edge_lanes(ux, uy, tu, lx, ly, tl, bounds.width, bounds.height);
  const Edge_Lanes upper = edge_lanes(ux, uy, tu, mx, my, tm, bounds.width, bounds.height);
  const Edge_Lanes lower = edge_lanes(mx, my, tm, lx, ly, tl, bounds.width, bounds.height);
  // Both short edges crossing a row would give the long edge two: one of the three is many.
  const __m256 complex = _mm256_or_ps(long_edge.many, _mm256_or_ps(upper.many, lower.many));
  const __m256 valid = _mm256_and_ps(_mm256_and_ps(is_finite, held), drawn);
  const __m256 slow = _mm256_and_ps(
      is_finite, _mm256_or_ps(_mm256_andnot_ps(held, is_finite), _mm256_and_ps(drawn, complex)));
  const __m256 long_lit = _mm256_and_ps(valid, long_edge.lit);
  const __m256 short_lit =
      _mm256_and_ps(valid, _mm256_blendv_ps(lower.lit, upper.lit, upper.crosses));
  out.slow = _mm256_movemask_ps(slow);
  out.long_lit = _mm256_movemask_ps(long_lit);
  out.short_lit = _mm256_movemask_ps(short_lit);
  const __m256i upper_chosen = _mm256_castps_si256(upper.crosses);
  const __m256i short_row = _mm256_blendv_epi8(lower.row, upper.row, upper_chosen);
  const __m256i short_column = _mm256_blendv_epi8(lower.column, upper.column, upper_chosen);
  _mm256_store_si256(reinterpret_cast<__m256i*>(out.long_column), long_edge.column);
  _mm256_store_si256(reinterpret_cast<__m256i*>(out.short_column), short_column);
  const __m256i long_i =
      band_places(long_edge.row, long_edge.column, bounds, out.long_row, out.long_offset);
  const __m256i short_i =
      band_places(short_row, short_column, bounds, out.short_row, out.short_offset);
  // Slow lanes mark their own additions.
  const Lane_Marks marks[2] = {{long_i, long_edge.column, long_edge.column,
                                _mm256_castps_si256(_mm256_andnot_ps(slow, long_lit))},
                               {short_i, short_column, short_column,
                                _mm256_castps_si256(_mm256_andnot_ps(slow, short_lit))}};
  mark_lanes(marks, band);
  for (int32_t c = 0; c < 3; ++c) {
    _mm256_store_ps(out.long_k[c], _mm256_mul_ps(long_sign, k[c]));
    _mm256_store_ps(out.short_k[c], _mm256_mul_ps(short_sign, k[c]));
  }
}

// Lane j's additions in their turn; a slow lane's triangle, `triangle()`, takes plain_triangle.
template <class Triangle>
[[gnu::always_inline]] inline void add_lane(const Lane_Adds& a, int32_t j, Triangle triangle,
                                            Caustics_Band& band, const Layer<RGB32f>& buffer,
                                            float width, float height) {
  if ((a.slow >> j) & 1) {
    plain_triangle(triangle(), band, buffer, width, height);
    return;
  }
  band.add_marked_if((a.long_lit >> j) & 1, a.long_offset[j], a.long_k[0][j], a.long_k[1][j],
                     a.long_k[2][j]);
  band.add_marked_if((a.short_lit >> j) & 1, a.short_offset[j], a.short_k[0][j], a.short_k[1][j],
                     a.short_k[2][j]);
}

// What a lanes' rule adds into: the band, the buffer beyond it, their bounds and the mode.
struct Lane_Target {
  Caustics_Band& band;
  const Layer<RGB32f>& buffer;
  float width;
  float height;
  int64_t mode;
  Lane_Bounds bounds;
};

// One edge's row segments in every lane, as rasterize_edge hands them to a span rule where the
// edge crosses at most one boundary between rows: the segment in its lower end's row (from ya,
// or that row's top, to yb), then the one in its upper end's row (from ya to the row's bottom),
// each with its weight and its buffer row, and `active` where it is added at all.
struct Segment_Lanes {
  __m256 ys;
  __m256 ye;
  __m256 w;
  __m256 row;
  __m256 active;
};

// Edge::x_at in every lane.
BREL_AVX2_LANES __m256 x_at_lanes(__m256 xa, __m256 ya, __m256 slope, __m256 y) {
  return _mm256_add_ps(xa, _mm256_mul_ps(_mm256_sub_ps(y, ya), slope));
}

BREL_AVX2_LANES __m256 inside_lanes(__m256 r, __m256 height) {
  return _mm256_and_ps(_mm256_cmp_ps(r, _mm256_setzero_ps(), _CMP_GE_OQ), less(r, height));
}

// `many`: where the edge crosses more than one boundary, with full rows between its ends.
BREL_AVX2_LANES void edge_segments(__m256 ya, __m256 ta, __m256 yb, __m256 tb, __m256 sign,
                                   __m256 height, Segment_Lanes (&s)[2], __m256& many) {
  // An edge without height adds nothing.
  const __m256 sloped = _mm256_cmp_ps(ya, yb, _CMP_NEQ_UQ);
  const __m256 one_row = _mm256_cmp_ps(ta, tb, _CMP_EQ_OQ);
  const __m256 next = _mm256_add_ps(ta, _mm256_set1_ps(1.0f));
  s[0].ys = _mm256_blendv_ps(tb, ya, one_row);
  s[0].ye = yb;
  s[0].w = _mm256_mul_ps(sign, _mm256_sub_ps(yb, s[0].ys));
  s[0].row = tb;
  s[0].active = _mm256_and_ps(sloped, inside_lanes(tb, height));
  s[1].ys = ya;
  s[1].ye = next;
  s[1].w = _mm256_mul_ps(sign, _mm256_sub_ps(next, ya));
  s[1].row = ta;
  s[1].active = _mm256_andnot_ps(one_row, _mm256_and_ps(sloped, inside_lanes(ta, height)));
  many = less(next, tb);
}

// Modes 2 (n = 2, add_edge_span_sharp) and 3 (n = 3, add_edge_span_smooth) for the drivers
// below, the triangle's six segments (two of each edge, long, upper then lower) worked out in
// lanes with their float operations in their order, std::min(a, b) as _mm256_min_ps(b, a) and
// std::max(a, b) as _mm256_max_ps(b, a), which pass on the same operand. Most triangles of a
// splat are patches of about a pixel whose edges each cross at most one boundary between rows:
// each of their segments adds into n neighbouring columns without a branch, or is spread over
// wider ones by spread_span in its turn. The rest, and those the band does not hold, are `slow`
// and take banded_triangle.
template <int32_t n>
struct Antialiased_Rule : Lane_Target {
  static constexpr int32_t segments = 6;
  static_assert(n <= Caustics_Band::discarded_pixels && sizeof(RGB32f) == 3 * sizeof(float));

  // What eight triangles add, lane j in bit or entry j.
  struct Adds {
    int32_t slow;
    int32_t spreading;  // lanes with a segment spread_span takes
    int32_t added[segments];
    int32_t spread[segments];
    // The bytes from the band's first pixel to the segment's first column, and the products
    // of the columns' weights and the colour's channels as they lie in the band's pixels: lane
    // j's first eight in v[s][j], the ninth of mode 3 in ninth[s][j].
    alignas(32) int32_t offset[segments][8];
    alignas(32) float v[segments][8][8];
    alignas(32) float ninth[segments][8];
    // spread_span's arguments, where it is taken.
    alignas(32) float lo[segments][8];
    alignas(32) float hi[segments][8];
    alignas(32) float w[segments][8];
    alignas(32) int32_t row[segments][8];
  };

  // The columns next to a segment's lie inside the band.
  static bool fits(const Caustics_Band& band) { return band.width >= 3; }

  [[gnu::always_inline]] BREL_AVX2_LANES void set_up(__m256 ux, __m256 uy, __m256 mx, __m256 my,
                                                     __m256 lx, __m256 ly, const __m256 (&k)[3],
                                                     __m256 drawn_lanes, Adds& out) const {
    const auto [tu, tm, tl, is_finite, held, any_row_drawn, long_sign, short_sign] =
        ordered_lanes(ux, uy, mx, my, lx, ly, drawn_lanes, bounds);
    const __m256 drawn = any_row_drawn;
    // The long edge, the upper and the lower short edge, as rasterize_triangle draws them.
    const __m256 xa[3] = {ux, ux, mx};
    const __m256 ya[3] = {uy, uy, my};
    const __m256 ta[3] = {tu, tu, tm};
    const __m256 xb[3] = {lx, mx, lx};
    const __m256 yb[3] = {ly, my, ly};
    const __m256 tb[3] = {tl, tm, tl};
    const __m256 sign[3] = {long_sign, short_sign, short_sign};
    Segment_Lanes segment[3][2];
    __m256 many[3];
    for (int32_t e = 0; e < 3; ++e) {
      edge_segments(ya[e], ta[e], yb[e], tb[e], sign[e], bounds.height, segment[e], many[e]);
    }
    const __m256 complex = _mm256_or_ps(many[0], _mm256_or_ps(many[1], many[2]));
    const __m256 valid =
        _mm256_andnot_ps(complex, _mm256_and_ps(_mm256_and_ps(is_finite, held), drawn));
    const __m256 slow = _mm256_and_ps(
        is_finite, _mm256_or_ps(_mm256_andnot_ps(held, is_finite), _mm256_and_ps(drawn, complex)));
    out.slow = _mm256_movemask_ps(slow);
    out.spreading = 0;
    Lane_Marks marks[segments];
    for (int32_t e = 0; e < 3; ++e) {
      const __m256 slope = _mm256_div_ps(_mm256_sub_ps(xb[e], xa[e]), _mm256_sub_ps(yb[e], ya[e]));
      for (int32_t side = 0; side < 2; ++side) {
        segment_lanes(xa[e], ya[e], xb[e], slope, segment[e][side], valid, k, 2 * e + side, out,
                      marks[2 * e + side]);
      }
    }
    mark_lanes(marks, band);
  }

  // Segment s of the triangles, as the span rule of mode n adds it.
  [[gnu::always_inline]] BREL_AVX2_LANES void segment_lanes(__m256 xa, __m256 ya, __m256 xb,
                                                            __m256 slope, const Segment_Lanes& g,
                                                            __m256 valid, const __m256 (&k)[3],
                                                            int32_t s, Adds& out,
                                                            Lane_Marks& marks) const {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 two = _mm256_set1_ps(2.0f);
    const __m256 active = _mm256_and_ps(valid, g.active);
    const __m256 mid = _mm256_div_ps(_mm256_add_ps(g.ys, g.ye), two);
    const __m256 next_to_last = _mm256_set1_ps(static_cast<float>(band.width - 2));
    __m256 lo;
    __m256 hi;
    __m256 xm;
    if constexpr (n == 2) {
      const __m256 xs = x_at_lanes(xa, ya, slope, g.ys);
      const __m256 xe = x_at_lanes(xa, ya, slope, g.ye);
      lo = _mm256_min_ps(xe, xs);
      hi = _mm256_max_ps(xe, xs);
      xm = _mm256_sub_ps(x_at_lanes(xa, ya, slope, mid), _mm256_set1_ps(0.5f));
    } else {
      const __m256 half = _mm256_set1_ps(0.5f);
      const __m256 xs = x_at_lanes(xa, ya, slope, _mm256_sub_ps(g.ys, half));
      const __m256 xe = x_at_lanes(xa, ya, slope, _mm256_add_ps(g.ye, half));
      lo = _mm256_max_ps(_mm256_min_ps(xb, xa), _mm256_min_ps(xe, xs));
      hi = _mm256_min_ps(_mm256_max_ps(xb, xa), _mm256_max_ps(xe, xs));
      xm = _mm256_sub_ps(x_at_lanes(xa, ya, slope, mid), _mm256_set1_ps(0.16666667f));
    }
    const __m256 wide = n == 2 ? one : two;
    const __m256 spread =
        _mm256_and_ps(active, _mm256_cmp_ps(_mm256_sub_ps(hi, lo), wide, _CMP_GT_OQ));
    const __m256 added = _mm256_andnot_ps(spread, _mm256_and_ps(active, finite_lanes(xm)));
    const __m256 c = trunc_lanes(xm);
    const __m256 phi = _mm256_sub_ps(xm, c);
    __m256 value[n];
    __m256i first;
    if constexpr (n == 2) {
      // std::clamp(c, 0, width - 2).
      first = _mm256_cvttps_epi32(_mm256_min_ps(next_to_last, _mm256_max_ps(zero, c)));
      value[0] = _mm256_mul_ps(_mm256_sub_ps(one, phi), g.w);
      value[1] = _mm256_mul_ps(phi, g.w);
    } else {
      const __m256 cc =
          _mm256_blendv_ps(one, _mm256_min_ps(next_to_last, c), _mm256_cmp_ps(c, zero, _CMP_GT_OQ));
      first = _mm256_sub_epi32(_mm256_cvttps_epi32(cc), _mm256_set1_epi32(1));
      const __m256 three = _mm256_set1_ps(3.0f);
      value[0] = _mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(one, phi), g.w), three);
      value[1] = _mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(two, phi), g.w), three);
      value[2] = _mm256_div_ps(_mm256_mul_ps(_mm256_mul_ps(two, phi), g.w), three);
    }
    const __m256i row = _mm256_cvttps_epi32(g.row);
    const __m256i i = _mm256_sub_epi32(row, bounds.first_row);
    _mm256_store_si256(reinterpret_cast<__m256i*>(out.offset[s]), pixel_offsets(i, first, bounds));
    __m256 products[8];
    for (int32_t e = 0; e < 8; ++e) {
      products[e] = e < 3 * n ? _mm256_mul_ps(value[e / 3], k[e % 3]) : zero;
    }
    transpose_lanes(products);
    for (int32_t j = 0; j < 8; ++j) {
      _mm256_store_ps(out.v[s][j], products[j]);
    }
    if constexpr (n == 3) {
      _mm256_store_ps(out.ninth[s], _mm256_mul_ps(value[2], k[2]));
    }
    out.added[s] = _mm256_movemask_ps(added);
    out.spread[s] = _mm256_movemask_ps(spread);
    if (out.spread[s] != 0) {
      out.spreading |= out.spread[s];
      _mm256_store_ps(out.lo[s], lo);
      _mm256_store_ps(out.hi[s], hi);
      _mm256_store_ps(out.w[s], g.w);
      _mm256_store_si256(reinterpret_cast<__m256i*>(out.row[s]), row);
    }
    marks = {i, first, _mm256_add_epi32(first, _mm256_set1_epi32(n - 1)),
             _mm256_castps_si256(added)};
  }

  // Lane j's additions in their turn; a slow lane's triangle, `triangle()`, takes
  // banded_triangle.
  template <class Triangle>
  [[gnu::always_inline]] void add(const Adds& a, int32_t j, Triangle triangle) const {
    if ((a.slow >> j) & 1) {
      banded_triangle(triangle(), band, buffer, mode);
      return;
    }
    const bool spreading = (a.spreading >> j) & 1;
    // Unrolled: the loop's own counting cost about as much as a segment's additions.
#pragma GCC unroll 6
    for (int32_t s = 0; s < segments; ++s) {
      if (spreading && ((a.spread[s] >> j) & 1)) {
        spread_span(a.lo[s][j], a.hi[s][j], a.w[s][j], a.row[s][j], triangle().k, band);
        continue;
      }
      // The segment's n pixels' floats, four (or two, or one) at a time, each added to once.
      float* const p = band.pixels_if((a.added[s] >> j) & 1, a.offset[s][j]);
      const float* const v = a.v[s][j];
      _mm_storeu_ps(p, _mm_add_ps(_mm_loadu_ps(p), _mm_loadu_ps(v)));
      if constexpr (n == 2) {
        // Two floats are only 4-byte aligned: the 64-bit moves that take any address.
        const auto pair = [](const float* f) {
          return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(f)));
        };
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 4),
                         _mm_castps_si128(_mm_add_ps(pair(p + 4), pair(v + 4))));
      } else {
        _mm_storeu_ps(p + 4, _mm_add_ps(_mm_loadu_ps(p + 4), _mm_loadu_ps(v + 4)));
        _mm_store_ss(p + 8, _mm_add_ss(_mm_load_ss(p + 8), _mm_load_ss(&a.ninth[s][j])));
      }
    }
  }
  [[gnu::always_inline]] void one(const Caustics_Triangle& t) const {
    banded_triangle(t, band, buffer, mode);
  }
};

// Mode 1's rule for the drivers below: `set_up` works out eight triangles' additions, `add`
// makes lane j's in its turn, `one` rasterises a triangle alone.
struct Plain_Rule : Lane_Target {
  using Adds = Lane_Adds;

  [[gnu::always_inline]] BREL_AVX2_LANES void set_up(__m256 ux, __m256 uy, __m256 mx, __m256 my,
                                                     __m256 lx, __m256 ly, const __m256 (&k)[3],
                                                     __m256 drawn, Adds& out) const {
    triangle_lanes(ux, uy, mx, my, lx, ly, k, drawn, bounds, band, out);
  }
  template <class Triangle>
  [[gnu::always_inline]] void add(const Adds& a, int32_t j, Triangle triangle) const {
    add_lane(a, j, triangle, band, buffer, width, height);
  }
  [[gnu::always_inline]] void one(const Caustics_Triangle& t) const {
    plain_triangle(t, band, buffer, width, height);
  }
};

// rasterize_triangle for each triangle of the batch in its turn, eight at a time through the
// rule's lanes. A group's additions are made after the next group's lanes are worked out: by
// then its lanes' results have left the vector stores that wrote them, which loads right behind
// them would wait for.
template <class Rule>
__attribute__((target("avx2"))) void lanes_avx2(const Caustics_Triangle_Batch& batch,
                                                Caustics_Band& band, const Layer<RGB32f>& buffer,
                                                float width, float height, int64_t mode) {
  constexpr int32_t lanes = 8;
  const Rule rule{{band, buffer, width, height, mode, lane_bounds(band, width, height)}};
  const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  const int64_t whole = batch.count - batch.count % lanes;
  typename Rule::Adds pending[2];
  const auto add_group = [&](const typename Rule::Adds& a, int64_t g) {
    for (int32_t j = 0; j < lanes; ++j) {
      const auto triangle = [&] { return batch[g + j]; };
      rule.add(a, j, triangle);
    }
  };
  // The colours' channels of eight triangles, three floats apart.
  static_assert(sizeof(RGB32f) == 3 * sizeof(float));
  const __m256i channel_stride = _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21);
  for (int64_t g = 0; g < whole; g += lanes) {
    const float* colours = batch.k[g].channel;
    const __m256 k[3] = {_mm256_i32gather_ps(colours, channel_stride, 4),
                         _mm256_i32gather_ps(colours + 1, channel_stride, 4),
                         _mm256_i32gather_ps(colours + 2, channel_stride, 4)};
    rule.set_up(_mm256_loadu_ps(batch.x0 + g), _mm256_loadu_ps(batch.y0 + g),
                _mm256_loadu_ps(batch.x1 + g), _mm256_loadu_ps(batch.y1 + g),
                _mm256_loadu_ps(batch.x2 + g), _mm256_loadu_ps(batch.y2 + g), k, all,
                pending[(g / lanes) & 1]);
    if (g > 0) {
      add_group(pending[((g / lanes) - 1) & 1], g - lanes);
    }
  }
  if (whole > 0) {
    add_group(pending[((whole / lanes) - 1) & 1], whole - lanes);
  }
  for (int64_t i = whole; i < batch.count; ++i) {
    rule.one(batch[i]);
  }
}

// The groups' triangles lane by lane through the rule's lanes.
template <class Rule>
__attribute__((target("avx2"))) void lanes_avx2(std::span<const Caustics_Triangle_Lanes> groups,
                                                Caustics_Band& band, const Layer<RGB32f>& buffer,
                                                float width, float height, int64_t mode) {
  constexpr int32_t lanes = Caustics_Triangle_Lanes::lanes;
  const Rule rule{{band, buffer, width, height, mode, lane_bounds(band, width, height)}};
  const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  typename Rule::Adds adds[Caustics_Triangle_Lanes::most_groups];
  const size_t n = groups.size();
  for (size_t g = 0; g < n; ++g) {
    const Caustics_Triangle_Lanes& t = groups[g];
    const __m256 drawn = _mm256_castsi256_ps(_mm256_cmpeq_epi32(
        _mm256_and_si256(_mm256_set1_epi32(static_cast<int32_t>(t.drawn)), bit), bit));
    const __m256 k[3] = {_mm256_loadu_ps(t.k[0]), _mm256_loadu_ps(t.k[1]), _mm256_loadu_ps(t.k[2])};
    rule.set_up(_mm256_loadu_ps(t.x0), _mm256_loadu_ps(t.y0), _mm256_loadu_ps(t.x1),
                _mm256_loadu_ps(t.y1), _mm256_loadu_ps(t.x2), _mm256_loadu_ps(t.y2), k, drawn,
                adds[g]);
  }
  for (int32_t j = 0; j < lanes; ++j) {
    for (size_t g = 0; g < n; ++g) {
      const auto triangle = [&] { return groups[g][j]; };
      rule.add(adds[g], j, triangle);
    }
  }
}

// The triangles (a batch, or groups in lanes) through the driver of their mode's rule; false
// where its lanes do not apply.
template <class Triangles>
__attribute__((target("avx2"))) bool in_lanes(const Triangles& triangles, Caustics_Band& band,
                                              const Layer<RGB32f>& buffer, int64_t mode) {
  const float width = static_cast<float>(band.width);
  const float height = static_cast<float>(band.height);
  if (mode == caustics_antialias_off) {
    lanes_avx2<Plain_Rule>(triangles, band, buffer, width, height, mode);
  } else if (!Antialiased_Rule<2>::fits(band)) {
    return false;
  } else if (mode == caustics_antialias_sharp) {
    lanes_avx2<Antialiased_Rule<2>>(triangles, band, buffer, width, height, mode);
  } else {
    lanes_avx2<Antialiased_Rule<3>>(triangles, band, buffer, width, height, mode);
  }
  return true;
}
#undef BREL_AVX2_LANES
#endif

}  // namespace

BREL_TARGET_CLONES_AVX2 void rasterize_triangles(const Caustics_Triangle_Batch& batch,
                                                 Caustics_Band& band, const Layer<RGB32f>& buffer,
                                                 int64_t mode) {
#if BREL_AVX2_ROWS
  if (cpu_has_avx2() && in_lanes(batch, band, buffer, mode)) {
    return;
  }
#endif
  if (mode == caustics_antialias_off) {
    const float width = static_cast<float>(band.width);
    const float height = static_cast<float>(band.height);
    for (int64_t i = 0; i < batch.count; ++i) {
      plain_triangle(batch[i], band, buffer, width, height);
    }
    return;
  }
  for (int64_t i = 0; i < batch.count; ++i) {
    banded_triangle(batch[i], band, buffer, mode);
  }
}

BREL_TARGET_CLONES_AVX2 void rasterize_triangle_lanes(
    std::span<const Caustics_Triangle_Lanes> groups, Caustics_Band& band,
    const Layer<RGB32f>& buffer, int64_t mode) {
  BREL_ASSERT(groups.size() <= Caustics_Triangle_Lanes::most_groups);
#if BREL_AVX2_ROWS
  if (cpu_has_avx2() && in_lanes(groups, band, buffer, mode)) {
    return;
  }
#endif
  const float width = static_cast<float>(band.width);
  const float height = static_cast<float>(band.height);
  for (int32_t j = 0; j < Caustics_Triangle_Lanes::lanes; ++j) {
    for (const Caustics_Triangle_Lanes& t : groups) {
      if ((t.drawn >> j) & 1) {
        if (mode == caustics_antialias_off) {
          plain_triangle(t[j], band, buffer, width, height);
        } else {
          banded_triangle(t[j], band, buffer, mode);
        }
      }
    }
  }
}

void rasterize_triangles(std::span<const Caustics_Triangle> triangles, Caustics_Band& band,
                         const Layer<RGB32f>& buffer, int64_t mode) {
  Caustics_Triangle_Batch batch;
  for (const Caustics_Triangle& t : triangles) {
    batch.push(t.k, t.x0, t.y0, t.x1, t.y1, t.x2, t.y2);
    if (batch.full()) {
      rasterize_triangles(batch, band, buffer, mode);
      batch.count = 0;
    }
  }
  rasterize_triangles(batch, band, buffer, mode);
}

void rasterize_edge_sharp(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                          const Layer<RGB32f>& buffer) {
  Shared_Buffer target(buffer);
  sharp_edge(xa, ya, xb, yb, sign, k, target);
}

void rasterize_edge_smooth(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                           const Layer<RGB32f>& buffer) {
  Shared_Buffer target(buffer);
  smooth_edge(xa, ya, xb, yb, sign, k, target);
}

void rasterize_triangle_edges(const RGB32f& k, const Layer<RGB32f>& buffer, int64_t mode, float x0,
                              float y0, float x1, float y1, float x2, float y2) {
  Shared_Buffer target(buffer);
  rasterize_triangle(k, target, mode, x0, y0, x1, y1, x2, y2);
}

void rasterize_triangle_edges(const RGB32f& k, Caustics_Band& band, int64_t mode, float x0,
                              float y0, float x1, float y1, float x2, float y2) {
  rasterize_triangle(k, band, mode, x0, y0, x1, y1, x2, y2);
}

}  // namespace brel
