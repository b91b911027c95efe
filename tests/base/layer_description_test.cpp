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
  EXPECT_EQ(layer.origin_x, 0);
  EXPECT_EQ(layer.origin_y, 0);
  EXPECT_EQ(layer.scale_x, 1.0f);
  EXPECT_EQ(layer.scale_y, 1.0f);
  EXPECT_EQ(layer.pixel_aspect, 1.0f);
  EXPECT_EQ(layer.flag, 0);
  EXPECT_EQ(layer.pixels, nullptr);
  EXPECT_EQ(layer.row_bytes, 0);
  EXPECT_EQ(layer.pixel_description.kind, 0);
  EXPECT_EQ(layer.pixel_description.bits, -1);
}

TEST(Layer_Typeless, DescriptionIsItsLeadingGeometry) {
  brel::Layer_Typeless layer;
  layer.width = 7;
  layer.height = 5;
  layer.origin_x = -3;
  layer.origin_y = 11;
  layer.scale_x = 0.5f;
  layer.scale_y = 0.25f;
  layer.pixel_aspect = 2.0f;
  layer.flag = 1;
  const brel::Layer_Description d = layer.description();
  EXPECT_EQ(d.width, 7);
  EXPECT_EQ(d.height, 5);
  EXPECT_EQ(d.origin_x, -3);
  EXPECT_EQ(d.origin_y, 11);
  EXPECT_EQ(d.scale_x, 0.5f);
  EXPECT_EQ(d.scale_y, 0.25f);
  EXPECT_EQ(d.pixel_aspect, 2.0f);
  EXPECT_EQ(d.flag, 1);
}

TEST(Rect, HoldsItsEdgesLeftRightTopBottom) {
  const brel::Rect r{1, 2, 3, 4};
  EXPECT_EQ(r.left, 1);
  EXPECT_EQ(r.right, 2);
  EXPECT_EQ(r.top, 3);
  EXPECT_EQ(r.bottom, 4);
  EXPECT_NE(r, (brel::Rect{1, 3, 2, 4}));
}

}  // namespace
