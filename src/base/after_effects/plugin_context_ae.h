#pragma once

// The plug-in context of one host command, and the lookups the render paths share with it.

#include <list>
#include <string>
#include <vector>

#include "base/layer_description.h"
#include "base/plugin_context.h"
#include "host_api.h"

namespace brel {

class Parameter;
class Layer_Parameter_AE;
class Plugin;

// Binds the four services to in_data and the plug-in; nothing is called while it is built.
Plugin_Context plugin_context(PF_InData* in_data, PF_OutData* out_data, Plugin* plugin);

// The host index of the layer parameter whose identifier is `identifier`: 0 for "Source" (the
// effect's input), -1 when no layer parameter has it. Other kinds never match.
int find_parameter_index(const std::list<Parameter*>& parameters, const std::string& identifier);

// The output layer's geometry from in_data alone: the full-resolution size scaled by the downsample
// factors, the output origin and the pixel aspect.
Layer_Description output_description(const PF_InData* in_data);

// The layer parameters a render checks out: in list order, up to (not including) the first whose
// host index is below 1.
std::vector<Layer_Parameter_AE*> texture_layer_parameters(const std::list<Parameter*>& parameters);

}  // namespace brel
