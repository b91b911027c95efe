#include "effect/depth_stages.h"

#include <utility>

#include "effect/parameter_set.h"
#include "effect/pipeline_layers.h"
#include "kernel/kernel_generate_normals_cpu.h"
#include "kernel/kernel_pre_blur_cpu.h"
#include "kernel/kernel_pre_color_correction_cpu.h"
#include "kernel/kernel_show_render_mode_depth_cpu.h"
#include "kernel/kernel_show_render_mode_normals_cpu.h"

namespace brel {

template <class T>
void Depth_Stages<T>::pre_color_correction(const Render_Context& context,
                                           const Parameter_Set& parameters, Layer_Map& layers,
                                           const Pipeline_Values<T>& values, const Layer<T>& input,
                                           const Layer<T>& output, Depth_Surface& surface) {
  Kernel_Pre_Color_Correction<Layer<T>, Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.input = input;
  in.output = output;
  in.surface_color_texture =
      texture_view<T>(layers, parameters.slot<Slot::surface_color_texture>());
  in.depth_channel = parameters.slot<Slot::depth_channel>().value();
  in.depth_scale = values.depth_scale;
  in.saturation = static_cast<float>(parameters.slot<Slot::saturation>().value());
  in.depth_bias = static_cast<float>(parameters.slot<Slot::depth_bias>().value());
  in.depth_gain = static_cast<float>(parameters.slot<Slot::depth_gain>().value());
  in.back_level = static_cast<float>(parameters.slot<Slot::back_level>().value());
  in.front_level = static_cast<float>(parameters.slot<Slot::front_level>().value());
  in.surface_color = parameters.slot<Slot::surface_color>().value();
  in.surface_tint_amount = static_cast<float>(parameters.slot<Slot::surface_tint_amount>().value());
  in.color_mix = static_cast<float>(parameters.slot<Slot::color_mix>().value());
  in.additive_mix = parameters.slot<Slot::additive_mix>().value();
  kernel.execute(context);
  surface.depth_layer = std::move(kernel.depth_holder);
  surface.depth = kernel.depth;
  surface.depth_with_border = kernel.depth_with_border;
}

template <class T>
void Depth_Stages<T>::pre_blur(const Render_Context& context, const Parameter_Set& parameters,
                               Layer_Map& layers, const Pipeline_Values<T>& values,
                               const Depth_Surface& surface) {
  if (texture_view<T>(layers, parameters.slot<Slot::normal_texture>()).pixels != nullptr) {
    return;
  }
  // A strength that is not a number is not 0 and blurs.
  const float strength = static_cast<float>(values.pre_blur_strength);
  if (strength == 0.0f) {
    return;
  }
  Kernel_Pre_Blur<Layer<T>, Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.depth = surface.depth;
  in.strength = strength;
  in.threshold = static_cast<float>(values.pre_blur_threshold);
  in.depth_scale = values.depth_scale;
  in.iterations = values.pre_blur_iterations;
  kernel.execute(context);
}

template <class T>
void Depth_Stages<T>::show_depth(const Render_Context& context, const Pipeline_Values<T>& values,
                                 const Depth_Surface& surface, const Layer<T>& output) {
  Kernel_Show_Render_Mode_Depth<Layer<T>, Implementation_Cpu> view;
  view.parameters_in.depth = surface.depth;
  view.parameters_in.output = output;
  view.parameters_in.depth_scale = values.depth_scale;
  view.execute(context);
}

template <class T>
void Depth_Stages<T>::generate_normals(const Render_Context& context,
                                       const Parameter_Set& parameters, Layer_Map& layers,
                                       const Pipeline_Values<T>& values, const Layer<T>& input,
                                       Depth_Surface& surface) {
  Kernel_Generate_Normals<Layer<T>, Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.normal_texture = texture_view<T>(layers, parameters.slot<Slot::normal_texture>());
  in.depth = surface.depth;
  in.discontinuity_detection = parameters.slot<Slot::discontinuity_detection>().value();
  in.discontinuity_threshold =
      static_cast<float>(parameters.slot<Slot::discontinuity_threshold>().value());
  in.depth_scale = values.depth_scale;
  in.scale_x = input.scale_x;
  in.scale_y = input.scale_y;
  kernel.execute(context);
  surface.normal_layer = std::move(kernel.result);
}

template <class T>
void Depth_Stages<T>::show_normals(const Render_Context& context, const Depth_Surface& surface,
                                   const Layer<T>& output) {
  Kernel_Show_Render_Mode_Normals<Layer<T>, Implementation_Cpu> view;
  view.parameters_in.normals = layer_view<Vector_3<float>>(*surface.normal_layer);
  view.parameters_in.output = output;
  view.execute(context);
}

template struct Depth_Stages<ARGB8>;
template struct Depth_Stages<ARGB16>;
template struct Depth_Stages<ARGB32f>;
template struct Depth_Stages<BGRA8>;
template struct Depth_Stages<BGRA16>;
template struct Depth_Stages<BGRA32f>;

}  // namespace brel
