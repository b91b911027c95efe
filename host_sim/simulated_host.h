#pragma once

// A stand-in for After Effects or Premiere Pro that plays the host's side of the effect
// interface: the call record PF_InData with its callbacks, the answer record PF_OutData, the
// suite broker with the suites the effect acquires, worlds in each host's pixel formats and a
// parameter store. It records every call, lets a test make any callback or suite function
// answer an error or a suite go missing, and keeps the books on suites and checkouts so a test
// can see that every command gave back what it took.
//
// Callbacks that carry the effect reference find their host through it. The few that carry
// none (handle and broker functions, ansi.sprintf, the world suites) go to the most recently
// created host that is still alive: one simulated host at a time per process.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "custom_ui.h"
#include "handle_memory.h"
#include "host_api.h"
#include "parameter_store.h"
#include "render_threads.h"

namespace brel::sim {

// Which host application, speaking which effect interface version.
struct Host_Identity {
  A_long appl_id = PF_APPL_ID_AFTER_EFFECTS;
  A_short api_major = 13;
  A_short api_minor = 28;
  PrAppVersion app_version{0, 0, 0};  // answered by "MediaCore App Info Suite"

  static Host_Identity after_effects(A_short api_major = 13, A_short api_minor = 28);
  static Host_Identity premiere(A_short api_major = 13, A_short api_minor = 4,
                                PrAppVersion app_version = {24, 1, 0});
  static Host_Identity other(A_long appl_id, A_short api_major, A_short api_minor);

  bool is_premiere() const { return appl_id == PF_APPL_ID_PREMIERE; }
};

// Host functions by name, for call counts and fault injection. Suite functions are named
// "<suite name>.<function>".
namespace fn {
inline constexpr const char* add_param = "inter.add_param";
inline constexpr const char* checkout_param = "inter.checkout_param";
inline constexpr const char* checkin_param = "inter.checkin_param";
inline constexpr const char* abort = "inter.abort";
inline constexpr const char* progress = "inter.progress";
inline constexpr const char* register_ui = "inter.register_ui";
inline constexpr const char* new_handle = "utils.host_new_handle";
inline constexpr const char* lock_handle = "utils.host_lock_handle";
inline constexpr const char* unlock_handle = "host_unlock_handle";    // both tables
inline constexpr const char* dispose_handle = "host_dispose_handle";  // both tables
inline constexpr const char* iterate_generic = "utils.iterate_generic";
inline constexpr const char* sprintf = "utils.ansi.sprintf";
inline constexpr const char* suite_new_handle = "PF Handle Suite.host_new_handle";
inline constexpr const char* suite_lock_handle = "PF Handle Suite.host_lock_handle";
inline constexpr const char* get_pixel_format = "PF World Suite.PF_GetPixelFormat";
inline constexpr const char* pr_get_pixel_format = "PF Pixel Format Suite.GetPixelFormat";
inline constexpr const char* pr_add_pixel_format = "PF Pixel Format Suite.AddSupportedPixelFormat";
inline constexpr const char* pr_clear_pixel_formats =
    "PF Pixel Format Suite.ClearSupportedPixelFormats";
inline constexpr const char* pr_match_frames =
    "PF Utility Suite.EffectWantsCheckedOutFramesToMatchRenderPixelFormat";
inline constexpr const char* app_info = "MediaCore App Info Suite.GetAppInfo";
inline constexpr const char* float_color =
    "PF ColorParamSuite.PF_GetFloatingPointColorFromColorDef";
inline constexpr const char* update_param_ui = "PF Param Utils Suite.PF_UpdateParamUI";
inline constexpr const char* register_with_aegp = "AEGP Utility Suite.AEGP_RegisterWithAEGP";
inline constexpr const char* project_by_index = "AEGP Proj Suite.AEGP_GetProjectByIndex";
inline constexpr const char* first_item = "AEGP Item Suite.AEGP_GetFirstProjItem";
inline constexpr const char* next_item = "AEGP Item Suite.AEGP_GetNextProjItem";
inline constexpr const char* item_type = "AEGP Item Suite.AEGP_GetItemType";
inline constexpr const char* comp_from_item = "AEGP Comp Suite.AEGP_GetCompFromItem";
inline constexpr const char* working_space_profile =
    "PF Color Settings Suite.AEGP_GetNewWorkingSpaceColorProfile";
inline constexpr const char* icc_profile =
    "PF Color Settings Suite.AEGP_GetNewICCProfileFromColorProfile";
inline constexpr const char* approximate_gamma =
    "PF Color Settings Suite.AEGP_GetColorProfileApproximateGamma";
inline constexpr const char* free_mem_handle = "AEGP Memory Suite.AEGP_FreeMemHandle";
}  // namespace fn

// A host image that owns its pixels. Its format is kept where only the host looks
// (`host_reserved`), so it survives the effect's copies of the record.
class World {
 public:
  // Bytes per pixel of a format as the host carries it: 0 for a format the host lacks.
  static int32_t pixel_bytes(PF_PixelFormat format, bool premiere);

  // Rows are padded to 64 bytes plus `extra_row_bytes`. Pixels start cleared to zero unless
  // `cleared` is false, for a world that is about to be written whole. With `memory` the pixels
  // come from it and go back to it with the world, as a host keeps the frames it renders into.
  World(int32_t width, int32_t height, PF_PixelFormat format, int32_t bytes_per_pixel,
        int32_t extra_row_bytes = 0, bool cleared = true,
        std::shared_ptr<Handle_Memory> memory = nullptr);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  PF_EffectWorld* get() { return &world_; }
  const PF_EffectWorld* get() const { return &world_; }
  PF_PixelFormat format() const { return world_.host_reserved[0]; }

  // The bytes after the last pixel of each row: set to `value`, or all still `value`.
  void fill_padding(std::byte value);
  bool padding_is(std::byte value) const;

  // The format of a world this library made; false for any other record.
  static bool format_of(const PF_EffectWorld* world, PF_PixelFormat* format);

 private:
  std::shared_ptr<Handle_Memory> memory_;
  Handle_Memory::Block pixels_;
  size_t capacity_ = 0;
  int32_t bytes_per_pixel_;
  PF_EffectWorld world_{};
};

class Simulated_Host {
 public:
  struct Checkout_Call {
    PF_ParamIndex index;
    A_long what_time;
    A_long time_step;
    A_u_long time_scale;
  };
  struct Update_Ui_Call {
    PF_ParamIndex index;
    PF_ParamType param_type;
    PF_ParamUIFlags ui_flags;
    PF_ParamFlags flags;
    A_short ui_height;
  };

  explicit Simulated_Host(Host_Identity identity);
  ~Simulated_Host();
  Simulated_Host(const Simulated_Host&) = delete;
  Simulated_Host& operator=(const Simulated_Host&) = delete;

  const Host_Identity& identity() const { return identity_; }
  PF_InData* in_data() { return &in_data_; }
  PF_OutData* out_data() { return &out_data_; }
  Parameter_Store& parameters() { return store_; }
  // The effect panel: event context, colour, drawing and the effect's background frames.
  Custom_Ui& custom_ui() { return *custom_ui_; }

  // Starts a command: takes back what the effect changed in the last parameter array and
  // hands out a fresh one with the current values.
  PF_ParamDef** begin_command();
  PF_ParamDef** params() { return store_.array(); }

  // The frame: full-resolution layer size, downsampling, aspect and time.
  void set_layer_size(A_long width, A_long height);
  void set_downsample(A_long num_x, A_u_long den_x, A_long num_y, A_u_long den_y);
  void set_pixel_aspect(A_long num, A_u_long den);
  void set_time(A_long current_time, A_long time_step, A_u_long time_scale);
  // Render threads of iterate_generic (at least 1), made here and kept, as a host keeps its
  // own; a loop of more tasks than this makes the threads it lacks when it first needs them.
  void set_thread_count(int32_t threads);
  // Hosts may offer no register_ui callback, or no utility callbacks at all.
  void set_register_ui_present(bool present);
  void set_utils_present(bool present);
  // The id the AEGP registration hands out.
  void set_plugin_id(AEGP_PluginID id) { plugin_id_ = id; }
  // The After Effects project behind the AEGP project suites: the types of its items in order
  // and the approximate gamma of its working colour space. By default a folder, then a
  // composition, gamma 2.2.
  void set_project(std::vector<AEGP_ItemType> items, float gamma);
  // The item whose composition the last working-space profile was made for; -1 when it was
  // asked without a composition, -2 before any was asked.
  int32_t profile_item() const;

  // Calls so far of a host function (see `fn`).
  int64_t calls(const std::string& function) const;
  std::vector<Checkout_Call> checkout_calls() const;
  std::vector<Update_Ui_Call> update_ui_calls() const;
  std::vector<PrPixelFormat> supported_pixel_formats() const;
  std::string registered_name() const;
  // ansi.sprintf calls whose text was cut to fit the buffer.
  int64_t sprintf_truncations() const;

  // From the `at_call`-th call on (counting every call of `function` from 1), `times` calls
  // (all later ones when negative) of `function` answer `code` without doing anything. Functions
  // that return a pointer answer null instead.
  void inject(const std::string& function, int32_t code, int64_t at_call = 1, int64_t times = 1);
  // Suites: missing (kSPSuiteNotFoundError), failing with a chosen code, or "success" without
  // a table.
  void remove_suite(const std::string& name, int32_t version);
  void fail_suite(const std::string& name, int32_t version, SPErr code);
  void null_suite(const std::string& name, int32_t version);

  // Called after every counted host call, on the thread that made it (any render thread), so
  // a driver can show progress. Set it before the effect runs.
  void set_call_observer(std::function<void(const std::string& function)> observer) {
    call_observer_ = std::move(observer);
  }

  // Accounting.
  int64_t acquires(const std::string& name, int32_t version) const;
  int64_t releases(const std::string& name, int32_t version) const;
  // Empty when every suite acquired was released, every checkout checked in, and no call gave
  // back something the host never handed out; otherwise what is wrong, one item a line.
  std::string imbalance() const;
  int64_t live_handles() const;

  // Handle memory. Like a real host's memory manager, the host keeps the blocks of disposed
  // handles and serves new requests from them (Handle_Memory says how). Every new_handle call
  // is still counted and answers its injected fault before any memory is looked for.
  // Requests that took memory from the system, requests served at least in part by kept
  // memory, and the bytes taken from the system, so far.
  int64_t fresh_handle_blocks() const;
  int64_t reused_handle_blocks() const;
  int64_t fresh_handle_bytes() const;
  // Memory for the worlds a driver makes, apart from the handles' books.
  const std::shared_ptr<Handle_Memory>& world_memory() const { return world_memory_; }
  // Every block handed out for a handle, fresh or kept, is first filled with `value`, as memory
  // that held other data would be; by default blocks are handed out as they are.
  void set_handle_scribble(std::byte value);

 private:
  using Suite_Key = std::pair<std::string, int32_t>;
  struct Fault {
    int32_t code;
    int64_t from_call;
    int64_t times;
  };
  struct Handle_Block {
    Handle_Memory::Block block;
    A_u_longlong size;
    int64_t locks;
    A_u_longlong capacity;  // of the block, at least `size`
  };
  friend struct Host_Callbacks;
  friend struct Project_Callbacks;
  friend struct Custom_Ui_Callbacks;

  static Simulated_Host* from(PF_ProgPtr effect_ref);
  static Simulated_Host* active();
  // Counts a call of `host` (null when the callback found none): `*err` is `no_host` without a
  // host, else the injected fault or 0.
  static Simulated_Host* entered(Simulated_Host* host, const char* function, int32_t no_host,
                                 int32_t* err);
  // Counts a call and answers its injected fault, 0 if none. Caller must not hold the mutex.
  int32_t enter(const std::string& function);
  void violation(const std::string& text);
  Delivery delivery() const;
  void offer_suites();
  void offer_project_suites();  // After Effects only
  void offer_custom_ui_suites();

  const uint64_t magic_;
  Host_Identity identity_;
  PF_InData in_data_{};
  PF_OutData out_data_{};
  PF_UtilCallbacks utils_{};
  SPBasicSuite basic_suite_{};
  Parameter_Store store_;
  int32_t thread_count_ = 4;
  AEGP_PluginID plugin_id_ = 4711;

  PF_HandleSuite2 handle_suite_{};
  PF_WorldSuite2 world_suite_{};
  PF_ColorParamSuite1 color_param_suite_{};
  PF_ParamUtilsSuite2 param_utils_suite_{};
  AEGP_UtilitySuite7 aegp_utility_suite_{};
  PF_PixelFormatSuite1 pixel_format_suite_{};
  PF_UtilitySuite4 utility_suite_{};
  PrSDKAppInfoSuite2 app_info_suite_{};
  AEGP_ProjSuite8 project_suite_{};
  AEGP_ItemSuite10 item_suite_{};
  AEGP_CompSuite9 comp_suite_{};
  AEGP_MemorySuite1 memory_suite_{};
  PF_ColorSettingsSuite3 color_settings_suite_{};
  std::unique_ptr<Custom_Ui> custom_ui_;
  PF_AppSuite6 app_suite_{};
  PF_EffectCustomUISuite1 custom_ui_suite1_{};
  PF_EffectCustomUISuite2 custom_ui_suite2_{};
  DRAWBOT_SupplierSuite1 supplier_suite_{};
  DRAWBOT_DrawbotSuite1 drawbot_suite_{};
  DRAWBOT_SurfaceSuite1 surface_suite_{};
  AEGP_PFInterfaceSuite1 pf_interface_suite_{};
  AEGP_EffectSuite3 effect_suite_{};
  AEGP_LayerRenderOptionsSuite2 render_options_suite_{};
  AEGP_RenderAsyncManagerSuite1 async_suite_{};
  AEGP_RenderSuite5 render_suite_{};
  AEGP_WorldSuite3 aegp_world_suite_{};

  mutable std::mutex mutex_;
  std::map<std::string, int64_t> calls_;
  std::map<std::string, std::vector<Fault>> faults_;
  std::map<Suite_Key, const void*> offered_;
  std::map<Suite_Key, SPErr> suite_errors_;  // missing or failing suites
  std::map<Suite_Key, int64_t> acquires_;
  std::map<Suite_Key, int64_t> releases_;
  std::map<int32_t, int64_t> checked_out_;  // host index -> records out
  mutable std::mutex violations_mutex_;
  std::vector<std::string> violations_;
  std::map<PF_Handle, Handle_Block> handles_;
  Handle_Memory handle_memory_;
  std::shared_ptr<Handle_Memory> world_memory_ = std::make_shared<Handle_Memory>();
  std::vector<Checkout_Call> checkout_calls_;
  std::vector<Update_Ui_Call> update_ui_calls_;
  std::vector<PrPixelFormat> supported_formats_;
  std::string registered_name_;
  int64_t sprintf_truncations_ = 0;
  std::vector<AEGP_ItemType> project_items_{AEGP_ItemType_FOLDER, AEGP_ItemType_COMP};
  float project_gamma_ = 2.2f;
  int32_t profile_item_ = -2;
  std::map<const void*, int32_t> live_profiles_;  // profile -> item it was made for
  std::map<const void*, int32_t> live_mem_handles_;
  uintptr_t tokens_made_ = 0;
  std::function<void(const std::string&)> call_observer_;
  // Last, so that the threads stop before anything they could reach goes.
  Render_Threads render_threads_;
};

}  // namespace brel::sim
