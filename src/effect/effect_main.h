#pragma once

// The effect's entry: for every host command it builds the per-call objects (parameter factory,
// host context, the effect object with its 95 parameters, the description), hands the command to
// the host adapter's guarded handler and destroys them again.

#include <memory>
#include <string>

#include "base/plugin_description.h"
#include "host_api.h"

namespace brel {

class Host_Context;
class Parameter_Factory;
class Plugin;

// Answers one host command with a host code; no exception leaves it.
PF_Err effect_main(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                   PF_LayerDef* output, void* extra);

// The effect's description: "Lumbrix", version 1.1.1, released.
Plugin_Description lumbrix_description();

// Points the global log at the home folder followed by `relative_path` and turns verbose off.
void set_log_folder(const std::string& relative_path);

}  // namespace brel
