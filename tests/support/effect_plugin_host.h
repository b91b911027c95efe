#pragma once

// The effect object as a host command sees it: a simulated host that knows the effect's 95
// controls, and for each command a fresh parameter factory and effect object over that
// command's records, as the effect's entry builds them.

#include <memory>

#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/after_effects/after_effects_parameter_setup.h"
#include "base/after_effects/helper/ae_helper.h"
#include "effect/lumbrix_plugin.h"
#include "effect/render_pipeline.h"
#include "simulated_host.h"

namespace brel::test {

using Effect_Plugin = Lumbrix_Plugin<Lumbrix_Translator>;

class Effect_Plugin_Host {
 public:
  explicit Effect_Plugin_Host(sim::Host_Identity identity = sim::Host_Identity::after_effects())
      : host(identity) {
    Parameter_Factory_After_Effects factory(host.in_data(), nullptr, nullptr);
    Effect_Plugin declared(ae::host_context(host.in_data()), factory);
    params_setup(host.in_data(), host.out_data(), declared.parameters());
  }

  // Starts a command: the host's parameter array (or, as a render does, none), a factory and
  // the effect object over them.
  Effect_Plugin& command(bool with_array = true) {
    PF_ParamDef** params = host.begin_command();
    plugin.reset();
    factory = std::make_unique<Parameter_Factory_After_Effects>(
        host.in_data(), with_array ? params : nullptr, nullptr);
    plugin = std::make_unique<Effect_Plugin>(ae::host_context(host.in_data()), *factory);
    return *plugin;
  }

  sim::Parameter_Store& store() { return host.parameters(); }

  sim::Simulated_Host host;
  std::unique_ptr<Parameter_Factory_After_Effects> factory;
  std::unique_ptr<Effect_Plugin> plugin;
};

}  // namespace brel::test
