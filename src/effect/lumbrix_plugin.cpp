#include "effect/lumbrix_plugin.h"

#include <vector>

#include "effect/enabling_rules.h"

namespace brel {

void update_enabled_controls(const Parameter_Set& parameters) {
  // Each value is read before the first rule that depends on it, in slot order.
  Enabling_Inputs inputs;
  inputs.render_mode = parameters.slot<Slot::render_mode>().value();
  inputs.direct_shadows = parameters.slot<Slot::direct_shadows>().value();
  inputs.point_shadows = parameters.slot<Slot::point_shadows>().value();
  inputs.has_environment_layer = parameters.slot<Slot::environmental_layer>().has_layer();
  inputs.has_normal_texture = parameters.slot<Slot::normal_texture>().has_layer();
  inputs.pre_blur_iterations = parameters.slot<Slot::pre_blur_iterations>().value();
  inputs.discontinuity_detection = parameters.slot<Slot::discontinuity_detection>().value();
  inputs.has_surface_color_texture = parameters.slot<Slot::surface_color_texture>().has_layer();
  inputs.transparency = parameters.slot<Slot::transparency>().value();
  inputs.override_all = parameters.slot<Slot::override_all>().value();

  const std::vector<Parameter*> controls(parameters.parameters().begin(),
                                         parameters.parameters().end());
  for (const Enabling& rule : enabling_rules(inputs)) {
    controls.at(rule.slot)->set_enabled(rule.enabled);
  }
}

}  // namespace brel
