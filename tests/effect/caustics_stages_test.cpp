// The caustics stages through a render call in every host pixel type, ending in the render mode
// "caustix only", and the view of the filled image that the later stages read.

#include "effect/caustics_stages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/effect_render.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::test::by_depth;
using brel::test::Host_Layer;
using brel::test::typeless_of;
using brel::test::white_of;
using Names = std::vector<std::string>;

constexpr int32_t mode_caustix_only = 2;
// The stages a "caustix only" render ends with.
const Names caustics_run = {"caustics (Cpu)", "fill caustics buffer (Cpu)",
                            "show render mode caustics (Cpu)"};

Names last_three(const Names& names) {
  return names.size() < 3 ? names : Names(names.end() - 3, names.end());
}

TEST(Caustics_Image, ViewStartsTwoPixelsIntoEachRowOfTheBuffer) {
  brel::test::Standalone_Render render(1);
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

template <class P>
class Caustics_Stages_Test : public ::testing::Test, public brel::test::Effect_Render<P> {
 protected:
  Caustics_Stages_Test() : brel::test::Effect_Render<P>(12, 9) {
    this->effect.store().set_popup("render mode", mode_caustix_only);
  }

  // Every output pixel in the rectangle [x0, x1) × [y0, y1) shows (r, g, b) of white, opaque.
  void expect_output(int64_t x0, int64_t x1, int64_t y0, int64_t y1, float r, float g, float b) {
    for (int64_t y = y0; y < y1; ++y) {
      for (int64_t x = x0; x < x1; ++x) {
        EXPECT_EQ(this->output.red(x, y), r) << x << ", " << y;
        EXPECT_EQ(this->output.green(x, y), g) << x << ", " << y;
        EXPECT_EQ(this->output.blue(x, y), b) << x << ", " << y;
        EXPECT_EQ(this->output.alpha(x, y), white_of<P>()) << x << ", " << y;
      }
    }
  }
};
TYPED_TEST_SUITE(Caustics_Stages_Test, brel::test::Host_Pixel_Types);

// Without transparency nothing is seen through the surface: no buffer, a black view.
TYPED_TEST(Caustics_Stages_Test, OpaqueSurfaceShowsBlack) {
  this->effect.store().set_float("caustix", 1.0);
  EXPECT_EQ(last_three(this->render_frame()), caustics_run);
  this->expect_output(0, 12, 0, 9, 0.0f, 0.0f, 0.0f);
}

// A background seen through the surface without caustics fills the buffer unsplatted and shows
// in place: every pixel its own background pixel, no shift and no black columns at the sides.
TYPED_TEST(Caustics_Stages_Test, BackgroundWithoutCausticsShowsInPlace) {
  using P = TypeParam;
  const float white = white_of<P>();
  Host_Layer<P> background(this->render.context, 12, 9);
  for (int64_t y = 0; y < 9; ++y) {
    for (int64_t x = 0; x < 12; ++x) {
      background.set(x, y, x % 3 == 0 ? white : 0.0f, y % 2 == 0 ? white : 0.0f, white, white);
    }
  }
  brel::Layer_Map layers;
  layers["background"] = typeless_of(background);
  this->effect.store().set_float("transparency", 1.0);
  EXPECT_EQ(last_three(this->render_frame(layers)), caustics_run);
  for (int64_t y = 0; y < 9; ++y) {
    for (int64_t x = 0; x < 12; ++x) {
      EXPECT_EQ(this->output.red(x, y), background.red(x, y)) << x << ", " << y;
      EXPECT_EQ(this->output.green(x, y), background.green(x, y)) << x << ", " << y;
      EXPECT_EQ(this->output.blue(x, y), white) << x << ", " << y;
    }
  }
}

// A flat, unbent surface under the direct light: every cell lands one pixel of area, so the
// inside of the frame shows the full light colour; the light's direction only shifts it.
TYPED_TEST(Caustics_Stages_Test, FlatSurfaceShowsTheFullLight) {
  using P = TypeParam;
  const float white = white_of<P>();
  this->input.fill(white, white, white, white);
  this->effect.store().set_float("transparency", 1.0);
  this->effect.store().set_float("caustix", 1.0);
  this->effect.store().set_float("depth factor", 1.0);
  this->effect.store().set_color_float("directlight/light color", {1.0f, 1.0f, 0.0f, 1.0f});
  EXPECT_EQ(last_three(this->render_frame()), caustics_run);
  this->expect_output(3, 9, 3, 6, white, 0.0f, white);
}

}  // namespace
