#pragma once

// The triangle edge rasteriser of the caustics. A triangle is not filled pixel by pixel: for
// every buffer row it covers, +colour is added where the row enters it and -colour where the
// row leaves it, and the caustics fill later turns each row into its running sum. A triangle
// thus costs a few additions per row, and any number of threads can add into one buffer with
// nothing but atomic additions.
//
// Vertices are in buffer pixel coordinates: column c has x = c, row r has y = r, no half-pixel
// offset. Rows and columns are taken by truncation toward zero, so (-1, 0) falls into 0.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

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

// Locks over aligned groups of `group_rows` rows of one buffer, for workers that add into it
// plainly: a worker holds the lock of every group it adds into. Locks are always taken in
// ascending group order, and nothing else is waited for while one is held, so no two workers
// can wait on each other.
class Caustics_Row_Locks {
 public:
  static constexpr int64_t group_rows = 32;

  explicit Caustics_Row_Locks(int64_t buffer_height);

  // Holds the locks of the groups covering buffer rows [first_row, last_row], both inside the
  // buffer, while it lives.
  class Hold {
   public:
    Hold(Caustics_Row_Locks& locks, int64_t first_row, int64_t last_row);
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold();

   private:
    std::mutex* first_;
    std::mutex* end_;
  };

  std::mutex& of_row(int64_t row) { return locks_[static_cast<size_t>(row / group_rows)]; }

 private:
  std::unique_ptr<std::mutex[]> locks_;
};

// A band of buffer rows that one worker adds into privately, without atomics, and then adds
// into the shared buffer all at once. A locked addition costs several times a plain one even
// uncontended, and workers splatting neighbouring rows fight over the same cache lines; the
// band takes most of a worker's triangles and leaves one atomic addition per touched value.
// The band covers every column of the buffer; only rows [first_row, first_row + rows) differ.
class Caustics_Band {
 public:
  static constexpr int64_t rows = 96;

  // `scratch`: `rows` rows at least as wide as the buffer, of any content; the band zeroes
  // them when it is first placed, so that the worker using it touches them first. A band whose
  // worker is the buffer's `sole_writer` while it is flushed adds into it without atomics.
  Caustics_Band(Layer<RGB32f> scratch, int64_t buffer_width, int64_t buffer_height,
                bool sole_writer = false);
  // A band whose worker shares the buffer with others that take the same `locks`: its flush,
  // and the triangles it does not hold, add plainly under the locks of the rows they touch.
  Caustics_Band(Layer<RGB32f> scratch, int64_t buffer_width, int64_t buffer_height,
                Caustics_Row_Locks& locks);

  // Moves the band, which must be flushed, to start at buffer row `first_row` (may be negative).
  void place(int64_t first_row);
  // Whether a triangle whose vertices' rows lie between `top` and `bottom` (not truncated)
  // adds only into rows of the band. False for anything not finite.
  bool holds(float top, float bottom) const {
    return std::trunc(top) >= static_cast<float>(first_row_) &&
           std::trunc(bottom) < static_cast<float>(first_row_ + rows);
  }
  void add(int64_t column, int64_t row, float v, const RGB32f& k) {
    const int64_t i = row - first_row_;
    RGB32f& pixel = scratch_.row(i)[column];
    for (int32_t c = 0; c < 3; ++c) {
      pixel.channel[c] += v * k.channel[c];
    }
    mark(i, column, column);
  }
  // Notes that row i of the band received additions in columns [lowest, highest].
  void mark(int64_t i, int64_t lowest, int64_t highest) {
    lowest_[i] = std::min(lowest_[i], static_cast<int32_t>(lowest));
    highest_[i] = std::max(highest_[i], static_cast<int32_t>(highest));
  }
  // Adds {v0, v1, v2} into the pixel `offset` bytes from the band's first one when `active`,
  // else nothing, without a branch: whether a triangle's edge crosses a row is a toss-up that a
  // branch would mispredict. The values are the products v * k of add(), worked out
  // beforehand, and the caller marks the pixel's row and column. An inactive addition goes
  // into a pixel of its own that is never read.
  void add_marked_if(bool active, int64_t offset, float v0, float v1, float v2) {
    RGB32f* const inside = advance_bytes(scratch_.pixels, active ? offset : 0);
    RGB32f& pixel = *(active ? inside : discarded_);
    pixel.channel[0] += v0;
    pixel.channel[1] += v1;
    pixel.channel[2] += v2;
  }
  // The floats of the pixels from `offset` bytes past the band's first one when `active`, else
  // those of `discarded_pixels` pixels of the band's own that are never read: the caller adds
  // into up to that many pixels there without a branch, as add_marked_if does into one.
  static constexpr int64_t discarded_pixels = 3;
  float* pixels_if(bool active, int64_t offset) {
    RGB32f* const inside = advance_bytes(scratch_.pixels, active ? offset : 0);
    return (active ? inside : discarded_)->channel;
  }
  int64_t row_bytes() const { return scratch_.row_bytes; }
  int64_t first_row() const { return first_row_; }
  // Adds every value the band has received into `buffer` (atomically unless the band's worker
  // is the sole writer or the band has locks: other workers' bands may overlap it) and zeroes
  // the band again.
  void flush(const Layer<RGB32f>& buffer);
  // The locks of the buffer's rows, if the band was given them.
  Caustics_Row_Locks* locks() const { return locks_; }

  int64_t width;
  int64_t height;

 private:
  Layer<RGB32f> scratch_;
  bool sole_writer_;
  Caustics_Row_Locks* locks_ = nullptr;
  bool zeroed_ = false;
  int64_t first_row_ = 0;
  // Columns received by each row of the band: lowest > highest for a row left untouched. Of a
  // type of their own, which no store into them could share with the band's other members:
  // those stay in registers across the additions.
  std::array<int32_t, rows> lowest_;
  std::array<int32_t, rows> highest_;
  // Takes the inactive additions of add_marked_if and pixels_if.
  RGB32f discarded_[discarded_pixels]{};
};

// The row differences of the triangle (x0, y0), (x1, y1), (x2, y2). Triangles wholly outside
// the buffer, those without height and those with a coordinate that is not finite add nothing.
void rasterize_triangle_edges(const RGB32f& k, const Layer<RGB32f>& buffer, int64_t mode, float x0,
                              float y0, float x1, float y1, float x2, float y2);
// The same differences added into a band that holds the triangle's rows (Caustics_Band::holds).
void rasterize_triangle_edges(const RGB32f& k, Caustics_Band& band, int64_t mode, float x0,
                              float y0, float x1, float y1, float x2, float y2);

// A triangle of the splat and the colour it adds.
struct Caustics_Triangle {
  RGB32f k;
  float x0;
  float y0;
  float x1;
  float y1;
  float x2;
  float y2;
};

// Triangles of the splat gathered for rasterize_triangles, each coordinate in an array of its
// own: vector code loads eight triangles' coordinates with one load each.
struct Caustics_Triangle_Batch {
  static constexpr int64_t capacity = 256;

  bool full() const { return count == capacity; }
  void push(const RGB32f& colour, float x0_, float y0_, float x1_, float y1_, float x2_,
            float y2_) {
    k[count] = colour;
    x0[count] = x0_;
    y0[count] = y0_;
    x1[count] = x1_;
    y1[count] = y1_;
    x2[count] = x2_;
    y2[count] = y2_;
    ++count;
  }
  Caustics_Triangle operator[](int64_t i) const {
    return {k[i], x0[i], y0[i], x1[i], y1[i], x2[i], y2[i]};
  }

  int64_t count = 0;
  RGB32f k[capacity];
  float x0[capacity];
  float y0[capacity];
  float x1[capacity];
  float y1[capacity];
  float x2[capacity];
  float y2[capacity];
};

// The triangles in their order, each into the band when the band holds its rows and else
// into the buffer (plainly under the band's locks, if it has them, else atomically): the additions,
// in their order, of rasterize_triangle_edges into the band or the buffer for each. Built for the
// processor at hand, eight triangles at a time in vector lanes.
void rasterize_triangles(const Caustics_Triangle_Batch& batch, Caustics_Band& band,
                         const Layer<RGB32f>& buffer, int64_t mode);
// The same, for triangles in any number, a batch at a time.
void rasterize_triangles(std::span<const Caustics_Triangle> triangles, Caustics_Band& band,
                         const Layer<RGB32f>& buffer, int64_t mode);

// Triangles of eight neighbouring cells, lane j for cell j, each coordinate and colour channel
// read from an array of its own (eight values from each pointer), so that vector code loads
// them straight from the cells' rows.
struct Caustics_Triangle_Lanes {
  static constexpr int32_t lanes = 8;
  static constexpr size_t most_groups = 4;

  const float* x0;
  const float* y0;
  const float* x1;
  const float* y1;
  const float* x2;
  const float* y2;
  const float* k[3];
  // Bit j set: lane j's triangle is drawn. The other lanes add nothing, whatever their values.
  uint32_t drawn;

  Caustics_Triangle operator[](int32_t j) const {
    return {{{k[0][j], k[1][j], k[2][j]}}, x0[j], y0[j], x1[j], y1[j], x2[j], y2[j]};
  }
};

// The additions in mode `mode` of the drawn triangles lane by lane, the groups' lane 0 in their
// order, then lane 1, and so on (at most `most_groups` groups): each into the band when the band
// holds its rows, else into the buffer, as rasterize_triangles adds them in that order.
void rasterize_triangle_lanes(std::span<const Caustics_Triangle_Lanes> groups, Caustics_Band& band,
                              const Layer<RGB32f>& buffer, int64_t mode);

// One edge, from its upper end (xa, ya) to its lower end (xb, yb), cut into row segments whose
// weights are `sign` times their height; mode 2 spreads each segment exactly over the columns
// it passes, mode 3 over a wider footprint.
void rasterize_edge_sharp(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                          const Layer<RGB32f>& buffer);
void rasterize_edge_smooth(float xa, float ya, float xb, float yb, float sign, const RGB32f& k,
                           const Layer<RGB32f>& buffer);

}  // namespace brel
