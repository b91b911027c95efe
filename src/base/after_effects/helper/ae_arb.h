#pragma once

// Arbitrary (custom-control) data held in host handles.

#include "ae_effect.h"
#include "base/parameter_description.h"

namespace brel {

// Makes a host handle of the data's size holding its default value, unlocked, in `result`.
void arb_new(const Data_Functions* data_functions, PF_InData* in_data, PF_Handle* result);

}  // namespace brel
