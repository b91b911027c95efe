#pragma once

// Parameters as the command line names and sets them, on the simulated host's parameter store.

#include <string>

#include "parameter_store.h"

namespace lumbrix {

// Sets one parameter from text. The key is a name (or GROUP/NAME where the name repeats),
// "slot:N" or "id:N"; the value is read by the parameter's kind: a number within the valid
// range for sliders and angles (degrees), on/off for checkboxes, an item's text for popups,
// "X,Y" in pixels for points, "R,G,B" for colours (0 to 255, or floats with a decimal point).
// Throws Usage_Error naming the parameter and what is wrong.
void apply_setting(brel::sim::Parameter_Store& store, const std::string& key,
                   const std::string& value);

// The slot a key names; throws Usage_Error.
int32_t find_slot(const brel::sim::Parameter_Store& store, const std::string& key);

// One line a parameter: slot, id, kind, name (with its group), default, range, popup items.
std::string describe_parameters(const brel::sim::Parameter_Store& store);

}  // namespace lumbrix
