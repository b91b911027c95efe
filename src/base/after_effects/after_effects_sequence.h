#pragma once

// The frames entering and leaving the effect, for a custom control that shows them.

#include <memory>

#include "base/gui_event.h"
#include "base/layer_description.h"
#include "base/render_context.h"
#include "host_api.h"

namespace brel {

class Mapped_Memory_2d;
class Plugin;

// A layer record and the render context's mapped memory over its pixels (it owns nothing of the
// pixels themselves).
struct Typeless_Layer_Resource {
  Typeless_Layer_Resource(const Layer_Typeless& layer, const Render_Context& render_context);

  Layer_Typeless layer;
  std::shared_ptr<Mapped_Memory_2d> memory;
};

namespace ae {

// The two frames of one custom-control event. Under After Effects both come from the host's
// background renders; under other hosts the input is the effect's own input layer and the output
// is rendered by `plugin` in place over it when asked. Valid only during the event.
Sequence_Access get_sequence_access(PF_InData* in_data, PF_EventExtra* extra, Plugin* plugin,
                                    const Render_Context& render_context);

}  // namespace ae
}  // namespace brel
