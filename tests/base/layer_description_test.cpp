#include "base/layer_description.h"

#include <gtest/gtest.h>

#include "base/plugin_context.h"

namespace {

// An absent texture is a default entry: it must read as a layer without pixels of unknown format
// and neutral geometry, or kernels would take it for a present one.
TEST(Layer_Typeless, DefaultIsAnEmptyLayerOfUnknownFormat) {
  const brel::Layer_Typeless layer;
  EXPECT_EQ(layer.width, 0);
  EXPECT_EQ(layer.height, 0);
  EXPECT_EQ(layer.scale_x, 1.0f);
  EXPECT_EQ(layer.pixel_aspect, 1.0f);
  EXPECT_EQ(layer.pixels, nullptr);
  EXPECT_EQ(layer.pixel_description.kind, 0);
  EXPECT_EQ(layer.pixel_description.bits, -1);
}

}  // namespace
