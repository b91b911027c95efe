#include "effect/light.h"

#include <cmath>

#include "effect/parameter_set.h"

namespace brel {

Vector_3<float> direct_light_direction(double angle_degrees, double forward_angle) {
  const float a = static_cast<float>(angle_degrees * 6.283185307179586 / 360.0);
  const float f = static_cast<float>(forward_angle + (-1.5707963267948966));
  const float cos_f = std::cos(f);
  return {std::sin(a) * cos_f, std::cos(a) * cos_f, std::sin(f)};
}

bool light_casts_shadows(const Parameter_Set& parameters, bool shadows_switch) {
  // Read in this order, each only while the ones before it hold.
  const bool unshadowed = parameters.slot<74>().value() == 1.0 &&  // transparency
                          parameters.slot<62>().value() == 0.0 &&  // glossiness
                          parameters.slot<29>().value() == 0.0;    // reflection amount
  return unshadowed ? false : shadows_switch;
}

Point_Light build_point_light(const Parameter_Set& parameters) {
  Point_Light light;
  light.intensity = static_cast<float>(parameters.slot<15>().value());
  light.size = static_cast<float>(parameters.slot<17>().value());
  light.falloff = static_cast<float>(parameters.slot<18>().value());
  const Point_2d_Value position = parameters.slot<20>().value();
  light.position_x = static_cast<float>(position.x);
  light.position_y = static_cast<float>(position.y);
  light.position_z = static_cast<float>(parameters.slot<21>().value());
  light.color = parameters.slot<16>().value();
  light.attenuation_color = parameters.slot<19>().value();
  light.shadows = light_casts_shadows(parameters, parameters.slot<22>().value());
  light.softness = parameters.slot<23>().value();
  return light;
}

Direct_Light build_direct_light(const Parameter_Set& parameters) {
  Direct_Light light;
  light.intensity = static_cast<float>(parameters.slot<6>().value());
  light.size = static_cast<float>(parameters.slot<8>().value());
  light.direction =
      direct_light_direction(parameters.slot<9>().value(), parameters.slot<10>().value());
  light.color = parameters.slot<7>().value();
  light.shadows = light_casts_shadows(parameters, parameters.slot<11>().value());
  light.softness = parameters.slot<12>().value();
  return light;
}

}  // namespace brel
