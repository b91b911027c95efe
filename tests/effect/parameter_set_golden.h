#pragma once

// The effect's 95 controls as users and projects know them, written out independently of the
// code that declares them. A change here must be a deliberate change of the effect's identity.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace golden {

// clang-format off
enum class K { group, group_end, rgb, int_slider, float_slider, angle, checkbox, choice, point, layer };
// clang-format on

// default_value: the default of sliders and the angle; the 0-based default entry of a choice;
// 1 or 0 for a checkbox; each component of a colour; both coordinates of the point.
// `none` marks a value the kind does not have.
struct Row {
  int slot;
  int64_t id;
  K kind;
  std::string name;
  double default_value, valid_min, valid_max, slider_min, slider_max;
  std::vector<std::string> entries;
  bool supervised, start_collapsed;
};

inline constexpr double none = std::numeric_limits<double>::quiet_NaN();
inline constexpr double lowest = std::numeric_limits<double>::lowest();
inline constexpr double highest = std::numeric_limits<double>::max();

// clang-format off
inline const std::vector<Row> rows = {
    {0, 67, K::choice, "render mode", 0, none, none, none, none, {"all", "refraction only", "caustix only", "shadow only", "highlights only", "normalmap", "depthmap", "surface color"}, false, true},
    {1, 5, K::float_slider, "depth factor", 100, -100000000, 100000000, 0, 1000, {}, false, true},
    {2, 51, K::float_slider, "perspective perception", 0, -1000, 1000, -1, 1, {}, false, true},
    {3, 97, K::float_slider, "gamma correction", 1, 0, 100, 0, 3, {}, false, true},
    {4, 21, K::group, "_________L I G H T S_________", none, none, none, none, none, {}, false, false},
    {5, 23, K::group, "_DIRECT LIGHT_", none, none, none, none, none, {}, false, false},
    {6, 11, K::float_slider, "light intensity", 1, 0, 100000000, 0, 1, {}, false, true},
    {7, 8, K::rgb, "light color", 1, none, none, none, none, {}, false, true},
    {8, 59, K::float_slider, "light size", 0, 0, 100000000, 0, 10, {}, false, true},
    {9, 6, K::angle, "direct light angle", 135, lowest, highest, 0, 360, {}, false, false},
    {10, 7, K::float_slider, "light forward angle", 0.5, -100000000, 100000000, -3.141592653589793, 3.141592653589793, {}, false, true},
    {11, 44, K::checkbox, "shadows", 1, none, none, none, none, {}, true, true},
    {12, 45, K::int_slider, "shadow softness", 0, 0, 100000000, 0, 10, {}, false, true},
    {13, 24, K::group_end, "", none, none, none, none, none, {}, false, true},
    {14, 25, K::group, "_POINT LIGHT_", none, none, none, none, none, {}, false, true},
    {15, 70, K::float_slider, "light intensity", 0, 0, 100000000, 0, 1, {}, false, true},
    {16, 71, K::rgb, "light color", 1, none, none, none, none, {}, false, true},
    {17, 72, K::float_slider, "light size", 0, 0, 100000000, 0, 10, {}, false, true},
    {18, 77, K::float_slider, "light falloff", 0, 0, 100000000, 0, 10, {}, false, true},
    {19, 78, K::rgb, "attenuation color", 1, none, none, none, none, {}, false, true},
    {20, 1, K::point, "position", 0.5, none, none, none, none, {}, false, true},
    {21, 74, K::float_slider, "z position", 1000, -100000000, 100000000, -1000, 1000, {}, false, true},
    {22, 75, K::checkbox, "shadows", 1, none, none, none, none, {}, true, true},
    {23, 76, K::int_slider, "shadow softness", 0, 0, 100000000, 0, 10, {}, false, true},
    {24, 26, K::group_end, "", none, none, none, none, none, {}, false, true},
    {25, 65, K::group, "_ENVIRONMENT_", none, none, none, none, none, {}, false, true},
    {26, 60, K::layer, "environmental layer", none, none, none, none, none, {}, false, true},
    {27, 87, K::choice, "environment type", 0, none, none, none, none, {"panoramic", "spherical"}, false, true},
    {28, 94, K::layer, "reflection amount texture", none, none, none, none, none, {}, false, true},
    {29, 89, K::float_slider, "reflection amount", 0, 0, 100000000, 0, 1, {}, false, true},
    {30, 91, K::float_slider, "bias reflection brightness", 0, -1, 100000000, -1, 1, {}, false, true},
    {31, 61, K::float_slider, "illumination amount", 0, 0, 100000000, 0, 1, {}, false, true},
    {32, 103, K::rgb, "illumination color", 1, none, none, none, none, {}, false, true},
    {33, 90, K::float_slider, "blur illumination", 0, 0, 1, 0, 1, {}, false, true},
    {34, 64, K::checkbox, "quick mode", 1, none, none, none, none, {}, false, true},
    {35, 62, K::float_slider, "occlusion amount", 0, -100000000, 100000000, 0, 1, {}, false, true},
    {36, 63, K::int_slider, "occlusion radius", 16, 1, 100, 1, 30, {}, false, true},
    {37, 66, K::group_end, "", none, none, none, none, none, {}, false, true},
    {38, 22, K::group_end, "", none, none, none, none, none, {}, false, true},
    {39, 37, K::group, "_______ORIGINAL  IMAGE_______", none, none, none, none, none, {}, false, true},
    {40, 15, K::checkbox, "additive mix", 0, none, none, none, none, {}, false, true},
    {41, 39, K::float_slider, "color mix", 0, 0, 1, 0, 1, {}, false, true},
    {42, 3, K::float_slider, "saturation", 1, -100000000, 100000000, 0, 2, {}, false, true},
    {43, 10, K::float_slider, "depth bias", 0, -1, 100000000, -1, 1, {}, false, true},
    {44, 9, K::float_slider, "depth gain", 0, -1, 1, -1, 1, {}, false, true},
    {45, 38, K::group_end, "", none, none, none, none, none, {}, false, true},
    {46, 27, K::group, "_______G E O M E T R Y_______", none, none, none, none, none, {}, false, true},
    {47, 73, K::layer, "normal texture", none, none, none, none, none, {}, false, true},
    {48, 40, K::choice, "depth channel", 0, none, none, none, none, {"luminance", "red", "green", "blue", "alpha"}, true, true},
    {49, 48, K::float_slider, "pre blur strength", 1, 0, 100, 0, 1, {}, false, true},
    {50, 48, K::float_slider, "pre blur threshold", 20, 0, 100000000000, 0, 1000, {}, false, true},
    {51, 49, K::int_slider, "pre blur iterations", 0, 0, 100, 0, 20, {}, false, true},
    {52, 16, K::checkbox, "discontinuity detection", 0, none, none, none, none, {}, true, true},
    {53, 14, K::float_slider, "discontinuity threshold", 20, 0, 100000000000, 0, 1000, {}, false, true},
    {54, 17, K::float_slider, "front level", 1, 0, 1, 0, 1, {}, false, true},
    {55, 18, K::float_slider, "back level", 0, 0, 1, 0, 1, {}, false, true},
    {56, 28, K::group_end, "", none, none, none, none, none, {}, false, true},
    {57, 31, K::group, "________S H A D I N G_______", none, none, none, none, none, {}, false, true},
    {58, 88, K::rgb, "surface color", 1, none, none, none, none, {}, false, true},
    {59, 20, K::layer, "surface color texture", none, none, none, none, none, {}, false, true},
    {60, 13, K::float_slider, "surface tint amount", 0, 0, 1, 0, 1, {}, false, true},
    {61, 56, K::layer, "glossiness amount texture", none, none, none, none, none, {}, false, true},
    {62, 4, K::float_slider, "glossiness", 0, 0, 100000000, 0, 1, {}, false, true},
    {63, 79, K::layer, "specular color texture", none, none, none, none, none, {}, false, true},
    {64, 80, K::float_slider, "specular tint amount", 0, 0, 100000000, 0, 1, {}, false, true},
    {65, 68, K::layer, "translucency amount texture", none, none, none, none, none, {}, false, true},
    {66, 69, K::float_slider, "translucency", 0, 0, 100000000, 0, 1, {}, false, true},
    {67, 98, K::layer, "translucency color texture", none, none, none, none, none, {}, false, true},
    {68, 99, K::rgb, "translucency color", 1, none, none, none, none, {}, false, true},
    {69, 100, K::int_slider, "shadow softness", 0, 0, 100000000, 0, 10, {}, false, true},
    {70, 32, K::group_end, "", none, none, none, none, none, {}, false, true},
    {71, 34, K::group, "___T R A N S P A R E N C Y____", none, none, none, none, none, {}, false, true},
    {72, 42, K::layer, "background", none, none, none, none, none, {}, false, true},
    {73, 57, K::layer, "transparency texture", none, none, none, none, none, {}, false, true},
    {74, 46, K::float_slider, "transparency", 0, 0, 1, 0, 1, {}, false, true},
    {75, 47, K::float_slider, "colorize", 0, 0, 1, 0, 1, {}, false, true},
    {76, 52, K::choice, "refraction type", 1, none, none, none, none, {"accurate", "normalized", "wicked", "whatever"}, true, true},
    {77, 54, K::checkbox, "invert refraction", 0, none, none, none, none, {}, false, true},
    {78, 58, K::layer, "refraction texture", none, none, none, none, none, {}, false, true},
    {79, 43, K::float_slider, "refraction", 1, -100000000, 100000000, 0, 2, {}, false, true},
    {80, 95, K::layer, "refraction depth texture", none, none, none, none, none, {}, false, true},
    {81, 96, K::float_slider, "refraction depth multiplier", 1, -100000000, 100000000, 0, 1, {}, false, true},
    {82, 53, K::float_slider, "caustix", 0, -100000000, 100000000, 0, 1, {}, false, true},
    {83, 92, K::float_slider, "blur transparency", 0, 0, 1000, 0, 50, {}, false, true},
    {84, 101, K::checkbox, "link blur to glossiness", 1, none, none, none, none, {}, false, true},
    {85, 33, K::checkbox, "alpha clipping", 0, none, none, none, none, {}, false, true},
    {86, 36, K::float_slider, "alpha fading", 0, 0, 100000000, 0, 1, {}, false, true},
    {87, 35, K::group_end, "", none, none, none, none, none, {}, false, true},
    {88, 81, K::group, "___Q U A L I T Y____", none, none, none, none, none, {}, false, true},
    {89, 82, K::choice, "override all", 0, none, none, none, none, {"-", "off", "low (1x)", "sharp (2x)", "smooth (3x)"}, true, true},
    {90, 83, K::choice, "caustics antialias", 0, none, none, none, none, {"off", "sharp", "smooth"}, true, true},
    {91, 84, K::choice, "refraction antialias", 0, none, none, none, none, {"off", "low", "sharp", "smooth"}, true, true},
    {92, 85, K::choice, "environent antialias", 0, none, none, none, none, {"off", "low", "sharp", "smooth"}, true, true},
    {93, 102, K::choice, "oversampling antialias", 0, none, none, none, none, {"off", "1x", "2x", "3x"}, true, true},
    {94, 86, K::group_end, "", none, none, none, none, none, {}, false, true},
};
// clang-format on

}  // namespace golden
