#include "effect/render_pipeline.h"

#include "effect/caustics_stages.h"
#include "effect/depth_stages.h"
#include "effect/final_shading_stage.h"
#include "effect/parameter_set.h"
#include "effect/refraction_occlusion_stages.h"
#include "effect/shadow_stages.h"

namespace brel {

template <class T>
Pipeline_Values<T> prepare_pipeline_values(const Parameter_Set& parameters,
                                           const Layer_Map& layers) {
  Pipeline_Values<T> v;
  v.render_mode = parameters.slot<Slot::render_mode>().value();
  v.quality = quality_levels(parameters.slot<Slot::override_all>().value(),
                             parameters.slot<Slot::caustics_antialias>().value(),
                             parameters.slot<Slot::oversampling_antialias>().value());
  const double depth_factor = parameters.slot<Slot::depth_factor>().value();
  v.pre_blur_strength = parameters.slot<Slot::pre_blur_strength>().value();
  v.pre_blur_threshold = parameters.slot<Slot::pre_blur_threshold>().value();
  v.pre_blur_iterations = parameters.slot<Slot::pre_blur_iterations>().value();
  v.point_light = build_point_light(parameters);
  v.direct_light = build_direct_light(parameters);
  v.refraction = prepare_refraction_parameter<T>(parameters, layers);
  v.environment = prepare_environment_parameter<T>(parameters, layers);
  v.caustix = static_cast<float>(parameters.slot<Slot::caustix>().value());
  v.transparency = static_cast<float>(parameters.slot<Slot::transparency>().value());
  // "alpha fading" is read only when "alpha clipping" is off.
  v.alpha = parameters.slot<Slot::alpha_clipping>().value() ||
            parameters.slot<Slot::alpha_fading>().value() > 0.0;
  apply_render_mode(
      v.render_mode,
      {&v.point_light.intensity, &v.direct_light.intensity, &v.environment.illumination_amount,
       &v.environment.reflection_amount, &v.transparency, &v.caustix, &v.highlights_only});
  v.depth_scale = depth_scale_from_factor(depth_factor);
  return v;
}

template <class T>
void render_pipeline(Host_Context, Plugin_Context, Render_Context render_context,
                     Parameter_Set& parameters, Layer<T> input, Layer<T> output, Layer_Map layers) {
  const Pipeline_Values<T> values = prepare_pipeline_values<T>(parameters, layers);
  const int32_t mode = values.render_mode;

  // Each stage builds its kernel on this frame, executes it with its own copy of the render
  // context and takes over the layer it made; layers are released in reverse order on the way
  // out.
  using Depth = Depth_Stages<T>;
  Depth_Surface surface;
  Depth::pre_color_correction(render_context, parameters, layers, values, input, output, surface);
  if (ends_after(mode, Pipeline_Stage::pre_color_correction)) {
    return;
  }
  Depth::pre_blur(render_context, parameters, layers, values, surface);
  if (ends_after(mode, Pipeline_Stage::pre_blur)) {
    Depth::show_depth(render_context, values, surface, output);
    return;
  }
  Depth::generate_normals(render_context, parameters, layers, values, input, surface);
  if (ends_after(mode, Pipeline_Stage::normal_generation)) {
    Depth::show_normals(render_context, surface, output);
    return;
  }
  using Shadows = Shadow_Stages<T>;
  Shadow_Layers shadows;
  Shadows::point_shadow(render_context, parameters, values, surface, shadows);
  Shadows::directional_shadow(render_context, parameters, values, surface, shadows);
  if (ends_after(mode, Pipeline_Stage::shadows)) {
    Shadows::show_shadows(render_context, shadows, output);
    return;
  }
  using Caustics = Caustics_Stages<T>;
  Caustics_Image caustics;  // the filled image of the later stages, kept to the render's end
  Caustics::caustics(render_context, parameters, layers, values, input, output, surface, caustics);
  if (ends_after(mode, Pipeline_Stage::caustics)) {
    Caustics::show_caustics(render_context, parameters, caustics, output);
    return;
  }
  // Kept until the final shading has read them.
  Refraction_Occlusion_Results<T> refraction_occlusion;
  Refraction_Occlusion_Stages<T>::refraction(render_context, values, surface, caustics.image,
                                             refraction_occlusion);
  Refraction_Occlusion_Stages<T>::environmental_occlusion(render_context, values, surface,
                                                          refraction_occlusion);
  // Final shading, over what the earlier stages made: an absent layer is an empty view.
  Final_Shading_Inputs shading;
  shading.directional_shadow = shadows.directional_shadow;
  shading.directional_translucency_shadow = shadows.directional_translucency_shadow;
  shading.point_shadow = shadows.point_shadow;
  shading.point_translucency_shadow = shadows.point_translucency_shadow;
  shading.caustics_image = caustics.image;
  shading.refraction = refraction_occlusion.refraction;
  shading.occlusion = refraction_occlusion.occlusion;
  Final_Shading_Stage<T>::final_shading(render_context, parameters, layers, values, input, output,
                                        surface, shading);
}

template Pipeline_Values<ARGB8> prepare_pipeline_values<ARGB8>(const Parameter_Set&,
                                                               const Layer_Map&);
template Pipeline_Values<ARGB16> prepare_pipeline_values<ARGB16>(const Parameter_Set&,
                                                                 const Layer_Map&);
template Pipeline_Values<ARGB32f> prepare_pipeline_values<ARGB32f>(const Parameter_Set&,
                                                                   const Layer_Map&);
template Pipeline_Values<BGRA8> prepare_pipeline_values<BGRA8>(const Parameter_Set&,
                                                               const Layer_Map&);
template Pipeline_Values<BGRA16> prepare_pipeline_values<BGRA16>(const Parameter_Set&,
                                                                 const Layer_Map&);
template Pipeline_Values<BGRA32f> prepare_pipeline_values<BGRA32f>(const Parameter_Set&,
                                                                   const Layer_Map&);

template void render_pipeline<ARGB8>(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                     Layer<ARGB8>, Layer<ARGB8>, Layer_Map);
template void render_pipeline<ARGB16>(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                      Layer<ARGB16>, Layer<ARGB16>, Layer_Map);
template void render_pipeline<ARGB32f>(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                       Layer<ARGB32f>, Layer<ARGB32f>, Layer_Map);
template void render_pipeline<BGRA8>(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                     Layer<BGRA8>, Layer<BGRA8>, Layer_Map);
template void render_pipeline<BGRA16>(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                      Layer<BGRA16>, Layer<BGRA16>, Layer_Map);
template void render_pipeline<BGRA32f>(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                       Layer<BGRA32f>, Layer<BGRA32f>, Layer_Map);

}  // namespace brel
