#pragma once

// Rows of a parallel loop handed out in bands that shrink towards the loop's end.

#include <algorithm>
#include <cstdint>
#include <utility>

#include "util/thread_iteration.h"

namespace brel {

// A row body that reads the rows around its own (a window, a footprint) finds most of them in
// its worker's cache when that worker goes on down the same band, and fetches them all again
// when the next row goes to another worker. Wide bands keep those reads local, but a loop of
// wide bands alone ends with workers idle while the last bands finish. So the rows go out in
// wide bands first and their last `tail_rows` (or all, if fewer) in narrow ones; the loop hands
// out indices in ascending order, so the narrow bands even out the workers' finish.
struct Row_Bands {
  Row_Bands(int64_t rows, int64_t wide_rows, int64_t narrow_rows, int64_t tail_rows)
      : rows(std::max<int64_t>(rows, 0)),
        wide_rows(wide_rows),
        narrow_rows(narrow_rows),
        wide(std::max<int64_t>(this->rows - tail_rows, 0) / wide_rows) {}

  int64_t count() const {
    return wide + grain_iteration_count(rows - wide * wide_rows, narrow_rows);
  }

  // Rows [begin, end) of band `index`, 0 <= index < count().
  std::pair<int64_t, int64_t> range(int64_t index) const {
    if (index < wide) {
      return {index * wide_rows, (index + 1) * wide_rows};
    }
    const int64_t begin = wide * wide_rows + (index - wide) * narrow_rows;
    return {begin, std::min(begin + narrow_rows, rows)};
  }

  int64_t rows;
  int64_t wide_rows;
  int64_t narrow_rows;
  int64_t wide;  // the wide bands, before the narrow ones
};

}  // namespace brel
