#pragma once

// The first stages of a render: the depth layer and the surface colour from the input, the
// optional pre blur of the depth, the normals, and the views of the render modes that end
// among them ("surface color", "depthmap", "normalmap").

#include <memory>

#include "base/layer.h"
#include "base/layer_description.h"
#include "base/layer_holder.h"
#include "base/render_context.h"
#include "effect/render_pipeline.h"

namespace brel {

class Parameter_Set;

// The layers the depth stages leave to the later stages. Declared depth first, so the normal
// layer is released before it.
struct Depth_Surface {
  std::unique_ptr<Layer_Holder> depth_layer;  // (w + 6) × (h + 6) floats, bordered
  Layer<float> depth;                         // the w × h inside, at the input's origin
  Layer<float> depth_with_border;
  std::unique_ptr<Layer_Holder> normal_layer;  // w × h Vector_3<float>
};

// The stages for the host pixel type T, in the order a render runs them.
template <class T>
struct Depth_Stages {
  // Pre colour correction: writes the surface colour into `output` and makes the depth layer.
  static void pre_color_correction(const Render_Context& context, const Parameter_Set& parameters,
                                   Layer_Map& layers, const Pipeline_Values<T>& values,
                                   const Layer<T>& input, const Layer<T>& output,
                                   Depth_Surface& surface);

  // Pre blur of the depth in place, only without a normal texture and with a strength that is
  // not 0 in single precision.
  static void pre_blur(const Render_Context& context, const Parameter_Set& parameters,
                       Layer_Map& layers, const Pipeline_Values<T>& values,
                       const Depth_Surface& surface);

  // The "depthmap" view: the depth as grey, the depth scale as white.
  static void show_depth(const Render_Context& context, const Pipeline_Values<T>& values,
                         const Depth_Surface& surface, const Layer<T>& output);

  // Normal generation: from the normal texture when one is chosen, else from the depth.
  static void generate_normals(const Render_Context& context, const Parameter_Set& parameters,
                               Layer_Map& layers, const Pipeline_Values<T>& values,
                               const Layer<T>& input, Depth_Surface& surface);

  // The "normalmap" view of the whole normal layer.
  static void show_normals(const Render_Context& context, const Depth_Surface& surface,
                           const Layer<T>& output);
};

extern template struct Depth_Stages<ARGB8>;
extern template struct Depth_Stages<ARGB16>;
extern template struct Depth_Stages<ARGB32f>;
extern template struct Depth_Stages<BGRA8>;
extern template struct Depth_Stages<BGRA16>;
extern template struct Depth_Stages<BGRA32f>;

}  // namespace brel
