#pragma once

// A working float layer for kernel tests: made through a render context, filled from a rule,
// read back row by row.

#include <cstdint>
#include <functional>
#include <vector>

#include "base/layer_holder.h"

namespace brel::test {

struct Float_Layer {
  Float_Layer(const Render_Context& context, int64_t width, int64_t height, float scale = 1.0f)
      : holder(make_temporary_float_layer(context, width, height, 0, 0, 0, 1.0f, scale, scale)),
        view(layer_view<float>(holder)) {}

  Float_Layer& fill(const std::function<float(int64_t, int64_t)>& value) {
    for (int64_t y = 0; y < view.height; ++y) {
      for (int64_t x = 0; x < view.width; ++x) {
        view.row(y)[x] = value(x, y);
      }
    }
    return *this;
  }

  float at(int64_t x, int64_t y) const { return view.row(y)[x]; }

  Layer_Holder holder;
  Layer<float> view;
};

// The values of a float view, row after row.
inline std::vector<float> values_of(const Layer<float>& layer) {
  std::vector<float> values;
  for (int64_t y = 0; y < layer.height; ++y) {
    values.insert(values.end(), layer.row(y), layer.row(y) + layer.width);
  }
  return values;
}

// A view of `values` (row after row, `width` wide) with the geometry of `like`.
inline Layer<float> view_of(std::vector<float>& values, const Layer<float>& like) {
  Layer<float> view = like;
  view.pixels = values.data();
  view.row_bytes = like.width * 4;
  return view;
}

}  // namespace brel::test
