#pragma once

// The caustics stages of a render: the caustics kernel splats the light that both lights send
// through the transparent surface into a difference buffer, the fill turns the buffer in place
// into the background lit by that light, and the "caustix only" render mode shows the result.

#include <cstdint>
#include <memory>

#include "base/layer.h"
#include "base/layer_description.h"
#include "base/layer_holder.h"
#include "base/pixel.h"
#include "base/render_context.h"
#include "effect/depth_stages.h"
#include "effect/render_pipeline.h"

namespace brel {

class Parameter_Set;

// What the caustics stages leave to the later stages; the render keeps it until its end.
struct Caustics_Image {
  // (w + 4) × h RGB32f: buffer column c belongs to image column c - 2. Empty when the render
  // makes neither caustics nor a background to see through.
  std::unique_ptr<Layer_Holder> buffer;
  // The filled image, w × h from buffer column 2 on (origin x that of the buffer plus 2):
  // image pixel (x, y) holds the background's colour raised to "gamma correction" plus the
  // caustic light that landed there, on the scale where 1 is white, unclamped. An empty view
  // when there is no buffer.
  Layer<RGB32f> image;
};

// The w × h view of a caustics buffer that starts two pixels into each row.
Layer<RGB32f> caustics_image_view(const Layer_Holder& buffer, int64_t width, int64_t height);

template <class T>
struct Caustics_Stages {
  // The caustics kernel and the fill over the surface colour in `output`; leaves the buffer
  // and the filled image in `caustics`.
  static void caustics(const Render_Context& context, const Parameter_Set& parameters,
                       Layer_Map& layers, const Pipeline_Values<T>& values, const Layer<T>& input,
                       const Layer<T>& output, const Depth_Surface& surface,
                       Caustics_Image& caustics);

  // The "caustix only" view of the filled image.
  static void show_caustics(const Render_Context& context, const Parameter_Set& parameters,
                            const Caustics_Image& caustics, const Layer<T>& output);
};

extern template struct Caustics_Stages<ARGB8>;
extern template struct Caustics_Stages<ARGB16>;
extern template struct Caustics_Stages<ARGB32f>;
extern template struct Caustics_Stages<BGRA8>;
extern template struct Caustics_Stages<BGRA16>;
extern template struct Caustics_Stages<BGRA32f>;

}  // namespace brel
