#pragma once

// The effect's two lights as plain records, built once per render from their parameter groups
// and copied whole into the shadow, caustics and final-shading kernels.

#include <cstdint>

#include "base/parameter.h"
#include "base/pixel.h"

namespace brel {

class Parameter_Set;

struct Point_Light {
  float intensity = 0.0f;
  float size = 0.0f;
  float falloff = 0.0f;
  float position_x = 0.0f;  // the host's layer coordinates of the current render, unscaled
  float position_y = 0.0f;
  float position_z = 0.0f;  // on the depth axis
  Rgb_Value color{0.0f, 0.0f, 0.0f};
  Rgb_Value attenuation_color{0.0f, 0.0f, 0.0f};
  bool shadows = false;
  int64_t softness = 0;
};

struct Direct_Light {
  float intensity = 0.0f;
  float size = 0.0f;
  // Unit vector (up to rounding) along which the light travels, towards the surface.
  Vector_3<float> direction{0.0f, 0.0f, 0.0f};
  Rgb_Value color{0.0f, 0.0f, 0.0f};
  bool shadows = false;
  int64_t softness = 0;
};

// The direction of the direct light from "direct light angle" (degrees, around the view axis)
// and "light forward angle" (radians; pi / 2 lies in the image plane, 0 points straight into
// it). The angles are converted in double and narrowed; sine, cosine and products are float.
Vector_3<float> direct_light_direction(double angle_degrees, double forward_angle);

// A fully transparent surface without gloss and without reflection casts no shadow from either
// light; otherwise a light's own "shadows" switch decides.
bool light_casts_shadows(const Parameter_Set& parameters, bool shadows_switch);

Point_Light build_point_light(const Parameter_Set& parameters);
Direct_Light build_direct_light(const Parameter_Set& parameters);

}  // namespace brel
