#pragma once

// The run-time switch from a frame's pixel format to the render pipeline instantiation of its
// pixel type. This is the one place that maps a pixel description to a template argument;
// anything the table does not list is refused with an assertion failure. The pipelines
// themselves are the effect's: it hands them in, so this layer never includes the effect.

#include "base/host_context.h"
#include "base/layer.h"
#include "base/layer_description.h"
#include "base/pixel.h"
#include "base/plugin_context.h"
#include "base/render_context.h"

namespace brel {

class Parameter_Set;

// A render pipeline instantiated for host pixel type T.
template <class T>
using Render_Pipeline = void (*)(Host_Context, Plugin_Context, Render_Context, Parameter_Set&,
                                 Layer<T>, Layer<T>, Layer_Map);

// One pipeline per host pixel type, supplied by the effect.
struct Render_Pipelines {
  Render_Pipeline<ARGB8> argb8;
  Render_Pipeline<ARGB16> argb16;
  Render_Pipeline<ARGB32f> argb32f;
  Render_Pipeline<BGRA8> bgra8;
  Render_Pipeline<BGRA16> bgra16;
  Render_Pipeline<BGRA32f> bgra32f;
};

// Everything one render call hands its pipeline, owned for the duration of the call. Members
// are destroyed in reverse order: the layer map first, the host context last.
struct Render_Call_Context {
  Host_Context host_context;
  Plugin_Context plugin_context;
  Render_Context render_context;
  Parameter_Set* parameters = nullptr;  // not owned
  Layer_Typeless input;
  Layer_Typeless output;
  Layer_Map layers;
};

// Checks that the CPU pipeline is asked for, picks the one of `pipelines` for the pixel
// description, logs "translating render call to " with its name and runs it on copies of
// everything it is given. The pipeline writes the output frame in place.
void translate_pixel_type(const Render_Pipelines& pipelines, BREL_Render_Pipeline pipeline_kind,
                          const Host_Context& host_context, const Plugin_Context& plugin_context,
                          const Render_Context& render_context, Parameter_Set* parameters,
                          Pixel_Description pixel_description, const Layer_Typeless& input,
                          const Layer_Typeless& output, const Layer_Map& layers);

// The stateless translator through which the effect class reaches `pipelines`.
template <const Render_Pipelines& pipelines>
struct Pixel_To_Template_Ae {
  void operator()(BREL_Render_Pipeline pipeline_kind, const Host_Context& host_context,
                  const Plugin_Context& plugin_context, const Render_Context& render_context,
                  Parameter_Set* parameters, Pixel_Description pixel_description,
                  const Layer_Typeless& input, const Layer_Typeless& output,
                  const Layer_Map& layers) const {
    translate_pixel_type(pipelines, pipeline_kind, host_context, plugin_context, render_context,
                         parameters, pixel_description, input, output, layers);
  }
};

}  // namespace brel
