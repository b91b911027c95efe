#include "kernel/caustics_rasterizer.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/exception.h"

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

// Mode 1: one crossing per row at the truncated column, the crossing advanced by the slope
// from row to row; the fractions of the rows are not taken into account.
template <class Target>
void rasterize_edge_plain(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                          Target& buffer) {
  const float width = static_cast<float>(buffer.width);
  const float ta = std::trunc(ya);
  const float first = std::max(ta, 0.0f);
  const float last = std::min(static_cast<float>(buffer.height), std::trunc(yb));
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

}  // namespace

Caustics_Band::Caustics_Band(Layer<RGB32f> scratch, int64_t buffer_width, int64_t buffer_height)
    : width(buffer_width), height(buffer_height), scratch_(scratch) {
  BREL_ASSERT(scratch.height >= rows && scratch.width >= buffer_width);
  lowest_.fill(buffer_width);
  highest_.fill(-1);
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
  for (int64_t i = 0; i < rows; ++i) {
    if (lowest_[i] > highest_[i]) {
      continue;
    }
    RGB32f* from = scratch_.row(i);
    RGB32f* to = buffer.row(first_row_ + i);
    for (int64_t x = lowest_[i]; x <= highest_[i]; ++x) {
      for (int32_t c = 0; c < 3; ++c) {
        float& value = from[x].channel[c];
        // Adding a zero changes no sum (-0 only where the sum was -0 already).
        if (value != 0.0f) {
          std::atomic_ref<float>(to[x].channel[c]).fetch_add(value, std::memory_order_relaxed);
          value = 0.0f;
        }
      }
    }
    lowest_[i] = width;
    highest_[i] = -1;
  }
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
