#include "effect/enabling_rules.h"

#include "effect/parameter_slot.h"

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
  // The controls from `first` to `last`, both included, in slot order.
  auto set = [&rules](Slot first, Slot last, bool enabled) {
    for (auto slot = static_cast<int32_t>(first); slot <= static_cast<int32_t>(last); ++slot) {
      rules.push_back({slot, enabled});
    }
  };
  auto set_one = [&set](Slot slot, bool enabled) { set(slot, slot, enabled); };
  set_one(Slot::perspective_perception, mode == 0 || mode == 1);
  set_one(Slot::gamma_correction, mode == 0 || mode == 1 || mode == 2);
  set(Slot::lights_group, Slot::direct_shadows, light_mode);
  set_one(Slot::direct_shadow_softness, light_mode && in.direct_shadows);
  set(Slot::point_light_group, Slot::point_shadows, light_mode);
  set_one(Slot::point_shadow_softness, light_mode && in.point_shadows);
  set(Slot::environment_group, Slot::environmental_layer, light_mode);
  set(Slot::environment_type, Slot::bias_reflection_brightness, with_environment);
  set(Slot::illumination_amount, Slot::illumination_color, light_mode);
  set_one(Slot::blur_illumination, with_environment);
  set(Slot::occlusion_quick_mode, Slot::occlusion_radius, light_mode);
  set(Slot::geometry_group, Slot::depth_channel, geometry);
  set(Slot::pre_blur_strength, Slot::pre_blur_threshold,
      depth_from_layer && in.pre_blur_iterations > 0);
  set(Slot::pre_blur_iterations, Slot::discontinuity_detection, depth_from_layer);
  set_one(Slot::discontinuity_threshold, depth_from_layer && in.discontinuity_detection);
  set(Slot::front_level, Slot::back_level, geometry);
  set(Slot::shading_group, Slot::surface_color_texture, surface);
  set_one(Slot::surface_tint_amount, surface && in.has_surface_color_texture);
  set(Slot::glossiness_amount_texture, Slot::specular_tint_amount, shading_mode);
  set(Slot::translucency_amount_texture, Slot::shading_shadow_softness, mode == 0);
  set_one(Slot::transparency_group, mode >= 0 && mode <= 4);
  set_one(Slot::background, refracting);
  set_one(Slot::transparency_texture, transparent);
  set_one(Slot::transparency, refracting);
  set(Slot::colorize, Slot::link_blur_to_glossiness, transparent);
  set(Slot::alpha_clipping, Slot::alpha_fading, mode >= 0 && mode <= 4);
  set(Slot::caustics_antialias, Slot::oversampling_antialias, in.override_all == 0);
  return rules;
}

}  // namespace brel
