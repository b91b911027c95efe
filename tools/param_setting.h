#pragma once

// Parameters as the command line names and sets them, on the simulated host's parameter store.

#include <string>
#include <vector>

#include "parameter_store.h"

namespace lumbrix {

// Sets one parameter from text. The key is a name (or GROUP/NAME where the name repeats),
// "slot:N" or "id:N"; the value is read by the parameter's kind: a number within the valid
// range for sliders and angles (degrees), on/off for checkboxes, an item's text for popups,
// "X,Y" for points, each in pixels or in percent of the layer ("50%"), "R,G,B" for colours (0
// to 255, or floats with a decimal point). Names and items match without regard to case and
// surrounding blanks. Throws Usage_Error naming the parameter and what is wrong, with the
// closest names when nothing matches.
void apply_setting(brel::sim::Parameter_Store& store, const std::string& key,
                   const std::string& value, int64_t layer_width, int64_t layer_height);

// The slot a key names; throws Usage_Error.
int32_t find_slot(const brel::sim::Parameter_Store& store, const std::string& key);

// The items of a popup parameter, in their order.
std::vector<std::string> popup_items(const brel::sim::Parameter_Store& store, int32_t slot);

// The item a popup parameter shows now; empty when its value names none.
std::string current_item(const brel::sim::Parameter_Store& store, int32_t slot);

// The label a parameter is listed and named by: GROUP/NAME inside a group, else NAME.
std::string label_of(const brel::sim::Parameter_Store& store, int32_t slot);

// One line a parameter: slot, id, kind, label, default, and what a setting takes.
std::string describe_parameters(const brel::sim::Parameter_Store& store);

}  // namespace lumbrix
