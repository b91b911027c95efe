#pragma once

// Names of the effect's 95 parameter slots. The declarations of the controls are written with
// these names, so the name and the slot a control lives in cannot part; the list's order is the
// slot order, which is the display and host index order projects store: never reorder.
//
// Names follow the control's label (unique by a group prefix where labels repeat); a group is
// `<group>_group` and its end `<group>_end`. A test holds each name against its control's label.

#include <array>
#include <cstddef>
#include <string_view>

// clang-format off
#define BREL_PARAMETER_SLOTS(X)                                                                   \
  X(render_mode) X(depth_factor) X(perspective_perception) X(gamma_correction)                    \
  X(lights_group)                                                                                 \
  X(direct_light_group) X(direct_light_intensity) X(direct_light_color) X(direct_light_size)      \
  X(direct_light_angle) X(direct_light_forward_angle) X(direct_shadows)                           \
  X(direct_shadow_softness) X(direct_light_end)                                                   \
  X(point_light_group) X(point_light_intensity) X(point_light_color) X(point_light_size)          \
  X(point_light_falloff) X(point_light_attenuation_color) X(point_light_position)                 \
  X(point_light_z_position) X(point_shadows) X(point_shadow_softness) X(point_light_end)          \
  X(environment_group) X(environmental_layer) X(environment_type) X(reflection_amount_texture)    \
  X(reflection_amount) X(bias_reflection_brightness) X(illumination_amount)                       \
  X(illumination_color) X(blur_illumination) X(occlusion_quick_mode) X(occlusion_amount)          \
  X(occlusion_radius) X(environment_end)                                                          \
  X(lights_end)                                                                                   \
  X(original_image_group) X(additive_mix) X(color_mix) X(saturation) X(depth_bias)                \
  X(depth_gain) X(original_image_end)                                                             \
  X(geometry_group) X(normal_texture) X(depth_channel) X(pre_blur_strength)                       \
  X(pre_blur_threshold) X(pre_blur_iterations) X(discontinuity_detection)                         \
  X(discontinuity_threshold) X(front_level) X(back_level) X(geometry_end)                         \
  X(shading_group) X(surface_color) X(surface_color_texture) X(surface_tint_amount)               \
  X(glossiness_amount_texture) X(glossiness) X(specular_color_texture) X(specular_tint_amount)    \
  X(translucency_amount_texture) X(translucency) X(translucency_color_texture)                    \
  X(translucency_color) X(shading_shadow_softness) X(shading_end)                                 \
  X(transparency_group) X(background) X(transparency_texture) X(transparency) X(colorize)         \
  X(refraction_type) X(invert_refraction) X(refraction_texture) X(refraction)                     \
  X(refraction_depth_texture) X(refraction_depth_multiplier) X(caustix) X(blur_transparency)      \
  X(link_blur_to_glossiness) X(alpha_clipping) X(alpha_fading) X(transparency_end)                \
  X(quality_group) X(override_all) X(caustics_antialias) X(refraction_antialias)                  \
  X(environment_antialias) X(oversampling_antialias) X(quality_end)
// clang-format on

namespace brel {

#define BREL_SLOT_ENUMERATOR(name) name,
enum class Slot : size_t { BREL_PARAMETER_SLOTS(BREL_SLOT_ENUMERATOR) };
#undef BREL_SLOT_ENUMERATOR

// The names as written above, indexed by slot.
#define BREL_SLOT_NAME(name) std::string_view(#name),
inline constexpr std::array slot_names{BREL_PARAMETER_SLOTS(BREL_SLOT_NAME)};
#undef BREL_SLOT_NAME

}  // namespace brel
