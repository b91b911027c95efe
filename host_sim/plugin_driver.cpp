#include "plugin_driver.h"

#include <dlfcn.h>

#include <atomic>

namespace brel::sim {
namespace {

std::atomic<Plugin_Driver*> active_driver{nullptr};

PF_LRect world_rect(const PF_EffectWorld* world) {
  return world == nullptr ? PF_LRect{0, 0, 0, 0} : PF_LRect{0, 0, world->width, world->height};
}

}  // namespace

// ---- The library ---------------------------------------------------------------------------

Plugin_Library::Plugin_Library(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* error = dlerror();
    throw Sim_Error("cannot load " + path + ": " + (error != nullptr ? error : "unknown error"));
  }
  entry_ = reinterpret_cast<PF_EntryPointFunc>(dlsym(handle_, "EntryPointFunc"));
  if (entry_ == nullptr) {
    dlclose(handle_);
    throw Sim_Error(path + " has no EntryPointFunc");
  }
}

Plugin_Library::~Plugin_Library() {
  dlclose(handle_);
}

// ---- Smart-render callbacks ----------------------------------------------------------------

struct Driver_Callbacks {
  static PF_Err checkout_layer(PF_ProgPtr /*effect_ref*/, PF_ParamIndex index, A_long checkout_id,
                               const PF_RenderRequest* request, A_long what_time,
                               A_long /*time_step*/, A_u_long /*time_scale*/,
                               PF_CheckoutResult* result) {
    Plugin_Driver* driver = active_driver.load();
    if (driver == nullptr || request == nullptr || result == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    const PF_Err err = driver->enter(fn::checkout_layer);
    {
      std::lock_guard lock(driver->mutex_);
      driver->layer_checkouts_.push_back({index, checkout_id, request->rect, what_time});
    }
    if (err != PF_Err_NONE) {
      return err;
    }
    *result = PF_CheckoutResult{};
    const PF_EffectWorld* world = driver->world_of_layer(index);
    result->max_result_rect = world_rect(world);
    result->result_rect = result->max_result_rect;
    result->par = world != nullptr ? world->pix_aspect_ratio : PF_RationalScale{1, 1};
    return PF_Err_NONE;
  }

  static PF_Err checkout_layer_pixels(PF_ProgPtr /*effect_ref*/, A_long checkout_id,
                                      PF_EffectWorld** pixels) {
    Plugin_Driver* driver = active_driver.load();
    if (driver == nullptr || pixels == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    if (const PF_Err err = driver->enter(fn::checkout_layer_pixels)) {
      return err;
    }
    *pixels = driver->world_of_layer(checkout_id);
    return PF_Err_NONE;
  }

  static PF_Err checkin_layer_pixels(PF_ProgPtr /*effect_ref*/, A_long /*checkout_id*/) {
    return PF_Err_NONE;
  }

  static PF_Err checkout_output(PF_ProgPtr /*effect_ref*/, PF_EffectWorld** output) {
    Plugin_Driver* driver = active_driver.load();
    if (driver == nullptr || output == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    if (const PF_Err err = driver->enter(fn::checkout_output)) {
      return err;
    }
    *output = driver->output_ != nullptr ? driver->output_->get() : nullptr;
    return PF_Err_NONE;
  }
};

// ---- The driver ----------------------------------------------------------------------------

Plugin_Driver::Plugin_Driver(Simulated_Host& host, const std::string& library_path)
    : Plugin_Driver(host, nullptr) {
  library_ = std::make_unique<Plugin_Library>(library_path);
  entry_ = library_->entry();
}

Plugin_Driver::Plugin_Driver(Simulated_Host& host, PF_EntryPointFunc entry)
    : host_(host), entry_(entry) {
  pre_render_callbacks_.checkout_layer = &Driver_Callbacks::checkout_layer;
  smart_render_callbacks_.checkout_layer_pixels = &Driver_Callbacks::checkout_layer_pixels;
  smart_render_callbacks_.checkin_layer_pixels = &Driver_Callbacks::checkin_layer_pixels;
  smart_render_callbacks_.checkout_output = &Driver_Callbacks::checkout_output;
  active_driver.store(this);
}

Plugin_Driver::~Plugin_Driver() {
  Plugin_Driver* self = this;
  active_driver.compare_exchange_strong(self, nullptr);
}

PF_Err Plugin_Driver::send(PF_Cmd command, void* extra, PF_LayerDef* output) {
  PF_ParamDef** params = host_.begin_command();
  try {
    return entry_(command, host_.in_data(), host_.out_data(), params, output, extra);
  } catch (...) {
    ++escaped_exceptions_;
    return escaped;
  }
}

PF_Err Plugin_Driver::user_changed_param(PF_ParamIndex index) {
  PF_UserChangedParamExtra extra{index};
  return send(PF_Cmd_USER_CHANGED_PARAM, &extra);
}

std::unique_ptr<World> Plugin_Driver::make_world(int32_t width, int32_t height,
                                                 PF_PixelFormat format) const {
  int32_t bytes = World::pixel_bytes(format, host_.identity().is_premiere());
  // A format the host does not carry still gets pixels: the effect is to refuse it.
  return std::make_unique<World>(width, height, format, bytes > 0 ? bytes : 16, 0, clear_worlds_,
                                 host_.world_memory());
}

World& Plugin_Driver::set_frame(int32_t width, int32_t height, PF_PixelFormat format) {
  format_ = format;
  input_ = make_world(width, height, format);
  const PF_InData* in_data = host_.in_data();
  // The host's layer size is the full-resolution one.
  host_.set_layer_size(
      static_cast<A_long>(int64_t{width} * in_data->downsample_x.den / in_data->downsample_x.num),
      static_cast<A_long>(int64_t{height} * in_data->downsample_y.den / in_data->downsample_y.num));
  host_.parameters().set_input(input_->get());
  return *input_;
}

World& Plugin_Driver::set_texture_at(int32_t slot, int32_t width, int32_t height,
                                     PF_PixelFormat format) {
  std::unique_ptr<World>& world = textures_[slot];
  world = make_world(width, height, format);
  host_.parameters().set_layer(Slot{slot}, world->get());
  return *world;
}

PF_EffectWorld* Plugin_Driver::world_of_layer(PF_ParamIndex index) {
  if (index == 0) {
    return input_ != nullptr ? input_->get() : nullptr;
  }
  auto it = textures_.find(index - 1);
  return it != textures_.end() ? it->second->get() : nullptr;
}

PF_Err Plugin_Driver::smart_pre_render() {
  return smart_pre_render(world_rect(input_->get()));
}

PF_Err Plugin_Driver::smart_pre_render(const PF_LRect& request) {
  PF_PreRenderInput input{};
  input.output_request.rect = request;
  input.output_request.field = PF_Field_FRAME;
  input.output_request.channel_mask = PF_ChannelMask_ARGB;
  input.output_request.preserve_rgb_of_zero_alpha = 1;
  pre_render_output_ = PF_PreRenderOutput{};
  pre_render_output_.solid = 1;  // the effect is to say false
  PF_PreRenderExtra extra{&input, &pre_render_output_, &pre_render_callbacks_};
  {
    std::lock_guard lock(mutex_);
    layer_checkouts_.clear();
  }
  return send(PF_Cmd_SMART_PRE_RENDER, &extra);
}

std::vector<Plugin_Driver::Layer_Checkout> Plugin_Driver::layer_checkouts() const {
  std::lock_guard lock(mutex_);
  return layer_checkouts_;
}

std::unique_ptr<World> Plugin_Driver::make_output() const {
  std::unique_ptr<World> output = make_world(input_->get()->width, input_->get()->height,
                                             output_format_ != 0 ? output_format_ : format_);
  if (output_padding_.has_value()) {
    output->fill_padding(*output_padding_);
  }
  return output;
}

PF_Err Plugin_Driver::smart_render(bool with_output) {
  // The last frame's output goes first, so that its pixels serve this one.
  output_.reset();
  output_ = with_output ? make_output() : nullptr;
  PF_SmartRenderInput input{};
  input.output_request.rect = world_rect(input_->get());
  input.output_request.field = PF_Field_FRAME;
  input.output_request.channel_mask = PF_ChannelMask_ARGB;
  input.output_request.preserve_rgb_of_zero_alpha = 1;
  PF_SmartRenderExtra extra{&input, &smart_render_callbacks_};
  return send(PF_Cmd_SMART_RENDER, &extra);
}

PF_Err Plugin_Driver::render() {
  output_.reset();
  output_ = make_output();
  return send(PF_Cmd_RENDER, nullptr, output_->get());
}

void Plugin_Driver::inject(const std::string& function, PF_Err code, int64_t at_call,
                           int64_t times) {
  std::lock_guard lock(mutex_);
  faults_[function].push_back({code, at_call, times});
}

int64_t Plugin_Driver::calls(const std::string& function) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(function);
  return it == calls_.end() ? 0 : it->second;
}

PF_Err Plugin_Driver::enter(const std::string& function) {
  std::lock_guard lock(mutex_);
  const int64_t call = ++calls_[function];
  auto it = faults_.find(function);
  if (it == faults_.end()) {
    return PF_Err_NONE;
  }
  for (const Fault& fault : it->second) {
    if (call >= fault.from_call && (fault.times < 0 || call < fault.from_call + fault.times)) {
      return fault.code;
    }
  }
  return PF_Err_NONE;
}

}  // namespace brel::sim
