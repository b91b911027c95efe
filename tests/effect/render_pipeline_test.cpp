#include "effect/render_pipeline.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/effect_plugin_host.h"

namespace {

using brel::ARGB32f;
using brel::test::Effect_Plugin_Host;

// The working values of a render over the store's current values.
brel::Pipeline_Values<ARGB32f> values_of(Effect_Plugin_Host& effect,
                                         const brel::Layer_Map& layers = {}) {
  return brel::prepare_pipeline_values<ARGB32f>(effect.command(false).parameter_set(), layers);
}

void expect_rgb(const brel::Rgb_Value& c, float red, float green, float blue) {
  EXPECT_EQ(c.red, red);
  EXPECT_EQ(c.green, green);
  EXPECT_EQ(c.blue, blue);
}

TEST(Pipeline_Values, QualityAndGatherModesForEveryOverrideAllAndAntialiasItem) {
  Effect_Plugin_Host effect;
  // "low (1x)" oversamples but draws the caustics edges without coverage, as "off" does.
  const int32_t caustics_by_item[5] = {0, 1, 1, 2, 3};
  for (int32_t item = 0; item < 5; ++item) {
    effect.store().set_popup("override all", item);
    for (int32_t k = 0; k < 4; ++k) {
      effect.store().set_popup("caustics antialias", k % 3);
      effect.store().set_popup("oversampling antialias", k);
      effect.store().set_popup("refraction antialias", k);
      effect.store().set_popup("environent antialias", 3 - k);
      const auto v = values_of(effect);
      const bool popups = item == 0;  // "-" leaves each popup in charge
      SCOPED_TRACE("override all " + std::to_string(item) + ", popups " + std::to_string(k));
      EXPECT_EQ(v.quality.caustics_quality, popups ? k % 3 + 1 : caustics_by_item[item]);
      EXPECT_EQ(v.quality.oversampling, popups ? k + 1 : item);
      EXPECT_EQ(v.refraction.gather_mode, popups ? k + 1 : item);
      EXPECT_EQ(v.environment.gather_mode, popups ? 4 - k : item);
    }
  }
}

TEST(Pipeline_Values, AlphaFlagReadsFadingOnlyWithoutClipping) {
  Effect_Plugin_Host effect;
  const auto fading_checkouts = [&effect] {
    int64_t count = 0;
    for (const auto& call : effect.host.checkout_calls()) {
      count += call.index == 87 ? 1 : 0;  // slot 86
    }
    return count;
  };
  EXPECT_FALSE(values_of(effect).alpha);
  EXPECT_EQ(fading_checkouts(), 1);
  effect.store().set_float("alpha fading", 0.001);
  EXPECT_TRUE(values_of(effect).alpha);
  effect.store().set_float("alpha fading", 0.0);
  effect.store().set_checkbox("alpha clipping", true);
  EXPECT_TRUE(values_of(effect).alpha);
  EXPECT_EQ(fading_checkouts(), 2);  // not read the third time
}

TEST(Pipeline_Values, DepthScaleAndPreBlurSettings) {
  Effect_Plugin_Host effect;
  effect.store().set_float("depth factor", 55.5);
  effect.store().set_float("pre blur strength", 0.25);
  effect.store().set_float("pre blur threshold", 12.5);
  effect.store().set_int("pre blur iterations", 5);
  const auto v = values_of(effect);
  // 55.5 * 1.4142136 in double, then narrowed; in single precision it would end in ...498.
  EXPECT_EQ(v.depth_scale, 0x1.39f496p+6f);
  EXPECT_EQ(v.environment.depth_scale, v.depth_scale);
  EXPECT_EQ(v.pre_blur_strength, 0.25);
  EXPECT_EQ(v.pre_blur_threshold, 12.5);
  EXPECT_EQ(v.pre_blur_iterations, 5);
}

TEST(Pipeline_Values, RenderModeAdjustmentsForEveryModeKeepTheShadowFlags) {
  struct Adjusted {
    float point, direct, illumination, reflection, transparency, caustix;
    bool highlights;
    bool operator==(const Adjusted&) const = default;
  };
  Effect_Plugin_Host effect;
  effect.store().set_float("point light/light intensity", 0.5);
  effect.store().set_float("illumination amount", 0.5);
  effect.store().set_float("reflection amount", 0.25);
  effect.store().set_float("transparency", 0.25);
  effect.store().set_float("caustix", 0.75);
  const Adjusted as_set = {0.5f, 1.0f, 0.5f, 0.25f, 0.25f, 0.75f, false};
  const Adjusted refraction_only = {0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, false};
  const Adjusted highlights_only = {0.5f, 1.0f, 0.0f, 0.25f, 0.0f, 0.0f, true};
  for (int32_t mode = 0; mode < 8; ++mode) {
    effect.store().set_popup("render mode", mode);
    const auto v = values_of(effect);
    const Adjusted got = {v.point_light.intensity,
                          v.direct_light.intensity,
                          v.environment.illumination_amount,
                          v.environment.reflection_amount,
                          v.transparency,
                          v.caustix,
                          v.highlights_only};
    EXPECT_TRUE(got == (mode == 1   ? refraction_only
                        : mode == 4 ? highlights_only
                                    : as_set))
        << mode;
    EXPECT_EQ(v.render_mode, mode);
    EXPECT_TRUE(v.point_light.shadows) << mode;
    EXPECT_TRUE(v.direct_light.shadows) << mode;
  }
}

TEST(Pipeline_Values, PointLightFromItsGroupAtADownsampledRender) {
  Effect_Plugin_Host effect;
  effect.host.set_layer_size(200, 100);
  effect.host.set_downsample(1, 2, 1, 4);
  effect.store().set_float("point light/light intensity", 0.75);
  effect.store().set_float("point light/light size", 2.5);
  effect.store().set_float("light falloff", 0.125);
  effect.store().set_point("position", -12.5, 40.25);  // full-resolution pixels
  effect.store().set_float("z position", -300.0);
  effect.store().set_color_float("point light/light color", {1.0f, 0.25f, 0.5f, 0.125f});
  effect.store().set_color_float("attenuation color", {1.0f, 0.75f, 0.375f, 2.0f});
  effect.store().set_int("point light/shadow softness", 7);
  const brel::Point_Light light = values_of(effect).point_light;
  EXPECT_EQ(light.intensity, 0.75f);
  EXPECT_EQ(light.size, 2.5f);
  EXPECT_EQ(light.falloff, 0.125f);
  // The host delivers the position in pixels of the downsampled layer; it stays as delivered.
  EXPECT_EQ(light.position_x, -6.25f);
  EXPECT_EQ(light.position_y, 10.0625f);
  EXPECT_EQ(light.position_z, -300.0f);
  expect_rgb(light.color, 0.25f, 0.5f, 0.125f);
  expect_rgb(light.attenuation_color, 0.75f, 0.375f, 2.0f);
  EXPECT_TRUE(light.shadows);
  EXPECT_EQ(light.softness, int64_t{7});
}

TEST(Pipeline_Values, DirectLightFromItsGroup) {
  Effect_Plugin_Host effect;
  effect.store().set_float("direct light/light intensity", 0.5);
  effect.store().set_float("direct light/light size", 3.0);
  effect.store().set_color_float("direct light/light color", {1.0f, 0.5f, 1.5f, 0.25f});
  effect.store().set_int("direct light/shadow softness", 3);
  effect.store().set_checkbox("direct light/shadows", false);
  effect.store().set_angle("direct light angle", 30.0);
  effect.store().set_float("light forward angle", 2.0);
  const brel::Direct_Light light = values_of(effect).direct_light;
  EXPECT_EQ(light.intensity, 0.5f);
  EXPECT_EQ(light.size, 3.0f);
  EXPECT_EQ(light.direction.x, 0x1.d18f6ep-2f);
  EXPECT_EQ(light.direction.y, 0x1.932fep-1f);
  EXPECT_EQ(light.direction.z, 0x1.aa2264p-2f);
  expect_rgb(light.color, 0.5f, 1.5f, 0.25f);
  EXPECT_FALSE(light.shadows);
  EXPECT_EQ(light.softness, int64_t{3});
}

TEST(Pipeline_Values, FullyTransparentSurfaceWithoutGlossOrReflectionCastsNoShadow) {
  const struct {
    double transparency, glossiness, reflection;
    bool point_switch, point_shadows, direct_shadows;
  } cases[] = {
      {1.0, 0.0, 0.0, true, false, false},   {0.999, 0.0, 0.0, true, true, true},
      {0.999, 0.0, 0.0, false, false, true}, {1.0, 0.01, 0.0, true, true, true},
      {1.0, 0.0, 0.01, true, true, true},
  };
  for (const auto& c : cases) {
    Effect_Plugin_Host effect;
    effect.store().set_float("transparency", c.transparency);
    effect.store().set_float("glossiness", c.glossiness);
    effect.store().set_float("reflection amount", c.reflection);
    effect.store().set_checkbox("point light/shadows", c.point_switch);
    const auto v = values_of(effect);
    EXPECT_EQ(v.point_light.shadows, c.point_shadows) << "case " << &c - cases;
    EXPECT_EQ(v.direct_light.shadows, c.direct_shadows) << "case " << &c - cases;
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

TEST(Texture_Records, TexturesComeFromTheLayerMapByIdentifierAbsentOnesAreEmpty) {
  Effect_Plugin_Host effect;
  std::vector<ARGB32f> a(8 * 4), b(6 * 5), c(2 * 2), d(3 * 3);
  brel::Layer_Map layers;
  layers["refraction_texture"] = texture(a, 8, 4);
  layers["glossiness_amount_texture"] = texture(b, 6, 5);
  layers["environmental_layer"] = texture(c, 2, 2);
  // Keyed by the name instead of the identifier: not the texture of that parameter.
  layers["reflection amount texture"] = texture(d, 3, 3);
  const auto v = values_of(effect, layers);

  const brel::Layer<ARGB32f>& refraction = v.refraction.refraction_texture;
  EXPECT_EQ(refraction.pixels, a.data());
  EXPECT_EQ(refraction.width, 8);
  EXPECT_EQ(refraction.height, 4);
  EXPECT_EQ(refraction.origin_x, 3);
  EXPECT_EQ(refraction.origin_y, -2);
  EXPECT_EQ(refraction.scale_x, 0.5f);
  EXPECT_EQ(refraction.row_bytes, 8 * 16);
  EXPECT_EQ(v.refraction.glossiness_texture.pixels, b.data());
  EXPECT_EQ(v.environment.glossiness_texture.pixels, b.data());
  EXPECT_EQ(v.environment.environment_texture.pixels, c.data());
  EXPECT_EQ(v.environment.environment_texture.width, 2);
  for (const brel::Layer<ARGB32f>* view :
       {&v.refraction.refraction_depth_texture, &v.environment.reflection_texture}) {
    EXPECT_EQ(view->pixels, nullptr);
    EXPECT_EQ(view->width, 0);
    EXPECT_EQ(view->height, 0);
    EXPECT_EQ(view->scale_x, 1.0f);
    EXPECT_EQ(view->pixel_aspect_ratio, 1.0f);
    EXPECT_EQ(view->row_bytes, 0);
  }
  EXPECT_EQ(layers.size(), 4u);  // the caller's map is never changed by the lookups
}

TEST(Texture_Records, RefractionAndEnvironmentScalars) {
  Effect_Plugin_Host effect;
  effect.store().set_float("perspective perception", 0.5);
  effect.store().set_float("refraction", 1.33);
  effect.store().set_float("refraction depth multiplier", 0.75);
  effect.store().set_popup("refraction type", 2);
  effect.store().set_checkbox("invert refraction", true);
  effect.store().set_float("blur transparency", 10.0);
  effect.store().set_checkbox("link blur to glossiness", false);
  effect.store().set_float("gamma correction", 2.2);
  effect.store().set_float("glossiness", 0.625);
  effect.store().set_popup("environment type", 1);
  effect.store().set_float("blur illumination", 0.375);
  effect.store().set_float("illumination amount", 0.875);
  effect.store().set_color_float("illumination color", {1.0f, 0.5f, 0.25f, 3.0f});
  effect.store().set_float("reflection amount", 0.125);
  effect.store().set_float("bias reflection brightness", -0.5);
  effect.store().set_float("occlusion amount", 1.5);
  effect.store().set_int("occlusion radius", 23);
  effect.store().set_checkbox("quick mode", false);
  const auto v = values_of(effect);
  const auto& r = v.refraction;
  EXPECT_EQ(r.perspective, 0.5f);
  EXPECT_EQ(r.refraction_index, 1.33f);
  EXPECT_EQ(r.depth_multiplier, 0.75f);
  EXPECT_EQ(r.refraction_type, int64_t{2});
  EXPECT_TRUE(r.invert_refraction);
  EXPECT_EQ(r.blur_scale, 10.0f / 141.42136f);  // over the depth scale, in single precision
  EXPECT_FALSE(r.link_blur_to_glossiness);
  EXPECT_EQ(r.glossiness, 0.625f);
  const auto& e = v.environment;
  EXPECT_EQ(e.perspective, 0.5f);
  EXPECT_EQ(e.gamma, 2.2f);
  EXPECT_EQ(e.glossiness, 0.625f);
  EXPECT_EQ(e.environment_type, int64_t{1});
  EXPECT_EQ(e.blur_illumination, 0.375f);
  EXPECT_EQ(e.illumination_amount, 0.875f);
  expect_rgb(e.illumination_color, 0.5f, 0.25f, 3.0f);
  EXPECT_EQ(e.reflection_amount, 0.125f);
  EXPECT_EQ(e.reflection_bias, -0.5f);
  EXPECT_EQ(e.occlusion_amount, 1.5f);
  EXPECT_EQ(e.occlusion_radius, int64_t{23});
  EXPECT_FALSE(e.quick_mode);
}

}  // namespace
