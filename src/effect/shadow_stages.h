#pragma once

// The shadow stages of a render: the point light's shadow, the direct light's shadow and the
// smoothing of its two layers, and the "shadow only" view. Their layers are kept until the end
// of the render, when the final shading reads them.

#include <memory>

#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/render_context.h"
#include "effect/depth_stages.h"
#include "effect/render_pipeline.h"

namespace brel {

class Parameter_Set;

// The shadow layers of one render and the views the later stages read. A light that casts no
// shadow (its switch off, its intensity 0, the direct light along the view axis) leaves its
// owners empty and its views empty (no pixels); the translucency layers exist only when
// "translucency" is not 0. Values: shadow 0 lit to 1 fully shadowed; translucency shadow the
// attenuation of light through the surface, 0 to 1.
//
// Declared after the Depth_Surface of a render, so that it is released first; its owners go in
// reverse order: the directional translucency layer, the directional shadow layer, then the
// point light's two likewise.
struct Shadow_Layers {
  std::unique_ptr<Layer_Holder> point_shadow_layer;        // w × h
  std::unique_ptr<Layer_Holder> point_translucency_layer;  // w × h
  std::unique_ptr<Layer_Holder> directional_shadow_layer;  // (w + 6) × (h + 6), bordered
  std::unique_ptr<Layer_Holder> directional_translucency_layer;

  // Views of the frame's w × h pixels, read at the output's coordinates; the directional ones
  // start 3 rows and 3 pixels into their bordered layers.
  Layer<float> point_shadow;
  Layer<float> point_translucency_shadow;
  Layer<float> directional_shadow;
  Layer<float> directional_translucency_shadow;
};

// The view of a bordered working layer's inner width × height pixels: 3 rows and 3 pixels in,
// its origin moved by (3, 3).
Layer<float> inner_view(const Layer_Holder& bordered, int64_t width, int64_t height);

// The stages for the host pixel type T, in the order a render runs them. Every stage runs in
// every render that gets this far; each kernel decides by itself whether it has work.
template <class T>
struct Shadow_Stages {
  // The point light's shadow, divided and smoothed by its own kernel.
  static void point_shadow(const Render_Context& context, const Parameter_Set& parameters,
                           const Pipeline_Values<T>& values, const Depth_Surface& surface,
                           Shadow_Layers& shadows);

  // The direct light's shadow over the bordered depth, then its two layers smoothed.
  static void directional_shadow(const Render_Context& context, const Parameter_Set& parameters,
                                 const Pipeline_Values<T>& values, const Depth_Surface& surface,
                                 Shadow_Layers& shadows);

  // The "shadow only" view: the light both shadows leave, as grey.
  static void show_shadows(const Render_Context& context, const Shadow_Layers& shadows,
                           const Layer<T>& output);
};

extern template struct Shadow_Stages<ARGB8>;
extern template struct Shadow_Stages<ARGB16>;
extern template struct Shadow_Stages<ARGB32f>;
extern template struct Shadow_Stages<BGRA8>;
extern template struct Shadow_Stages<BGRA16>;
extern template struct Shadow_Stages<BGRA32f>;

}  // namespace brel
