#include "effect/pipeline_layers.h"

#include "effect/parameter_set.h"
#include "effect/render_settings.h"

namespace brel {

template <class T>
Refraction_Parameter<T, Implementation_Cpu> prepare_refraction_parameter(
    const Parameter_Set& parameters, Layer_Map layers) {
  Refraction_Parameter<T, Implementation_Cpu> record;
  record.refraction_texture = texture_view<T>(layers, parameters.slot<Slot::refraction_texture>());
  record.refraction_depth_texture =
      texture_view<T>(layers, parameters.slot<Slot::refraction_depth_texture>());
  record.glossiness_texture =
      texture_view<T>(layers, parameters.slot<Slot::glossiness_amount_texture>());
  record.perspective = static_cast<float>(parameters.slot<Slot::perspective_perception>().value());
  record.gather_mode = gather_mode(parameters.slot<Slot::override_all>().value(),
                                   parameters.slot<Slot::refraction_antialias>().value());
  record.refraction_index = static_cast<float>(parameters.slot<Slot::refraction>().value());
  record.depth_multiplier =
      static_cast<float>(parameters.slot<Slot::refraction_depth_multiplier>().value());
  record.refraction_type = parameters.slot<Slot::refraction_type>().value();
  record.invert_refraction = parameters.slot<Slot::invert_refraction>().value();
  const float depth_scale = depth_scale_from_factor(parameters.slot<Slot::depth_factor>().value());
  record.blur_scale =
      static_cast<float>(parameters.slot<Slot::blur_transparency>().value()) / depth_scale;
  record.link_blur_to_glossiness = parameters.slot<Slot::link_blur_to_glossiness>().value();
  record.glossiness = static_cast<float>(parameters.slot<Slot::glossiness>().value());
  return record;
}

template <class T>
Environment_Parameter<T> prepare_environment_parameter(const Parameter_Set& parameters,
                                                       Layer_Map layers) {
  Environment_Parameter<T> record;
  record.environment_texture =
      texture_view<T>(layers, parameters.slot<Slot::environmental_layer>());
  record.reflection_texture =
      texture_view<T>(layers, parameters.slot<Slot::reflection_amount_texture>());
  record.glossiness_texture =
      texture_view<T>(layers, parameters.slot<Slot::glossiness_amount_texture>());
  record.gather_mode = gather_mode(parameters.slot<Slot::override_all>().value(),
                                   parameters.slot<Slot::environment_antialias>().value());
  record.perspective = static_cast<float>(parameters.slot<Slot::perspective_perception>().value());
  record.depth_scale = depth_scale_from_factor(parameters.slot<Slot::depth_factor>().value());
  record.gamma = static_cast<float>(parameters.slot<Slot::gamma_correction>().value());
  record.glossiness = static_cast<float>(parameters.slot<Slot::glossiness>().value());
  record.environment_type = parameters.slot<Slot::environment_type>().value();
  record.blur_illumination = static_cast<float>(parameters.slot<Slot::blur_illumination>().value());
  record.illumination_amount =
      static_cast<float>(parameters.slot<Slot::illumination_amount>().value());
  record.illumination_color = parameters.slot<Slot::illumination_color>().value();
  record.reflection_amount = static_cast<float>(parameters.slot<Slot::reflection_amount>().value());
  record.reflection_bias =
      static_cast<float>(parameters.slot<Slot::bias_reflection_brightness>().value());
  record.occlusion_amount = static_cast<float>(parameters.slot<Slot::occlusion_amount>().value());
  record.occlusion_radius = parameters.slot<Slot::occlusion_radius>().value();
  record.quick_mode = parameters.slot<Slot::occlusion_quick_mode>().value();
  return record;
}

template Refraction_Parameter<ARGB8, Implementation_Cpu> prepare_refraction_parameter<ARGB8>(
    const Parameter_Set&, Layer_Map);
template Refraction_Parameter<ARGB16, Implementation_Cpu> prepare_refraction_parameter<ARGB16>(
    const Parameter_Set&, Layer_Map);
template Refraction_Parameter<ARGB32f, Implementation_Cpu> prepare_refraction_parameter<ARGB32f>(
    const Parameter_Set&, Layer_Map);
template Refraction_Parameter<BGRA8, Implementation_Cpu> prepare_refraction_parameter<BGRA8>(
    const Parameter_Set&, Layer_Map);
template Refraction_Parameter<BGRA16, Implementation_Cpu> prepare_refraction_parameter<BGRA16>(
    const Parameter_Set&, Layer_Map);
template Refraction_Parameter<BGRA32f, Implementation_Cpu> prepare_refraction_parameter<BGRA32f>(
    const Parameter_Set&, Layer_Map);

template Environment_Parameter<ARGB8> prepare_environment_parameter<ARGB8>(const Parameter_Set&,
                                                                           Layer_Map);
template Environment_Parameter<ARGB16> prepare_environment_parameter<ARGB16>(const Parameter_Set&,
                                                                             Layer_Map);
template Environment_Parameter<ARGB32f> prepare_environment_parameter<ARGB32f>(const Parameter_Set&,
                                                                               Layer_Map);
template Environment_Parameter<BGRA8> prepare_environment_parameter<BGRA8>(const Parameter_Set&,
                                                                           Layer_Map);
template Environment_Parameter<BGRA16> prepare_environment_parameter<BGRA16>(const Parameter_Set&,
                                                                             Layer_Map);
template Environment_Parameter<BGRA32f> prepare_environment_parameter<BGRA32f>(const Parameter_Set&,
                                                                               Layer_Map);

}  // namespace brel
