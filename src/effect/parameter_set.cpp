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
  declare<0>(f.create_choice(choice("render mode", 67, 0,
                                    {"all", "refraction only", "caustix only", "shadow only",
                                     "highlights only", "normalmap", "depthmap", "surface color"},
                                    false)));
  declare<1>(f.create_float(float_slider("depth factor", 5, 100, -e8, e8, 0, 1000)));
  declare<2>(f.create_float(float_slider("perspective perception", 51, 0, -1000, 1000, -1, 1)));
  declare<3>(f.create_float(float_slider("gamma correction", 97, 1, 0, 100, 0, 3)));

  declare<4>(f.create_group(group("_________L I G H T S_________", 21, false)));
  declare<5>(f.create_group(group("_DIRECT LIGHT_", 23, false)));
  declare<6>(f.create_float(float_slider("light intensity", 11, 1, 0, e8, 0, 1)));
  declare<7>(f.create_rgb(white("light color", 8)));
  declare<8>(f.create_float(float_slider("light size", 59, 0, 0, e8, 0, 10)));
  {
    Angle_Parameter_Description d("direct light angle", "", 6);
    d.default_value = 135;
    d.start_collapsed = false;
    declare<9>(f.create_angle(d));
  }
  declare<10>(f.create_float(float_slider("light forward angle", 7, 0.5, -e8, e8, -pi, pi)));
  declare<11>(f.create_checkbox(checkbox("shadows", 44, true, true)));
  declare<12>(f.create_int(int_slider("shadow softness", 45, 0, 0, 100000000, 0, 10)));
  declare<13>(f.create_group_end(group_end(24)));

  declare<14>(f.create_group(group("_POINT LIGHT_", 25)));
  declare<15>(f.create_float(float_slider("light intensity", 70, 0, 0, e8, 0, 1)));
  declare<16>(f.create_rgb(white("light color", 71)));
  declare<17>(f.create_float(float_slider("light size", 72, 0, 0, e8, 0, 10)));
  declare<18>(f.create_float(float_slider("light falloff", 77, 0, 0, e8, 0, 10)));
  declare<19>(f.create_rgb(white("attenuation color", 78)));
  declare<20>(f.create_point_2d(Point_2d_Parameter_Description("position", "", 1)));
  declare<21>(f.create_float(float_slider("z position", 74, 1000, -e8, e8, -1000, 1000)));
  declare<22>(f.create_checkbox(checkbox("shadows", 75, true, true)));
  declare<23>(f.create_int(int_slider("shadow softness", 76, 0, 0, 100000000, 0, 10)));
  declare<24>(f.create_group_end(group_end(26)));

  declare<25>(f.create_group(group("_ENVIRONMENT_", 65)));
  declare<26>(f.create_layer(layer("environmental layer", 60)));
  declare<27>(
      f.create_choice(choice("environment type", 87, 0, {"panoramic", "spherical"}, false)));
  declare<28>(f.create_layer(layer("reflection amount texture", 94)));
  declare<29>(f.create_float(float_slider("reflection amount", 89, 0, 0, e8, 0, 1)));
  declare<30>(f.create_float(float_slider("bias reflection brightness", 91, 0, -1, e8, -1, 1)));
  declare<31>(f.create_float(float_slider("illumination amount", 61, 0, 0, e8, 0, 1)));
  declare<32>(f.create_rgb(white("illumination color", 103)));
  declare<33>(f.create_float(float_slider("blur illumination", 90, 0, 0, 1, 0, 1)));
  declare<34>(f.create_checkbox(checkbox("quick mode", 64, true)));
  declare<35>(f.create_float(float_slider("occlusion amount", 62, 0, -e8, e8, 0, 1)));
  declare<36>(f.create_int(int_slider("occlusion radius", 63, 16, 1, 100, 1, 30)));
  declare<37>(f.create_group_end(group_end(66)));
  declare<38>(f.create_group_end(group_end(22)));

  declare<39>(f.create_group(group("_______ORIGINAL  IMAGE_______", 37)));
  declare<40>(f.create_checkbox(checkbox("additive mix", 15, false)));
  declare<41>(f.create_float(float_slider("color mix", 39, 0, 0, 1, 0, 1)));
  declare<42>(f.create_float(float_slider("saturation", 3, 1, -e8, e8, 0, 2)));
  declare<43>(f.create_float(float_slider("depth bias", 10, 0, -1, e8, -1, 1)));
  declare<44>(f.create_float(float_slider("depth gain", 9, 0, -1, 1, -1, 1)));
  declare<45>(f.create_group_end(group_end(38)));

  declare<46>(f.create_group(group("_______G E O M E T R Y_______", 27)));
  declare<47>(f.create_layer(layer("normal texture", 73)));
  declare<48>(f.create_choice(
      choice("depth channel", 40, 0, {"luminance", "red", "green", "blue", "alpha"}, true)));
  // Both pre blur sliders carry host id 48; projects store them so.
  declare<49>(f.create_float(float_slider("pre blur strength", 48, 1, 0, 100, 0, 1)));
  declare<50>(f.create_float(float_slider("pre blur threshold", 48, 20, 0, 1e11, 0, 1000)));
  declare<51>(f.create_int(int_slider("pre blur iterations", 49, 0, 0, 100, 0, 20)));
  declare<52>(f.create_checkbox(checkbox("discontinuity detection", 16, false, true)));
  declare<53>(f.create_float(float_slider("discontinuity threshold", 14, 20, 0, 1e11, 0, 1000)));
  declare<54>(f.create_float(float_slider("front level", 17, 1, 0, 1, 0, 1)));
  declare<55>(f.create_float(float_slider("back level", 18, 0, 0, 1, 0, 1)));
  declare<56>(f.create_group_end(group_end(28)));

  declare<57>(f.create_group(group("________S H A D I N G_______", 31)));
  declare<58>(f.create_rgb(white("surface color", 88)));
  declare<59>(f.create_layer(layer("surface color texture", 20)));
  declare<60>(f.create_float(float_slider("surface tint amount", 13, 0, 0, 1, 0, 1)));
  declare<61>(f.create_layer(layer("glossiness amount texture", 56)));
  declare<62>(f.create_float(float_slider("glossiness", 4, 0, 0, e8, 0, 1)));
  declare<63>(f.create_layer(layer("specular color texture", 79)));
  declare<64>(f.create_float(float_slider("specular tint amount", 80, 0, 0, e8, 0, 1)));
  declare<65>(f.create_layer(layer("translucency amount texture", 68)));
  declare<66>(f.create_float(float_slider("translucency", 69, 0, 0, e8, 0, 1)));
  declare<67>(f.create_layer(layer("translucency color texture", 98)));
  declare<68>(f.create_rgb(white("translucency color", 99)));
  declare<69>(f.create_int(int_slider("shadow softness", 100, 0, 0, 100000000, 0, 10)));
  declare<70>(f.create_group_end(group_end(32)));

  declare<71>(f.create_group(group("___T R A N S P A R E N C Y____", 34)));
  declare<72>(f.create_layer(layer("background", 42)));
  declare<73>(f.create_layer(layer("transparency texture", 57)));
  declare<74>(f.create_float(float_slider("transparency", 46, 0, 0, 1, 0, 1)));
  declare<75>(f.create_float(float_slider("colorize", 47, 0, 0, 1, 0, 1)));
  declare<76>(f.create_choice(
      choice("refraction type", 52, 1, {"accurate", "normalized", "wicked", "whatever"}, true)));
  declare<77>(f.create_checkbox(checkbox("invert refraction", 54, false)));
  declare<78>(f.create_layer(layer("refraction texture", 58)));
  declare<79>(f.create_float(float_slider("refraction", 43, 1, -e8, e8, 0, 2)));
  declare<80>(f.create_layer(layer("refraction depth texture", 95)));
  declare<81>(f.create_float(float_slider("refraction depth multiplier", 96, 1, -e8, e8, 0, 1)));
  declare<82>(f.create_float(float_slider("caustix", 53, 0, -e8, e8, 0, 1)));
  declare<83>(f.create_float(float_slider("blur transparency", 92, 0, 0, 1000, 0, 50)));
  declare<84>(f.create_checkbox(checkbox("link blur to glossiness", 101, true)));
  declare<85>(f.create_checkbox(checkbox("alpha clipping", 33, false)));
  declare<86>(f.create_float(float_slider("alpha fading", 36, 0, 0, e8, 0, 1)));
  declare<87>(f.create_group_end(group_end(35)));

  declare<88>(f.create_group(group("___Q U A L I T Y____", 81)));
  declare<89>(f.create_choice(
      choice("override all", 82, 0, {"-", "off", "low (1x)", "sharp (2x)", "smooth (3x)"}, true)));
  declare<90>(
      f.create_choice(choice("caustics antialias", 83, 0, {"off", "sharp", "smooth"}, true)));
  declare<91>(f.create_choice(
      choice("refraction antialias", 84, 0, {"off", "low", "sharp", "smooth"}, true)));
  declare<92>(f.create_choice(
      choice("environent antialias", 85, 0, {"off", "low", "sharp", "smooth"}, true)));
  declare<93>(
      f.create_choice(choice("oversampling antialias", 102, 0, {"off", "1x", "2x", "3x"}, true)));
  declare<94>(f.create_group_end(group_end(86)));

  parameters_ = f.parameters();
}

Parameter_Set::~Parameter_Set() {
  parameters_.clear();
}

}  // namespace brel
