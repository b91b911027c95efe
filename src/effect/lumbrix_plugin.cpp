#include "effect/lumbrix_plugin.h"

#include <vector>

#include "effect/enabling_rules.h"

namespace brel {

void update_enabled_controls(const Parameter_Set& parameters) {
  // Each value is read before the first rule that depends on it, in slot order.
  Enabling_Inputs inputs;
  inputs.render_mode = parameters.slot<0>().value();
  inputs.direct_shadows = parameters.slot<11>().value();
  inputs.point_shadows = parameters.slot<22>().value();
  inputs.has_environment_layer = parameters.slot<26>().has_layer();
  inputs.has_normal_texture = parameters.slot<47>().has_layer();
  inputs.pre_blur_iterations = parameters.slot<51>().value();
  inputs.discontinuity_detection = parameters.slot<52>().value();
  inputs.has_surface_color_texture = parameters.slot<59>().has_layer();
  inputs.transparency = parameters.slot<74>().value();
  inputs.override_all = parameters.slot<89>().value();

  const std::vector<Parameter*> controls(parameters.parameters().begin(),
                                         parameters.parameters().end());
  for (const Enabling& rule : enabling_rules(inputs)) {
    controls.at(rule.slot)->set_enabled(rule.enabled);
  }
}

}  // namespace brel
