#include "effect/pipeline_layers.h"

#include "effect/parameter_set.h"
#include "effect/render_settings.h"

namespace brel {

template <class T>
Refraction_Parameter<T, Implementation_Cpu> prepare_refraction_parameter(
    const Parameter_Set& parameters, Layer_Map layers) {
  Refraction_Parameter<T, Implementation_Cpu> record;
  record.refraction_texture = texture_view<T>(layers, parameters.slot<78>());
  record.refraction_depth_texture = texture_view<T>(layers, parameters.slot<80>());
  record.glossiness_texture = texture_view<T>(layers, parameters.slot<61>());
  record.perspective = static_cast<float>(parameters.slot<2>().value());
  record.gather_mode = gather_mode(parameters.slot<89>().value(), parameters.slot<91>().value());
  record.refraction_index = static_cast<float>(parameters.slot<79>().value());
  record.depth_multiplier = static_cast<float>(parameters.slot<81>().value());
  record.refraction_type = parameters.slot<76>().value();
  record.invert_refraction = parameters.slot<77>().value();
  const float depth_scale = depth_scale_from_factor(parameters.slot<1>().value());
  record.blur_scale = static_cast<float>(parameters.slot<83>().value()) / depth_scale;
  record.link_blur_to_glossiness = parameters.slot<84>().value();
  record.glossiness = static_cast<float>(parameters.slot<62>().value());
  return record;
}

template <class T>
Environment_Parameter<T> prepare_environment_parameter(const Parameter_Set& parameters,
                                                       Layer_Map layers) {
  Environment_Parameter<T> record;
  record.environment_texture = texture_view<T>(layers, parameters.slot<26>());
  record.reflection_texture = texture_view<T>(layers, parameters.slot<28>());
  record.glossiness_texture = texture_view<T>(layers, parameters.slot<61>());
  record.gather_mode = gather_mode(parameters.slot<89>().value(), parameters.slot<92>().value());
  record.perspective = static_cast<float>(parameters.slot<2>().value());
  record.depth_scale = depth_scale_from_factor(parameters.slot<1>().value());
  record.gamma = static_cast<float>(parameters.slot<3>().value());
  record.glossiness = static_cast<float>(parameters.slot<62>().value());
  record.environment_type = parameters.slot<27>().value();
  record.blur_illumination = static_cast<float>(parameters.slot<33>().value());
  record.illumination_amount = static_cast<float>(parameters.slot<31>().value());
  record.illumination_color = parameters.slot<32>().value();
  record.reflection_amount = static_cast<float>(parameters.slot<29>().value());
  record.reflection_bias = static_cast<float>(parameters.slot<30>().value());
  record.occlusion_amount = static_cast<float>(parameters.slot<35>().value());
  record.occlusion_radius = parameters.slot<36>().value();
  record.quick_mode = parameters.slot<34>().value();
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
