#include "effect/caustics_stages.h"

#include <gtest/gtest.h>

#include "support/standalone_render.h"

namespace {

using brel::test::Standalone_Render;

TEST(Caustics_Image, ViewStartsTwoPixelsIntoEachRowOfTheBuffer) {
  Standalone_Render render(1);
  const brel::Layer_Holder buffer =
      brel::make_rgb32f_layer(render.context, 9, 3, 0, 4, -2, 1.0f, 1.0f, 1.0f);
  const brel::Layer<brel::RGB32f> whole = brel::layer_view<brel::RGB32f>(buffer);
  const brel::Layer<brel::RGB32f> image = brel::caustics_image_view(buffer, 5, 3);
  EXPECT_EQ(image.width, 5);
  EXPECT_EQ(image.height, 3);
  EXPECT_EQ(image.origin_x, 6);
  EXPECT_EQ(image.origin_y, -2);
  EXPECT_EQ(image.row_bytes, whole.row_bytes);
  for (int64_t y = 0; y < 3; ++y) {
    EXPECT_EQ(&image.row(y)[0], &whole.row(y)[2]);
  }
}

}  // namespace
