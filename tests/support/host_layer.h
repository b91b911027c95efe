#pragma once

// Layers of the host pixel types for kernel tests, in padded memory from the render context,
// with their channels set and read by meaning (red, green, blue, alpha), never by position.

#include <gtest/gtest.h>

#include <cstdint>

#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/pixel.h"
#include "base/render_context.h"

namespace brel::test {

// The six host pixel types, for typed tests.
using Host_Pixel_Types = ::testing::Types<ARGB32f, BGRA32f, ARGB16, BGRA16, ARGB8, BGRA8>;

template <class P>
struct Host_Layer {
  using Traits = Pixel_Traits<P>;

  Host_Layer(const Render_Context& context, int64_t width, int64_t height, int64_t origin_x = 0,
             int64_t origin_y = 0) {
    holder.memory = context.allocate_memory_2d(width * static_cast<int64_t>(sizeof(P)), height);
    holder.origin_x = origin_x;
    holder.origin_y = origin_y;
    view = layer_view<P>(holder);
  }

  P& at(int64_t x, int64_t y) const { return view.row(y)[x]; }

  // Channel values as stored (0 .. 255, 0 .. 65535 or float).
  void set(int64_t x, int64_t y, float r, float g, float b, float a) const {
    P& p = at(x, y);
    p.channel[Traits::red] = static_cast<typename Traits::Channel>(r);
    p.channel[Traits::green] = static_cast<typename Traits::Channel>(g);
    p.channel[Traits::blue] = static_cast<typename Traits::Channel>(b);
    p.channel[Traits::alpha] = static_cast<typename Traits::Channel>(a);
  }

  void fill(float r, float g, float b, float a) const {
    for (int64_t y = 0; y < view.height; ++y) {
      for (int64_t x = 0; x < view.width; ++x) {
        set(x, y, r, g, b, a);
      }
    }
  }

  float red(int64_t x, int64_t y) const { return Traits::load(at(x, y), Traits::red); }
  float green(int64_t x, int64_t y) const { return Traits::load(at(x, y), Traits::green); }
  float blue(int64_t x, int64_t y) const { return Traits::load(at(x, y), Traits::blue); }
  float alpha(int64_t x, int64_t y) const { return Traits::load(at(x, y), Traits::alpha); }

  Layer_Holder holder;
  Layer<P> view;
};

// White of P as a channel value.
template <class P>
constexpr float white_of() {
  return Pixel_Traits<P>::white_value;
}

// The value a test expects in P's channels: one for the float types, one for the 16-bit and one
// for the 8-bit types.
template <class P>
constexpr float by_depth(float float_value, float value_16, float value_8) {
  if constexpr (Pixel_Traits<P>::white_value == 255.0f) {
    return value_8;
  } else if constexpr (Pixel_Traits<P>::white_value == 32768.0f) {
    return value_16;
  } else {
    return float_value;
  }
}

}  // namespace brel::test
