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
  const bool unshadowed = parameters.slot<Slot::transparency>().value() == 1.0 &&
                          parameters.slot<Slot::glossiness>().value() == 0.0 &&
                          parameters.slot<Slot::reflection_amount>().value() == 0.0;
  return unshadowed ? false : shadows_switch;
}

Point_Light build_point_light(const Parameter_Set& parameters) {
  Point_Light light;
  light.intensity = static_cast<float>(parameters.slot<Slot::point_light_intensity>().value());
  light.size = static_cast<float>(parameters.slot<Slot::point_light_size>().value());
  light.falloff = static_cast<float>(parameters.slot<Slot::point_light_falloff>().value());
  const Point_2d_Value position = parameters.slot<Slot::point_light_position>().value();
  light.position_x = static_cast<float>(position.x);
  light.position_y = static_cast<float>(position.y);
  light.position_z = static_cast<float>(parameters.slot<Slot::point_light_z_position>().value());
  light.color = parameters.slot<Slot::point_light_color>().value();
  light.attenuation_color = parameters.slot<Slot::point_light_attenuation_color>().value();
  light.shadows = light_casts_shadows(parameters, parameters.slot<Slot::point_shadows>().value());
  light.softness = parameters.slot<Slot::point_shadow_softness>().value();
  return light;
}

Direct_Light build_direct_light(const Parameter_Set& parameters) {
  Direct_Light light;
  light.intensity = static_cast<float>(parameters.slot<Slot::direct_light_intensity>().value());
  light.size = static_cast<float>(parameters.slot<Slot::direct_light_size>().value());
  light.direction =
      direct_light_direction(parameters.slot<Slot::direct_light_angle>().value(),
                             parameters.slot<Slot::direct_light_forward_angle>().value());
  light.color = parameters.slot<Slot::direct_light_color>().value();
  light.shadows = light_casts_shadows(parameters, parameters.slot<Slot::direct_shadows>().value());
  light.softness = parameters.slot<Slot::direct_shadow_softness>().value();
  return light;
}

}  // namespace brel
