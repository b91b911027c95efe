#include "effect/refraction_occlusion_stages.h"

#include <utility>

namespace brel {

template <class T>
void Refraction_Occlusion_Stages<T>::refraction(const Render_Context& context,
                                                const Pipeline_Values<T>& values,
                                                const Depth_Surface& surface,
                                                const Layer<RGB32f>& caustics_image,
                                                Refraction_Occlusion_Results<T>& results) {
  Kernel_Refraction<Layer<T>, Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.lit_background = caustics_image;
  in.depth = surface.depth;
  in.normals = layer_view<Vector_3<float>>(*surface.normal_layer);
  in.transparency = values.transparency;
  in.refraction = values.refraction;
  kernel.execute(context);
  results.refraction_layer = std::move(kernel.refraction_layer);
  results.refraction = results.refraction_layer != nullptr
                           ? layer_view<RGB32f>(*results.refraction_layer)
                           : Layer<RGB32f>{};
}

template <class T>
void Refraction_Occlusion_Stages<T>::environmental_occlusion(
    const Render_Context& context, const Pipeline_Values<T>& values, const Depth_Surface& surface,
    Refraction_Occlusion_Results<T>& results) {
  auto& kernel = results.occlusion_kernel;
  auto& in = kernel.parameters_in;
  in.depth = surface.depth;
  in.normals = layer_view<Vector_3<float>>(*surface.normal_layer);
  in.environment = values.environment;
  in.skip_zero_depth = values.alpha;
  kernel.execute(context);
  results.occlusion = kernel.result != nullptr ? layer_view<float>(*kernel.result) : Layer<float>{};
}

template struct Refraction_Occlusion_Stages<ARGB8>;
template struct Refraction_Occlusion_Stages<ARGB16>;
template struct Refraction_Occlusion_Stages<ARGB32f>;
template struct Refraction_Occlusion_Stages<BGRA8>;
template struct Refraction_Occlusion_Stages<BGRA16>;
template struct Refraction_Occlusion_Stages<BGRA32f>;

}  // namespace brel
