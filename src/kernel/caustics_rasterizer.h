#pragma once

// The triangle edge rasteriser of the caustics. A triangle is not filled pixel by pixel: for
// every buffer row it covers, +colour is added where the row enters it and -colour where the
// row leaves it, and the caustics fill later turns each row into its running sum. A triangle
// thus costs a few additions per row, and any number of threads can add into one buffer with
// nothing but atomic additions.
//
// Vertices are in buffer pixel coordinates: column c has x = c, row r has y = r, no half-pixel
// offset. Rows and columns are taken by truncation toward zero, so (-1, 0) falls into 0.

#include <atomic>
#include <cstdint>

#include "base/layer.h"
#include "base/pixel.h"

namespace brel {

// Edge coverage of the rasteriser: one truncated crossing per row, exact coverage spread over
// the columns an edge passes in a row, or a wider three-column footprint (any other value).
enum Caustics_Antialias : int64_t {
  caustics_antialias_off = 1,
  caustics_antialias_sharp = 2,
  caustics_antialias_smooth = 3,
};

// Adds v times the colour k to buffer pixel (column, row), each channel by an atomic addition
// of its own. The buffer's other writers may add into the same pixel at the same time.
inline void add_light(const Layer<RGB32f>& buffer, int64_t column, int64_t row, float v,
                      const RGB32f& k) {
  RGB32f& pixel = buffer.row(row)[column];
  for (int32_t c = 0; c < 3; ++c) {
    std::atomic_ref<float>(pixel.channel[c]).fetch_add(v * k.channel[c], std::memory_order_relaxed);
  }
}

// The row differences of the triangle (x0, y0), (x1, y1), (x2, y2). Triangles wholly outside
// the buffer, those without height and those with a coordinate that is not finite add nothing.
void rasterize_triangle_edges(const RGB32f& k, const Layer<RGB32f>& buffer, int64_t mode, float x0,
                              float y0, float x1, float y1, float x2, float y2);

// One edge, from its upper end (xa, ya) to its lower end (xb, yb), cut into row segments whose
// weights are `sign` times their height; mode 2 spreads each segment exactly over the columns
// it passes, mode 3 over a wider footprint.
void rasterize_edge_sharp(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                          const Layer<RGB32f>& buffer);
void rasterize_edge_smooth(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                           const Layer<RGB32f>& buffer);

}  // namespace brel
