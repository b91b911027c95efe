#include "effect/final_shading_stage.h"

#include "effect/parameter_set.h"
#include "effect/pipeline_layers.h"
#include "kernel/kernel_final_routine_cpu.h"

namespace brel {

template <class T>
void Final_Shading_Stage<T>::final_shading(const Render_Context& context,
                                           const Parameter_Set& parameters, Layer_Map& layers,
                                           const Pipeline_Values<T>& values, const Layer<T>& input,
                                           const Layer<T>& output, const Depth_Surface& surface,
                                           const Final_Shading_Inputs& inputs) {
  Kernel_Final_Routine<Layer<T>, Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.source = input;
  in.output = output;
  in.background = texture_view<T>(layers, parameters.slot<Slot::background>());
  in.transparency_texture = texture_view<T>(layers, parameters.slot<Slot::transparency_texture>());
  in.glossiness_texture =
      texture_view<T>(layers, parameters.slot<Slot::glossiness_amount_texture>());
  in.translucency_texture =
      texture_view<T>(layers, parameters.slot<Slot::translucency_amount_texture>());
  in.translucency_color_texture =
      texture_view<T>(layers, parameters.slot<Slot::translucency_color_texture>());
  in.specular_color_texture =
      texture_view<T>(layers, parameters.slot<Slot::specular_color_texture>());
  if (inputs.refraction.pixels != nullptr) {
    in.refracted_image = inputs.refraction;
  } else {
    // The caustics image is read at the image pixel itself, so that the background it holds
    // lies where it lies in the frame.
    in.refracted_image = inputs.caustics_image;
    in.refracted_image.origin_x = 0;
    in.refracted_image.origin_y = 0;
  }
  in.depth = surface.depth;
  in.normals = layer_view<Vector_3<float>>(*surface.normal_layer);
  in.directional_translucency_shadow = inputs.directional_translucency_shadow;
  in.point_translucency_shadow = inputs.point_translucency_shadow;
  in.directional_shadow = inputs.directional_shadow;
  in.point_shadow = inputs.point_shadow;
  in.occlusion = inputs.occlusion;
  in.environment = values.environment;
  in.point_light = values.point_light;
  in.direct_light = values.direct_light;
  in.oversampling = values.quality.oversampling;
  in.alpha_clipping = parameters.slot<Slot::alpha_clipping>().value() ? 1 : 0;
  in.alpha_fading =
      static_cast<float>(parameters.slot<Slot::alpha_fading>().value()) * values.depth_scale;
  in.transparency = values.transparency;
  in.blur_transparency = static_cast<float>(parameters.slot<Slot::blur_transparency>().value());
  in.colorize = static_cast<float>(parameters.slot<Slot::colorize>().value());
  in.surface_color = parameters.slot<Slot::surface_color>().value();
  in.depth_scale = values.depth_scale;
  in.perspective = static_cast<float>(parameters.slot<Slot::perspective_perception>().value());
  in.translucency = static_cast<float>(parameters.slot<Slot::translucency>().value());
  in.glossiness = static_cast<float>(parameters.slot<Slot::glossiness>().value());
  in.specular_tint = static_cast<float>(parameters.slot<Slot::specular_tint_amount>().value());
  in.discontinuity_threshold =
      static_cast<float>(parameters.slot<Slot::discontinuity_threshold>().value());
  in.gamma = static_cast<float>(parameters.slot<Slot::gamma_correction>().value());
  in.highlights_only = values.highlights_only ? 1 : 0;
  in.translucency_color = parameters.slot<Slot::translucency_color>().value();
  kernel.execute(context);
}

template struct Final_Shading_Stage<ARGB8>;
template struct Final_Shading_Stage<ARGB16>;
template struct Final_Shading_Stage<ARGB32f>;
template struct Final_Shading_Stage<BGRA8>;
template struct Final_Shading_Stage<BGRA16>;
template struct Final_Shading_Stage<BGRA32f>;

}  // namespace brel
