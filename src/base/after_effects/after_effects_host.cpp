#include "base/after_effects/after_effects_host.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ae_suites.h"
#include "base/after_effects/ae_report.h"
#include "base/after_effects/after_effects_custom_ui.h"
#include "base/after_effects/after_effects_layer.h"
#include "base/after_effects/after_effects_parameter.h"
#include "base/after_effects/after_effects_parameter_setup.h"
#include "base/after_effects/after_effects_project.h"
#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/after_effects/helper/ae_result.h"
#include "base/after_effects/helper/ae_suite.h"
#include "base/after_effects/plugin_context_ae.h"
#include "base/after_effects/render_context_ae.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/plugin.h"
#include "base/timing_table.h"
#include "pr_suites.h"

namespace brel {
namespace {

void check_result(PF_Err result, Report_Position at) {
  ae::throw_on_host_error(result, at);
}

constexpr PF_OutFlags global_out_flags =
    PF_OutFlag_NON_PARAM_VARY | PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_SEND_UPDATE_PARAMS_UI;
constexpr PF_OutFlags2 global_out_flags2 =
    PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS | PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG |
    PF_OutFlag2_REVEALS_ZERO_ALPHA | PF_OutFlag2_SUPPORTS_SMART_RENDER |
    PF_OutFlag2_FLOAT_COLOR_AWARE | PF_OutFlag2_SUPPORTS_THREADED_RENDERING;

std::string escape_format(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    escaped += c;
    if (c == '%') {
      escaped += '%';
    }
  }
  return escaped;
}

Custom_Parameter* first_custom_parameter(Plugin* plugin) {
  for (Parameter* parameter : plugin->parameters()) {
    if (auto* custom = dynamic_cast<Custom_Parameter*>(parameter)) {
      return custom;
    }
  }
  return nullptr;
}

void global_setup(PF_InData* in_data, PF_OutData* out_data, const Plugin_Description& description,
                  Plugin* plugin) {
  write_environment_report(host_version_line(in_data), description);
  out_data->my_version = encoded_version(description);
  out_data->out_flags = global_out_flags;
  if (api_version_at_least(in_data, 12, 5)) {
    out_data->out_flags2 = global_out_flags2;
  }
  if (first_custom_parameter(plugin) != nullptr) {
    out_data->out_flags |= PF_OutFlag_CUSTOM_UI;
    out_data->out_flags2 |= PF_OutFlag2_CUSTOM_UI_ASYNC_MANAGER;
  }
  if (host_is_premiere(in_data)) {
    {
      Suite_Guard<PF_PixelFormatSuite1> formats(in_data->pica_basicP, kPFPixelFormatSuite, 1);
      formats->ClearSupportedPixelFormats(in_data->effect_ref);
      formats->AddSupportedPixelFormat(in_data->effect_ref, PrPixelFormat_BGRA_4444_32f);
      formats->AddSupportedPixelFormat(in_data->effect_ref, PrPixelFormat_BGRA_4444_16u);
      formats->AddSupportedPixelFormat(in_data->effect_ref, PrPixelFormat_BGRA_4444_8u);
    }
    Suite_Guard<PF_UtilitySuite4> utility(in_data->pica_basicP, kPFUtilitySuite, 4);
    utility->EffectWantsCheckedOutFramesToMatchRenderPixelFormat(in_data->effect_ref);
  } else if (host_is_after_effects(in_data)) {
    Suite_Guard<AEGP_UtilitySuite7> utility(in_data->pica_basicP, kAEGPUtilitySuite, 7);
    AEGP_PluginID id = ae_plugin_id();
    const A_Err result = utility->AEGP_RegisterWithAEGP(nullptr, description.name.c_str(), &id);
    set_ae_plugin_id(id);
    if (result != 0) {
      throw Exception_After_Effects("After Effects Suite Error (A_Err)", result,
                                    report::host_register_with_aegp);
    }
  }
}

void event_command(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], void* extra,
                   Plugin* plugin) {
  Timing_Table timing_table;
  std::atomic<bool> aborted{false};
  const Render_Context render_context =
      render_context_ae_cpu(&timing_table, in_data, std::this_thread::get_id(), aborted);
  handle_event(in_data, out_data, params, static_cast<PF_EventExtra*>(extra), plugin,
               render_context);
}

void user_changed_param(PF_InData* in_data, PF_OutData* out_data, void* extra, Plugin* plugin) {
  Timing_Table timing_table;
  std::atomic<bool> aborted{false};
  Render_Context render_context =
      render_context_ae_cpu(&timing_table, in_data, std::this_thread::get_id(), aborted);
  Plugin_Context context = plugin_context(in_data, out_data, plugin);
  if (in_data->pica_basicP == nullptr || extra == nullptr) {
    return;
  }
  const PF_ParamIndex index = static_cast<PF_UserChangedParamExtra*>(extra)->param_index;
  for (Parameter* parameter : plugin->parameters()) {
    auto* bound = dynamic_cast<Parameter_AE*>(parameter);
    if (bound != nullptr && bound->index == index) {
      plugin->on_user_changed_param(context, render_context, parameter->description().name);
      return;
    }
  }
}

void render_command(const char* path, PF_InData* in_data, PF_OutData* out_data,
                    PF_ParamDef* params[], PF_LayerDef* output, void* extra, Plugin* plugin,
                    PF_Cmd command) {
  global_log().write(std::string("render path: ") + path + "\n", Log::information);
  Timing_Table timing_table;
  std::atomic<bool> aborted{false};
  Render_Context render_context =
      render_context_ae_cpu(&timing_table, in_data, std::this_thread::get_id(), aborted);
  Timing_Report_Guard report(&timing_table);
  Plugin_Context context = plugin_context(in_data, out_data, plugin);
  if (command == PF_Cmd_RENDER) {
    handle_render(in_data, params, output, plugin, render_context, context);
  } else {
    BREL_ASSERT_MSG(extra != nullptr, "smart render without its extra record");
    handle_smart_render(in_data, static_cast<PF_SmartRenderExtra*>(extra), plugin, render_context,
                        context);
  }
}

// The effect renders on the processor only. A GPU render is refused before any render state is
// built: the log says why and the host gets an error code, as for every failed render.
PF_Err refuse_gpu_render() noexcept {
  try {
    global_log().write(
        "-**###  ERROR  ###**-: GPU render requested; this effect renders on the CPU only.\n",
        Log::error);
  } catch (...) {
  }
  return PF_Err_INTERNAL_STRUCT_DAMAGED;
}

void write_unknown_exception() noexcept {
  try {
    global_log().write(
        "-**###  ERROR  ###**-: Unknown Exception escaped. "
        "Writing Error Log. Crashing now.\n",
        Log::error);
    global_log().write_crash_file();
  } catch (...) {
  }
}

PF_CheckoutResult checkout_for_pre_render(PF_InData* in_data, PF_PreRenderExtra* extra,
                                          PF_ParamIndex index, A_long checkout_id,
                                          const PF_RenderRequest& request, Report_Position at) {
  PF_CheckoutResult result{};
  check_result(extra->cb->checkout_layer(in_data->effect_ref, index, checkout_id, &request,
                                         in_data->current_time, in_data->time_step,
                                         in_data->time_scale, &result),
               at);
  return result;
}

void warn_texture_format(const std::string& identifier) {
  global_log().write("-**### WARNING ###**-: texture layer \"" + identifier +
                         "\" is not in the frame's pixel format; it is left "
                         "out of the render\n",
                     Log::warning);
}

// The pipeline reads the input in the frame's pixel type: an input world in another format
// (which the host may hand over in either render path) is refused before any pixel is read.
void check_input_format(const PF_EffectWorld* input, const Pixel_Description& frame,
                        const PF_InData* in_data) {
  BREL_ASSERT_MSG(input == nullptr || input->data == nullptr ||
                      world_pixel_description(input, in_data) == frame,
                  "the input layer is not in the output's pixel format");
}

// Keeps checked-out layers until the render ends and gives them back last first.
class Held_Layers {
 public:
  Held_Layers() = default;
  Held_Layers(const Held_Layers&) = delete;
  Held_Layers& operator=(const Held_Layers&) = delete;
  ~Held_Layers() {
    while (!layers_.empty()) {
      layers_.pop_back();
    }
  }
  void hold(std::shared_ptr<Layer_Typeless> layer) { layers_.push_back(std::move(layer)); }

 private:
  std::vector<std::shared_ptr<Layer_Typeless>> layers_;
};

}  // namespace

uint32_t encoded_version(const Plugin_Description& description) {
  const uint32_t stage = std::min<uint32_t>(description.stage, 3);
  return (description.major & 7) << 19 | ((description.major & 0x78) >> 3) << 26 |
         (description.minor & 15) << 15 | (description.bug_fix & 15) << 11 | stage << 9;
}

Rect clamp_request(const Rect& request, const Rect& output) {
  Rect result = request;
  auto clamp_axis = [](int64_t& low, int64_t& high, int64_t out_low, int64_t out_high) {
    if (low < out_low) {
      low = out_low;
      high = std::max(high, low);
    }
    if (high > out_high) {
      high = out_high;
      if (low > out_high) {
        low = out_high;
      }
    }
  };
  clamp_axis(result.left, result.right, output.left, output.right);
  clamp_axis(result.top, result.bottom, output.top, output.bottom);
  return result;
}

void handle_smart_pre_render(PF_InData* in_data, PF_PreRenderExtra* extra, Plugin* plugin,
                             const Plugin_Context& plugin_context) {
  PF_RenderRequest request{};
  request.field = PF_Field_FRAME;
  request.channel_mask = PF_ChannelMask_ARGB;
  request.preserve_rgb_of_zero_alpha = 1;

  const std::vector<Layer_Parameter_AE*> textures = texture_layer_parameters(plugin->parameters());
  Region_Map regions;
  regions["Source"] = make_render_region(
      in_data,
      checkout_for_pre_render(in_data, extra, 0, 10000, request, report::host_pre_render_source));
  for (Layer_Parameter_AE* texture : textures) {
    regions[texture->description().name] = make_render_region(
        in_data, checkout_for_pre_render(in_data, extra, texture->index, 10000 + texture->index,
                                         request, report::host_pre_render_texture));
  }

  const Rect requested = rect_from_pf_rect(extra->input->output_request.rect);
  request.rect = pf_rect_from_rect(
      plugin->lookup_record_by_name(plugin_context, "Source", regions, requested));
  checkout_for_pre_render(in_data, extra, 0, 0, request, report::host_pre_render_source_again);
  for (Layer_Parameter_AE* texture : textures) {
    request.rect = pf_rect_from_rect(plugin->lookup_record_by_name(
        plugin_context, texture->description().name, regions, requested));
    checkout_for_pre_render(in_data, extra, texture->index, texture->index, request,
                            report::host_pre_render_texture_again);
  }

  const Rect output = plugin->lookup_record(plugin_context, regions).rect;
  extra->output->max_result_rect = pf_rect_from_rect(output);
  extra->output->result_rect = pf_rect_from_rect(clamp_request(requested, output));
  extra->output->solid = 0;
}

void handle_smart_render(PF_InData* in_data, PF_SmartRenderExtra* extra, Plugin* plugin,
                         Render_Context render_context, const Plugin_Context& plugin_context) {
  const auto factors = downsample_factors(in_data);

  Layer_Typeless input;
  PF_EffectWorld* input_world = nullptr;
  {
    auto scope = render_context.scope_timer("getting input layer", 0);
    check_result(extra->cb->checkout_layer_pixels(in_data->effect_ref, 0, &input_world),
                 report::host_input_pixels);
    if (input_world != nullptr) {
      scope->timing().workload = static_cast<int64_t>(input_world->rowbytes) * input_world->height;
    }
  }

  Layer_Typeless output;
  Pixel_Description pixel_description;
  {
    auto scope = render_context.scope_timer("getting output layer", 0);
    PF_EffectWorld* world = nullptr;
    check_result(extra->cb->checkout_output(in_data->effect_ref, &world),
                 report::host_output_pixels);
    if (world == nullptr) {
      return;  // the host wants nothing rendered
    }
    scope->timing().workload = static_cast<int64_t>(world->rowbytes) * world->height;
    pixel_description = world_pixel_description(world, in_data);
    output = make_layer_description(world, factors.x, factors.y, pixel_description);
  }
  check_input_format(input_world, pixel_description, in_data);
  if (input_world != nullptr) {
    input = make_layer_description(input_world, factors.x, factors.y, pixel_description);
  }
  input.pixel_aspect = pixel_aspect_ratio(in_data);

  Layer_Map layers;
  {
    auto scope = render_context.scope_timer("getting extra layers", 0);
    const Layer_Description frame = plugin_context.output_description();
    for (Layer_Parameter_AE* texture : texture_layer_parameters(plugin->parameters())) {
      PF_EffectWorld* world = nullptr;
      check_result(extra->cb->checkout_layer_pixels(in_data->effect_ref, texture->index, &world),
                   report::host_texture_pixels);
      const std::string& identifier = texture->description().identifier;
      Layer_Typeless entry;
      entry.pixel_description = pixel_description;
      if (world != nullptr) {
        // Read only in the frame's pixel type: a texture in another format is left out.
        if (world_pixel_description(world, in_data) == pixel_description) {
          entry = make_layer_description(world, factors.x, factors.y, pixel_description);
          entry.origin_x = (frame.width - entry.width) / 2;
          entry.origin_y = (frame.height - entry.height) / 2;
        } else {
          warn_texture_format(identifier);
        }
      }
      layers[identifier] = entry;
    }
  }

  plugin->render(plugin_context, render_context, input, output, layers, pixel_description);
}

void handle_render(PF_InData* in_data, PF_ParamDef* params[], PF_LayerDef* output, Plugin* plugin,
                   Render_Context render_context, const Plugin_Context& plugin_context) {
  BREL_ASSERT_MSG(params != nullptr && params[0] != nullptr && output != nullptr,
                  "render without its input or output");
  const Pixel_Description pixel_description = world_pixel_description(output, in_data);
  const auto factors = downsample_factors(in_data);
  check_input_format(&params[0]->u.ld, pixel_description, in_data);
  const Layer_Typeless input =
      make_layer_description(&params[0]->u.ld, factors.x, factors.y, pixel_description);

  Layer_Typeless output_record;
  {
    auto scope = render_context.scope_timer("getting output layer", 0);
    output_record = make_layer_description(output, factors.x, factors.y, pixel_description);
  }

  Held_Layers held;
  Layer_Map layers;
  {
    auto scope = render_context.scope_timer("getting extra layers", 0);
    for (Layer_Parameter_AE* texture : texture_layer_parameters(plugin->parameters())) {
      std::shared_ptr<Layer_Typeless> layer = ae::checkout_layer(in_data, texture->index);
      held.hold(layer);
      const std::string& identifier = texture->description().identifier;
      Layer_Typeless entry;
      if (layer != nullptr) {
        // Read only in the frame's pixel type: a texture in another format is left out.
        if (layer->pixel_description == pixel_description) {
          entry = *layer;
          entry.origin_x = (output->width - entry.width) / 2;
          entry.origin_y = (output->height - entry.height) / 2;
          entry.scale_x = factors.x;
          entry.scale_y = factors.y;
          entry.pixel_aspect = pixel_aspect_ratio(in_data);
          entry.flag = 0;
        } else {
          warn_texture_format(identifier);
        }
      }
      layers[identifier] = entry;
    }
  }

  plugin->render(plugin_context, render_context, input, output_record, layers, pixel_description);
}

void handle_command(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                    PF_LayerDef* output, void* extra, const Plugin_Description& description,
                    Plugin* plugin) {
  switch (command) {
    case PF_Cmd_ABOUT: {
      BREL_ASSERT(in_data->utils != nullptr && in_data->utils->ansi.sprintf != nullptr);
      // The host formats the text: every "%" is doubled so that it prints as written.
      const std::string text = escape_format(make_about_text(description));
      in_data->utils->ansi.sprintf(out_data->return_msg, text.c_str());
      break;
    }
    case PF_Cmd_GLOBAL_SETUP:
      global_setup(in_data, out_data, description, plugin);
      break;
    case PF_Cmd_PARAMS_SETUP: {
      const std::list<Parameter*> parameters = plugin->parameters();
      params_setup(in_data, out_data, parameters);
      break;
    }
    case PF_Cmd_RENDER:
      render_command("PF_Cmd_RENDER", in_data, out_data, params, output, extra, plugin, command);
      break;
    case PF_Cmd_USER_CHANGED_PARAM:
      user_changed_param(in_data, out_data, extra, plugin);
      break;
    case PF_Cmd_UPDATE_PARAMS_UI:
      plugin->update_params_ui(plugin_context(in_data, out_data, plugin));
      break;
    case PF_Cmd_EVENT:
      event_command(in_data, out_data, params, extra, plugin);
      break;
    case PF_Cmd_ARBITRARY_CALLBACK:
      handle_arbitrary_callback(in_data, static_cast<PF_ArbParamsExtra*>(extra), plugin);
      break;
    case PF_Cmd_QUERY_DYNAMIC_FLAGS:
      out_data->out_flags &= ~PF_OutFlag_NON_PARAM_VARY;
      if (host_is_premiere(in_data) && plugin->non_param_vary()) {
        out_data->out_flags |= PF_OutFlag_NON_PARAM_VARY;
      }
      break;
    case PF_Cmd_SMART_PRE_RENDER: {
      Plugin_Context context = plugin_context(in_data, out_data, plugin);
      BREL_ASSERT_MSG(extra != nullptr, "smart pre-render without its extra record");
      handle_smart_pre_render(in_data, static_cast<PF_PreRenderExtra*>(extra), plugin, context);
      break;
    }
    case PF_Cmd_SMART_RENDER:
      render_command("PF_Cmd_SMART_RENDER", in_data, out_data, params, output, extra, plugin,
                     command);
      break;
    default:
      break;
  }
}

PF_Err host_code_of_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PF_Err_OUT_OF_MEMORY;
  } catch (const Exception_Abort&) {
    return PF_Interrupt_CANCEL;
  } catch (const Exception_After_Effects& e) {
    return e.code();
  } catch (const Exception_Ae_Suite& e) {
    // A host out of memory is answered as every other allocation failure; any other suite
    // failure is unexpected.
    if (e.code() == kSPOutOfMemoryError) {
      return PF_Err_OUT_OF_MEMORY;
    }
    write_unknown_exception();
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
  } catch (...) {
    // Nothing may cross into the host: the failure is reported and becomes a host code.
    write_unknown_exception();
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
}

PF_Err handle_command_guarded(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data,
                              PF_ParamDef* params[], PF_LayerDef* output, void* extra,
                              const Plugin_Description& description, Plugin* plugin) noexcept {
  if (command == PF_Cmd_SMART_RENDER_GPU) {
    return refuse_gpu_render();
  }
  try {
    const Plugin_Description copy = description;
    handle_command(command, in_data, out_data, params, output, extra, copy, plugin);
    return PF_Err_NONE;
  } catch (...) {
    return host_code_of_current_exception();
  }
}

}  // namespace brel
