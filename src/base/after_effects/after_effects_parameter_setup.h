#pragma once

// Declares the effect's controls to the host: one host definition per host parameter, in list
// order, so that the host indexes match the numbering of the parameter factory.

#include <list>

#include "ae_effect.h"
#include "base/parameter.h"

namespace brel {

// Registers every parameter of the list (null entries and unknown kinds are skipped) and sets
// `out_data->num_params` to the host parameters registered plus the input layer. A refused
// registration leaves by exception, with `num_params` untouched.
void params_setup(PF_InData* in_data, PF_OutData* out_data, std::list<Parameter*> parameters);

}  // namespace brel
