#pragma once

// What the effect learns about After Effects beyond one command: the plug-in id the AEGP layer
// hands out at global set-up, and the gamma of the project's working colour space.

#include "host_api.h"

namespace brel {

// The id After Effects gave the effect at global set-up (0 until then).
AEGP_PluginID ae_plugin_id();
void set_ae_plugin_id(AEGP_PluginID id);

// The approximate gamma of the working colour space of the project's first composition, through
// the AEGP project, item, composition, colour-settings and memory suites.
float working_space_gamma(SPBasicSuite* basic_suite);

}  // namespace brel
