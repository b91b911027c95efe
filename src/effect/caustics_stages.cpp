#include "effect/caustics_stages.h"

#include <utility>

#include "effect/parameter_set.h"
#include "effect/pipeline_layers.h"
#include "kernel/kernel_caustics_cpu.h"
#include "kernel/kernel_fill_caustics_cpu.h"
#include "kernel/kernel_show_render_mode_caustics_cpu.h"

namespace brel {

Layer<RGB32f> caustics_image_view(const Layer_Holder& buffer, int64_t width, int64_t height) {
  Layer<RGB32f> view = layer_view<RGB32f>(buffer);
  view.width = width;
  view.height = height;
  view.origin_x = buffer.origin_x + 2;
  view.pixels = view.pixels + 2;
  return view;
}

template <class T>
void Caustics_Stages<T>::caustics(const Render_Context& context, const Parameter_Set& parameters,
                                  Layer_Map& layers, const Pipeline_Values<T>& values,
                                  const Layer<T>& input, const Layer<T>& output,
                                  const Depth_Surface& surface, Caustics_Image& caustics) {
  caustics.image = Layer<RGB32f>{};
  caustics.buffer.reset();
  Kernel_Caustics<Layer<T>, Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.image = output;
  in.background = texture_view<T>(layers, parameters.slot<Slot::background>());
  in.transparency_texture = texture_view<T>(layers, parameters.slot<Slot::transparency_texture>());
  in.glossiness_texture =
      texture_view<T>(layers, parameters.slot<Slot::glossiness_amount_texture>());
  in.depth = surface.depth;
  in.normals = layer_view<Vector_3<float>>(*surface.normal_layer);
  in.point_light = values.point_light;
  in.direct_light = values.direct_light;
  in.refraction = values.refraction;
  in.falloff_distance = values.depth_scale;
  in.gamma = static_cast<float>(parameters.slot<Slot::gamma_correction>().value());
  in.caustics_amount = values.caustix;
  in.caustics_antialias = values.quality.caustics_quality;
  in.transparency = values.transparency;
  in.glossiness = static_cast<float>(parameters.slot<Slot::glossiness>().value());
  in.alpha_clipping = values.alpha;
  in.discontinuity_detection = parameters.slot<Slot::discontinuity_detection>().value();
  in.discontinuity_threshold =
      static_cast<float>(parameters.slot<Slot::discontinuity_threshold>().value());
  in.colorize = static_cast<float>(parameters.slot<Slot::colorize>().value());
  kernel.execute(context);
  caustics.buffer = std::move(kernel.caustics_buffer);
  if (caustics.buffer != nullptr) {
    caustics.image = caustics_image_view(*caustics.buffer, input.width, input.height);
  }

  Kernel_Fill_Caustics<Layer<T>, Implementation_Cpu> fill;
  fill.parameters_in.background = in.background;
  if (caustics.buffer != nullptr) {
    fill.parameters_in.caustics_buffer = layer_view<RGB32f>(*caustics.buffer);
  }
  fill.parameters_in.gamma = in.gamma;
  fill.parameters_in.integrate = caustics_are_drawn(in);
  fill.execute(context);
}

template <class T>
void Caustics_Stages<T>::show_caustics(const Render_Context& context,
                                       const Parameter_Set& parameters,
                                       const Caustics_Image& caustics, const Layer<T>& output) {
  Kernel_Show_Render_Mode_Caustics<Layer<T>, Implementation_Cpu> view;
  view.parameters_in.caustics = caustics.image;
  view.parameters_in.output = output;
  view.parameters_in.gamma = static_cast<float>(parameters.slot<Slot::gamma_correction>().value());
  view.execute(context);
}

template struct Caustics_Stages<ARGB8>;
template struct Caustics_Stages<ARGB16>;
template struct Caustics_Stages<ARGB32f>;
template struct Caustics_Stages<BGRA8>;
template struct Caustics_Stages<BGRA16>;
template struct Caustics_Stages<BGRA32f>;

}  // namespace brel
