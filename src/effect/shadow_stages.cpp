#include "effect/shadow_stages.h"

#include <utility>

#include "effect/parameter_set.h"
#include "kernel/kernel_directional_shadow_cpu.h"
#include "kernel/kernel_point_shadow_cpu.h"
#include "kernel/kernel_show_render_mode_shadows_cpu.h"
#include "kernel/kernel_smooth_shadows_cpu.h"

namespace brel {

namespace {

// "translucency" and the shading group's "shadow softness" as the shadow kernels take them.
float translucency_of(const Parameter_Set& parameters) {
  return static_cast<float>(parameters.slot<Slot::translucency>().value());
}

float shadow_softness_of(const Parameter_Set& parameters) {
  return static_cast<float>(parameters.slot<Slot::shading_shadow_softness>().value());
}

}  // namespace

Layer<float> inner_view(const Layer_Holder& bordered, int64_t width, int64_t height) {
  Layer<float> view = layer_view<float>(bordered);
  view.width = width;
  view.height = height;
  view.origin_x = bordered.origin_x + 3;
  view.origin_y = bordered.origin_y + 3;
  view.pixels = advance_bytes(view.pixels, 3 * view.row_bytes + 3 * 4);
  return view;
}

template <class T>
void Shadow_Stages<T>::point_shadow(const Render_Context& context, const Parameter_Set& parameters,
                                    const Pipeline_Values<T>& values, const Depth_Surface& surface,
                                    Shadow_Layers& shadows) {
  Kernel_Point_Shadow kernel;
  auto& in = kernel.parameters_in;
  in.depth = surface.depth;
  in.depth_scale = values.depth_scale;
  in.skip_zero_depth = values.alpha;
  in.translucency = translucency_of(parameters);
  in.shadow_softness = shadow_softness_of(parameters);
  in.light = values.point_light;
  kernel.execute(context);
  shadows.point_shadow_layer = std::move(kernel.shadow_layer);
  shadows.point_translucency_layer = std::move(kernel.translucent_shadow_layer);
  if (shadows.point_shadow_layer != nullptr) {
    shadows.point_shadow = layer_view<float>(*shadows.point_shadow_layer);
  }
  if (shadows.point_translucency_layer != nullptr) {
    shadows.point_translucency_shadow = layer_view<float>(*shadows.point_translucency_layer);
  }
}

template <class T>
void Shadow_Stages<T>::directional_shadow(const Render_Context& context,
                                          const Parameter_Set& parameters,
                                          const Pipeline_Values<T>& values,
                                          const Depth_Surface& surface, Shadow_Layers& shadows) {
  Kernel_Directional_Shadow kernel;
  auto& in = kernel.parameters_in;
  in.depth_with_border = surface.depth_with_border;
  in.depth_scale = values.depth_scale;
  in.skip_zero_depth = values.alpha;
  in.translucency = translucency_of(parameters);
  in.shadow_softness = shadow_softness_of(parameters);
  in.light = values.direct_light;
  kernel.execute(context);
  shadows.directional_shadow_layer = std::move(kernel.shadow_layer);
  shadows.directional_translucency_layer = std::move(kernel.translucent_shadow_layer);
  const int64_t w = surface.depth.width;
  const int64_t h = surface.depth.height;
  if (shadows.directional_shadow_layer != nullptr) {
    shadows.directional_shadow = inner_view(*shadows.directional_shadow_layer, w, h);
  }
  if (shadows.directional_translucency_layer != nullptr) {
    shadows.directional_translucency_shadow =
        inner_view(*shadows.directional_translucency_layer, w, h);
  }

  // Both runs always; a run over an absent layer does nothing.
  Kernel_Smooth_Shadows smoothing;
  auto& smooth = smoothing.parameters_in;
  smooth.depth = surface.depth;
  smooth.depth_scale = values.depth_scale;
  smooth.skip_zero_depth = values.alpha;
  const int64_t softness = values.direct_light.softness;
  const float scale_y = surface.depth.scale_y;
  smooth.shadow = shadows.directional_shadow;
  smooth.passes = smooth_shadows_opaque_passes(softness, scale_y);
  smooth.opaque = true;
  smoothing.execute(context);
  smooth.shadow = shadows.directional_translucency_shadow;
  smooth.passes = smooth_shadows_translucent_passes(softness, in.shadow_softness, scale_y);
  smooth.opaque = false;
  smoothing.execute(context);
}

template <class T>
void Shadow_Stages<T>::show_shadows(const Render_Context& context, const Shadow_Layers& shadows,
                                    const Layer<T>& output) {
  Kernel_Show_Render_Mode_Shadows<Layer<T>, Implementation_Cpu> view;
  view.parameters_in.directional_shadow = shadows.directional_shadow;
  view.parameters_in.point_shadow = shadows.point_shadow;
  view.parameters_in.output = output;
  view.execute(context);
}

template struct Shadow_Stages<ARGB8>;
template struct Shadow_Stages<ARGB16>;
template struct Shadow_Stages<ARGB32f>;
template struct Shadow_Stages<BGRA8>;
template struct Shadow_Stages<BGRA16>;
template struct Shadow_Stages<BGRA32f>;

}  // namespace brel
