#pragma once

// The effect: owns its 95 parameters for one host call, greys out the controls the render mode
// makes meaningless, and hands render calls to the pixel-type translation.

#include <list>
#include <utility>

#include "base/plugin.h"
#include "effect/parameter_set.h"

namespace brel {

class Parameter_Factory;

// Applies the enabling rules to the controls from their current values.
void update_enabled_controls(const Parameter_Set& parameters);

// `Translator` is the stateless call that takes a render to its pipeline instantiation.
template <class Translator>
class Lumbrix_Plugin final : public Plugin {
 public:
  // Declares the parameters through the factory.
  Lumbrix_Plugin(Host_Context host_context, Parameter_Factory& factory)
      : Plugin(std::move(host_context)), parameter_set_(factory, this->host_context()) {}

  const std::list<Parameter*>& parameters() const override { return parameter_set_.parameters(); }

  void update_params_ui(Plugin_Context) override { update_enabled_controls(parameter_set_); }

  void render(Plugin_Context plugin_context, Render_Context render_context, Layer_Typeless input,
              Layer_Typeless output, Layer_Map layers,
              Pixel_Description pixel_description) override {
    const BREL_Render_Pipeline pipeline_kind = render_context.pipeline();
    Translator{}(pipeline_kind, host_context(), plugin_context, render_context, &parameter_set_,
                 pixel_description, input, output, layers);
  }

  const Parameter_Set& parameter_set() const { return parameter_set_; }

 private:
  Parameter_Set parameter_set_;
};

}  // namespace brel
