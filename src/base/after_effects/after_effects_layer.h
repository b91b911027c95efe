#pragma once

// Texture layers and depth channels belong to the host: they are checked out for the current
// time and checked back in when the last holder lets go of the shared record.

#include <memory>

#include "base/layer_description.h"
#include "base/plugin_context.h"
#include "host_api.h"

namespace brel {

namespace ae {

// The layer of the layer parameter at host index `index` (0: the effect's own input) at the
// current time; empty when the parameter holds no layer. Needs effect API 12.5 or newer.
std::shared_ptr<Layer_Typeless> checkout_layer(PF_InData* in_data, int index);

// The channel of the given category and data type of that layer; empty when the layer has none.
std::shared_ptr<Layer_Typeless> checkout_channel(PF_InData* in_data, int index,
                                                 Channel::Category category, Channel::Type type);

}  // namespace ae
}  // namespace brel
