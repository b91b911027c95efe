#pragma once

// The stages between the caustics and the final shading: the refraction of the caustics image
// along the view rays, and the environmental occlusion. Each kernel decides for itself whether
// it has work; a stage without a result hands the final shading an empty view.

#include <memory>

#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/render_context.h"
#include "effect/depth_stages.h"
#include "effect/render_pipeline.h"
#include "kernel/kernel_environmental_occlusion_cpu.h"
#include "kernel/kernel_refraction_cpu.h"

namespace brel {

// What these stages leave to the final shading, kept by the pipeline until it has run. The
// occlusion layer stays in its kernel, which lives here; declared after the refraction layer,
// so that it is released first.
template <class T>
struct Refraction_Occlusion_Results {
  // The colour seen through the surface, RGB32f of the image's size, and its view; empty when
  // the refraction had no work (the final shading then looks at the caustics image itself).
  std::unique_ptr<Layer_Holder> refraction_layer;
  Layer<RGB32f> refraction;
  // The occlusion factor of environment light (1 unoccluded) in its kernel's `result`, and its
  // view; empty when there is nothing to occlude.
  Kernel_Environmental_Occlusion<Layer<T>, Implementation_Cpu> occlusion_kernel;
  Layer<float> occlusion;
};

template <class T>
struct Refraction_Occlusion_Stages {
  // The refraction of the filled caustics image (an empty view when the caustics stages made
  // none) along the view rays.
  static void refraction(const Render_Context& context, const Pipeline_Values<T>& values,
                         const Depth_Surface& surface, const Layer<RGB32f>& caustics_image,
                         Refraction_Occlusion_Results<T>& results);

  // The occlusion of the surface's depth and normals, with the environment record after the
  // render-mode adjustments.
  static void environmental_occlusion(const Render_Context& context,
                                      const Pipeline_Values<T>& values,
                                      const Depth_Surface& surface,
                                      Refraction_Occlusion_Results<T>& results);
};

extern template struct Refraction_Occlusion_Stages<ARGB8>;
extern template struct Refraction_Occlusion_Stages<ARGB16>;
extern template struct Refraction_Occlusion_Stages<ARGB32f>;
extern template struct Refraction_Occlusion_Stages<BGRA8>;
extern template struct Refraction_Occlusion_Stages<BGRA16>;
extern template struct Refraction_Occlusion_Stages<BGRA32f>;

}  // namespace brel
