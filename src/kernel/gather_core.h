#pragma once

// The one gather core behind every texture lookup over a footprint: box means from a
// summed-area table, and triangles integrated band by band over a level of the mip pyramid and
// its row sums. Its users differ only in what Gather_Rules and Gather_Pixel say: the pixel type
// and how its channels are read and weighted, the edge mode of each axis, and two details of the
// triangle rules. Sums are taken in double and rounded to float once, at the end of a gather.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "base/layer.h"
#include "base/pixel.h"
#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>
#endif

namespace brel::gather {

// How one axis of a box sum continues beyond the layer.
enum class Edge_Mode : int32_t {
  clamp = 0,   // the edge pixel
  mirror = 1,  // reflected with the edge pixel repeated: -1 reads 0, n reads n - 1, period 2n
  wrap = 2,    // periodic, period n
  zero = 3,    // nothing: outside pixels add no colour
  // Reflected piece by piece: below the layer pixel -k reads k (the edge pixel is not repeated);
  // past the far edge the part of a range that starts inside reads 2n - 1 - p, a range lying
  // wholly beyond reads 2n - p; ranges further out are first moved by whole periods of 2n.
  mirror_by_piece = 4,
};

// Floor division and the matching non-negative remainder.
inline int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
inline int64_t floor_mod(int64_t a, int64_t b) {
  return a - floor_div(a, b) * b;
}

// floor_mod(a, n) for n > 0, without a division when a lies within one period of 0 .. n - 1.
__attribute__((always_inline)) inline int64_t floor_mod_near(int64_t a, int64_t n) {
  if (a >= 0 && a < n) {
    return a;
  }
  if (a < 0 && a >= -n) {
    return a + n;
  }
  if (a >= n && a < 2 * n) {
    return a - n;
  }
  return floor_mod(a, n);
}

// Where a single pixel index p outside 0 .. n - 1 is read, or -1 when it adds nothing. Both
// mirrors repeat the edge pixel here, as the box corners and the triangle columns read it.
inline int64_t map_index(Edge_Mode mode, int64_t p, int64_t n) {
  if (p >= 0 && p < n) {
    return p;
  }
  switch (mode) {
    case Edge_Mode::clamp:
      return p < 0 ? 0 : n - 1;
    case Edge_Mode::mirror:
    case Edge_Mode::mirror_by_piece: {
      // A mirror repeats with a period of two widths, the second width reversed.
      const int64_t m = floor_mod_near(p, 2 * n);
      return m < n ? m : 2 * n - 1 - m;
    }
    case Edge_Mode::wrap:
      return floor_mod_near(p, n);
    default:
      return -1;
  }
}

// A range sum along one axis as a short signed sum of table entries: sum over (b, e] of the
// extended source = the sum over the terms of coefficient x table[index]. Index -1 stands for
// the empty prefix and is dropped.
struct Axis_Terms {
  static constexpr int32_t capacity = 16;
  int64_t index[capacity];
  double coefficient[capacity];
  int32_t count = 0;

  // Only the first `count` entries are ever read, so the arrays stay uninitialised: zeroing
  // them would cost more than the terms of a box. Where it inlines this into the box routes,
  // GCC cannot follow the count and warns of the rest.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  void add(int64_t i, double c) {
    if (i < 0 || c == 0.0) {
      return;
    }
    for (int32_t k = 0; k < count; ++k) {
      if (index[k] == i) {
        coefficient[k] += c;
        return;
      }
    }
    index[count] = i;
    coefficient[count] = c;
    ++count;
  }
#pragma GCC diagnostic pop
  // Pixels b + 1 .. e of the layer itself, `times` times.
  void add_inside(int64_t b, int64_t e, double times) {
    if (e > b) {
      add(e, times);
      add(b, -times);
    }
  }
};

namespace detail {

// Pixels s .. t - 1 of one period of the edge-repeating mirror (0 <= s <= t <= 2n).
inline void add_mirror_period(int64_t s, int64_t t, int64_t n, Axis_Terms& terms) {
  terms.add_inside(s - 1, std::min(t, n) - 1, 1.0);
  const int64_t reflected_begin = std::max(s, n);
  if (t > reflected_begin) {
    // Pixel p of the second half reads 2n - 1 - p.
    terms.add_inside(2 * n - t - 1, 2 * n - reflected_begin - 1, 1.0);
  }
}

inline void add_mirror_by_piece(int64_t b, int64_t e, int64_t n, double times, Axis_Terms& terms) {
  const int64_t period = 2 * n;
  while (e > b) {
    if (e < 0) {
      // Wholly before: whole periods nearer, then pixel -k reads k.
      const int64_t shift = period * floor_div(-1 - e, period);
      b += shift;
      e += shift;
      std::tie(b, e) = std::pair(-e - 1, -b - 1);
      continue;
    }
    if (b <= -2) {
      // Starts before: pixels b + 1 .. -1 read 1 .. -b - 1; go on from pixel 0.
      add_mirror_by_piece(0, -b - 1, n, times, terms);
      b = -1;
      continue;
    }
    if (b >= n) {
      // Wholly beyond: whole periods nearer, then pixel p reads 2n - p.
      const int64_t shift = period * (b / period);
      b -= shift;
      e -= shift;
      if (b >= n) {
        std::tie(b, e) = std::pair(period - e - 1, period - b - 1);
      }
      continue;
    }
    if (e >= n) {
      // Ends beyond: two or more periods as whole strips, the rest reads 2n - 1 - p.
      const int64_t periods = (e - n) / period;
      if (periods >= 2) {
        terms.add_inside(-1, n - 1, times * static_cast<double>(2 * periods));
        e -= periods * period;
      }
      add_mirror_by_piece(period - e - 2, n - 1, n, times, terms);
      e = n - 1;
    }
    terms.add_inside(b, e, times);
    return;
  }
}

}  // namespace detail

// Adds the terms of the range (b, e] of an axis of n pixels under `mode` to the empty `terms`,
// by the mode's own rule.
inline void add_axis_terms_by_mode(Edge_Mode mode, int64_t b, int64_t e, int64_t n,
                                   Axis_Terms& terms) {
  if (e <= b) {
    return;
  }
  switch (mode) {
    case Edge_Mode::clamp: {
      terms.add_inside(std::max(b, int64_t{-1}), std::min(e, n - 1), 1.0);
      const int64_t before = std::min(e, int64_t{-1}) - b;
      if (before > 0) {
        terms.add_inside(-1, 0, static_cast<double>(before));
      }
      const int64_t after = e - std::max(b, n - 1);
      if (after > 0) {
        terms.add_inside(n - 2, n - 1, static_cast<double>(after));
      }
      break;
    }
    case Edge_Mode::mirror: {
      const int64_t period = 2 * n;
      const int64_t length = e - b;
      const int64_t start = floor_mod_near(b + 1, period);
      const int64_t periods = length < period ? 0 : length / period;
      terms.add_inside(-1, n - 1, static_cast<double>(2 * periods));
      const int64_t end = start + (length - periods * period);
      detail::add_mirror_period(start, std::min(end, period), n, terms);
      if (end > period) {
        detail::add_mirror_period(0, end - period, n, terms);
      }
      break;
    }
    case Edge_Mode::wrap: {
      const int64_t length = e - b;
      const int64_t start = floor_mod_near(b + 1, n);
      const int64_t periods = length < n ? 0 : length / n;
      terms.add_inside(-1, n - 1, static_cast<double>(periods));
      const int64_t end = start + (length - periods * n);
      terms.add_inside(start - 1, std::min(end, n) - 1, 1.0);
      if (end > n) {
        terms.add_inside(-1, end - n - 1, 1.0);
      }
      break;
    }
    case Edge_Mode::mirror_by_piece:
      detail::add_mirror_by_piece(b, e, n, 1.0, terms);
      break;
    default:
      terms.add_inside(std::max(b, int64_t{-1}), std::min(e, n - 1), 1.0);
      break;
  }
}

inline Axis_Terms axis_terms_by_mode(Edge_Mode mode, int64_t b, int64_t e, int64_t n) {
  Axis_Terms terms;
  add_axis_terms_by_mode(mode, b, e, n, terms);
  return terms;
}

// The terms of the range (b, e] of an axis of n pixels under `mode`. A range inside the layer,
// as most are, is the same two prefixes under every mode; it is taken without the mode's
// divisions.
inline Axis_Terms axis_terms(Edge_Mode mode, int64_t b, int64_t e, int64_t n) {
  Axis_Terms terms;
  if (b >= -1 && b < e && e < n) {
    terms.add_inside(b, e, 1.0);
  } else {
    add_axis_terms_by_mode(mode, b, e, n, terms);
  }
  return terms;
}

// Per-channel sums in double, in the channel order of the pixel type they come from.
template <int32_t N>
struct Sum {
  double channel[N] = {};

  Sum& operator+=(const Sum& other) {
    for (int32_t c = 0; c < N; ++c) {
      channel[c] += other.channel[c];
    }
    return *this;
  }
  Sum& add_scaled(const Sum& other, double factor) {
    for (int32_t c = 0; c < N; ++c) {
      channel[c] += other.channel[c] * factor;
    }
    return *this;
  }
  Sum& scale(double factor) {
    for (int32_t c = 0; c < N; ++c) {
      channel[c] *= factor;
    }
    return *this;
  }
};

// What the core needs of a pixel type P: its double cell for tables and row sums, the float
// pixel of the same channel order that gathers return, how a level pixel is weighted by its
// alpha in a triangle integral, and the factor that brings a raw mean to white 1.
template <class P>
struct Gather_Pixel;

template <class Layout, class Channel, bool has_alpha, int64_t min, int64_t white>
struct Gather_Pixel<Rgb_Core<Layout, Channel, has_alpha, min, white>> {
  using Pixel = Rgb_Core<Layout, Channel, has_alpha, min, white>;
  using Traits = Pixel_Traits<Pixel>;
  using Cell = Rgb_Core<Layout, double, has_alpha, 0, 1>;
  using Result = Rgb_Core<Layout, float, has_alpha, 0, 1>;
  static constexpr int32_t channels = Traits::channel_count;
  using Channel_Sum = Sum<channels>;

  static constexpr float result_factor = white == 32768 ? 3.0517578e-05f
                                         : white == 255 ? 0.0039215689f
                                                        : 1.0f;

  static Channel_Sum load(const Pixel& pixel) {
    Channel_Sum sum;
    for (int32_t c = 0; c < channels; ++c) {
      sum.channel[c] = static_cast<double>(pixel.channel[c]);
    }
    return sum;
  }
  static Channel_Sum load(const Cell& cell) {
    Channel_Sum sum;
    for (int32_t c = 0; c < channels; ++c) {
      sum.channel[c] = cell.channel[c];
    }
    return sum;
  }

  // accumulator += the level pixel with weight v. With alpha the pixel's colour is straight: its
  // alpha weighs v, its colour v x alpha / white, as the row sums hold them.
  static void add(Channel_Sum& accumulator, const Pixel& pixel, double v) {
    if constexpr (has_alpha) {
      const double alpha = static_cast<double>(pixel.channel[Traits::alpha]);
      double t = alpha * v;
      accumulator.channel[Traits::alpha] += t;
      if constexpr (white == 32768) {
        t = t * 3.0517578e-05;
      } else if constexpr (white == 255) {
        t = t / 255.0;
      }
      accumulator.channel[Traits::red] += static_cast<double>(pixel.channel[Traits::red]) * t;
      accumulator.channel[Traits::green] += static_cast<double>(pixel.channel[Traits::green]) * t;
      accumulator.channel[Traits::blue] += static_cast<double>(pixel.channel[Traits::blue]) * t;
    } else {
      for (int32_t c = 0; c < channels; ++c) {
        accumulator.channel[c] += static_cast<double>(pixel.channel[c]) * v;
      }
    }
  }

  // The sum rounded to float once and scaled to white 1.
  static Result result(const Channel_Sum& sum) {
    Result result;
    for (int32_t c = 0; c < channels; ++c) {
      result.channel[c] = static_cast<float>(sum.channel[c]) * result_factor;
    }
    return result;
  }
};

// What the two users of the core do differently, fixed per user at compile time:
//   box_x, box_y        edge modes of the box sums; box corners read the same modes, with
//                        both mirrors repeating the edge pixel
//   columns_wrap        triangle columns and row sums repeat the level (else mirror them)
//   panoramic           unwrap the footprint's x around its reference corner first
//   wide_band_offset_one a right boundary's wide band weighs its columns ramp + 1, not
//                        ramp + |band weight|
//   reciprocal_area     a triangle is normalised by 1 / area rather than divided by it
struct Refraction_Rules {
  static constexpr Edge_Mode box_x = Edge_Mode::mirror_by_piece;
  static constexpr Edge_Mode box_y = Edge_Mode::mirror_by_piece;
  static constexpr bool columns_wrap = false;
  static constexpr bool panoramic = false;
  static constexpr bool wide_band_offset_one = true;
  static constexpr bool reciprocal_area = false;
};

struct Environment_Rules {
  static constexpr Edge_Mode box_x = Edge_Mode::wrap;
  static constexpr Edge_Mode box_y = Edge_Mode::mirror;
  static constexpr bool columns_wrap = true;
  static constexpr bool panoramic = true;
  static constexpr bool wide_band_offset_one = false;
  static constexpr bool reciprocal_area = true;
};

// ---- Box sums -----------------------------------------------------------------------------

// Sum of the source over the ranges whose terms are `columns` and `rows`, read from the
// inclusive summed-area table (cells of the source's channel order): row terms outside, column
// terms inside.
// (Reads only the terms' first `count` entries: see Axis_Terms::add.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
template <class Cell, int32_t N>
void box_sum_of_terms(const Layer<Cell>& table, Sum<N>& sum, const Axis_Terms& columns,
                      const Axis_Terms& rows) {
  sum = Sum<N>{};
  for (int32_t j = 0; j < rows.count; ++j) {
    const Cell* const row = table.row(rows.index[j]);
    for (int32_t i = 0; i < columns.count; ++i) {
      const Cell& cell = row[columns.index[i]];
      const double factor = columns.coefficient[i] * rows.coefficient[j];
      for (int32_t c = 0; c < N; ++c) {
        sum.channel[c] += cell.channel[c] * factor;
      }
    }
  }
}
#pragma GCC diagnostic pop

// Sum of the source over columns (xb, xe] and rows (yb, ye], each axis extended by its mode.
// Returns the range's pixel count, whatever the modes.
template <class Cell, int32_t N>
double box_sum_edge_mode(const Layer<Cell>& table, Sum<N>& sum, Edge_Mode x_mode, Edge_Mode y_mode,
                         int64_t xb, int64_t xe, int64_t yb, int64_t ye) {
  box_sum_of_terms(table, sum, axis_terms(x_mode, xb, xe, table.width),
                   axis_terms(y_mode, yb, ye, table.height));
  return static_cast<double>(xe - xb) * static_cast<double>(ye - yb);
}

// The pixel grid of the box [x0, x1] x [y0, y1]: whole columns ix0 + 1 .. ix1 and rows
// iy0 + 1 .. iy1, and the covered share of the partial column or row on each side.
struct Box_Grid {
  int64_t ix0, ix1, iy0, iy1;
  double wl, wr, wt, wb;
};

inline Box_Grid box_grid(double x0, double x1, double y0, double y1) {
  const double fx0 = std::floor(x0);
  const double fx1 = std::floor(x1);
  const double fy0 = std::floor(y0);
  const double fy1 = std::floor(y1);
  return {static_cast<int64_t>(fx0), static_cast<int64_t>(fx1),
          static_cast<int64_t>(fy0), static_cast<int64_t>(fy1),
          (fx0 - x0) + 1.0,          x1 - fx1,
          (fy0 - y0) + 1.0,          y1 - fy1};
}

// The box mean from the sum of its five ranges and their weight: adds the four corner pixels,
// each read as the edge rule reads a single pixel, and divides by the whole weight unless it is 0.
template <class P, class Rules>
typename Gather_Pixel<P>::Channel_Sum box_mean_with_corners(
    const Layer<P>& source, const Box_Grid& g, typename Gather_Pixel<P>::Channel_Sum accumulator,
    double weight) {
  using G = Gather_Pixel<P>;
  const auto add_corner = [&](int64_t px, int64_t py, double w) {
    const int64_t mx = map_index(Rules::box_x, px, source.width);
    const int64_t my = map_index(Rules::box_y, py, source.height);
    if (mx >= 0 && my >= 0) {
      accumulator.add_scaled(G::load(source.row(my)[mx]), w);
    }
    weight += w;
  };
  add_corner(g.ix0, g.iy0, g.wl * g.wt);
  add_corner(g.ix1 + 1, g.iy0, g.wr * g.wt);
  add_corner(g.ix0, g.iy1 + 1, g.wl * g.wb);
  add_corner(g.ix1 + 1, g.iy1 + 1, g.wr * g.wb);
  if (weight != 0.0) {
    accumulator.scale(1.0 / weight);
  }
  return accumulator;
}

// The box mean from its five ranges (whole pixels, then the partial columns and rows beside
// them) and the four corner pixels. `range_sum(c, r)` sums column range c and row range r, each
// 0 for the whole pixels, 1 and 2 for the partial ones before and after them.
template <class P, class Rules, class Range_Sum>
typename Gather_Pixel<P>::Channel_Sum box_mean_of_ranges(const Layer<P>& source, const Box_Grid& g,
                                                         Range_Sum range_sum) {
  const auto w_columns = static_cast<double>(g.ix1 - g.ix0);
  const auto h_rows = static_cast<double>(g.iy1 - g.iy0);
  typename Gather_Pixel<P>::Channel_Sum accumulator;
  double weight = 0.0;
  const auto add_range = [&](int32_t c, int32_t r, double count, double w) {
    accumulator.add_scaled(range_sum(c, r), w);
    weight += count * w;
  };
  add_range(0, 0, w_columns * h_rows, 1.0);
  add_range(1, 0, 1.0 * h_rows, g.wl);
  add_range(2, 0, 1.0 * h_rows, g.wr);
  add_range(0, 1, w_columns * 1.0, g.wt);
  add_range(0, 2, w_columns * 1.0, g.wb);
  return box_mean_with_corners<P, Rules>(source, g, accumulator, weight);
}

// The box mean by the edge rule, each range from its axes' terms.
template <class P, class Rules>
typename Gather_Pixel<P>::Channel_Sum box_gather_by_terms(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g) {
  const Axis_Terms columns[3] = {axis_terms(Rules::box_x, g.ix0, g.ix1, table.width),
                                 axis_terms(Rules::box_x, g.ix0 - 1, g.ix0, table.width),
                                 axis_terms(Rules::box_x, g.ix1, g.ix1 + 1, table.width)};
  const Axis_Terms rows[3] = {axis_terms(Rules::box_y, g.iy0, g.iy1, table.height),
                              axis_terms(Rules::box_y, g.iy0 - 1, g.iy0, table.height),
                              axis_terms(Rules::box_y, g.iy1, g.iy1 + 1, table.height)};
  return box_mean_of_ranges<P, Rules>(source, g, [&](int32_t c, int32_t r) {
    typename Gather_Pixel<P>::Channel_Sum part;
    box_sum_of_terms(table, part, columns[c], rows[r]);
    return part;
  });
}

// The terms of a range whose coefficients are all 1 or -1: at most three table indices, added,
// subtracted and added in turn.
struct Signed_Terms {
  int64_t index[3] = {};
  int32_t count = 0;

  void add(int64_t i) { index[count++] = i; }
  static bool subtracted(int32_t term) { return term % 2 == 1; }
};

// The terms axis_terms gives the range (b, e] of an axis of n pixels under `mode`, when they are
// signed terms: an empty range, a range inside the axis under every mode, and a wrapping range
// shorter than the axis. False for every other range.
[[gnu::always_inline]] inline bool signed_axis_terms(Edge_Mode mode, int64_t b, int64_t e,
                                                     int64_t n, Signed_Terms& terms) {
  if (e <= b) {
    return true;
  }
  if (b >= -1 && e < n) {
    terms.add(e);
    if (b >= 0) {
      terms.add(b);
    }
    return true;
  }
  if (mode != Edge_Mode::wrap || e - b >= n) {
    return false;
  }
  // No whole period; the part from `start` to the end of the axis, then the part from 0 on.
  const int64_t start = floor_mod_near(b + 1, n);
  const int64_t end = start + (e - b);
  if (end <= n) {
    terms.add(end - 1);
    if (start >= 1) {
      terms.add(start - 1);
    }
  } else {
    terms.add(n - 1);
    terms.add(start - 1);
    terms.add(end - n - 1);
  }
  return true;
}

// The box's three column ranges (whole, left, right) and three row ranges (whole, top, bottom)
// as signed terms over the table, when all six are.
struct Box_Terms {
  Signed_Terms columns[3];
  Signed_Terms rows[3];
};

// The box's three column ranges (whole, left, right) as signed terms, when all three are. Every
// environment box takes them: the calls are inlined here, where the edge mode is known.
template <class Rules>
[[gnu::flatten, gnu::always_inline]] inline bool signed_column_terms(const Box_Grid& g,
                                                                     int64_t width,
                                                                     Signed_Terms (&columns)[3]) {
  return signed_axis_terms(Rules::box_x, g.ix0, g.ix1, width, columns[0]) &&
         signed_axis_terms(Rules::box_x, g.ix0 - 1, g.ix0, width, columns[1]) &&
         signed_axis_terms(Rules::box_x, g.ix1, g.ix1 + 1, width, columns[2]);
}

template <class Rules>
bool signed_box_terms(const Box_Grid& g, int64_t width, int64_t height, Box_Terms& terms) {
  return signed_axis_terms(Rules::box_x, g.ix0, g.ix1, width, terms.columns[0]) &&
         signed_axis_terms(Rules::box_x, g.ix0 - 1, g.ix0, width, terms.columns[1]) &&
         signed_axis_terms(Rules::box_x, g.ix1, g.ix1 + 1, width, terms.columns[2]) &&
         signed_axis_terms(Rules::box_y, g.iy0, g.iy1, height, terms.rows[0]) &&
         signed_axis_terms(Rules::box_y, g.iy0 - 1, g.iy0, height, terms.rows[1]) &&
         signed_axis_terms(Rules::box_y, g.iy1, g.iy1 + 1, height, terms.rows[2]);
}

// The same mean from signed terms, in the same operations as the edge rule: each range sums its
// cells from 0, row terms outside and column terms inside, adding a cell where the two signs
// agree and subtracting it where they differ (as adding it times the coefficients' product of
// 1 or -1 does).
template <class P, class Rules>
typename Gather_Pixel<P>::Channel_Sum box_gather_by_signed_terms(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g,
    const Box_Terms& terms) {
  using G = Gather_Pixel<P>;
  return box_mean_of_ranges<P, Rules>(source, g, [&](int32_t c, int32_t r) {
    const Signed_Terms& columns = terms.columns[c];
    const Signed_Terms& rows = terms.rows[r];
    typename G::Channel_Sum part;
    for (int32_t j = 0; j < rows.count; ++j) {
      const typename G::Cell* const row = table.row(rows.index[j]);
      for (int32_t i = 0; i < columns.count; ++i) {
        const typename G::Cell& cell = row[columns.index[i]];
        if (Signed_Terms::subtracted(i) != Signed_Terms::subtracted(j)) {
          for (int32_t k = 0; k < G::channels; ++k) {
            part.channel[k] = part.channel[k] - cell.channel[k];
          }
        } else {
          for (int32_t k = 0; k < G::channels; ++k) {
            part.channel[k] = part.channel[k] + cell.channel[k];
          }
        }
      }
    }
    return part;
  });
}

#if BREL_AVX2_ROWS

// The same mean with the channels of a sum side by side in the lanes of one AVX2 register: every
// lane runs the scalar loops' operations in their order, so the bits are theirs. The scalar sums
// went through memory between the ranges, where wide loads of narrow stores stalled the box.
// For sums of three or four channels; a three-channel cell or pixel leaves its fourth lane
// unread.
namespace vector_box {

template <int32_t N>
__attribute__((target("avx2"))) inline __m256i lane_mask() {
  static_assert(N == 3 || N == 4);
  return _mm256_set_epi64x(N == 4 ? -1 : 0, -1, -1, -1);
}

template <int32_t N>
__attribute__((target("avx2"))) inline __m256d load_cell(const double* channels) {
  if constexpr (N == 4) {
    return _mm256_loadu_pd(channels);
  } else {
    return _mm256_maskload_pd(channels, lane_mask<N>());
  }
}

// A source pixel's channels as doubles, as Gather_Pixel::load converts them.
template <class P>
__attribute__((target("avx2"))) inline __m256d load_pixel(const P& pixel) {
  using Channel = std::remove_cv_t<std::remove_reference_t<decltype(pixel.channel[0])>>;
  constexpr int32_t n = Gather_Pixel<P>::channels;
  if constexpr (std::is_same_v<Channel, float>) {
    if constexpr (n == 4) {
      return _mm256_cvtps_pd(_mm_loadu_ps(pixel.channel));
    } else {
      return _mm256_cvtps_pd(_mm_maskload_ps(pixel.channel, _mm_set_epi32(0, -1, -1, -1)));
    }
  } else if constexpr (std::is_same_v<Channel, uint16_t> && n == 4) {
    uint64_t word;
    std::memcpy(&word, pixel.channel, sizeof(word));
    return _mm256_cvtepi32_pd(_mm_cvtepu16_epi32(_mm_cvtsi64_si128(static_cast<int64_t>(word))));
  } else {
    static_assert(std::is_same_v<Channel, uint8_t> && n == 4);
    uint32_t word;
    std::memcpy(&word, pixel.channel, sizeof(word));
    return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int32_t>(word))));
  }
}

// The lanes into a sum's channels, all in one store where they fill the register: the caller
// reads them back soon, and narrow stores read by wider loads would stall it.
template <int32_t N>
__attribute__((target("avx2"))) inline void store_sum(Sum<N>& sum, __m256d lanes) {
  if constexpr (N == 4) {
    _mm256_storeu_pd(sum.channel, lanes);
  } else {
    static_assert(N == 3);
    _mm_storeu_pd(sum.channel, _mm256_castpd256_pd128(lanes));
    _mm_store_sd(sum.channel + 2, _mm256_extractf128_pd(lanes, 1));
  }
}

// The weighted sum divided by its weight (left as it is for a weight of 0).
__attribute__((target("avx2"))) inline __m256d mean_lanes(__m256d accumulator, double weight) {
  if (weight != 0.0) {
    accumulator = _mm256_mul_pd(accumulator, _mm256_set1_pd(1.0 / weight));
  }
  return accumulator;
}

// The same as a pixel's sum.
template <class P>
__attribute__((target("avx2"))) inline typename Gather_Pixel<P>::Channel_Sum mean_of(
    __m256d accumulator, double weight) {
  typename Gather_Pixel<P>::Channel_Sum sum;
  store_sum(sum, mean_lanes(accumulator, weight));
  return sum;
}

// A range's sum from 0: row terms outside, column terms inside, as box_gather_by_signed_terms.
template <int32_t N, class Cell>
__attribute__((target("avx2"))) inline __m256d range_sum(const Layer<Cell>& table,
                                                         const Signed_Terms& columns,
                                                         const Signed_Terms& rows) {
  __m256d part = _mm256_setzero_pd();
  for (int32_t j = 0; j < rows.count; ++j) {
    const Cell* const row = table.row(rows.index[j]);
    for (int32_t i = 0; i < columns.count; ++i) {
      const __m256d cell = load_cell<N>(row[columns.index[i]].channel);
      part = Signed_Terms::subtracted(i) != Signed_Terms::subtracted(j) ? _mm256_sub_pd(part, cell)
                                                                        : _mm256_add_pd(part, cell);
    }
  }
  return part;
}

}  // namespace vector_box

// box_gather_by_signed_terms (the ranges, then box_mean_with_corners) in AVX2.
template <class P, class Rules>
__attribute__((target("avx2"))) typename Gather_Pixel<P>::Channel_Sum
box_gather_by_signed_terms_avx2(const Layer<P>& source,
                                const Layer<typename Gather_Pixel<P>::Cell>& table,
                                const Box_Grid& g, const Box_Terms& terms) {
  constexpr int32_t n = Gather_Pixel<P>::channels;
  const auto w_columns = static_cast<double>(g.ix1 - g.ix0);
  const auto h_rows = static_cast<double>(g.iy1 - g.iy0);
  __m256d accumulator = _mm256_setzero_pd();
  double weight = 0.0;
  const struct {
    int32_t c, r;
    double count, w;
  } ranges[5] = {{0, 0, w_columns * h_rows, 1.0},
                 {1, 0, 1.0 * h_rows, g.wl},
                 {2, 0, 1.0 * h_rows, g.wr},
                 {0, 1, w_columns * 1.0, g.wt},
                 {0, 2, w_columns * 1.0, g.wb}};
  for (const auto& range : ranges) {
    const __m256d part =
        vector_box::range_sum<n>(table, terms.columns[range.c], terms.rows[range.r]);
    accumulator = _mm256_add_pd(accumulator, _mm256_mul_pd(part, _mm256_set1_pd(range.w)));
    weight += range.count * range.w;
  }
  const struct {
    int64_t px, py;
    double w;
  } corners[4] = {{g.ix0, g.iy0, g.wl * g.wt},
                  {g.ix1 + 1, g.iy0, g.wr * g.wt},
                  {g.ix0, g.iy1 + 1, g.wl * g.wb},
                  {g.ix1 + 1, g.iy1 + 1, g.wr * g.wb}};
  for (const auto& corner : corners) {
    const int64_t mx = map_index(Rules::box_x, corner.px, source.width);
    const int64_t my = map_index(Rules::box_y, corner.py, source.height);
    if (mx >= 0 && my >= 0) {
      const __m256d pixel = vector_box::load_pixel(source.row(my)[mx]);
      accumulator = _mm256_add_pd(accumulator, _mm256_mul_pd(pixel, _mm256_set1_pd(corner.w)));
    }
    weight += corner.w;
  }
  return vector_box::mean_of<P>(accumulator, weight);
}

namespace vector_box {

// The range over columns (c0, c1] and rows (r0, r1] of a box inside the layer, from the rows and
// columns it reads: from 0, the row terms r1 then r0 outside, the column terms c1 then c0 inside,
// subtracting where exactly one of the two is a range's lower end.
template <int32_t N, class Cell>
__attribute__((target("avx2"))) inline __m256d inside_range(const Cell* const* rows,
                                                            const int64_t* columns, int32_t c0,
                                                            int32_t c1, int32_t r0, int32_t r1) {
  __m256d part = _mm256_setzero_pd();
  part = _mm256_add_pd(part, load_cell<N>(rows[r1][columns[c1]].channel));
  part = _mm256_sub_pd(part, load_cell<N>(rows[r1][columns[c0]].channel));
  part = _mm256_sub_pd(part, load_cell<N>(rows[r0][columns[c1]].channel));
  return _mm256_add_pd(part, load_cell<N>(rows[r0][columns[c0]].channel));
}

// accumulator += value x w; weight += count x w.
__attribute__((target("avx2"), always_inline)) inline void add_weighted(__m256d& accumulator,
                                                                        double& weight,
                                                                        __m256d value, double count,
                                                                        double w) {
  accumulator = _mm256_add_pd(accumulator, _mm256_mul_pd(value, _mm256_set1_pd(w)));
  weight += count * w;
}

// A box's five ranges, added in the order every route adds them for its bits: the whole pixels
// (w x h of them), the partial columns left and right (h each), the partial rows above and below
// (w each).
__attribute__((target("avx2"), always_inline)) inline void add_ranges(
    __m256d& accumulator, double& weight, const Box_Grid& g, double w, double h, __m256d whole,
    __m256d left, __m256d right, __m256d above, __m256d below) {
  add_weighted(accumulator, weight, whole, w * h, 1.0);
  add_weighted(accumulator, weight, left, 1.0 * h, g.wl);
  add_weighted(accumulator, weight, right, 1.0 * h, g.wr);
  add_weighted(accumulator, weight, above, w * 1.0, g.wt);
  add_weighted(accumulator, weight, below, w * 1.0, g.wb);
}

}  // namespace vector_box

namespace vector_box {

// The mean box_gather_inside_avx2 gives, in the lanes of a register.
template <class P>
__attribute__((target("avx2"))) inline __m256d inside_box_mean(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g) {
  constexpr int32_t n = Gather_Pixel<P>::channels;
  using Cell = typename Gather_Pixel<P>::Cell;
  // Rows iy0 - 1, iy0, iy1 and iy1 + 1 of the table; columns likewise.
  const Cell* const rows[4] = {table.row(g.iy0 - 1), table.row(g.iy0), table.row(g.iy1),
                               table.row(g.iy1 + 1)};
  const int64_t columns[4] = {g.ix0 - 1, g.ix0, g.ix1, g.ix1 + 1};
  const auto w_columns = static_cast<double>(g.ix1 - g.ix0);
  const auto h_rows = static_cast<double>(g.iy1 - g.iy0);
  __m256d accumulator = _mm256_setzero_pd();
  double weight = 0.0;
  // Whole pixels, the partial columns left and right, the partial rows above and below.
  add_ranges(accumulator, weight, g, w_columns, h_rows, inside_range<n>(rows, columns, 1, 2, 1, 2),
             inside_range<n>(rows, columns, 0, 1, 1, 2), inside_range<n>(rows, columns, 2, 3, 1, 2),
             inside_range<n>(rows, columns, 1, 2, 0, 1),
             inside_range<n>(rows, columns, 1, 2, 2, 3));
  // The corner pixels, each weighing its share alone.
  const P* const top = source.row(g.iy0);
  const P* const bottom = source.row(g.iy1 + 1);
  add_weighted(accumulator, weight, load_pixel(top[g.ix0]), 1.0, g.wl * g.wt);
  add_weighted(accumulator, weight, load_pixel(top[g.ix1 + 1]), 1.0, g.wr * g.wt);
  add_weighted(accumulator, weight, load_pixel(bottom[g.ix0]), 1.0, g.wl * g.wb);
  add_weighted(accumulator, weight, load_pixel(bottom[g.ix1 + 1]), 1.0, g.wr * g.wb);
  return mean_lanes(accumulator, weight);
}

}  // namespace vector_box

// box_gather_by_signed_terms_avx2 for a box inside the layer (box_inside): every range has its
// two terms and every corner its own pixel, so the cells are read at fixed places, without the
// terms' set-up and the loops over their counts. Same operations in the same order: same bits.
template <class P, class Rules>
__attribute__((target("avx2"))) typename Gather_Pixel<P>::Channel_Sum box_gather_inside_avx2(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g) {
  typename Gather_Pixel<P>::Channel_Sum sum;
  vector_box::store_sum(sum, vector_box::inside_box_mean<P>(source, table, g));
  return sum;
}

namespace vector_box {

// The range over the columns of `columns` and rows (r0, r1] of a box whose rows lie inside the
// layer, as inside_range reads it: row r1 added, row r0 subtracted, each over the column terms.
// A `known_count` above 0 is the terms' count, known where the caller is compiled: the loops
// then run without branches.
template <int32_t N, int32_t known_count = 0, class Cell>
__attribute__((target("avx2"), always_inline)) inline __m256d rows_inside_range(
    const Cell* const* rows, const Signed_Terms& columns, int32_t r0, int32_t r1) {
  const int32_t count = known_count > 0 ? known_count : columns.count;
  __m256d part = _mm256_setzero_pd();
  for (int32_t i = 0; i < count; ++i) {
    const __m256d cell = load_cell<N>(rows[r1][columns.index[i]].channel);
    part = Signed_Terms::subtracted(i) ? _mm256_sub_pd(part, cell) : _mm256_add_pd(part, cell);
  }
  for (int32_t i = 0; i < count; ++i) {
    const __m256d cell = load_cell<N>(rows[r0][columns.index[i]].channel);
    part = Signed_Terms::subtracted(i) ? _mm256_add_pd(part, cell) : _mm256_sub_pd(part, cell);
  }
  return part;
}

// The corner pixel of column px of a row inside the layer, read as the edge rule reads a single
// pixel: accumulator += it x w unless the rule reads nothing there; weight += w.
template <class Rules, class P>
__attribute__((target("avx2"), always_inline)) inline void add_corner(__m256d& accumulator,
                                                                      double& weight, const P* row,
                                                                      int64_t px, int64_t width,
                                                                      double w) {
  const int64_t mx = map_index(Rules::box_x, px, width);
  if (mx >= 0) {
    accumulator = _mm256_add_pd(accumulator, _mm256_mul_pd(load_pixel(row[mx]), _mm256_set1_pd(w)));
  }
  weight += w;
}

}  // namespace vector_box

namespace vector_box {

// The mean box_gather_rows_inside_avx2 gives, in the lanes of a register. Counts above 0 are
// those of the three column ranges' terms (see rows_inside_range).
template <class P, class Rules, int32_t whole_count = 0, int32_t side_count = 0>
__attribute__((target("avx2"))) inline __m256d rows_inside_box_mean(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g,
    const Signed_Terms (&columns)[3]) {
  constexpr int32_t n = Gather_Pixel<P>::channels;
  using Cell = typename Gather_Pixel<P>::Cell;
  const Cell* const rows[4] = {table.row(g.iy0 - 1), table.row(g.iy0), table.row(g.iy1),
                               table.row(g.iy1 + 1)};
  const auto w_columns = static_cast<double>(g.ix1 - g.ix0);
  const auto h_rows = static_cast<double>(g.iy1 - g.iy0);
  __m256d accumulator = _mm256_setzero_pd();
  double weight = 0.0;
  add_ranges(accumulator, weight, g, w_columns, h_rows,
             rows_inside_range<n, whole_count>(rows, columns[0], 1, 2),
             rows_inside_range<n, side_count>(rows, columns[1], 1, 2),
             rows_inside_range<n, side_count>(rows, columns[2], 1, 2),
             rows_inside_range<n, whole_count>(rows, columns[0], 0, 1),
             rows_inside_range<n, whole_count>(rows, columns[0], 2, 3));
  const P* const top = source.row(g.iy0);
  const P* const bottom = source.row(g.iy1 + 1);
  add_corner<Rules>(accumulator, weight, top, g.ix0, source.width, g.wl * g.wt);
  add_corner<Rules>(accumulator, weight, top, g.ix1 + 1, source.width, g.wr * g.wt);
  add_corner<Rules>(accumulator, weight, bottom, g.ix0, source.width, g.wl * g.wb);
  add_corner<Rules>(accumulator, weight, bottom, g.ix1 + 1, source.width, g.wr * g.wb);
  return mean_lanes(accumulator, weight);
}

}  // namespace vector_box

// box_gather_by_signed_terms_avx2 for a box whose rows lie inside the layer (rows_inside) and
// whose three column ranges (whole, left, right) have the signed terms `columns`: the rows are
// read at fixed places, the columns from their terms. Environment boxes across the panorama's
// seam take it. Same operations in the same order: same bits.
template <class P, class Rules>
__attribute__((target("avx2"))) typename Gather_Pixel<P>::Channel_Sum box_gather_rows_inside_avx2(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g,
    const Signed_Terms (&columns)[3]) {
  typename Gather_Pixel<P>::Channel_Sum sum;
  vector_box::store_sum(sum, vector_box::rows_inside_box_mean<P, Rules>(source, table, g, columns));
  return sum;
}

namespace vector_box {

// The mean box_gather_pixels_avx2 gives, in the lanes of a register.
template <class P, class Rules>
__attribute__((target("avx2"), always_inline)) inline __m256d pixels_box_mean(
    const Layer<P>& source, const Box_Grid& g) {
  // Columns ix0, ix1 = ix0 + 1 and ix1 + 1, rows likewise, where the edge rules read them.
  const int64_t x[3] = {map_index(Rules::box_x, g.ix0, source.width),
                        map_index(Rules::box_x, g.ix1, source.width),
                        map_index(Rules::box_x, g.ix1 + 1, source.width)};
  const P* const rows[3] = {source.row(map_index(Rules::box_y, g.iy0, source.height)),
                            source.row(map_index(Rules::box_y, g.iy1, source.height)),
                            source.row(map_index(Rules::box_y, g.iy1 + 1, source.height))};
  __m256d accumulator = _mm256_setzero_pd();
  double weight = 0.0;
  // The ranges as box_mean_of_ranges takes them, with their counts of 1 x 1, then the corners.
  add_ranges(accumulator, weight, g, 1.0, 1.0, load_pixel(rows[1][x[1]]), load_pixel(rows[1][x[0]]),
             load_pixel(rows[1][x[2]]), load_pixel(rows[0][x[1]]), load_pixel(rows[2][x[1]]));
  add_weighted(accumulator, weight, load_pixel(rows[0][x[0]]), 1.0, g.wl * g.wt);
  add_weighted(accumulator, weight, load_pixel(rows[0][x[2]]), 1.0, g.wr * g.wt);
  add_weighted(accumulator, weight, load_pixel(rows[2][x[0]]), 1.0, g.wl * g.wb);
  add_weighted(accumulator, weight, load_pixel(rows[2][x[2]]), 1.0, g.wr * g.wb);
  return mean_lanes(accumulator, weight);
}

}  // namespace vector_box

// box_gather_by_terms for a box of one whole column and one whole row (one_pixel_ranges) over
// the integer source its table sums exactly (exact_sum_table): each of the five ranges is then
// one pixel of the source as the edge rules continue it, the whole number the table's terms
// give, so the nine pixels around the box are read instead of twenty cells.
template <class P, class Rules>
__attribute__((target("avx2"))) typename Gather_Pixel<P>::Channel_Sum box_gather_pixels_avx2(
    const Layer<P>& source, const Box_Grid& g) {
  typename Gather_Pixel<P>::Channel_Sum sum;
  vector_box::store_sum(sum, vector_box::pixels_box_mean<P, Rules>(source, g));
  return sum;
}

#endif

// Whether the summed-area table of `source` holds every sum exactly: integer channels, and the
// whole layer's sum below 2^53, where every double is a whole number.
template <class P>
bool exact_sum_table(const Layer<P>& source) {
  using Channel = std::remove_cv_t<std::remove_reference_t<decltype(source.pixels->channel[0])>>;
  if constexpr (std::is_integral_v<Channel>) {
    const auto most = static_cast<double>(std::numeric_limits<Channel>::max());
    return static_cast<double>(source.width) * static_cast<double>(source.height) * most <
           9007199254740992.0;
  } else {
    return false;
  }
}

// Whether the box has one whole column and one whole row, each range a single pixel, under edge
// rules that read a single pixel beyond the layer where its corners read it.
template <class Rules>
bool one_pixel_ranges(const Box_Grid& g) {
  constexpr auto per_pixel = [](Edge_Mode mode) {
    return mode == Edge_Mode::clamp || mode == Edge_Mode::mirror || mode == Edge_Mode::wrap;
  };
  return per_pixel(Rules::box_x) && per_pixel(Rules::box_y) && g.ix1 - g.ix0 == 1 &&
         g.iy1 - g.iy0 == 1;
}

// Whether the box's rows lie inside the layer, one pixel or more from its top and bottom: at
// least one whole row, each row range two table terms, each corner on a row of its own.
inline bool rows_inside(const Box_Grid& g, int64_t height) {
  return g.iy0 >= 1 && g.iy0 < g.iy1 && g.iy1 <= height - 2;
}

// Whether the box's ranges and corners all lie inside the layer, one pixel or more from its
// edges: at least one whole column and row, each range two table terms, each corner a pixel of
// its own. Most boxes are; their ranges and corners read the same cells under every edge rule.
inline bool box_inside(const Box_Grid& g, int64_t width, int64_t height) {
  return g.ix0 >= 1 && g.ix0 < g.ix1 && g.ix1 <= width - 2 && rows_inside(g, height);
}

// box_gather_by_signed_terms, in AVX2 where the processor has it and the pixel's sums fit one
// register.
template <class P, class Rules>
typename Gather_Pixel<P>::Channel_Sum box_gather_by_signed_terms_fast(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g,
    const Box_Terms& terms) {
#if BREL_AVX2_ROWS
  if constexpr (Gather_Pixel<P>::channels == 3 || Gather_Pixel<P>::channels == 4) {
    if (cpu_has_avx2()) {
      return box_gather_by_signed_terms_avx2<P, Rules>(source, table, g, terms);
    }
  }
#endif
  return box_gather_by_signed_terms<P, Rules>(source, table, g, terms);
}

// Mean of the source over the box [x0, x1] x [y0, y1] of grid g (box_grid): pixel p weighs the
// length of [x0, x1 + 1) within [p, p + 1), times the same in y. In raw channel units; zero total
// weight leaves the sum undivided. Boxes inside the layer, and in a wrapping axis boxes across its
// ends, as most are, read their cells straight from signed terms. `exact_table`: the table is the
// source's own and exact (exact_sum_table), so single-pixel ranges may read the source.
template <class P, class Rules>
typename Gather_Pixel<P>::Channel_Sum box_gather_of_grid(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g,
    [[maybe_unused]] bool exact_table) {
#if BREL_AVX2_ROWS
  if constexpr (Gather_Pixel<P>::channels == 3 || Gather_Pixel<P>::channels == 4) {
    if (exact_table && one_pixel_ranges<Rules>(g) && cpu_has_avx2()) {
      return box_gather_pixels_avx2<P, Rules>(source, g);
    }
    if (box_inside(g, table.width, table.height) && cpu_has_avx2()) {
      return box_gather_inside_avx2<P, Rules>(source, table, g);
    }
    if constexpr (Rules::box_x == Edge_Mode::wrap) {
      Signed_Terms columns[3];
      if (rows_inside(g, table.height) && signed_column_terms<Rules>(g, table.width, columns) &&
          cpu_has_avx2()) {
        return box_gather_rows_inside_avx2<P, Rules>(source, table, g, columns);
      }
    }
  }
#endif
  Box_Terms terms;
  if (signed_box_terms<Rules>(g, table.width, table.height, terms)) {
    return box_gather_by_signed_terms_fast<P, Rules>(source, table, g, terms);
  }
  return box_gather_by_terms<P, Rules>(source, table, g);
}

// box_gather_of_grid of the box's grid (box_grid).
template <class P, class Rules>
typename Gather_Pixel<P>::Channel_Sum box_gather(const Layer<P>& source,
                                                 const Layer<typename Gather_Pixel<P>::Cell>& table,
                                                 double x0, double x1, double y0, double y1,
                                                 bool exact_table = false) {
  return box_gather_of_grid<P, Rules>(source, table, box_grid(x0, x1, y0, y1), exact_table);
}

// ---- Triangles over one level of the pyramid ------------------------------------------------

// One level of the pyramid as the band rules read it: the level's pixels and their row sums. The
// plain rule of every read; the AVX2 reader below gives its bits.
template <class P, class Rules>
struct Level_Reader {
  using G = Gather_Pixel<P>;
  using Cell = typename G::Cell;
  using Channel_Sum = typename G::Channel_Sum;
  using Accumulator = Channel_Sum;

  const Layer<P>& level;
  const Layer<Cell>& row_sums;
  const P* pixels = nullptr;   // the band's row
  const Cell* sums = nullptr;  // its row sums

  // Band row j, reflected at the top and bottom without repeating the edge row.
  void select_row(int64_t j) {
    const int64_t h = level.height;
    const int64_t r = (j < 0 ? -j : j) % h;
    const int64_t row = (j / h) % 2 != 0 ? h - 1 - r : r;
    pixels = level.row(row);
    sums = row_sums.row(row);
  }

  void add(Channel_Sum& accumulator, int64_t column, double v) const {
    const int64_t w = level.width;
    const int64_t c =
        Rules::columns_wrap ? floor_mod(column, w) : map_index(Edge_Mode::mirror, column, w);
    G::add(accumulator, pixels[c], v);
  }

  // accumulator -= v x (the sum of the row's pixels 0 .. n - 1, the row continued beyond its
  // ends as the columns are).
  void subtract_prefix(Channel_Sum& accumulator, int64_t n, double v) const {
    const int64_t w = level.width;
    const Channel_Sum total = G::load(sums[w - 1]);
    double periods;
    Channel_Sum partial;
    if (Rules::columns_wrap) {
      const int64_t q = floor_div(n, w);
      const int64_t m = n - q * w;
      periods = static_cast<double>(q);
      if (m > 0) {
        partial = G::load(sums[m - 1]);
      }
    } else {
      const int64_t q = floor_div(n, 2 * w);
      const int64_t m = n - q * 2 * w;
      periods = 2.0 * static_cast<double>(q);
      if (m <= w) {
        if (m > 0) {
          partial = G::load(sums[m - 1]);
        }
      } else {
        // The reflected half: the row once, then its pixels 2w - m .. w - 1.
        partial.add_scaled(total, 2.0);
        if (2 * w - m - 1 >= 0) {
          partial.add_scaled(G::load(sums[2 * w - m - 1]), -1.0);
        }
      }
    }
    partial.add_scaled(total, periods);
    accumulator.add_scaled(partial, -v);
  }

  static const Channel_Sum& sum_of(const Channel_Sum& accumulator) { return accumulator; }
};

// Where one band [ys, ye] of an edge from (x0, y0) with slope k, clamped to the edge's x range
// [xmin, xmax] and weighing v, reads its row: a narrow band reads column `column` (and in the
// smooth rule column - 1 before it) at its weights; a wide band reads columns `column` .. end - 1
// along the ramp from t by step, raised by offset where v is not positive. Either then takes away
// v x the row's first n pixels. Mode 3 uses the sharp rule, modes 4 and above the smooth one.
struct Band_Reads {
  int64_t row;
  bool narrow;
  int64_t column;
  int64_t end;
  double left_weight;   // the smooth rule's column - 1
  double right_weight;  // column
  double t, step, offset;
  int64_t n;
  double weight;  // a narrow band's weight; a wide band's adds its ramp's sum
};

template <class Rules, bool smooth>
inline Band_Reads band_reads(double k, double x0, double y0, double ys, double ye, double xmin,
                             double xmax, double v) {
  constexpr double reach = smooth ? 0.5 : 0.0;
  const double xs = (ys - reach - y0) * k + x0;
  const double xe = (ye + reach - y0) * k + x0;
  const double lo = std::max(xmin, std::min(xs, xe));
  const double hi = std::min(xmax, std::max(xs, xe));
  Band_Reads b{};
  b.row = static_cast<int64_t>(std::floor(ys));
  b.narrow = hi - lo <= (smooth ? 2.0 : 1.0);
  if (b.narrow) {
    if constexpr (smooth) {
      const double m = ((ys + ye) * 0.5 - y0) * k + (x0 + static_cast<double>(0.33333334f));
      const double fm = std::floor(m);
      const auto c = static_cast<int64_t>(fm);
      const double f = (m - fm) * 0.5;
      const double third2 = static_cast<double>(0.6666667f);
      const double al = (0.5 - f) * third2;
      const double ar = (1.0 - f) * third2;
      const double vl = v > 0.0 ? v * al : (1.0 - al) * -v;
      const double vr = v > 0.0 ? (al + ar) * v : (1.0 - (al + ar)) * -v;
      b.column = c;
      b.left_weight = vl;
      b.right_weight = vr;
      b.n = v >= 0.0 ? c + 1 : c;
      b.weight = vl + vr - static_cast<double>(b.n) * v;
    } else {
      const double m = ((ys + ye) * 0.5 - y0) * k + (x0 - 0.5);
      const double fm = std::floor(m);
      const auto c = static_cast<int64_t>(fm);
      const double f = m - fm;
      const double g = v > 0.0 ? (1.0 - f) * v : f * -v;
      b.column = c;
      b.right_weight = g;
      b.n = c + 1;
      b.weight = g - static_cast<double>(b.n) * v;
    }
    return b;
  }
  const double flo = std::floor(lo);
  b.column = static_cast<int64_t>(flo);
  b.end = static_cast<int64_t>(std::floor(hi));
  b.step = v / (hi - lo);
  b.offset = Rules::wide_band_offset_one ? 1.0 : std::fabs(v);
  b.t = (flo + 1.0 - lo) * b.step;
  b.n = v < 0.0 ? b.column + 1 : b.end;
  return b;
}

// One band of an edge (band_reads) read through `reader` into the accumulator; returns the
// band's weight.
template <class P, class Rules, bool smooth, class Reader>
double scanline_span_integral(double k, double x0, double y0, double ys, double ye, double xmin,
                              double xmax, double v, typename Reader::Accumulator& acc,
                              Reader& reader) {
  const Band_Reads b = band_reads<Rules, smooth>(k, x0, y0, ys, ye, xmin, xmax, v);
  reader.select_row(b.row);
  if (b.narrow) {
    if constexpr (smooth) {
      reader.add(acc, b.column - 1, b.left_weight);
    }
    reader.add(acc, b.column, b.right_weight);
    reader.subtract_prefix(acc, b.n, v);
    return b.weight;
  }
  // Columns column .. end - 1 along the ramp.
  double t = b.t;
  double sum = 0.0;
  for (int64_t c = b.column; c < b.end; ++c) {
    const double weight = v > 0.0 ? t : t + b.offset;
    reader.add(acc, c, weight);
    sum += weight;
    t += b.step;
  }
  reader.subtract_prefix(acc, b.n, v);
  return sum - static_cast<double>(b.n) * v;
}

// The edge from (x0, y0) down to (x1, y1) with sign sigma, cut into bands at whole rows.
template <class P, class Rules, bool smooth, class Reader>
double triangle_edge_integral(double x0, double y0, double x1, double y1, double sigma,
                              typename Reader::Accumulator& acc, Reader& reader) {
  if (y0 == y1) {
    return 0.0;
  }
  const double xmin = std::min(x0, x1);
  const double xmax = std::max(x0, x1);
  const double k = (x1 - x0) / (y1 - y0);
  const double f0 = std::floor(y0);
  const double f1 = std::floor(y1);
  const auto band = [&](double ys, double ye, double v) {
    return scanline_span_integral<P, Rules, smooth>(k, x0, y0, ys, ye, xmin, xmax, v, acc, reader);
  };
  if (f0 == f1) {
    return band(y0, y1, (y1 - y0) * sigma);
  }
  double weight = 0.0;
  const auto j0 = static_cast<int64_t>(f0);
  const auto j1 = static_cast<int64_t>(f1);
  for (int64_t j = j0 + 1; j < j1; ++j) {
    const auto row = static_cast<double>(j);
    weight += band(row, row + 1.0, sigma);
  }
  weight += band(y0, f0 + 1.0, sigma * (f0 + (1.0 - y0)));
  // An edge ending exactly on a whole row leaves a last band of no height. It covers nothing,
  // but the smooth rule's wide case would still weigh every column it crosses by 1.
  if (y1 != f1) {
    weight += band(f1, y1, sigma * (y1 - f1));
  }
  return weight;
}

// Footprint coordinates at or beyond 2^31 pixels (and those that are not numbers) gather
// nothing: their integer parts would leave the range the sums are made for.
inline constexpr double coordinate_limit = 2147483648.0;
// A triangle still larger than this many pixels of the last level it can be read from is
// thousands of layers across; it gathers nothing rather than walking that many bands.
inline constexpr double triangle_extent_limit = 65536.0;

struct Point {
  double x;
  double y;
};

// Largest extent, in level-0 pixels, that a triangle may have on the finest level where it
// spans at most 24 x 24 and 144 square pixels.
inline constexpr double triangle_side_limit = 24.0;
inline constexpr double triangle_area_limit = 144.0;

// The level a triangle of extent w x h is integrated at: the finest one where it spans at most
// 24 pixels each way and 144 square pixels, but not past the last level.
inline int64_t triangle_level(double w, double h, int64_t level_count) {
  const auto fits = [](double w, double h) {
    return w <= triangle_side_limit && h <= triangle_side_limit && w * h <= triangle_area_limit;
  };
  int64_t level = 0;
  if (level_count >= 2 && !fits(w, h)) {
    do {
      ++level;
      w *= 0.5;
      h *= 0.5;
    } while (!fits(w, h) && level < level_count - 1);
  }
  return level;
}

// The alpha-weighted mean of the level pyramid over the triangle (p0, p1, p2), in level-0
// coordinates; zero for a triangle of zero height, undivided when its weight is not positive.
// The level is read through a Reader: Level_Reader, or the AVX2 one that gives its bits.
template <class P, class Rules, bool smooth, class Reader = Level_Reader<P, Rules>>
typename Gather_Pixel<P>::Channel_Sum triangle_gather(
    const Layer<P>* levels, const Layer<typename Gather_Pixel<P>::Cell>* row_sums,
    int64_t level_count, Point p0, Point p1, Point p2) {
  typename Gather_Pixel<P>::Channel_Sum acc;
  // Top, middle, bottom by y.
  if (p1.y < p0.y)
    std::swap(p0, p1);
  if (p2.y < p1.y)
    std::swap(p1, p2);
  if (p1.y < p0.y)
    std::swap(p0, p1);
  const Point top = p0;
  const Point middle = p1;
  const Point bottom = p2;
  if (top.y == bottom.y) {
    return acc;
  }
  const double w = std::max(
      {std::fabs(top.x - bottom.x), std::fabs(top.x - middle.x), std::fabs(middle.x - bottom.x)});
  const double h = bottom.y - top.y;
  const int64_t level = triangle_level(w, h, level_count);
  const double s = std::ldexp(1.0, static_cast<int>(-level));
  if (w * s > triangle_extent_limit || h * s > triangle_extent_limit) {
    return acc;
  }
  const auto scaled = [s](Point p) { return Point{p.x * s + 0.25, p.y * s}; };
  const Point t = scaled(top);
  const Point m = scaled(middle);
  const Point b = scaled(bottom);

  const double xc = t.x + (b.x - t.x) * (m.y - t.y) / (b.y - t.y);
  const double long_sign = xc <= m.x ? 1.0 : -1.0;
  Reader reader{levels[level], row_sums[level]};
  typename Reader::Accumulator sum{};
  double area =
      triangle_edge_integral<P, Rules, smooth>(t.x, t.y, b.x, b.y, long_sign, sum, reader);
  area += triangle_edge_integral<P, Rules, smooth>(t.x, t.y, m.x, m.y, -long_sign, sum, reader);
  area += triangle_edge_integral<P, Rules, smooth>(m.x, m.y, b.x, b.y, -long_sign, sum, reader);
  acc = Reader::sum_of(sum);
  if (area > 0.0) {
    if (Rules::reciprocal_area) {
      acc.scale(1.0 / area);
    } else {
      for (double& channel : acc.channel) {
        channel /= area;
      }
    }
  }
  return acc;
}

#if BREL_AVX2_ROWS

// The triangle rules with the channels of a sum in the lanes of one AVX2 register, as the box
// route keeps them (vector_box): every lane sees the plain rule's additions and products in the
// plain rule's order, so the bits are the plain rule's.
namespace vector_triangle {

// floor_div(a, n) for n > 0, without a division when a lies within one period of 0 .. n - 1.
inline int64_t floor_div_near(int64_t a, int64_t n) {
  if (a >= 0 && a < n) {
    return 0;
  }
  if (a < 0 && a >= -n) {
    return -1;
  }
  if (a >= n && a < 2 * n) {
    return 1;
  }
  return floor_div(a, n);
}

// The level pixel weighed by v as Gather_Pixel::add weighs it, in the lanes of its channels:
// with alpha, alpha x v in the alpha lane and the colour times that, brought to white 1, in the
// others; the same operations per lane.
template <class P>
__attribute__((target("avx2"), always_inline)) inline __m256d pixel_term(const P& pixel, double v) {
  using Traits = typename Gather_Pixel<P>::Traits;
  const __m256d channels = vector_box::load_pixel(pixel);
  if constexpr (Traits::has_alpha) {
    constexpr int32_t a = Traits::alpha;
    const __m256d t = _mm256_mul_pd(_mm256_permute4x64_pd(channels, a * 0x55), _mm256_set1_pd(v));
    __m256d colour_weight = t;
    if constexpr (Traits::white_value == 32768.0f) {
      colour_weight = _mm256_mul_pd(t, _mm256_set1_pd(3.0517578e-05));
    } else if constexpr (Traits::white_value == 255.0f) {
      colour_weight = _mm256_div_pd(t, _mm256_set1_pd(255.0));
    }
    return _mm256_blend_pd(_mm256_mul_pd(channels, colour_weight), t, 1 << a);
  } else {
    return _mm256_mul_pd(channels, _mm256_set1_pd(v));
  }
}

// Level_Reader's reads with the channels of its sums in the lanes of one AVX2 register: the same
// pixels and the same operations in the same order, so the same bits. Rows and columns inside
// the level, and within a period of it, are taken without the divisions of the reflections and
// repeats; the accumulator stays in its register from band to band.
template <class P, class Rules>
struct Level_Reader {
  using G = Gather_Pixel<P>;
  using Cell = typename G::Cell;
  using Accumulator = __m256d;
  static constexpr int32_t n_channels = G::channels;

  const Layer<P>& level;
  const Layer<Cell>& row_sums;
  const P* pixels = nullptr;
  const Cell* sums = nullptr;

  void select_row(int64_t j) {
    const int64_t h = level.height;
    int64_t row = j;
    if (j < 0 || j >= h) {
      const int64_t r = (j < 0 ? -j : j) % h;
      row = (j / h) % 2 != 0 ? h - 1 - r : r;
    }
    pixels = level.row(row);
    sums = row_sums.row(row);
  }

  // Where column `column` is read: within a period of the row either side by comparisons,
  // further out as Level_Reader::add maps it.
  __attribute__((always_inline)) int64_t column_of(int64_t column) const {
    const int64_t w = level.width;
    const int64_t period = Rules::columns_wrap ? w : 2 * w;
    const int64_t a = column < 0 ? column + period : column;
    int64_t p = a >= period ? a - period : a;
    if (static_cast<uint64_t>(p) >= static_cast<uint64_t>(period)) [[unlikely]] {
      p = floor_mod(column, period);
    }
    if constexpr (Rules::columns_wrap) {
      return p;
    } else {
      return p < w ? p : period - 1 - p;
    }
  }

  __attribute__((target("avx2"))) void add(__m256d& accumulator, int64_t column, double v) const {
    accumulator = _mm256_add_pd(accumulator, pixel_term(pixels[column_of(column)], v));
  }

  __attribute__((target("avx2"))) __m256d cell(int64_t i) const {
    return vector_box::load_cell<n_channels>(sums[i].channel);
  }

  // Level_Reader::subtract_prefix. The cell of a partial row is read where there is none too
  // (m = 0, as often for prefixes ending at the row's start) and cleared, instead of branching.
  __attribute__((target("avx2"))) void subtract_prefix(__m256d& accumulator, int64_t n,
                                                       double v) const {
    const int64_t w = level.width;
    const __m256d total = cell(w - 1);
    double periods;
    __m256d partial;
    if (Rules::columns_wrap) {
      const int64_t q = floor_div_near(n, w);
      const int64_t m = n - q * w;
      periods = static_cast<double>(q);
      const __m256d read = _mm256_castsi256_pd(_mm256_set1_epi64x(m > 0 ? -1 : 0));
      partial = _mm256_and_pd(cell(m > 0 ? m - 1 : 0), read);
    } else {
      const int64_t q = floor_div_near(n, 2 * w);
      const int64_t m = n - q * 2 * w;
      periods = 2.0 * static_cast<double>(q);
      if (m <= w) {
        const __m256d read = _mm256_castsi256_pd(_mm256_set1_epi64x(m > 0 ? -1 : 0));
        partial = _mm256_and_pd(cell(m > 0 ? m - 1 : 0), read);
      } else {
        // 2w - m - 1 lies in 0 .. w - 2 here.
        partial = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(total, _mm256_set1_pd(2.0)));
        partial = _mm256_add_pd(partial, _mm256_mul_pd(cell(2 * w - m - 1), _mm256_set1_pd(-1.0)));
      }
    }
    partial = _mm256_add_pd(partial, _mm256_mul_pd(total, _mm256_set1_pd(periods)));
    accumulator = _mm256_add_pd(accumulator, _mm256_mul_pd(partial, _mm256_set1_pd(-v)));
  }

  __attribute__((target("avx2"))) static typename G::Channel_Sum sum_of(
      const __m256d& accumulator) {
    typename G::Channel_Sum sum;
    vector_box::store_sum(sum, accumulator);
    return sum;
  }
};

}  // namespace vector_triangle

// triangle_gather through the AVX2 reader, every read inlined so that the accumulator stays in
// its register. For pixels of three or four channels.
template <class P, class Rules, bool smooth>
__attribute__((target("avx2"), flatten)) typename Gather_Pixel<P>::Channel_Sum triangle_gather_avx2(
    const Layer<P>* levels, const Layer<typename Gather_Pixel<P>::Cell>* row_sums,
    int64_t level_count, Point p0, Point p1, Point p2) {
  return triangle_gather<P, Rules, smooth, vector_triangle::Level_Reader<P, Rules>>(
      levels, row_sums, level_count, p0, p1, p2);
}

#endif

// triangle_gather, in AVX2 where the processor has it and the pixel's sums fit one register.
template <class P, class Rules, bool smooth>
typename Gather_Pixel<P>::Channel_Sum triangle_gather_fast(
    const Layer<P>* levels, const Layer<typename Gather_Pixel<P>::Cell>* row_sums,
    int64_t level_count, Point p0, Point p1, Point p2) {
#if BREL_AVX2_ROWS
  if constexpr (Gather_Pixel<P>::channels == 3 || Gather_Pixel<P>::channels == 4) {
    if (cpu_has_avx2()) {
      return triangle_gather_avx2<P, Rules, smooth>(levels, row_sums, level_count, p0, p1, p2);
    }
  }
#endif
  return triangle_gather<P, Rules, smooth>(levels, row_sums, level_count, p0, p1, p2);
}

// ---- Footprints ---------------------------------------------------------------------------

// What a footprint gather reads of a gatherer: the source, the mode, the summed-area table
// (box modes) and the pyramid levels with their row sums (triangle modes).
template <class P>
struct Gather_Source {
  const Layer<P>* source = nullptr;
  int32_t mode = 1;
  const Layer<typename Gather_Pixel<P>::Cell>* table = nullptr;
  const Layer<P>* levels = nullptr;
  const Layer<typename Gather_Pixel<P>::Cell>* row_sums = nullptr;
  int64_t level_count = 0;
  bool exact_table = false;  // the table is the source's, and exact (exact_sum_table)
};

inline bool within_limit(double v) {
  return std::fabs(v) < coordinate_limit;
}

// The scale pair of a footprint; the box modes scale it in place, for the caller to see.
struct Footprint_Scale {
  float x = 0.0f;
  float y = 0.0f;
};

// A box of a footprint in the box modes, in source coordinates.
struct Footprint_Box {
  float x0, x1, y0, y1;
};

// Whether the footprint's corners A B C D are those of pixel (fx, fy) itself, unmoved.
inline bool unmoved_footprint(const Blur_Coordinates& a, const Blur_Coordinates& b,
                              const Blur_Coordinates& c, const Blur_Coordinates& d, float fx,
                              float fy) {
  return a.x == fx - 1.0f && a.y == fy - 1.0f && b.x == fx && b.y == fy - 1.0f &&
         c.x == fx - 1.0f && c.y == fy && d.x == fx && d.y == fy;
}

// Corner x `px` of a panoramic footprint moved by a whole turn (`width`) where it lies more than
// half a turn (`half`) from the reference corner's x `ax`.
inline float unwrapped_x(float px, float ax, float width, float half) {
  const float dx = px - ax;
  if (std::fabs(dx) > half) {
    return dx > 0.0f ? px + -width : px + width;
  }
  return px;
}

// unmoved_footprint for pixel (x, y) of a panoramic gather, its corners B C D unwrapped around A
// (first and second as footprint_gather takes them).
inline bool unmoved_panoramic_footprint(const Blur_Coordinates* first,
                                        const Blur_Coordinates* second, int64_t x, int64_t y,
                                        float width, float half) {
  const int64_t left = x > 0 ? x - 1 : 0;
  const Blur_Coordinates& a = second[left];
  const Blur_Coordinates& b = second[x];
  const Blur_Coordinates& c = first[left];
  const Blur_Coordinates& d = first[x];
  const auto fx = static_cast<float>(x);
  const auto fy = static_cast<float>(y);
  return a.x == fx - 1.0f && a.y == fy - 1.0f && unwrapped_x(b.x, a.x, width, half) == fx &&
         b.y == fy - 1.0f && unwrapped_x(c.x, a.x, width, half) == fx - 1.0f && c.y == fy &&
         unwrapped_x(d.x, a.x, width, half) == fx && d.y == fy;
}

// The boxes of a footprint in the box modes, for the scale pair (sx, sy) already taken by
// 1 / sqrt(2): the box around D, and with `neighbours` (mode 2 away from the first row and
// column) one box between D and each of A, B and C. Returns how many.
inline int32_t footprint_boxes(const Blur_Coordinates& a, const Blur_Coordinates& b,
                               const Blur_Coordinates& c, const Blur_Coordinates& d, float sx,
                               float sy, bool neighbours, Footprint_Box (&boxes)[4]) {
  const float hx = std::fabs(d.blur * sx) + 0.5f;
  const float hy = std::fabs(d.blur * sy) + 0.5f;
  int32_t count = 1;
  boxes[0] = {d.x - hx, d.x + hx, d.y - hy, d.y + hy};
  if (neighbours) {
    for (const Blur_Coordinates* p : {&a, &b, &c}) {
      const float cx = (p->x + d.x) * 0.5f + 0.25f;
      const float cy = (p->y + d.y) * 0.5f + 0.25f;
      const float px = std::fabs(p->blur * sx) + 0.5f;
      const float py = std::fabs(p->blur * sy) + 0.5f;
      boxes[count++] = {cx - px, cx + px, cy - py, cy + py};
    }
  }
  return count;
}

// The mean of the source over the footprint of pixel (x, y): the landing points of the pixel
// (D = first[x]), its left neighbour (C = first[x - 1]), the one above (B = second[x]) and the
// one above-left (A = second[x - 1]); column x - 1 is column 0 at x = 0. Box modes (below 3)
// average one box around D, or in mode 2 four boxes; triangle modes cut the quadrilateral A B D C
// into triangles A B C and D B C, pushed outward by each corner's blur.
template <class P, class Rules>
typename Gather_Pixel<P>::Result footprint_gather(const Gather_Source<P>& g, int64_t x, int64_t y,
                                                  Footprint_Scale& scale,
                                                  const Blur_Coordinates* first,
                                                  const Blur_Coordinates* second) {
  using G = Gather_Pixel<P>;
  using Channel_Sum = typename G::Channel_Sum;
  const Layer<P>& source = *g.source;
  const int64_t left = x > 0 ? x - 1 : 0;
  Blur_Coordinates d = first[x];
  Blur_Coordinates c = first[left];
  Blur_Coordinates b = second[x];
  Blur_Coordinates a = second[left];
  if constexpr (Rules::panoramic) {
    const float width = static_cast<float>(source.width);
    const float half = static_cast<float>(source.width / 2);
    for (Blur_Coordinates* p : {&b, &c, &d}) {
      const float dx = p->x - a.x;
      if (std::fabs(dx) > half) {
        p->x = dx > 0.0f ? p->x + -width : p->x + width;
      }
    }
  }
  const auto source_pixel = [&](int64_t px, int64_t py, typename G::Result& result) {
    if (px < 0 || py < 0 || px >= source.width || py >= source.height) {
      return false;  // the shortcut only stands for pixels the layer has
    }
    result = G::result(G::load(source.row(py)[px]));
    return true;
  };
  const auto fx = static_cast<float>(x);
  const auto fy = static_cast<float>(y);
  typename G::Result result{};

  if (g.mode < 3) {
    scale.x = scale.x * 0.70710677f;
    scale.y = scale.y * 0.70710677f;
    const float hx = std::fabs(d.blur * scale.x) + 0.5f;
    const float hy = std::fabs(d.blur * scale.y) + 0.5f;
    if (unmoved_footprint(a, b, c, d, fx, fy) && hx <= 0.5f && hy <= 0.5f &&
        source_pixel(x, y, result)) {
      return result;
    }
    Footprint_Box boxes[4];
    const int32_t count =
        footprint_boxes(a, b, c, d, scale.x, scale.y, g.mode == 2 && x != 0 && y != 0, boxes);
    for (int32_t i = 0; i < count; ++i) {
      const Footprint_Box& box = boxes[i];
      if (!within_limit(box.x0) || !within_limit(box.x1) || !within_limit(box.y0) ||
          !within_limit(box.y1)) {
        return result;
      }
    }
    Channel_Sum sum;
    for (int32_t i = 0; i < count; ++i) {
      const Footprint_Box& box = boxes[i];
      sum += box_gather<P, Rules>(source, *g.table, box.x0, box.x1, box.y0, box.y1, g.exact_table);
    }
    if (count == 4) {
      sum.scale(0.25);
    }
    return G::result(sum);
  }

  if (scale.x * scale.y != 0.0f) {
    const float sx = scale.x;
    const float sy = scale.y;
    float ex = b.x - c.x;
    float ey = c.y - b.y;
    float length = std::sqrt(ex * ex + ey * ey);
    if (!(length > 0.0f)) {
      ex = a.x - d.x;
      ey = d.y - a.y;
      length = std::sqrt(ex * ex + ey * ey);
    }
    if (length > 0.0f) {
      ex = ex / length;
      ey = ey / length;
      float s_a = (a.y - b.y) * ex - (a.x - b.x) * ey;
      float s_d = (d.y - b.y) * ex - (d.x - b.x) * ey;
      if ((s_a > 0.0f && s_d < 0.0f) || (s_a < 0.0f && s_d > 0.0f)) {
        if (std::fabs(s_d) <= std::fabs(s_a)) {
          s_d = -s_d;
        } else {
          s_a = -s_a;
        }
      }
      const float g_a = s_a == 0.0f ? 1.0f : s_a / std::fabs(s_a);
      const float g_d = s_d == 0.0f ? 1.0f : s_d / std::fabs(s_d);
      a.x -= g_a * ey * sx * a.blur;
      a.y -= g_a * ex * sy * a.blur;
      b.x += ex * sx * b.blur;
      b.y -= ey * sy * b.blur;
      c.x -= ex * sx * c.blur;
      c.y += ey * sy * c.blur;
      d.x += g_d * ey * sx * d.blur;
      d.y += g_d * ex * sy * d.blur;
    } else {
      a.x -= sx * a.blur;
      a.y -= sy * a.blur;
      b.x += sx * b.blur;
      b.y += -sy * b.blur;
      c.x += -sx * c.blur;
      c.y += sy * c.blur;
      d.x += sx * d.blur;
      d.y += sy * d.blur;
    }
  }
  for (Blur_Coordinates* p : {&a, &b, &c, &d}) {
    p->x += 1.0f;
    p->y += 1.0f;
  }
  if (a.x == fx && a.y == fy && b.x == fx + 1.0f && b.y == fy && c.x == fx && c.y == fy + 1.0f &&
      d.x == fx + 1.0f && d.y == fy + 1.0f && source_pixel(x, y, result)) {
    return result;
  }
  if (a.y == c.y || a.x == b.x) {
    b.x += 0.1f;
    c.y += 0.1f;
  }
  for (const Blur_Coordinates* p : {&a, &b, &c, &d}) {
    if (!within_limit(p->x) || !within_limit(p->y)) {
      return result;
    }
  }
  const auto point = [](const Blur_Coordinates& p) {
    return Point{static_cast<double>(p.x), static_cast<double>(p.y)};
  };
  const auto triangle = [&](const Blur_Coordinates& p0) {
    if (g.mode == 3) {
      return triangle_gather_fast<P, Rules, false>(g.levels, g.row_sums, g.level_count, point(p0),
                                                   point(b), point(c));
    }
    return triangle_gather_fast<P, Rules, true>(g.levels, g.row_sums, g.level_count, point(p0),
                                                point(b), point(c));
  };
  Channel_Sum sum = triangle(a);
  sum += triangle(d);
  sum.scale(0.5);
  return G::result(sum);
}

#if BREL_AVX2_ROWS

namespace vector_box {

// A box of up to eight neighbouring footprints, lane l for the l-th pixel: its
// grid, and as bits of `small` and `within` whether the box is a pixel or less (hx and hy at most
// 0.5: it may be the unmoved pixel) and whether its four edges lie within the coordinate limit
// (the grid stands only for those).
struct Footprint_Boxes8 {
  int64_t ix0[8], ix1[8], iy0[8], iy1[8];
  double wl[8], wr[8], wt[8], wb[8];
  uint32_t small = 0;
  uint32_t within = 0;

  Box_Grid grid(int32_t l) const {
    return {ix0[l], ix1[l], iy0[l], iy1[l], wl[l], wr[l], wt[l], wb[l]};
  }
};

// The box of footprint point (dx, dy) (its x unwrapped) with blur `blur` into lane l, as
// footprint_gather makes it.
inline void panoramic_box(float dx, float dy, float blur, float sx, float sy,
                          Footprint_Boxes8& boxes, int32_t l) {
  const float hx = std::fabs(blur * sx) + 0.5f;
  const float hy = std::fabs(blur * sy) + 0.5f;
  const float x0 = dx - hx;
  const float x1 = dx + hx;
  const float y0 = dy - hy;
  const float y1 = dy + hy;
  const uint32_t bit = 1u << l;
  boxes.small = hx <= 0.5f && hy <= 0.5f ? boxes.small | bit : boxes.small & ~bit;
  if (within_limit(x0) && within_limit(x1) && within_limit(y0) && within_limit(y1)) {
    boxes.within |= bit;
    const Box_Grid g = box_grid(x0, x1, y0, y1);
    boxes.ix0[l] = g.ix0;
    boxes.ix1[l] = g.ix1;
    boxes.iy0[l] = g.iy0;
    boxes.iy1[l] = g.iy1;
    boxes.wl[l] = g.wl;
    boxes.wr[l] = g.wr;
    boxes.wt[l] = g.wt;
    boxes.wb[l] = g.wb;
  } else {
    boxes.within &= ~bit;
  }
}

// The box grid of four lanes' edges into lanes `first` .. `first` + 3, as box_grid makes it
// (floor, truncation of a whole number below 2^31, the same differences), and the lanes' within
// bits. Lanes beyond the coordinate limit get an undefined grid.
__attribute__((target("avx2"), always_inline)) inline void box_grids4(__m128 x0, __m128 x1,
                                                                      __m128 y0, __m128 y1,
                                                                      Footprint_Boxes8& boxes,
                                                                      int32_t first) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d limit = _mm256_set1_pd(coordinate_limit);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d edges[4] = {_mm256_cvtps_pd(x0), _mm256_cvtps_pd(x1), _mm256_cvtps_pd(y0),
                            _mm256_cvtps_pd(y1)};
  __m256d within = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  __m256d floors[4];
  int64_t* const whole[4] = {boxes.ix0 + first, boxes.ix1 + first, boxes.iy0 + first,
                             boxes.iy1 + first};
  for (int32_t e = 0; e < 4; ++e) {
    within =
        _mm256_and_pd(within, _mm256_cmp_pd(_mm256_andnot_pd(sign, edges[e]), limit, _CMP_LT_OQ));
    floors[e] = _mm256_round_pd(edges[e], _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(whole[e]),
                        _mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(floors[e])));
  }
  _mm256_storeu_pd(boxes.wl + first, _mm256_add_pd(_mm256_sub_pd(floors[0], edges[0]), one));
  _mm256_storeu_pd(boxes.wr + first, _mm256_sub_pd(edges[1], floors[1]));
  _mm256_storeu_pd(boxes.wt + first, _mm256_add_pd(_mm256_sub_pd(floors[2], edges[2]), one));
  _mm256_storeu_pd(boxes.wb + first, _mm256_sub_pd(edges[3], floors[3]));
  boxes.within |= static_cast<uint32_t>(_mm256_movemask_pd(within)) << first;
}

// Eight landing points in the lanes of three registers.
struct Points8 {
  __m256 x, y, blur;
};

// The points of `row` whose first floats lie `offsets` floats from its start, one a lane.
__attribute__((target("avx2"), always_inline)) inline Points8 gather_points8(
    const Blur_Coordinates* row, __m256i offsets) {
  static_assert(sizeof(Blur_Coordinates) == 3 * sizeof(float));
  const float* const points = &row[0].x;
  return {_mm256_i32gather_ps(points, offsets, 4), _mm256_i32gather_ps(points + 1, offsets, 4),
          _mm256_i32gather_ps(points + 2, offsets, 4)};
}

// The float offsets of points x .. x + 7 of a row (`own`) and of their left neighbours, column
// 0's being itself (`left`).
__attribute__((target("avx2"), always_inline)) inline void point_offsets8(int64_t x, __m256i& own,
                                                                          __m256i& left) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i three = _mm256_set1_epi32(3);
  const auto column = static_cast<int32_t>(x);
  own = _mm256_mullo_epi32(_mm256_add_epi32(_mm256_set1_epi32(column), lane), three);
  left = _mm256_mullo_epi32(_mm256_max_epi32(_mm256_add_epi32(_mm256_set1_epi32(column - 1), lane),
                                             _mm256_setzero_si256()),
                            three);
}

// unwrapped_x in lanes.
__attribute__((target("avx2"), always_inline)) inline __m256 unwrapped_x8(__m256 px, __m256 ax,
                                                                          float width, float half) {
  const __m256 apart = _mm256_sub_ps(px, ax);
  const __m256 turned = _mm256_blendv_ps(_mm256_add_ps(px, _mm256_set1_ps(width)),
                                         _mm256_add_ps(px, _mm256_set1_ps(-width)),
                                         _mm256_cmp_ps(apart, _mm256_setzero_ps(), _CMP_GT_OQ));
  return _mm256_blendv_ps(px, turned,
                          _mm256_cmp_ps(_mm256_andnot_ps(_mm256_set1_ps(-0.0f), apart),
                                        _mm256_set1_ps(half), _CMP_GT_OQ));
}

// A box's half side |blur x s| + 0.5 in lanes.
__attribute__((target("avx2"), always_inline)) inline __m256 half_side8(__m256 blur, float s) {
  return _mm256_add_ps(
      _mm256_andnot_ps(_mm256_set1_ps(-0.0f), _mm256_mul_ps(blur, _mm256_set1_ps(s))),
      _mm256_set1_ps(0.5f));
}

// The grids and within bits of eight boxes of centre (cx, cy) and half sides (hx, hy) into
// `boxes`.
__attribute__((target("avx2"), always_inline)) inline void box_grids8(__m256 cx, __m256 cy,
                                                                      __m256 hx, __m256 hy,
                                                                      Footprint_Boxes8& boxes) {
  const __m256 x0 = _mm256_sub_ps(cx, hx);
  const __m256 x1 = _mm256_add_ps(cx, hx);
  const __m256 y0 = _mm256_sub_ps(cy, hy);
  const __m256 y1 = _mm256_add_ps(cy, hy);
  boxes.within = 0;
  box_grids4(_mm256_castps256_ps128(x0), _mm256_castps256_ps128(x1), _mm256_castps256_ps128(y0),
             _mm256_castps256_ps128(y1), boxes, 0);
  box_grids4(_mm256_extractf128_ps(x0, 1), _mm256_extractf128_ps(x1, 1),
             _mm256_extractf128_ps(y0, 1), _mm256_extractf128_ps(y1, 1), boxes, 4);
}

// The `small` bits of eight boxes of half sides (hx, hy): a pixel or less.
__attribute__((target("avx2"), always_inline)) inline uint32_t small_boxes8(__m256 hx, __m256 hy) {
  const __m256 a_half = _mm256_set1_ps(0.5f);
  return static_cast<uint32_t>(_mm256_movemask_ps(
      _mm256_and_ps(_mm256_cmp_ps(hx, a_half, _CMP_LE_OQ), _mm256_cmp_ps(hy, a_half, _CMP_LE_OQ))));
}

// panoramic_box for the eight pixels x .. x + 7 of a row in lanes 0 .. 7: pixel x + l reads
// first[x + l] and, unwrapped around it, the x of second[x + l - 1] (of second[0] at column 0).
// The float steps run in the lanes of one register, the same operations in the same order.
__attribute__((target("avx2"), always_inline)) inline void panoramic_boxes8(
    const Blur_Coordinates* first, const Blur_Coordinates* second, int64_t x, float width,
    float half, float sx, float sy, Footprint_Boxes8& boxes) {
  __m256i own, left;
  point_offsets8(x, own, left);
  const Points8 d = gather_points8(first, own);
  const __m256 ax = _mm256_i32gather_ps(&second[0].x, left, 4);
  const __m256 hx = half_side8(d.blur, sx);
  const __m256 hy = half_side8(d.blur, sy);
  boxes.small = small_boxes8(hx, hy);
  box_grids8(unwrapped_x8(d.x, ax, width, half), d.y, hx, hy, boxes);
}

// The boxes of the box-mode footprints of pixels x .. x + 7 of a row in lanes 0 .. 7, as
// footprint_gather makes them: boxes[0] around D, with the `small` bits, and with `neighbours`
// (mode 2 away from column 0) boxes[1 .. 3] between D and each of A, B and C. A `panoramic`
// footprint has its corners B C D unwrapped around A first.
template <bool panoramic>
__attribute__((target("avx2"), always_inline)) inline void footprints8(
    const Blur_Coordinates* first, const Blur_Coordinates* second, int64_t x, float width,
    float half, float sx, float sy, bool neighbours, Footprint_Boxes8 (&boxes)[4]) {
  __m256i own, left;
  point_offsets8(x, own, left);
  const Points8 a = gather_points8(second, left);
  Points8 b = gather_points8(second, own);
  Points8 c = gather_points8(first, left);
  Points8 d = gather_points8(first, own);
  if constexpr (panoramic) {
    b.x = unwrapped_x8(b.x, a.x, width, half);
    c.x = unwrapped_x8(c.x, a.x, width, half);
    d.x = unwrapped_x8(d.x, a.x, width, half);
  }
  const __m256 hx = half_side8(d.blur, sx);
  const __m256 hy = half_side8(d.blur, sy);
  boxes[0].small = small_boxes8(hx, hy);
  box_grids8(d.x, d.y, hx, hy, boxes[0]);
  if (!neighbours) {
    return;
  }
  const __m256 mid = _mm256_set1_ps(0.5f);
  const __m256 quarter = _mm256_set1_ps(0.25f);
  const Points8* const corners[3] = {&a, &b, &c};
  for (int32_t k = 0; k < 3; ++k) {
    const Points8& p = *corners[k];
    const __m256 cx = _mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(p.x, d.x), mid), quarter);
    const __m256 cy = _mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(p.y, d.y), mid), quarter);
    box_grids8(cx, cy, half_side8(p.blur, sx), half_side8(p.blur, sy), boxes[k + 1]);
  }
}

// The mean box_gather gives a box of a panoramic gather over `g`, in the lanes of `mean`, where
// its ranges are single pixels of an exact table or its rows lie inside the layer with signed
// column terms (most boxes, across the seam or not): false, `mean` untouched, for any other box.
// `columns` is scratch, its indices left uncleared, since clearing three sets of terms for every
// box took a slow string store.
template <class P, class Rules>
__attribute__((target("avx2"), always_inline)) inline bool panoramic_box_mean(
    const Gather_Source<P>& g, const Box_Grid& grid, Signed_Terms (&columns)[3], __m256d& mean) {
  const Layer<P>& source = *g.source;
  const Layer<typename Gather_Pixel<P>::Cell>& table = *g.table;
  columns[0].count = columns[1].count = columns[2].count = 0;
  if (g.exact_table && one_pixel_ranges<Rules>(grid)) {
    mean = pixels_box_mean<P, Rules>(source, grid);
    return true;
  }
  if (!rows_inside(grid, table.height) || !signed_column_terms<Rules>(grid, table.width, columns)) {
    return false;
  }
  // Boxes inside the layer too: their signed terms are the fixed ones that
  // box_gather_inside_avx2 reads, in the same order. The counts of a box inside or across the
  // seam are known here.
  const bool sides_two = columns[1].count == 2 && columns[2].count == 2;
  if (sides_two && columns[0].count == 3) {
    mean = rows_inside_box_mean<P, Rules, 3, 2>(source, table, grid, columns);
  } else if (sides_two && columns[0].count == 2) {
    mean = rows_inside_box_mean<P, Rules, 2, 2>(source, table, grid, columns);
  } else {
    mean = rows_inside_box_mean<P, Rules>(source, table, grid, columns);
  }
  return true;
}

// A footprint's sum of box means, rounded to float and scaled to white 1 into `result`, as
// Gather_Pixel::result takes it.
template <class P>
__attribute__((target("avx2"), always_inline)) inline void store_result(
    __m256d sum, typename Gather_Pixel<P>::Result& result) {
  using G = Gather_Pixel<P>;
  const __m128 scaled = _mm_mul_ps(_mm256_cvtpd_ps(sum), _mm_set1_ps(G::result_factor));
  if constexpr (G::channels == 4) {
    _mm_storeu_ps(result.channel, scaled);
  } else {
    static_assert(G::channels == 3);
    _mm_storel_pi(reinterpret_cast<__m64*>(result.channel), scaled);
    _mm_store_ss(result.channel + 2, _mm_movehl_ps(scaled, scaled));
  }
}

}  // namespace vector_box

// footprint_gather over the panorama for pixels x_begin .. x_end - 1 of row y in a mode of one
// box (below 3; row 0 of mode 2), each from a fresh copy of `scale`, into
// out[0 .. x_end - x_begin - 1]. The boxes are set up eight pixels at a time (panoramic_boxes8,
// the short tail pixel by pixel). A box that panoramic_box_mean takes is averaged there, its mean
// kept in a register and added to a sum of 0 as the footprint's one box is; every other pixel (an
// unmoved one, a box beyond the coordinate limit or reaching the top or bottom rows) takes
// footprint_gather. Same operations in the same order: same bits.
template <class P, class Rules>
__attribute__((target("avx2"))) void panoramic_one_box_footprints_avx2(
    const Gather_Source<P>& g, int64_t y, int64_t x_begin, int64_t x_end, Footprint_Scale scale,
    const Blur_Coordinates* first, const Blur_Coordinates* second,
    typename Gather_Pixel<P>::Result* out) {
  static_assert(Rules::panoramic && Rules::box_x == Edge_Mode::wrap);
  using G = Gather_Pixel<P>;
  static_assert(G::channels == 4);
  const Layer<P>& source = *g.source;
  const float width = static_cast<float>(source.width);
  const float half = static_cast<float>(source.width / 2);
  const float sx = scale.x * 0.70710677f;
  const float sy = scale.y * 0.70710677f;
  Signed_Terms columns[3];
  vector_box::Footprint_Boxes8 boxes;
  for (int64_t x8 = x_begin; x8 < x_end; x8 += 8) {
    const auto count = static_cast<int32_t>(std::min<int64_t>(8, x_end - x8));
    if (count == 8) {
      vector_box::panoramic_boxes8(first, second, x8, width, half, sx, sy, boxes);
    } else {
      for (int32_t l = 0; l < count; ++l) {
        const int64_t x = x8 + l;
        const Blur_Coordinates& d = first[x];
        vector_box::panoramic_box(unwrapped_x(d.x, second[x > 0 ? x - 1 : 0].x, width, half), d.y,
                                  d.blur, sx, sy, boxes, l);
      }
    }
    for (int32_t l = 0; l < count; ++l) {
      const int64_t x = x8 + l;
      typename G::Result& result = out[x - x_begin];
      // An unmoved pixel is read alone, as footprint_gather reads it.
      if ((boxes.small >> l & 1u) == 0 ||
          !unmoved_panoramic_footprint(first, second, x, y, width, half)) {
        if ((boxes.within >> l & 1u) == 0) {
          result = typename G::Result{};
          continue;
        }
        __m256d mean;
        if (vector_box::panoramic_box_mean<P, Rules>(g, boxes.grid(l), columns, mean)) {
          vector_box::store_result<P>(_mm256_add_pd(_mm256_setzero_pd(), mean), result);
          continue;
        }
      }
      Footprint_Scale fresh = scale;
      result = footprint_gather<P, Rules>(g, x, y, fresh, first, second);
    }
  }
}

// footprint_gather over the panorama for pixels x_begin .. x_end - 1 of row y in mode 2, each
// from a fresh copy of `scale`, into out[0 .. x_end - x_begin - 1]. Row 0, where a footprint has
// one box, is panoramic_one_box_footprints_avx2's. The four boxes of eight pixels at a time are
// set up in lanes (footprints8; a run's last pixels in the eight that end it, a run
// shorter than eight pixel by pixel), and the boxes that panoramic_box_mean takes averaged there,
// their means added to a sum of 0 in the boxes' order and quartered, as footprint_gather adds
// them. Column 0 (one box), an unmoved pixel and a footprint with any other box take
// footprint_gather; a box beyond the coordinate limit gives 0, as there. Same operations in the
// same order: same bits.
template <class P, class Rules>
__attribute__((target("avx2"))) void panoramic_four_box_footprints_avx2(
    const Gather_Source<P>& g, int64_t y, int64_t x_begin, int64_t x_end, Footprint_Scale scale,
    const Blur_Coordinates* first, const Blur_Coordinates* second,
    typename Gather_Pixel<P>::Result* out) {
  static_assert(Rules::panoramic && Rules::box_x == Edge_Mode::wrap);
  static_assert(Gather_Pixel<P>::channels == 4);
  if (y == 0) {
    panoramic_one_box_footprints_avx2<P, Rules>(g, y, x_begin, x_end, scale, first, second, out);
    return;
  }
  const auto plain = [&](int64_t x) {
    Footprint_Scale fresh = scale;
    out[x - x_begin] = footprint_gather<P, Rules>(g, x, y, fresh, first, second);
  };
  if (x_end - x_begin < 8) {
    for (int64_t x = x_begin; x < x_end; ++x) {
      plain(x);
    }
    return;
  }
  const float width = static_cast<float>(g.source->width);
  const float half = static_cast<float>(g.source->width / 2);
  const float sx = scale.x * 0.70710677f;
  const float sy = scale.y * 0.70710677f;
  Signed_Terms columns[3];
  vector_box::Footprint_Boxes8 boxes[4];
  for (int64_t x8 = x_begin; x8 < x_end; x8 += 8) {
    const int64_t block = std::min(x8, x_end - 8);
    vector_box::footprints8<true>(first, second, block, width, half, sx, sy, true, boxes);
    const uint32_t within = boxes[0].within & boxes[1].within & boxes[2].within & boxes[3].within;
    for (int64_t x = x8; x < block + 8; ++x) {
      const auto l = static_cast<int32_t>(x - block);
      if (x == 0 || ((boxes[0].small >> l & 1u) != 0 &&
                     unmoved_panoramic_footprint(first, second, x, y, width, half))) {
        plain(x);
        continue;
      }
      if ((within >> l & 1u) == 0) {
        out[x - x_begin] = typename Gather_Pixel<P>::Result{};
        continue;
      }
      __m256d sum = _mm256_setzero_pd();
      int32_t k = 0;
      for (__m256d mean;
           k < 4 && vector_box::panoramic_box_mean<P, Rules>(g, boxes[k].grid(l), columns, mean);
           ++k) {
        sum = _mm256_add_pd(sum, mean);
      }
      if (k < 4) {
        plain(x);
        continue;
      }
      vector_box::store_result<P>(_mm256_mul_pd(sum, _mm256_set1_pd(0.25)), out[x - x_begin]);
    }
  }
}

// A box inside the layer reads the table and the source down to the row below its last whole
// row. The footprints of the next image row lie about a row lower, and the one row they read that
// this row's did not is a row further down, met a whole sweep of the tile's columns later:
// fetched now, it is in the cache by then, where the sweep would otherwise wait for it on every
// footprint. Values are not touched.
template <class P>
__attribute__((target("avx2"))) inline void prefetch_row_below(
    const Layer<P>& source, const Layer<typename Gather_Pixel<P>::Cell>& table, const Box_Grid& g) {
  const int64_t below = g.iy1 + 2;
  if (below < table.height && below < source.height) {
    const auto* cells = table.row(below);
    _mm_prefetch(reinterpret_cast<const char*>(cells + (g.ix0 - 1)), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(cells + (g.ix1 + 1)), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(source.row(below) + (g.ix1 + 1)), _MM_HINT_T0);
  }
}

// footprint_gather for pixels x_begin .. x_end - 1 of row y in the box modes (below 3), each
// from a fresh copy of `scale`, into out[0 .. x_end - x_begin - 1]. The boxes of eight pixels at
// a time are set up in lanes (footprints8; a run's last pixels in the eight that end it, a run
// shorter than eight pixel by pixel as footprint_gather sets them up); a box inside the layer
// (box_inside) is averaged as box_gather_inside_avx2 averages it, its mean kept in a register,
// any other box by box_gather_of_grid; the means are added to a sum of 0 in the boxes' order and
// four of them quartered, as footprint_gather adds them. An unmoved pixel, a box beyond the
// coordinate limit and an exact table take footprint_gather itself. Same operations in the same
// order: same bits.
template <class P, class Rules>
__attribute__((target("avx2"))) void box_footprints_avx2(const Gather_Source<P>& g, int64_t y,
                                                         int64_t x_begin, int64_t x_end,
                                                         Footprint_Scale scale,
                                                         const Blur_Coordinates* first,
                                                         const Blur_Coordinates* second,
                                                         typename Gather_Pixel<P>::Result* out) {
  static_assert(!Rules::panoramic, "a panoramic footprint moves its corners first");
  using G = Gather_Pixel<P>;
  constexpr int32_t n = G::channels;
  static_assert(n == 3 || n == 4);
  const Layer<P>& source = *g.source;
  const Layer<typename G::Cell>& table = *g.table;
  const float sx = scale.x * 0.70710677f;
  const float sy = scale.y * 0.70710677f;
  const auto fy = static_cast<float>(y);
  const auto plain = [&](int64_t x) {
    Footprint_Scale fresh = scale;
    out[x - x_begin] = footprint_gather<P, Rules>(g, x, y, fresh, first, second);
  };
  if (g.exact_table || x_end - x_begin < 8) {
    for (int64_t x = x_begin; x < x_end; ++x) {
      plain(x);
    }
    return;
  }
  const bool neighbours = g.mode == 2 && y != 0;
  vector_box::Footprint_Boxes8 boxes[4];
  for (int64_t x8 = x_begin; x8 < x_end; x8 += 8) {
    const int64_t block = std::min(x8, x_end - 8);
    vector_box::footprints8<false>(first, second, block, 0.0f, 0.0f, sx, sy, neighbours, boxes);
    for (int64_t x = x8; x < block + 8; ++x) {
      const auto l = static_cast<int32_t>(x - block);
      const int32_t count = neighbours && x != 0 ? 4 : 1;
      // A box of a pixel at most may be the unmoved pixel, which footprint_gather reads alone.
      bool own_route =
          (boxes[0].small >> l & 1u) == 0 ||
          !unmoved_footprint(second[x > 0 ? x - 1 : 0], second[x], first[x > 0 ? x - 1 : 0],
                             first[x], static_cast<float>(x), fy);
      for (int32_t i = 0; i < count; ++i) {
        own_route = own_route && (boxes[i].within >> l & 1u) != 0;
      }
      if (!own_route) {
        plain(x);
        continue;
      }
      __m256d sum = _mm256_setzero_pd();
      for (int32_t i = 0; i < count; ++i) {
        const Box_Grid grid = boxes[i].grid(l);
        if (box_inside(grid, table.width, table.height)) {
          if (i == 0) {
            prefetch_row_below(source, table, grid);
          }
          sum = _mm256_add_pd(sum, vector_box::inside_box_mean<P>(source, table, grid));
        } else {
          const typename G::Channel_Sum part =
              box_gather_of_grid<P, Rules>(source, table, grid, false);
          sum = _mm256_add_pd(sum, vector_box::load_cell<n>(part.channel));
        }
      }
      if (count == 4) {
        sum = _mm256_mul_pd(sum, _mm256_set1_pd(0.25));
      }
      vector_box::store_result<P>(sum, out[x - x_begin]);
    }
  }
}

#endif

}  // namespace brel::gather
