#include "effect/render_pipeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/render_context_cpu.h"
#include "base/timing_table.h"
#include "support/effect_plugin_host.h"
#include "util/thread_pool.h"

namespace {

using brel::ARGB32f;
using brel::sim::Slot;
using brel::test::Effect_Plugin_Host;

// The working values of a render over the store's current values.
brel::Pipeline_Values<ARGB32f> values_of(Effect_Plugin_Host& effect,
                                         const brel::Layer_Map& layers = {}) {
  return brel::prepare_pipeline_values<ARGB32f>(effect.command(false).parameter_set(), layers);
}

int64_t checkouts_of_slot(const Effect_Plugin_Host& effect, int32_t slot) {
  int64_t count = 0;
  for (const auto& call : effect.host.checkout_calls()) {
    count += call.index == slot + 1 ? 1 : 0;
  }
  return count;
}

TEST(Pipeline_Values, QualityLevelsForEveryOverrideAllItem) {
  Effect_Plugin_Host effect;
  effect.store().set_popup("caustics antialias", 2);      // "smooth"
  effect.store().set_popup("oversampling antialias", 3);  // "3x"
  effect.store().set_popup("refraction antialias", 1);    // "low"
  effect.store().set_popup("environent antialias", 3);    // "smooth"
  auto v = values_of(effect);
  EXPECT_EQ(v.quality.caustics_quality, 3);
  EXPECT_EQ(v.quality.oversampling, 4);
  EXPECT_EQ(v.refraction.gather_mode, 2);
  EXPECT_EQ(v.environment.gather_mode, 4);

  const int32_t caustics[] = {0, 1, 1, 2, 3};
  for (int32_t item = 1; item <= 4; ++item) {
    effect.store().set_popup("override all", item);
    v = values_of(effect);
    EXPECT_EQ(v.quality.caustics_quality, caustics[item]) << item;
    EXPECT_EQ(v.quality.oversampling, item) << item;
    EXPECT_EQ(v.refraction.gather_mode, item) << item;
    EXPECT_EQ(v.environment.gather_mode, item) << item;
  }
}

TEST(Pipeline_Values, AlphaFlagReadsFadingOnlyWithoutClipping) {
  Effect_Plugin_Host effect;
  EXPECT_FALSE(values_of(effect).alpha);
  EXPECT_EQ(checkouts_of_slot(effect, 86), 1);
  effect.store().set_float("alpha fading", 0.001);
  EXPECT_TRUE(values_of(effect).alpha);
  effect.store().set_float("alpha fading", 0.0);
  effect.store().set_checkbox("alpha clipping", true);
  EXPECT_TRUE(values_of(effect).alpha);
  EXPECT_EQ(checkouts_of_slot(effect, 86), 2);  // not read the third time
}

TEST(Pipeline_Values, DepthScaleAndPreBlurSettings) {
  Effect_Plugin_Host effect;
  effect.store().set_float("depth factor", 55.5);
  effect.store().set_float("pre blur strength", 0.25);
  effect.store().set_float("pre blur threshold", 12.5);
  effect.store().set_int("pre blur iterations", 5);
  const auto v = values_of(effect);
  EXPECT_EQ(v.depth_scale, 0x1.39f496p+6f);  // 55.5 * 1.4142136 in double, then narrowed
  EXPECT_EQ(v.environment.depth_scale, v.depth_scale);
  EXPECT_EQ(v.pre_blur_strength, 0.25);
  EXPECT_EQ(v.pre_blur_threshold, 12.5);
  EXPECT_EQ(v.pre_blur_iterations, 5);
}

TEST(Pipeline_Values, PointLightFromItsGroup) {
  Effect_Plugin_Host effect;
  effect.host.set_layer_size(200, 100);
  effect.store().set_float("point light/light intensity", 0.75);
  effect.store().set_float("point light/light size", 2.5);
  effect.store().set_float("light falloff", 0.125);
  effect.store().set_point("position", -12.5, 40.25);
  effect.store().set_float("z position", -300.0);
  effect.store().set_color_float("point light/light color", {1.0f, 0.25f, 0.5f, 0.125f});
  effect.store().set_color_float("attenuation color", {1.0f, 0.75f, 0.375f, 2.0f});
  effect.store().set_int("point light/shadow softness", 7);
  const brel::Point_Light light = values_of(effect).point_light;
  EXPECT_EQ(light.intensity, 0.75f);
  EXPECT_EQ(light.size, 2.5f);
  EXPECT_EQ(light.falloff, 0.125f);
  EXPECT_EQ(light.position_x, -12.5f);
  EXPECT_EQ(light.position_y, 40.25f);
  EXPECT_EQ(light.position_z, -300.0f);
  EXPECT_EQ(light.color.red, 0.25f);
  EXPECT_EQ(light.color.green, 0.5f);
  EXPECT_EQ(light.color.blue, 0.125f);
  EXPECT_EQ(light.attenuation_color.red, 0.75f);
  EXPECT_EQ(light.attenuation_color.green, 0.375f);
  EXPECT_EQ(light.attenuation_color.blue, 2.0f);
  EXPECT_TRUE(light.shadows);
  EXPECT_EQ(light.softness, int64_t{7});
}

TEST(Pipeline_Values, PointLightPositionIsTheDeliveredPositionUnscaled) {
  Effect_Plugin_Host effect;
  effect.host.set_layer_size(200, 100);
  effect.host.set_downsample(1, 2, 1, 4);
  effect.store().set_point("position", -12.5, 40.25);  // full-resolution pixels
  const brel::Point_Light light = values_of(effect).point_light;
  // The host delivers the position in pixels of the downsampled layer; it stays as delivered.
  EXPECT_EQ(light.position_x, -6.25f);
  EXPECT_EQ(light.position_y, 10.0625f);
}

TEST(Pipeline_Values, DirectLightFromItsGroup) {
  Effect_Plugin_Host effect;
  effect.store().set_float("direct light/light intensity", 0.5);
  effect.store().set_float("direct light/light size", 3.0);
  effect.store().set_color_float("direct light/light color", {1.0f, 0.5f, 1.5f, 0.25f});
  effect.store().set_int("direct light/shadow softness", 3);
  effect.store().set_checkbox("direct light/shadows", false);
  brel::Direct_Light light = values_of(effect).direct_light;
  EXPECT_EQ(light.intensity, 0.5f);
  EXPECT_EQ(light.size, 3.0f);
  // The defaults, 135 degrees and 0.5 radians.
  EXPECT_EQ(light.direction.x, 0x1.5b2422p-2f);
  EXPECT_EQ(light.direction.y, -0x1.5b2422p-2f);
  EXPECT_EQ(light.direction.z, -0x1.c15282p-1f);
  EXPECT_EQ(light.color.red, 0.5f);
  EXPECT_EQ(light.color.green, 1.5f);
  EXPECT_EQ(light.color.blue, 0.25f);
  EXPECT_FALSE(light.shadows);
  EXPECT_EQ(light.softness, int64_t{3});

  effect.store().set_angle("direct light angle", 30.0);
  effect.store().set_float("light forward angle", 2.0);
  light = values_of(effect).direct_light;
  EXPECT_EQ(light.direction.x, 0x1.d18f6ep-2f);
  EXPECT_EQ(light.direction.y, 0x1.932fep-1f);
  EXPECT_EQ(light.direction.z, 0x1.aa2264p-2f);
}

TEST(Pipeline_Values, TransparentSurfaceWithoutGlossOrReflectionCastsNoShadow) {
  Effect_Plugin_Host effect;
  effect.store().set_float("transparency", 1.0);
  auto v = values_of(effect);
  EXPECT_FALSE(v.point_light.shadows);
  EXPECT_FALSE(v.direct_light.shadows);

  effect.store().set_float("transparency", 0.999);
  v = values_of(effect);
  EXPECT_TRUE(v.point_light.shadows);
  EXPECT_TRUE(v.direct_light.shadows);
  effect.store().set_checkbox("point light/shadows", false);
  EXPECT_FALSE(values_of(effect).point_light.shadows);

  effect.store().set_float("transparency", 1.0);
  effect.store().set_checkbox("point light/shadows", true);
  effect.store().set_float("glossiness", 0.01);
  EXPECT_TRUE(values_of(effect).point_light.shadows);
  effect.store().set_float("glossiness", 0.0);
  effect.store().set_float("reflection amount", 0.01);
  EXPECT_TRUE(values_of(effect).direct_light.shadows);
}

TEST(Pipeline_Values, RefractionOnlySwitchesOffLightsAndEnvironmentButKeepsShadowFlags) {
  Effect_Plugin_Host effect;
  effect.store().set_popup("render mode", 1);
  effect.store().set_float("point light/light intensity", 0.5);
  effect.store().set_float("illumination amount", 0.5);
  effect.store().set_float("reflection amount", 0.5);
  effect.store().set_float("transparency", 0.25);
  effect.store().set_float("caustix", 0.75);
  const auto v = values_of(effect);
  EXPECT_EQ(v.render_mode, 1);
  EXPECT_EQ(v.point_light.intensity, 0.0f);
  EXPECT_EQ(v.direct_light.intensity, 0.0f);
  EXPECT_TRUE(v.point_light.shadows);
  EXPECT_TRUE(v.direct_light.shadows);
  EXPECT_EQ(v.environment.illumination_amount, 0.0f);
  EXPECT_EQ(v.environment.reflection_amount, 0.0f);
  EXPECT_EQ(v.transparency, 1.0f);
  EXPECT_EQ(v.caustix, 0.0f);
  EXPECT_FALSE(v.highlights_only);
}

TEST(Pipeline_Values, HighlightsOnlyAndTheModesThatChangeNothing) {
  Effect_Plugin_Host effect;
  effect.store().set_float("illumination amount", 0.5);
  effect.store().set_float("reflection amount", 0.5);
  effect.store().set_float("transparency", 0.25);
  effect.store().set_float("caustix", 0.75);
  effect.store().set_popup("render mode", 4);
  auto v = values_of(effect);
  EXPECT_EQ(v.transparency, 0.0f);
  EXPECT_EQ(v.caustix, 0.0f);
  EXPECT_EQ(v.environment.illumination_amount, 0.0f);
  EXPECT_EQ(v.environment.reflection_amount, 0.5f);
  EXPECT_EQ(v.direct_light.intensity, 1.0f);
  EXPECT_TRUE(v.highlights_only);
  for (int32_t mode : {0, 2, 3, 5, 6, 7}) {
    effect.store().set_popup("render mode", mode);
    v = values_of(effect);
    EXPECT_EQ(v.transparency, 0.25f) << mode;
    EXPECT_EQ(v.caustix, 0.75f) << mode;
    EXPECT_EQ(v.environment.illumination_amount, 0.5f) << mode;
    EXPECT_FALSE(v.highlights_only) << mode;
  }
}

// A host layer record over a pixel buffer of the test.
brel::Layer_Typeless texture(std::vector<ARGB32f>& pixels, int64_t width, int64_t height) {
  brel::Layer_Typeless layer;
  layer.width = width;
  layer.height = height;
  layer.origin_x = 3;
  layer.origin_y = -2;
  layer.scale_x = 0.5f;
  layer.scale_y = 0.5f;
  layer.pixels = pixels.data();
  layer.row_bytes = width * static_cast<int64_t>(sizeof(ARGB32f));
  layer.pixel_description = {1, 32, 1, 2, 3, 0};
  return layer;
}

TEST(Texture_Records, TexturesComeFromTheLayerMapByIdentifier) {
  Effect_Plugin_Host effect;
  std::vector<ARGB32f> a(8 * 4), b(6 * 5), c(2 * 2), d(3 * 3);
  brel::Layer_Map layers;
  layers["refraction_texture"] = texture(a, 8, 4);
  layers["glossiness_amount_texture"] = texture(b, 6, 5);
  layers["environmental_layer"] = texture(c, 2, 2);
  // Keyed by the name instead of the identifier: not the texture of that parameter.
  layers["reflection amount texture"] = texture(d, 3, 3);
  const auto v = values_of(effect, layers);

  EXPECT_EQ(v.refraction.refraction_texture.pixels, a.data());
  EXPECT_EQ(v.refraction.refraction_texture.width, 8);
  EXPECT_EQ(v.refraction.refraction_texture.height, 4);
  EXPECT_EQ(v.refraction.refraction_texture.origin_x, 3);
  EXPECT_EQ(v.refraction.refraction_texture.origin_y, -2);
  EXPECT_EQ(v.refraction.refraction_texture.scale_x, 0.5f);
  EXPECT_EQ(v.refraction.refraction_texture.row_bytes, 8 * 16);
  EXPECT_EQ(v.refraction.glossiness_texture.pixels, b.data());
  EXPECT_EQ(v.environment.glossiness_texture.pixels, b.data());
  EXPECT_EQ(v.environment.environment_texture.pixels, c.data());
  EXPECT_EQ(v.environment.environment_texture.width, 2);

  // Absent textures are empty views.
  for (const brel::Layer<ARGB32f>* view :
       {&v.refraction.refraction_depth_texture, &v.environment.reflection_texture}) {
    EXPECT_EQ(view->pixels, nullptr);
    EXPECT_EQ(view->width, 0);
    EXPECT_EQ(view->height, 0);
    EXPECT_EQ(view->scale_x, 1.0f);
    EXPECT_EQ(view->pixel_aspect_ratio, 1.0f);
    EXPECT_EQ(view->row_bytes, 0);
  }
  // The caller's map is never changed by the lookups.
  EXPECT_EQ(layers.size(), 4u);
}

TEST(Texture_Records, BuilderLooksUpInItsOwnCopyOfTheMap) {
  Effect_Plugin_Host effect;
  brel::Layer_Map layers;
  brel::test::Effect_Plugin& plugin = effect.command(false);
  const auto refraction = brel::prepare_pipeline_layers_a<ARGB32f>(plugin.parameter_set(), layers);
  EXPECT_EQ(refraction.refraction_texture.pixels, nullptr);
  EXPECT_TRUE(layers.empty());

  // The lookup itself inserts a default entry into the map it is given.
  const brel::Layer<ARGB32f> view =
      brel::texture_view<ARGB32f>(layers, plugin.parameter_set().slot<78>());
  EXPECT_EQ(view.pixels, nullptr);
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers.begin()->first, "refraction_texture");
  EXPECT_EQ(layers.begin()->second.pixel_description.bits, -1);
}

TEST(Texture_Records, RefractionScalars) {
  Effect_Plugin_Host effect;
  effect.store().set_float("perspective perception", 0.5);
  effect.store().set_float("refraction", 1.33);
  effect.store().set_float("refraction depth multiplier", 0.75);
  effect.store().set_popup("refraction type", 2);
  effect.store().set_checkbox("invert refraction", true);
  effect.store().set_float("blur transparency", 10.0);
  effect.store().set_checkbox("link blur to glossiness", false);
  effect.store().set_float("glossiness", 0.625);
  const auto r = values_of(effect).refraction;
  EXPECT_EQ(r.perspective, 0.5f);
  EXPECT_EQ(r.refraction_index, 1.33f);
  EXPECT_EQ(r.depth_multiplier, 0.75f);
  EXPECT_EQ(r.refraction_type, int64_t{2});
  EXPECT_TRUE(r.invert);
  // 10 / 141.42136 in single precision.
  EXPECT_EQ(r.blur, 10.0f / 141.42136f);
  EXPECT_NEAR(r.blur, 0.0707107f, 1e-7f);
  EXPECT_FALSE(r.link_blur_to_glossiness);
  EXPECT_EQ(r.glossiness, 0.625f);
}

TEST(Texture_Records, EnvironmentScalars) {
  Effect_Plugin_Host effect;
  effect.store().set_float("perspective perception", -0.25);
  effect.store().set_float("gamma correction", 2.2);
  effect.store().set_float("glossiness", 0.5);
  effect.store().set_popup("environment type", 1);
  effect.store().set_float("blur illumination", 0.375);
  effect.store().set_float("illumination amount", 0.875);
  effect.store().set_color_float("illumination color", {1.0f, 0.5f, 0.25f, 3.0f});
  effect.store().set_float("reflection amount", 0.125);
  effect.store().set_float("bias reflection brightness", -0.5);
  effect.store().set_float("occlusion amount", 1.5);
  effect.store().set_int("occlusion radius", 23);
  effect.store().set_checkbox("quick mode", false);
  const auto e = values_of(effect).environment;
  EXPECT_EQ(e.perspective, -0.25f);
  EXPECT_EQ(e.depth_scale, 141.42136f);
  EXPECT_EQ(e.gamma, 2.2f);
  EXPECT_EQ(e.glossiness, 0.5f);
  EXPECT_EQ(e.environment_type, int64_t{1});
  EXPECT_EQ(e.blur_illumination, 0.375f);
  EXPECT_EQ(e.illumination_amount, 0.875f);
  EXPECT_EQ(e.illumination_color.red, 0.5f);
  EXPECT_EQ(e.illumination_color.green, 0.25f);
  EXPECT_EQ(e.illumination_color.blue, 3.0f);
  EXPECT_EQ(e.reflection_amount, 0.125f);
  EXPECT_EQ(e.reflection_bias, -0.5f);
  EXPECT_EQ(e.occlusion_amount, 1.5f);
  EXPECT_EQ(e.occlusion_radius, int64_t{23});
  EXPECT_FALSE(e.quick_mode);
}

}  // namespace
