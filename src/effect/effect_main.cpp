#include "effect/effect_main.h"

#include "base/after_effects/after_effects_host.h"
#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/log.h"
#include "base/system_dependencies.h"
#include "effect/lumbrix_plugin.h"
#include "effect/render_pipeline.h"

namespace brel {
namespace {

const char* const about_text =
    "Quenvar #001\n"
    "\n"
    "3D rendering based on Z-depth images.\n"
    "tip: set project to float or 16bit per channel!\n"
    "\n"
    "Published by the Lumbrix developers; distributed without warranty.\n"
    "Lumbrix developers, Tarvolen workshop, 12 Quenvar Lane";

std::unique_ptr<Plugin> create_plugin(Host_Context host_context, Parameter_Factory& factory) {
  return std::make_unique<Lumbrix_Plugin<Lumbrix_Translator>>(std::move(host_context), factory);
}

PF_Err run_command(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                   PF_LayerDef* output, void* extra) {
  Parameter_Factory_After_Effects factory(
      in_data, params, command == PF_Cmd_EVENT ? static_cast<PF_EventExtra*>(extra) : nullptr);
  std::unique_ptr<Plugin> plugin = create_plugin(ae::host_context(in_data), factory);
  const Plugin_Description description = lumbrix_description();
  if (command == PF_Cmd_GLOBAL_SETUP) {
    set_log_folder("tarvolen/lumbrix_ae");
  }
  const Plugin_Description copy = description;
  return handle_command_guarded(command, in_data, out_data, params, output, extra, copy,
                                plugin.get());
}

}  // namespace

Plugin_Description lumbrix_description() {
  return build_plugin_description("Lumbrix", "Quenvari", 1, 1, 1, 3, about_text, "");
}

void set_log_folder(const std::string& relative_path) {
  Log& log = global_log();
  log.set_base_path(home_folder() + relative_path);
  log.set_verbose(false);
}

PF_Err effect_main(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                   PF_LayerDef* output, void* extra) {
  // Building the per-call objects may fail before the command's own barrier exists; the same
  // answers apply, so nothing reaches the host as an exception.
  try {
    return run_command(command, in_data, out_data, params, output, extra);
  } catch (...) {
    return host_code_of_current_exception();
  }
}

}  // namespace brel
