// The shadow stages through a render call in every host pixel type, with the stand-alone render
// context: the layers they leave for the later stages and the "shadow only" view.

#include "effect/shadow_stages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "effect/parameter_set.h"
#include "support/effect_render.h"

namespace {

using brel::test::by_depth;
using brel::test::white_of;
using Names = std::vector<std::string>;

constexpr int32_t mode_shadow_only = 3;

template <class P>
class Shadow_Stages_Test : public ::testing::Test, public brel::test::Effect_Render<P> {
 protected:
  // Ground at half the depth range with a raised block over columns 8 to 11 and rows 6 to 9,
  // depth from the red channel, in a 24 × 16 frame.
  Shadow_Stages_Test() : brel::test::Effect_Render<P>(24, 16) {
    const float white = white_of<P>();
    for (int64_t y = 0; y < 16; ++y) {
      for (int64_t x = 0; x < 24; ++x) {
        const bool block = x >= 8 && x < 12 && y >= 6 && y < 10;
        this->input.set(x, y, block ? white : white / 2, 0, 0, white);
      }
    }
    auto& store = this->effect.store();
    store.set_popup("render mode", mode_shadow_only);
    store.set_popup("depth channel", 1);
    store.set_float("depth factor", 20.0);
    store.set_float("pre blur strength", 0.0);
    store.set_checkbox("direct light/shadows", false);
    store.set_checkbox("point light/shadows", false);
  }

  // The grey of the shadows view at (x, y) as a fraction of white.
  float light_left(int64_t x, int64_t y) const { return this->output.red(x, y) / white_of<P>(); }
};
TYPED_TEST_SUITE(Shadow_Stages_Test, brel::test::Host_Pixel_Types);

// The direct light by default falls right and down in the image: the ground to the lower right
// of the block lies in its shadow, the rest is lit; every pixel of the frame is written.
TYPED_TEST(Shadow_Stages_Test, DirectLightShadowsTheFarSideOfTheBlock) {
  using P = TypeParam;
  this->effect.store().set_checkbox("direct light/shadows", true);
  EXPECT_EQ(this->render_frame(),
            (Names{"pre color correction (Cpu)", "generate normals (Cpu)", "point shadow (Cpu)",
                   "directional shadows (Cpu)", "smooth shadows (Cpu)", "smooth shadows (Cpu)",
                   "show render mode shadows (Cpu)"}));
  EXPECT_EQ(this->light_left(13, 11), 0.0f);
  EXPECT_EQ(this->light_left(6, 4), 1.0f);
  EXPECT_EQ(this->light_left(20, 2), 1.0f);
  for (int64_t y = 0; y < 16; ++y) {
    for (int64_t x = 0; x < 24; ++x) {
      EXPECT_EQ(this->output.green(x, y), this->output.red(x, y));
      EXPECT_EQ(this->output.alpha(x, y), white_of<P>());
    }
  }
}

// A point light left of the block at the block's middle row, above the block: the ground right
// of the block is shadowed, the ground towards the light and beside it lit. With both lights each
// shadow takes its share and the grey never falls below black.
TYPED_TEST(Shadow_Stages_Test, PointLightShadowsTheSideAwayFromItAndBothAddUp) {
  auto& store = this->effect.store();
  store.set_checkbox("point light/shadows", true);
  store.set_float("point light/light intensity", 1.0);
  store.set_point("position", 2.0, 8.0);
  store.set_float("z position", 40.0);
  this->render_frame();
  EXPECT_EQ(this->light_left(16, 8), 0.0f);
  EXPECT_EQ(this->light_left(5, 8), 1.0f);
  EXPECT_EQ(this->light_left(3, 15), 1.0f);
  const float point_only = this->light_left(13, 11);

  store.set_checkbox("direct light/shadows", true);
  this->render_frame();
  EXPECT_EQ(this->light_left(16, 8), 0.0f);
  EXPECT_EQ(this->light_left(13, 11), 0.0f);
  EXPECT_LT(this->light_left(13, 11), point_only + 1.0f);
}

// No light casting a shadow leaves the frame white; so does a fully transparent surface without
// gloss or reflection, whatever the switches say.
TYPED_TEST(Shadow_Stages_Test, WithoutShadowsTheFrameIsWhite) {
  using P = TypeParam;
  for (const bool transparent : {false, true}) {
    if (transparent) {
      this->effect.store().set_checkbox("direct light/shadows", true);
      this->effect.store().set_float("transparency", 1.0);
      this->effect.store().set_float("glossiness", 0.0);
      this->effect.store().set_float("reflection amount", 0.0);
    }
    this->render_frame();
    for (int64_t y = 0; y < 16; ++y) {
      for (int64_t x = 0; x < 24; ++x) {
        EXPECT_EQ(this->output.blue(x, y), white_of<P>()) << x << ", " << y;
      }
    }
  }
}

using Shadow_Stages_Float = Shadow_Stages_Test<brel::ARGB32f>;

// What the final shading reads: views of the frame's size at the output's coordinates, the
// directional ones 3 rows and 3 pixels into their bordered layers, the translucency layers only
// with "translucency" above 0, smoothed as the softness settings say.
TEST_F(Shadow_Stages_Float, LayersLeftForTheFinalShading) {
  auto& store = effect.store();
  store.set_checkbox("direct light/shadows", true);
  store.set_checkbox("point light/shadows", true);
  store.set_float("point light/light intensity", 1.0);
  store.set_float("translucency", 0.5);
  store.set_int("direct light/shadow softness", 1);
  auto& plugin = effect.command(false);
  brel::Layer_Map layers;
  const auto values = brel::prepare_pipeline_values<brel::ARGB32f>(plugin.parameter_set(), layers);
  brel::Depth_Surface surface;
  using Depth = brel::Depth_Stages<brel::ARGB32f>;
  using Shadows = brel::Shadow_Stages<brel::ARGB32f>;
  Depth::pre_color_correction(render.context, plugin.parameter_set(), layers, values, input.view,
                              output.view, surface);
  brel::Shadow_Layers shadows;
  Shadows::point_shadow(render.context, plugin.parameter_set(), values, surface, shadows);
  Shadows::directional_shadow(render.context, plugin.parameter_set(), values, surface, shadows);
  for (const brel::Layer<float>* view :
       {&shadows.point_shadow, &shadows.point_translucency_shadow, &shadows.directional_shadow,
        &shadows.directional_translucency_shadow}) {
    ASSERT_NE(view->pixels, nullptr);
    EXPECT_EQ(view->width, 24);
    EXPECT_EQ(view->height, 16);
  }
  const brel::Layer<float> bordered = brel::layer_view<float>(*shadows.directional_shadow_layer);
  EXPECT_EQ(bordered.width, 30);
  EXPECT_EQ(shadows.directional_shadow.origin_x, bordered.origin_x + 3);
  EXPECT_EQ(&shadows.directional_shadow.row(2)[1], &bordered.row(5)[4]);
  EXPECT_EQ(shadows.point_shadow.row_bytes,
            brel::layer_view<float>(*shadows.point_shadow_layer).row_bytes);

  store.set_float("translucency", 0.0);
  auto& opaque = effect.command(false);
  brel::Shadow_Layers without;
  Shadows::point_shadow(render.context, opaque.parameter_set(), values, surface, without);
  Shadows::directional_shadow(render.context, opaque.parameter_set(), values, surface, without);
  EXPECT_NE(without.point_shadow.pixels, nullptr);
  EXPECT_EQ(without.point_translucency_shadow.pixels, nullptr);
  EXPECT_EQ(without.directional_translucency_shadow.pixels, nullptr);
  EXPECT_EQ(without.directional_translucency_layer, nullptr);
}

// The directional layers are smoothed after the kernel with the direct light's softness: at 1,
// one pass softens the shadow's edge along the ground; far from it nothing changes.
TEST_F(Shadow_Stages_Float, DirectLightSoftnessSmoothsItsShadowEdge) {
  effect.store().set_checkbox("direct light/shadows", true);
  render_frame();
  EXPECT_EQ(output.red(12, 12), 0.0f);
  effect.store().set_int("direct light/shadow softness", 1);
  render_frame();
  EXPECT_FLOAT_EQ(output.red(12, 12), 0.4f);
  EXPECT_EQ(output.red(2, 2), 1.0f);
  EXPECT_EQ(output.red(13, 10), 0.0f);
}

TEST(Shadow_Stages, InnerViewOfABorderedLayer) {
  brel::test::Standalone_Render render(1);
  brel::Layer_Holder holder =
      brel::make_temporary_float_layer(render.context, 16, 12, 1, 5, -2, 1.5f, 0.5f, 0.25f);
  const brel::Layer<float> whole = brel::layer_view<float>(holder);
  const brel::Layer<float> inner = brel::inner_view(holder, 10, 6);
  EXPECT_EQ(std::vector<int64_t>(
                {inner.width, inner.height, inner.origin_x, inner.origin_y, inner.row_bytes}),
            std::vector<int64_t>({10, 6, 8, 1, whole.row_bytes}));
  EXPECT_EQ(std::vector<float>({inner.scale_x, inner.scale_y, inner.pixel_aspect_ratio}),
            std::vector<float>({0.5f, 0.25f, 1.5f}));
  EXPECT_EQ(inner.flag, 1);
  EXPECT_EQ(inner.pixels, &whole.row(3)[3]);
}

}  // namespace
