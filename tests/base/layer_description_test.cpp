#include "base/layer_description.h"

#include <gtest/gtest.h>

#include "base/plugin_context.h"

namespace {

// An absent texture is a default entry: it must read as a layer without pixels of unknown format
// and neutral geometry, or kernels would take it for a present one.
TEST(Layer_Typeless, DefaultIsAnEmptyLayerOfUnknownFormatAndItsDescriptionCopiesTheGeometry) {
  brel::Layer_Typeless layer;
  EXPECT_EQ(layer.width, 0);
  EXPECT_EQ(layer.height, 0);
  EXPECT_EQ(layer.scale_x, 1.0f);
  EXPECT_EQ(layer.pixel_aspect, 1.0f);
  EXPECT_EQ(layer.pixels, nullptr);
  EXPECT_EQ(layer.pixel_description.kind, 0);
  EXPECT_EQ(layer.pixel_description.bits, -1);

  layer.width = 7;
  layer.origin_y = 11;
  layer.scale_y = 0.25f;
  layer.flag = 1;
  const brel::Layer_Description d = layer.description();
  EXPECT_EQ(d.width, 7);
  EXPECT_EQ(d.origin_y, 11);
  EXPECT_EQ(d.scale_y, 0.25f);
  EXPECT_EQ(d.flag, 1);
}

}  // namespace
