#include "base/layer.h"

#include <gtest/gtest.h>

namespace {

TEST(Layer, EmptyViewHasNoPixelsAndRowsFollowRowBytes) {
  const brel::Layer<float> empty = brel::empty_layer<float>();
  EXPECT_EQ(empty.width, 0);
  EXPECT_EQ(empty.height, 0);
  EXPECT_EQ(empty.pixels, nullptr);

  // Two RGB32f pixels a row, padded to 32 bytes.
  alignas(16) float storage[3 * 8] = {};
  brel::Layer<brel::RGB32f> layer;
  layer.width = 2;
  layer.height = 3;
  layer.pixels = reinterpret_cast<brel::RGB32f*>(storage);
  layer.row_bytes = 32;
  layer.row(2)[1].channel[2] = 7.0f;
  EXPECT_EQ(storage[2 * 8 + 3 + 2], 7.0f);
}

}  // namespace
