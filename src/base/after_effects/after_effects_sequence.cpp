#include "base/after_effects/after_effects_sequence.h"

#include "base/after_effects/after_effects_layer.h"
#include "base/after_effects/helper/ae_gui.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/plugin.h"
#include "util/memory_2d.h"

namespace brel {

namespace {

int64_t channels_of(const Pixel_Description& pixels) {
  switch (pixels.kind) {
    case Pixel_Description::packed_color:
      return 4;
    case Pixel_Description::single_channel:
      return 1;
    default:
      return 0;
  }
}

// The effect's output over its own input: the input is checked out and rendered in place.
std::shared_ptr<Layer_Typeless> render_output_frame(PF_InData* in_data, Plugin* plugin,
                                                    const Render_Context& render_context) {
  std::shared_ptr<Layer_Typeless> input = ae::checkout_layer(in_data, 0);
  if (input == nullptr || input->pixels == nullptr) {
    return std::make_shared<Layer_Typeless>();
  }
  auto resource = std::make_shared<Typeless_Layer_Resource>(*input, render_context);
  Layer_Typeless output = *input;
  output.pixels = resource->memory->cpu_data();
  output.row_bytes = resource->memory->cpu_pitch();
  plugin->render(Plugin_Context{}, render_context, *input, output, Layer_Map{},
                 input->pixel_description);

  // The record keeps the rendered memory and, through it, the checked-out input alive.
  struct Output_Frame {
    std::shared_ptr<Layer_Typeless> input;
    std::shared_ptr<Typeless_Layer_Resource> resource;
    Layer_Typeless layer;
  };
  auto frame = std::make_shared<Output_Frame>(Output_Frame{input, resource, output});
  return std::shared_ptr<Layer_Typeless>(frame, &frame->layer);
}

}  // namespace

Typeless_Layer_Resource::Typeless_Layer_Resource(const Layer_Typeless& layer,
                                                 const Render_Context& render_context)
    : layer(layer) {
  const int64_t width_bytes =
      layer.pixel_description.bits / 8 * layer.width * channels_of(layer.pixel_description);
  memory = render_context.wrap_memory_2d(std::make_shared<Memory_2d_Unmananged>(
      layer.pixels, width_bytes, layer.height, layer.row_bytes));
}

namespace ae {

Sequence_Access get_sequence_access(PF_InData* in_data, PF_EventExtra* extra, Plugin* plugin,
                                    const Render_Context& render_context) {
  if (host_is_after_effects(in_data)) {
    return {[in_data, extra] { return get_effect_frame(true, in_data, extra); },
            [in_data, extra] { return get_effect_frame(false, in_data, extra); }};
  }
  return {[in_data] { return checkout_layer(in_data, 0); },
          [in_data, plugin, render_context] {
            return render_output_frame(in_data, plugin, render_context);
          }};
}

}  // namespace ae
}  // namespace brel
