#include "base/layer_holder.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "base/exception.h"
#include "support/standalone_render.h"

namespace {

// Memory is asked for as width times the pixel size; a view's width comes from the memory's
// width, not from the padded row bytes.
TEST(Layer_Holder, AllocatorsAskForWidthTimesPixelSizeAndViewsKeepTheGeometry) {
  brel::test::Standalone_Render render(1);
  const brel::Layer_Holder floats =
      brel::make_temporary_float_layer(render.context, 5, 3, 2, -7, 11, 0.5f, 0.25f, 0.75f);
  EXPECT_EQ(floats.memory->width(), 20);
  EXPECT_EQ(floats.origin_x, -7);

  const brel::Layer_Holder holder =
      brel::make_rgb32f_layer(render.context, 5, 2, 1, 3, 4, 2.0f, 0.5f, 0.5f);
  EXPECT_EQ(holder.memory->width(), 60);
  const auto colour = brel::layer_view<brel::RGB32f>(holder);
  EXPECT_EQ(colour.width, 5);
  EXPECT_EQ(brel::layer_view<float>(holder).width, 15);
  EXPECT_EQ(colour.row_bytes, 64);  // 60 bytes padded to a multiple of 64
  EXPECT_EQ(reinterpret_cast<void*>(colour.pixels), holder.memory->device_data());
  EXPECT_EQ(colour.pixel_aspect_ratio, 2.0f);
  EXPECT_EQ(colour.flag, 1);

  const auto coordinates = brel::make_blur_coordinates_array(render.context, 5, 4);
  EXPECT_EQ(coordinates->width(), 60);
  const auto array = brel::array_2d_view<brel::Blur_Coordinates>(*coordinates);
  EXPECT_EQ(array.width, 5);
  EXPECT_EQ(array.row_bytes, 64);

  EXPECT_THROW(brel::make_temporary_float_layer(render.context, -1, 4, 0, 0, 0, 1.0f, 1.0f, 1.0f),
               brel::Exception_Assert);
  brel::Render_Context without_memory = render.context;
  without_memory.allocate_memory_2d = nullptr;
  EXPECT_THROW(brel::make_rgb32f_layer(without_memory, 2, 2, 0, 0, 0, 1.0f, 1.0f, 1.0f),
               std::bad_function_call);
}

}  // namespace
