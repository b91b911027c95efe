#pragma once

// The host's side of custom controls: the custom-UI events of PF_Cmd_EVENT and the
// arbitrary-data requests of PF_Cmd_ARBITRARY_CALLBACK, each answered for the custom control the
// host names by its reference value.

#include "base/render_context.h"
#include "host_api.h"

namespace brel {

class Custom_Parameter_AE;
class Plugin;

// The last custom control of the effect registered with `refcon` (as the control or as its
// companion); an effect without one fails the assertion the host hears as 512.
Custom_Parameter_AE* find_custom_parameter(Plugin* plugin, const void* refcon);

// One custom-UI event: contexts opening and closing, clicks and drags (with the resize grip at
// the control's bottom), the pointer over the control, and drawing.
void handle_event(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                  PF_EventExtra* extra, Plugin* plugin, const Render_Context& render_context);

// One arbitrary-data request, answered by the data functions of the control it names.
void handle_arbitrary_callback(PF_InData* in_data, PF_ArbParamsExtra* extra, Plugin* plugin);

}  // namespace brel
