#pragma once

// Views of images and of two-dimensional arrays. A view owns nothing: it points into memory
// that a host frame or a Layer_Holder keeps alive, and is copied freely into kernel bodies.

#include <cstddef>
#include <cstdint>

#include "base/pixel.h"

namespace brel {

// The element `bytes` bytes after `first`: rows of views are padded, so they are reached in bytes.
template <class T>
T* advance_bytes(T* first, int64_t bytes) {
  return reinterpret_cast<T*>(reinterpret_cast<std::byte*>(first) + bytes);
}

// A view of an image whose pixels are of type P. Pixel (x, y) lies at
// pixels + y * row_bytes + x * sizeof(P); rows may be padded, so walk them through row().
// A value-initialised Layer is the empty view that stands for an absent optional layer; kernels
// test `pixels` to see whether a layer is there.
template <class P>
struct Layer {
  using Pixel = P;

  int64_t width = 0;
  int64_t height = 0;
  int64_t origin_x = 0;
  int64_t origin_y = 0;
  float scale_x = 1.0f;  // the host's downsample factors
  float scale_y = 1.0f;
  float pixel_aspect_ratio = 1.0f;
  uint8_t flag = 0;
  P* pixels = nullptr;
  int64_t row_bytes = 0;

  // First pixel of row y; take it once per row and walk the row by index.
  P* row(int64_t y) const { return advance_bytes(pixels, y * row_bytes); }
};

template <class P>
constexpr Layer<P> empty_layer() {
  return Layer<P>{};
}

// Whether a texture gives its `outside` value everywhere on row y of the image: it is absent or,
// placed by its origin, does not reach the row. Row bodies then read it once for the whole row.
template <class P>
bool outside_on_row(const Layer<P>& texture, int64_t y) {
  return texture.width <= 0 ||
         static_cast<uint64_t>(y - texture.origin_y) >= static_cast<uint64_t>(texture.height);
}

// Host frames are read through the leading fields of their records as Layer views, so the
// layout is fixed at 64 bytes for every pixel type.
static_assert(sizeof(Layer<float>) == 64);
static_assert(sizeof(Layer<ARGB8>) == 64);
static_assert(offsetof(Layer<float>, pixels) == 48);
static_assert(offsetof(Layer<float>, row_bytes) == 56);

// A two-dimensional array view; a null element pointer means the array is absent.
template <class T>
struct Array_2d {
  int64_t width = 0;
  int64_t height = 0;
  T* elements = nullptr;
  int64_t row_bytes = 0;

  T* row(int64_t y) const { return advance_bytes(elements, y * row_bytes); }
};

// Where a pixel's light lands or is looked up, and the size of the footprint around it
// (a blur radius or a path length).
struct Blur_Coordinates {
  float x;
  float y;
  float blur;
};
static_assert(sizeof(Blur_Coordinates) == 12);

}  // namespace brel
