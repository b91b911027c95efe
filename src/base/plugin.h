#pragma once

// The base class of an effect. The host adapter talks to the effect only through these
// operations; every one but the parameter list has a default here.

#include <cstdint>
#include <list>
#include <string>
#include <utility>

#include "base/host_context.h"
#include "base/layer_description.h"
#include "base/plugin_context.h"
#include "base/render_context.h"

namespace brel {

class Parameter;

class Plugin {
 public:
  explicit Plugin(Host_Context host_context) : host_context_(std::move(host_context)) {}
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
  virtual ~Plugin() = default;

  // The effect's parameters in declaration order.
  virtual const std::list<Parameter*>& parameters() const = 0;

  // The host asks the effect to bring its controls up to date.
  virtual void update_params_ui(Plugin_Context plugin_context);

  virtual void on_user_changed_param(Plugin_Context plugin_context, Render_Context render_context,
                                     std::string name);

  // Renders `input` into `output`'s pixels. Both carry their pixels and the frame's format.
  virtual void render(Plugin_Context plugin_context, Render_Context render_context,
                      Layer_Typeless input, Layer_Typeless output, Layer_Map layers,
                      Pixel_Description pixel_description);

  // The area the effect produces: the input layer's region.
  virtual Render_Region lookup_record(Plugin_Context plugin_context, const Region_Map& regions);

  // The area of layer `name` the effect reads: the host's request for the input layer, the
  // layer's whole region for a texture.
  virtual Rect lookup_record_by_name(Plugin_Context plugin_context, const std::string& name,
                                     const Region_Map& regions, Rect requested);

  virtual int32_t reserved_query_a() const { return 0; }
  virtual int32_t reserved_query_b() const { return 0; }

  // True when the output changes without any parameter changing.
  virtual bool non_param_vary() const { return false; }

 protected:
  const Host_Context& host_context() const { return host_context_; }

 private:
  Host_Context host_context_;
};

}  // namespace brel
