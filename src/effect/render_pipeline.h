#pragma once

// The render pipeline: one frame of the effect's input layer into the output frame. One
// template over the host pixel type, instantiated for the six pixel types a host frame comes
// in; the instantiations differ in nothing but the type the layers are viewed as.

#include <cstdint>

#include "base/after_effects/after_effects_dynamic_pixel_type_translation.h"
#include "base/host_context.h"
#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_description.h"
#include "base/plugin_context.h"
#include "base/render_context.h"
#include "effect/light.h"
#include "effect/pipeline_layers.h"
#include "effect/render_settings.h"

namespace brel {

class Parameter_Set;

// What a render derives from the controls before its first stage, after the render-mode
// adjustments.
template <class T>
struct Pipeline_Values {
  int32_t render_mode = 0;
  Quality_Levels quality;
  float depth_scale = 0.0f;
  double pre_blur_strength = 0.0;
  double pre_blur_threshold = 0.0;
  int32_t pre_blur_iterations = 0;
  float caustix = 0.0f;
  float transparency = 0.0f;
  bool alpha = false;  // alpha clipping on, or alpha fading above 0
  bool highlights_only = false;
  Point_Light point_light;
  Direct_Light direct_light;
  Refraction_Parameter<T, Implementation_Cpu> refraction;
  Environment_Parameter<T> environment;
};

// Reads the controls and builds the records; `layers` is not changed.
template <class T>
Pipeline_Values<T> prepare_pipeline_values(const Parameter_Set& parameters,
                                           const Layer_Map& layers);

// Renders `input` into `output`. The host and plug-in contexts are not consulted; the render
// context serves every stage. Instantiated for the six host pixel types below.
template <class T>
void render_pipeline(Host_Context host_context, Plugin_Context plugin_context,
                     Render_Context render_context, Parameter_Set& parameters, Layer<T> input,
                     Layer<T> output, Layer_Map layers);

inline constexpr Render_Pipeline<ARGB8> render_pipeline_ARGB8 = &render_pipeline<ARGB8>;
inline constexpr Render_Pipeline<ARGB16> render_pipeline_ARGB16 = &render_pipeline<ARGB16>;
inline constexpr Render_Pipeline<ARGB32f> render_pipeline_ARGB32f = &render_pipeline<ARGB32f>;
inline constexpr Render_Pipeline<BGRA8> render_pipeline_BGRA8 = &render_pipeline<BGRA8>;
inline constexpr Render_Pipeline<BGRA16> render_pipeline_BGRA16 = &render_pipeline<BGRA16>;
inline constexpr Render_Pipeline<BGRA32f> render_pipeline_BGRA32f = &render_pipeline<BGRA32f>;

// The effect's pipelines as the pixel-type translation chooses between them, and the translator
// that the effect class renders through.
inline constexpr Render_Pipelines lumbrix_pipelines{
    render_pipeline_ARGB8, render_pipeline_ARGB16, render_pipeline_ARGB32f,
    render_pipeline_BGRA8, render_pipeline_BGRA16, render_pipeline_BGRA32f};
using Lumbrix_Translator = Pixel_To_Template_Ae<lumbrix_pipelines>;

}  // namespace brel
