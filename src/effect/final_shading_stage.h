#pragma once

// The last stage of the full render and of "refraction only" and "highlights only": the final
// routine, given everything the earlier stages left and the shading controls, writes the
// finished frame into the output.

#include "base/layer.h"
#include "base/layer_description.h"
#include "base/render_context.h"
#include "effect/depth_stages.h"
#include "effect/render_pipeline.h"

namespace brel {

class Parameter_Set;

// The layers of the earlier stages that the final shading reads; a view without pixels for
// each one the render did not make (the shading then does without it).
struct Final_Shading_Inputs {
  Layer<RGB32f> refraction;      // the refracted background
  Layer<RGB32f> caustics_image;  // the filled caustics image, w × h, its first pixel at (0, 0)
  Layer<float> directional_shadow;
  Layer<float> directional_translucency_shadow;
  Layer<float> point_shadow;
  Layer<float> point_translucency_shadow;
  Layer<float> occlusion;
};

template <class T>
struct Final_Shading_Stage {
  // Runs the final routine over `output`, which holds the surface colour on entry.
  static void final_shading(const Render_Context& context, const Parameter_Set& parameters,
                            Layer_Map& layers, const Pipeline_Values<T>& values,
                            const Layer<T>& input, const Layer<T>& output,
                            const Depth_Surface& surface, const Final_Shading_Inputs& inputs);
};

extern template struct Final_Shading_Stage<ARGB8>;
extern template struct Final_Shading_Stage<ARGB16>;
extern template struct Final_Shading_Stage<ARGB32f>;
extern template struct Final_Shading_Stage<BGRA8>;
extern template struct Final_Shading_Stage<BGRA16>;
extern template struct Final_Shading_Stage<BGRA32f>;

}  // namespace brel
