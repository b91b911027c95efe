#pragma once

// The render pipeline: one frame of the effect's input layer into the output frame. One
// template over the host pixel type, instantiated for the six pixel types a host frame comes
// in; the instantiations differ in nothing but the type the layers are viewed as.

#include <cstdint>

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

// Renders `input` into `output`, one entry point per host pixel type. The host and plug-in
// contexts are not consulted; the render context serves every stage.
void render_pipeline_ARGB8(Host_Context host_context, Plugin_Context plugin_context,
                           Render_Context render_context, Parameter_Set& parameters,
                           Layer<ARGB8> input, Layer<ARGB8> output, Layer_Map layers);
void render_pipeline_ARGB16(Host_Context host_context, Plugin_Context plugin_context,
                            Render_Context render_context, Parameter_Set& parameters,
                            Layer<ARGB16> input, Layer<ARGB16> output, Layer_Map layers);
void render_pipeline_ARGB32f(Host_Context host_context, Plugin_Context plugin_context,
                             Render_Context render_context, Parameter_Set& parameters,
                             Layer<ARGB32f> input, Layer<ARGB32f> output, Layer_Map layers);
void render_pipeline_BGRA8(Host_Context host_context, Plugin_Context plugin_context,
                           Render_Context render_context, Parameter_Set& parameters,
                           Layer<BGRA8> input, Layer<BGRA8> output, Layer_Map layers);
void render_pipeline_BGRA16(Host_Context host_context, Plugin_Context plugin_context,
                            Render_Context render_context, Parameter_Set& parameters,
                            Layer<BGRA16> input, Layer<BGRA16> output, Layer_Map layers);
void render_pipeline_BGRA32f(Host_Context host_context, Plugin_Context plugin_context,
                             Render_Context render_context, Parameter_Set& parameters,
                             Layer<BGRA32f> input, Layer<BGRA32f> output, Layer_Map layers);

template <class T>
using Render_Pipeline = void (*)(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                 Layer<T>, Layer<T>, Layer_Map);

}  // namespace brel
