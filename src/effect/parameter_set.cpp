#include "effect/parameter_set.h"

#include <string>
#include <vector>

namespace brel {

namespace {

// Builders for the declarations below. Each starts from the kind's plain description (name,
// an empty identifier so the name gives it, and the host id) and overwrites what a row sets.

Group_Parameter_Description group(const char* name, int64_t id, bool start_collapsed = true) {
  Group_Parameter_Description d(name, "", id);
  d.start_collapsed = start_collapsed;
  return d;
}

Group_End_Parameter_Description group_end(int64_t id) {
  return {"", "", id};
}

// Sliders of either kind: a default and the valid and slider ranges.
template <class Description, class Value>
Description slider(const char* name, int64_t id, Value default_value, Value valid_min,
                   Value valid_max, Value slider_min, Value slider_max) {
  Description d(name, "", id);
  d.default_value = default_value;
  d.valid_min = valid_min;
  d.valid_max = valid_max;
  d.slider_min = slider_min;
  d.slider_max = slider_max;
  return d;
}

Float_Parameter_Description float_slider(const char* name, int64_t id, double default_value,
                                         double valid_min, double valid_max, double slider_min,
                                         double slider_max) {
  return slider<Float_Parameter_Description, double>(name, id, default_value, valid_min, valid_max,
                                                     slider_min, slider_max);
}

Int_Parameter_Description int_slider(const char* name, int64_t id, int32_t default_value,
                                     int32_t valid_min, int32_t valid_max, int32_t slider_min,
                                     int32_t slider_max) {
  return slider<Int_Parameter_Description, int32_t>(name, id, default_value, valid_min, valid_max,
                                                    slider_min, slider_max);
}

// Every colour of the effect starts white.
Rgb_Parameter_Description white(const char* name, int64_t id) {
  Rgb_Parameter_Description d(name, "", id);
  d.red = 1.0;
  d.green = 1.0;
  d.blue = 1.0;
  return d;
}

Checkbox_Parameter_Description checkbox(const char* name, int64_t id, bool default_value,
                                        bool supervised = false) {
  Checkbox_Parameter_Description d(name, "", id);
  d.default_value = default_value;
  d.supervised = supervised;
  return d;
}

Choice_Parameter_Description choice(const char* name, int64_t id, int32_t default_index,
                                    std::vector<std::string> entries, bool supervised) {
  Choice_Parameter_Description d(name, "", id);
  d.entries = std::move(entries);
  d.default_index = default_index;
  d.supervised = supervised;
  return d;
}

Layer_Parameter_Description layer(const char* name, int64_t id) {
  return {name, "", id};
}

constexpr double e8 = 100000000.0;
constexpr double pi = 3.141592653589793;

}  // namespace

Parameter_Set::Parameter_Set(Parameter_Factory& f, Host_Context /*host_context*/) {
  declare<Slot::render_mode>(
      f.create_choice(choice("render mode", 67, 0,
                             {"all", "refraction only", "caustix only", "shadow only",
                              "highlights only", "normalmap", "depthmap", "surface color"},
                             false)));
  declare<Slot::depth_factor>(
      f.create_float(float_slider("depth factor", 5, 100, -e8, e8, 0, 1000)));
  declare<Slot::perspective_perception>(
      f.create_float(float_slider("perspective perception", 51, 0, -1000, 1000, -1, 1)));
  declare<Slot::gamma_correction>(
      f.create_float(float_slider("gamma correction", 97, 1, 0, 100, 0, 3)));

  declare<Slot::lights_group>(f.create_group(group("_________L I G H T S_________", 21, false)));
  declare<Slot::direct_light_group>(f.create_group(group("_DIRECT LIGHT_", 23, false)));
  declare<Slot::direct_light_intensity>(
      f.create_float(float_slider("light intensity", 11, 1, 0, e8, 0, 1)));
  declare<Slot::direct_light_color>(f.create_rgb(white("light color", 8)));
  declare<Slot::direct_light_size>(f.create_float(float_slider("light size", 59, 0, 0, e8, 0, 10)));
  {
    Angle_Parameter_Description d("direct light angle", "", 6);
    d.default_value = 135;
    d.start_collapsed = false;
    declare<Slot::direct_light_angle>(f.create_angle(d));
  }
  declare<Slot::direct_light_forward_angle>(
      f.create_float(float_slider("light forward angle", 7, 0.5, -e8, e8, -pi, pi)));
  declare<Slot::direct_shadows>(f.create_checkbox(checkbox("shadows", 44, true, true)));
  declare<Slot::direct_shadow_softness>(
      f.create_int(int_slider("shadow softness", 45, 0, 0, 100000000, 0, 10)));
  declare<Slot::direct_light_end>(f.create_group_end(group_end(24)));

  declare<Slot::point_light_group>(f.create_group(group("_POINT LIGHT_", 25)));
  declare<Slot::point_light_intensity>(
      f.create_float(float_slider("light intensity", 70, 0, 0, e8, 0, 1)));
  declare<Slot::point_light_color>(f.create_rgb(white("light color", 71)));
  declare<Slot::point_light_size>(f.create_float(float_slider("light size", 72, 0, 0, e8, 0, 10)));
  declare<Slot::point_light_falloff>(
      f.create_float(float_slider("light falloff", 77, 0, 0, e8, 0, 10)));
  declare<Slot::point_light_attenuation_color>(f.create_rgb(white("attenuation color", 78)));
  declare<Slot::point_light_position>(
      f.create_point_2d(Point_2d_Parameter_Description("position", "", 1)));
  declare<Slot::point_light_z_position>(
      f.create_float(float_slider("z position", 74, 1000, -e8, e8, -1000, 1000)));
  declare<Slot::point_shadows>(f.create_checkbox(checkbox("shadows", 75, true, true)));
  declare<Slot::point_shadow_softness>(
      f.create_int(int_slider("shadow softness", 76, 0, 0, 100000000, 0, 10)));
  declare<Slot::point_light_end>(f.create_group_end(group_end(26)));

  declare<Slot::environment_group>(f.create_group(group("_ENVIRONMENT_", 65)));
  declare<Slot::environmental_layer>(f.create_layer(layer("environmental layer", 60)));
  declare<Slot::environment_type>(
      f.create_choice(choice("environment type", 87, 0, {"panoramic", "spherical"}, false)));
  declare<Slot::reflection_amount_texture>(f.create_layer(layer("reflection amount texture", 94)));
  declare<Slot::reflection_amount>(
      f.create_float(float_slider("reflection amount", 89, 0, 0, e8, 0, 1)));
  declare<Slot::bias_reflection_brightness>(
      f.create_float(float_slider("bias reflection brightness", 91, 0, -1, e8, -1, 1)));
  declare<Slot::illumination_amount>(
      f.create_float(float_slider("illumination amount", 61, 0, 0, e8, 0, 1)));
  declare<Slot::illumination_color>(f.create_rgb(white("illumination color", 103)));
  declare<Slot::blur_illumination>(
      f.create_float(float_slider("blur illumination", 90, 0, 0, 1, 0, 1)));
  declare<Slot::occlusion_quick_mode>(f.create_checkbox(checkbox("quick mode", 64, true)));
  declare<Slot::occlusion_amount>(
      f.create_float(float_slider("occlusion amount", 62, 0, -e8, e8, 0, 1)));
  declare<Slot::occlusion_radius>(
      f.create_int(int_slider("occlusion radius", 63, 16, 1, 100, 1, 30)));
  declare<Slot::environment_end>(f.create_group_end(group_end(66)));
  declare<Slot::lights_end>(f.create_group_end(group_end(22)));

  declare<Slot::original_image_group>(f.create_group(group("_______ORIGINAL  IMAGE_______", 37)));
  declare<Slot::additive_mix>(f.create_checkbox(checkbox("additive mix", 15, false)));
  declare<Slot::color_mix>(f.create_float(float_slider("color mix", 39, 0, 0, 1, 0, 1)));
  declare<Slot::saturation>(f.create_float(float_slider("saturation", 3, 1, -e8, e8, 0, 2)));
  declare<Slot::depth_bias>(f.create_float(float_slider("depth bias", 10, 0, -1, e8, -1, 1)));
  declare<Slot::depth_gain>(f.create_float(float_slider("depth gain", 9, 0, -1, 1, -1, 1)));
  declare<Slot::original_image_end>(f.create_group_end(group_end(38)));

  declare<Slot::geometry_group>(f.create_group(group("_______G E O M E T R Y_______", 27)));
  declare<Slot::normal_texture>(f.create_layer(layer("normal texture", 73)));
  declare<Slot::depth_channel>(f.create_choice(
      choice("depth channel", 40, 0, {"luminance", "red", "green", "blue", "alpha"}, true)));
  // Both pre blur sliders carry host id 48; projects store them so.
  declare<Slot::pre_blur_strength>(
      f.create_float(float_slider("pre blur strength", 48, 1, 0, 100, 0, 1)));
  declare<Slot::pre_blur_threshold>(
      f.create_float(float_slider("pre blur threshold", 48, 20, 0, 1e11, 0, 1000)));
  declare<Slot::pre_blur_iterations>(
      f.create_int(int_slider("pre blur iterations", 49, 0, 0, 100, 0, 20)));
  declare<Slot::discontinuity_detection>(
      f.create_checkbox(checkbox("discontinuity detection", 16, false, true)));
  declare<Slot::discontinuity_threshold>(
      f.create_float(float_slider("discontinuity threshold", 14, 20, 0, 1e11, 0, 1000)));
  declare<Slot::front_level>(f.create_float(float_slider("front level", 17, 1, 0, 1, 0, 1)));
  declare<Slot::back_level>(f.create_float(float_slider("back level", 18, 0, 0, 1, 0, 1)));
  declare<Slot::geometry_end>(f.create_group_end(group_end(28)));

  declare<Slot::shading_group>(f.create_group(group("________S H A D I N G_______", 31)));
  declare<Slot::surface_color>(f.create_rgb(white("surface color", 88)));
  declare<Slot::surface_color_texture>(f.create_layer(layer("surface color texture", 20)));
  declare<Slot::surface_tint_amount>(
      f.create_float(float_slider("surface tint amount", 13, 0, 0, 1, 0, 1)));
  declare<Slot::glossiness_amount_texture>(f.create_layer(layer("glossiness amount texture", 56)));
  declare<Slot::glossiness>(f.create_float(float_slider("glossiness", 4, 0, 0, e8, 0, 1)));
  declare<Slot::specular_color_texture>(f.create_layer(layer("specular color texture", 79)));
  declare<Slot::specular_tint_amount>(
      f.create_float(float_slider("specular tint amount", 80, 0, 0, e8, 0, 1)));
  declare<Slot::translucency_amount_texture>(
      f.create_layer(layer("translucency amount texture", 68)));
  declare<Slot::translucency>(f.create_float(float_slider("translucency", 69, 0, 0, e8, 0, 1)));
  declare<Slot::translucency_color_texture>(
      f.create_layer(layer("translucency color texture", 98)));
  declare<Slot::translucency_color>(f.create_rgb(white("translucency color", 99)));
  declare<Slot::shading_shadow_softness>(
      f.create_int(int_slider("shadow softness", 100, 0, 0, 100000000, 0, 10)));
  declare<Slot::shading_end>(f.create_group_end(group_end(32)));

  declare<Slot::transparency_group>(f.create_group(group("___T R A N S P A R E N C Y____", 34)));
  declare<Slot::background>(f.create_layer(layer("background", 42)));
  declare<Slot::transparency_texture>(f.create_layer(layer("transparency texture", 57)));
  declare<Slot::transparency>(f.create_float(float_slider("transparency", 46, 0, 0, 1, 0, 1)));
  declare<Slot::colorize>(f.create_float(float_slider("colorize", 47, 0, 0, 1, 0, 1)));
  declare<Slot::refraction_type>(f.create_choice(
      choice("refraction type", 52, 1, {"accurate", "normalized", "wicked", "whatever"}, true)));
  declare<Slot::invert_refraction>(f.create_checkbox(checkbox("invert refraction", 54, false)));
  declare<Slot::refraction_texture>(f.create_layer(layer("refraction texture", 58)));
  declare<Slot::refraction>(f.create_float(float_slider("refraction", 43, 1, -e8, e8, 0, 2)));
  declare<Slot::refraction_depth_texture>(f.create_layer(layer("refraction depth texture", 95)));
  declare<Slot::refraction_depth_multiplier>(
      f.create_float(float_slider("refraction depth multiplier", 96, 1, -e8, e8, 0, 1)));
  declare<Slot::caustix>(f.create_float(float_slider("caustix", 53, 0, -e8, e8, 0, 1)));
  declare<Slot::blur_transparency>(
      f.create_float(float_slider("blur transparency", 92, 0, 0, 1000, 0, 50)));
  declare<Slot::link_blur_to_glossiness>(
      f.create_checkbox(checkbox("link blur to glossiness", 101, true)));
  declare<Slot::alpha_clipping>(f.create_checkbox(checkbox("alpha clipping", 33, false)));
  declare<Slot::alpha_fading>(f.create_float(float_slider("alpha fading", 36, 0, 0, e8, 0, 1)));
  declare<Slot::transparency_end>(f.create_group_end(group_end(35)));

  declare<Slot::quality_group>(f.create_group(group("___Q U A L I T Y____", 81)));
  declare<Slot::override_all>(f.create_choice(
      choice("override all", 82, 0, {"-", "off", "low (1x)", "sharp (2x)", "smooth (3x)"}, true)));
  declare<Slot::caustics_antialias>(
      f.create_choice(choice("caustics antialias", 83, 0, {"off", "sharp", "smooth"}, true)));
  declare<Slot::refraction_antialias>(f.create_choice(
      choice("refraction antialias", 84, 0, {"off", "low", "sharp", "smooth"}, true)));
  declare<Slot::environment_antialias>(f.create_choice(
      choice("environent antialias", 85, 0, {"off", "low", "sharp", "smooth"}, true)));
  declare<Slot::oversampling_antialias>(
      f.create_choice(choice("oversampling antialias", 102, 0, {"off", "1x", "2x", "3x"}, true)));
  declare<Slot::quality_end>(f.create_group_end(group_end(86)));

  parameters_ = f.parameters();
}

Parameter_Set::~Parameter_Set() {
  parameters_.clear();
}

}  // namespace brel
