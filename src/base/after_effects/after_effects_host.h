#pragma once

// The door between the host and the effect: one exception barrier around the command switch, and
// the render paths that turn host worlds into the effect's layer records.

#include "ae_smart_render.h"
#include "base/plugin_context.h"
#include "base/plugin_description.h"
#include "base/render_context.h"
#include "host_api.h"

namespace brel {

class Plugin;

// Runs one host command and answers with a host code. Nothing escapes: out of memory gives 4, an
// abort 517, a host error its own code, and anything else is logged as an unknown exception,
// written to the crash report and answered with 512.
PF_Err handle_command_guarded(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data,
                              PF_ParamDef* params[], PF_LayerDef* output, void* extra,
                              const Plugin_Description& description, Plugin* plugin) noexcept;

// The host's answer to the exception being handled; call it only inside a catch block. Unknown
// exceptions are logged and written to the crash report first.
PF_Err host_code_of_current_exception() noexcept;

// The command switch; errors leave it as exceptions.
void handle_command(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                    PF_LayerDef* output, void* extra, const Plugin_Description& description,
                    Plugin* plugin);

// The host's version encoding of the description's version with build 0.
uint32_t encoded_version(const Plugin_Description& description);

// The host's request clamped into the output rectangle, axis by axis.
Rect clamp_request(const Rect& request, const Rect& output);

// The smart pre-render: probes every layer, checks each out with the rectangle the effect needs and
// tells the host the output rectangles.
void handle_smart_pre_render(PF_InData* in_data, PF_PreRenderExtra* extra, Plugin* plugin,
                             const Plugin_Context& plugin_context);

// The smart render: checks out the input, the output and the textures and renders.
void handle_smart_render(PF_InData* in_data, PF_SmartRenderExtra* extra, Plugin* plugin,
                         Render_Context render_context, const Plugin_Context& plugin_context);

// The classic render: the input from the parameter array, the textures checked out here.
void handle_render(PF_InData* in_data, PF_ParamDef* params[], PF_LayerDef* output, Plugin* plugin,
                   Render_Context render_context, const Plugin_Context& plugin_context);

}  // namespace brel
