#pragma once

// Drives the effect's plug-in library as a host does: loads it with dlopen, finds its one export
// and sends it commands with the simulated host's records: global and parameter set-up, about,
// parameter-UI update, dynamic flags, user-changed parameter, the smart pre-render and render,
// and the classic render. It owns the frame's worlds (input, output and texture layers) in the
// pixel formats the host identity carries, and plays the smart-render callbacks with recording
// and fault injection. Anything the library lets escape is caught and counted.
//
// A frame, as a host renders it:
//
//   Simulated_Host host(Host_Identity::after_effects());   // or ::premiere()
//   host.set_thread_count(8);
//   Plugin_Driver driver(host, "path/to/liblumbrix.so");
//   driver.global_setup();                                  // 0 on success
//   driver.params_setup();
//   host.parameters().set_popup("render mode", 5);         // values by slot, id or name
//   World& input = driver.set_frame(1920, 1080, PF_PixelFormat_ARGB128);  // fill its pixels
//   driver.set_texture("environmental layer", 512, 256);   // a world to fill, same format
//   driver.smart_pre_render();
//   driver.smart_render();                                  // or driver.render(): classic
//   World& output = driver.output();
//
// Every command answers the library's PF_Err, or `escaped` if an exception left it;
// host.imbalance() is empty when every suite, checkout and handle came back.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host_api.h"
#include "simulated_host.h"

namespace brel::sim {

// The loaded library; unloaded when the object goes.
class Plugin_Library {
 public:
  // Throws Sim_Error when the file cannot be loaded or lacks the export.
  explicit Plugin_Library(const std::string& path);
  ~Plugin_Library();
  Plugin_Library(const Plugin_Library&) = delete;
  Plugin_Library& operator=(const Plugin_Library&) = delete;

  PF_EntryPointFunc entry() const { return entry_; }

 private:
  void* handle_ = nullptr;
  PF_EntryPointFunc entry_ = nullptr;
};

// Names of the smart-render callbacks, for call counts and fault injection.
namespace fn {
inline constexpr const char* checkout_layer = "PF_PreRenderCallbacks.checkout_layer";
inline constexpr const char* checkout_layer_pixels =
    "PF_SmartRenderCallbacks.checkout_layer_pixels";
inline constexpr const char* checkout_output = "PF_SmartRenderCallbacks.checkout_output";
}  // namespace fn

class Plugin_Driver {
 public:
  // What the pre-render's checkout callback was asked.
  struct Layer_Checkout {
    PF_ParamIndex index;
    A_long checkout_id;
    PF_LRect rect;
    A_long what_time;
  };

  // What `send` answers when an exception escaped the library instead of a code.
  static constexpr PF_Err escaped = -1;

  // Loads the library at `library_path` and drives its export.
  Plugin_Driver(Simulated_Host& host, const std::string& library_path);
  // Drives an entry function linked into the caller (tests of the command handling).
  Plugin_Driver(Simulated_Host& host, PF_EntryPointFunc entry);
  ~Plugin_Driver();
  Plugin_Driver(const Plugin_Driver&) = delete;
  Plugin_Driver& operator=(const Plugin_Driver&) = delete;

  Simulated_Host& host() { return host_; }

  // One command with a fresh parameter array; `escaped` if an exception left the library.
  PF_Err send(PF_Cmd command, void* extra = nullptr, PF_LayerDef* output = nullptr);

  PF_Err global_setup() { return send(PF_Cmd_GLOBAL_SETUP); }
  PF_Err params_setup() { return send(PF_Cmd_PARAMS_SETUP); }
  PF_Err about() { return send(PF_Cmd_ABOUT); }
  PF_Err update_params_ui() { return send(PF_Cmd_UPDATE_PARAMS_UI); }
  PF_Err query_dynamic_flags() { return send(PF_Cmd_QUERY_DYNAMIC_FLAGS); }
  PF_Err user_changed_param(PF_ParamIndex index);

  // The effect's input frame: `width` x `height` pixels at the current downsampling, in
  // `format`; the host's layer size follows it. The output and the textures take the same
  // format unless given another.
  World& set_frame(int32_t width, int32_t height, PF_PixelFormat format);
  World& input() { return *input_; }
  // The input frame, or null before the first `set_frame`.
  World* input_if_set() { return input_.get(); }
  // Whether new worlds start cleared to zero (the default). A caller that fills the frame and
  // textures whole, and reads outputs only after the effect wrote them whole, spares the
  // clearing.
  void set_clear_worlds(bool clear) { clear_worlds_ = clear; }
  // Renders make their output world in `format` instead of the frame's (0: the frame's).
  void set_output_format(PF_PixelFormat format) { output_format_ = format; }
  PF_PixelFormat format() const { return format_; }
  // Output worlds of later renders start with every row's padding set to `value`.
  void fill_output_padding(std::byte value) { output_padding_ = value; }
  // A texture for a layer parameter (slot, id or name as the parameter store takes them), in
  // the frame's format or in `format`.
  template <class Key>
  World& set_texture(Key key, int32_t width, int32_t height) {
    return set_texture_at(host_.parameters().slot(key), width, height, format_);
  }
  template <class Key>
  World& set_texture(Key key, int32_t width, int32_t height, PF_PixelFormat format) {
    return set_texture_at(host_.parameters().slot(key), width, height, format);
  }

  // The smart pre-render with the host's request (the whole frame by default).
  PF_Err smart_pre_render();
  PF_Err smart_pre_render(const PF_LRect& request);
  const PF_PreRenderOutput& pre_render_output() const { return pre_render_output_; }
  std::vector<Layer_Checkout> layer_checkouts() const;

  // The smart render into a new output world the size of the input; without an output world
  // when `with_output` is false.
  PF_Err smart_render(bool with_output = true);
  // The classic render into a new output world the size of the input.
  PF_Err render();
  // The output world of the last render.
  World& output() { return *output_; }

  // Smart-render callbacks: from the `at_call`-th call on, `times` calls answer `code`.
  void inject(const std::string& function, PF_Err code, int64_t at_call = 1, int64_t times = 1);
  int64_t calls(const std::string& function) const;
  // Exceptions that left the library through the export.
  int64_t escaped_exceptions() const { return escaped_exceptions_; }

 private:
  struct Fault {
    PF_Err code;
    int64_t from_call;
    int64_t times;
  };
  friend struct Driver_Callbacks;

  World& set_texture_at(int32_t slot, int32_t width, int32_t height, PF_PixelFormat format);
  std::unique_ptr<World> make_world(int32_t width, int32_t height, PF_PixelFormat format) const;
  // An output world the size of the input.
  std::unique_ptr<World> make_output() const;
  PF_Err enter(const std::string& function);
  PF_EffectWorld* world_of_layer(PF_ParamIndex index);

  Simulated_Host& host_;
  std::unique_ptr<Plugin_Library> library_;
  PF_EntryPointFunc entry_;
  PF_PixelFormat format_ = 0;
  PF_PixelFormat output_format_ = 0;
  std::optional<std::byte> output_padding_;
  bool clear_worlds_ = true;
  std::unique_ptr<World> input_;
  std::unique_ptr<World> output_;
  std::map<int32_t, std::unique_ptr<World>> textures_;  // by slot
  PF_PreRenderOutput pre_render_output_{};
  PF_PreRenderCallbacks pre_render_callbacks_{};
  PF_SmartRenderCallbacks smart_render_callbacks_{};
  int64_t escaped_exceptions_ = 0;

  mutable std::mutex mutex_;
  std::vector<Layer_Checkout> layer_checkouts_;
  std::map<std::string, int64_t> calls_;
  std::map<std::string, std::vector<Fault>> faults_;
};

}  // namespace brel::sim
