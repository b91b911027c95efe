#pragma once

// A layer over a plain vector, for tests of per-pixel routines that need no render context.

#include <cstdint>
#include <vector>

#include "base/layer.h"

namespace brel::test {

template <class P>
struct Plain_Layer {
  Plain_Layer(int64_t width, int64_t height, const P& value = P{})
      : data(static_cast<size_t>(width * height), value) {
    view.width = width;
    view.height = height;
    view.pixels = data.data();
    view.row_bytes = width * static_cast<int64_t>(sizeof(P));
  }
  Plain_Layer(const Plain_Layer&) = delete;
  Plain_Layer& operator=(const Plain_Layer&) = delete;

  P& at(int64_t x, int64_t y) { return data[static_cast<size_t>(y * view.width + x)]; }

  std::vector<P> data;
  Layer<P> view;
};

}  // namespace brel::test
