#include "effect/enabling_rules.h"

namespace brel {

std::vector<Enabling> enabling_rules(const Enabling_Inputs& in) {
  const int32_t mode = in.render_mode;
  const bool light_mode = mode == 0 || mode == 2 || mode == 3 || mode == 4;
  const bool shading_mode = mode == 0 || mode == 1 || mode == 2 || mode == 4;
  const bool geometry = mode != 7;
  const bool depth_from_layer = geometry && !in.has_normal_texture;
  const bool surface = shading_mode || mode == 7;
  const bool refracting = mode == 0 || mode == 1 || mode == 2;
  // Any value but exactly 0, NaN included, makes the surface transparent.
  const bool transparent = refracting && !(in.transparency == 0.0);
  const bool with_environment = light_mode && in.has_environment_layer;

  std::vector<Enabling> rules;
  rules.reserve(76);
  auto set = [&rules](int32_t first, int32_t last, bool enabled) {
    for (int32_t slot = first; slot <= last; ++slot) {
      rules.push_back({slot, enabled});
    }
  };
  set(2, 2, mode == 0 || mode == 1);
  set(3, 3, mode == 0 || mode == 1 || mode == 2);
  set(4, 11, light_mode);
  set(12, 12, light_mode && in.direct_shadows);
  set(14, 22, light_mode);
  set(23, 23, light_mode && in.point_shadows);
  set(25, 26, light_mode);
  set(27, 30, with_environment);
  set(31, 32, light_mode);
  set(33, 33, with_environment);
  set(34, 36, light_mode);
  set(46, 48, geometry);
  set(49, 50, depth_from_layer && in.pre_blur_iterations > 0);
  set(51, 52, depth_from_layer);
  set(53, 53, depth_from_layer && in.discontinuity_detection);
  set(54, 55, geometry);
  set(57, 59, surface);
  set(60, 60, surface && in.has_surface_color_texture);
  set(61, 64, shading_mode);
  set(65, 69, mode == 0);
  set(71, 71, mode >= 0 && mode <= 4);
  set(72, 72, refracting);
  set(73, 73, transparent);
  set(74, 74, refracting);
  set(75, 84, transparent);
  set(85, 86, mode >= 0 && mode <= 4);
  set(90, 93, in.override_all == 0);
  return rules;
}

}  // namespace brel
