#pragma once

// A render call to the effect object as the host adapter makes it, with the stand-alone render
// context: the input and output frames of one host pixel type, and the names of the kernels
// that ran.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/layer_description.h"
#include "support/effect_plugin_host.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace brel::test {

// The layer as the host adapter hands it to the effect: a view with its pixel description.
template <class P>
Layer_Typeless typeless_of(const Host_Layer<P>& layer) {
  using Traits = Pixel_Traits<P>;
  const Layer<P>& v = layer.view;
  Layer_Typeless typeless;
  typeless.width = v.width;
  typeless.height = v.height;
  typeless.origin_x = v.origin_x;
  typeless.origin_y = v.origin_y;
  typeless.scale_x = v.scale_x;
  typeless.scale_y = v.scale_y;
  typeless.pixels = v.pixels;
  typeless.row_bytes = v.row_bytes;
  typeless.pixel_description = {1,
                                static_cast<int32_t>(sizeof(typename Traits::Channel) * 8),
                                Traits::red,
                                Traits::green,
                                Traits::blue,
                                Traits::alpha};
  return typeless;
}

// Frames of width × height in P; the output starts as 3 in every channel.
template <class P>
struct Effect_Render {
  Effect_Render(int64_t width, int64_t height)
      : input(render.context, width, height), output(render.context, width, height) {
    output.fill(3, 3, 3, 3);
  }

  // Renders the input into the output; returns the kernels that ran, in order.
  std::vector<std::string> render_frame(const Layer_Map& layers = {},
                                        std::optional<Pixel_Description> pixels = std::nullopt) {
    render.timing_table.reset();
    Layer_Typeless in = typeless_of(input);
    effect.command(false).render({}, render.context, in, typeless_of(output), layers,
                                 pixels.value_or(in.pixel_description));
    std::vector<std::string> names;
    for (const auto& child : render.timing_table.root().children) {
      names.push_back(child->name);
    }
    return names;
  }

  Effect_Plugin_Host effect;
  Standalone_Render render{2};
  Active_Log active_log;
  Host_Layer<P> input;
  Host_Layer<P> output;
};

}  // namespace brel::test
