// The custom-control suites of the simulated host. Drawing references, suppliers, surfaces,
// images, AEGP effects, render options, receipts and worlds are tokens: small numbers that lead
// back to the records here and are never dereferenced.

#include "custom_ui.h"

#include <cstring>

#include "simulated_host.h"

namespace brel::sim {

namespace {

// Token kinds live in ranges of their own, so a token of one kind is never taken for another.
constexpr uintptr_t draw_ref_token = 0xD000;
constexpr uintptr_t supplier_token = 0xD001;
constexpr uintptr_t surface_token = 0xD002;
constexpr uintptr_t manager_token = 0xD003;
constexpr uintptr_t effect_token = 0xE000;
constexpr uintptr_t image_base = 0x100000;
constexpr uintptr_t options_base = 0x200000;
constexpr uintptr_t receipt_base = 0x300000;
constexpr uintptr_t world_base = 0x400000;

template <class Handle>
Handle token(uintptr_t value) {
  return reinterpret_cast<Handle>(value);
}

// Index of a token in its range, -1 for anything else.
template <class Handle>
int64_t index_of(Handle handle, uintptr_t base, size_t count) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  if (value <= base || value > base + count) {
    return -1;
  }
  return static_cast<int64_t>(value - base - 1);
}

}  // namespace

Custom_Ui::Custom_Ui() {
  context_.w_type = PF_Window_EFFECT;
}

PF_EventExtra Custom_Ui::event(A_long type, PF_ParamIndex index, void* refcon, PF_Point origin) {
  PF_EventExtra extra{};
  extra.contextH = &context_;
  extra.e_type = type;
  extra.effect_win = {PF_EA_CONTROL, index, refcon};
  extra.draw_origin = origin;
  return extra;
}

void Custom_Ui::set_background_color(PF_App_Color color) {
  std::lock_guard lock(mutex_);
  background_ = color;
}

void Custom_Ui::set_effect_frames(const World* input, const World* output, int32_t ready_after) {
  std::lock_guard lock(mutex_);
  input_frame_ = input;
  output_frame_ = output;
  ready_after_ = ready_after;
}

std::vector<Custom_Ui::Drawn_Image> Custom_Ui::drawn() const {
  std::lock_guard lock(mutex_);
  return drawn_;
}

std::vector<std::pair<std::string, A_long>> Custom_Ui::policies() const {
  std::lock_guard lock(mutex_);
  return policies_;
}

std::vector<bool> Custom_Ui::frame_requests() const {
  std::lock_guard lock(mutex_);
  return frame_requests_;
}

std::string Custom_Ui::imbalance() const {
  std::lock_guard lock(mutex_);
  std::string text;
  const auto count = [&text](int64_t live, const char* what) {
    if (live != 0) {
      text += std::to_string(live) + " " + what + " not given back\n";
    }
  };
  count(live_images_, "drawing image(s)");
  count(live_effects_, "AEGP effect(s)");
  count(live_options_, "layer render option(s)");
  int64_t receipts = 0;
  for (const bool live : receipts_live_) {
    receipts += live ? 1 : 0;
  }
  count(receipts, "frame receipt(s)");
  return text;
}

struct Custom_Ui_Callbacks {
  // Counts the call; the host and its custom-control side, or null with `*err` set.
  static Custom_Ui* enter(const char* function, A_long* err) {
    int32_t code = 0;
    Simulated_Host* host = Simulated_Host::entered(Simulated_Host::active(), function,
                                                   PF_Err_BAD_CALLBACK_PARAM, &code);
    *err = code;
    return host != nullptr && code == 0 ? &host->custom_ui() : nullptr;
  }
  static void violation(const std::string& text) {
    if (Simulated_Host* host = Simulated_Host::active()) {
      host->violation(text);
    }
  }

  // "PF AE App Suite"

  static PF_Err background_color(PF_App_Color* color) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::background_color, &err);
    if (ui == nullptr || color == nullptr) {
      return err != 0 ? err : PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(ui->mutex_);
    *color = ui->background_;
    return PF_Err_NONE;
  }

  static PF_Err invalidate_rect(PF_ContextH context, const PF_LRect*) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::invalidate_rect, &err);
    if (ui == nullptr) {
      return err;
    }
    return context == &ui->context_ ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
  }

  // "PF Effect Custom UI Suite"

  static PF_Err drawing_reference(PF_ContextH context, DRAWBOT_DrawRef* draw_ref) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::drawing_reference, &err);
    if (ui == nullptr) {
      return err;
    }
    if (context != &ui->context_ || draw_ref == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *draw_ref = token<DRAWBOT_DrawRef>(draw_ref_token);
    return PF_Err_NONE;
  }

  static PF_Err async_manager(PF_InData*, PF_EventExtra* extra, PF_AsyncManagerP* manager) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::async_manager, &err);
    if (ui == nullptr) {
      return err;
    }
    if (extra == nullptr || extra->contextH != &ui->context_ || manager == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *manager = token<PF_AsyncManagerP>(manager_token);
    return PF_Err_NONE;
  }

  // DRAWBOT

  static SPErr get_supplier(DRAWBOT_DrawRef draw_ref, DRAWBOT_SupplierRef* supplier) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::get_supplier, &err);
    if (ui == nullptr) {
      return err;
    }
    if (draw_ref != token<DRAWBOT_DrawRef>(draw_ref_token) || supplier == nullptr) {
      return kSPBadParameterError;
    }
    *supplier = token<DRAWBOT_SupplierRef>(supplier_token);
    return kSPNoError;
  }

  static SPErr get_surface(DRAWBOT_DrawRef draw_ref, DRAWBOT_SurfaceRef* surface) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::get_surface, &err);
    if (ui == nullptr) {
      return err;
    }
    if (draw_ref != token<DRAWBOT_DrawRef>(draw_ref_token) || surface == nullptr) {
      return kSPBadParameterError;
    }
    *surface = token<DRAWBOT_SurfaceRef>(surface_token);
    return kSPNoError;
  }

  // The four layout questions: this surface takes BGRA with straight alpha.
  static SPErr answer(const char* function, DRAWBOT_SupplierRef supplier, PF_Boolean* out,
                      PF_Boolean value) {
    A_Err err = 0;
    Custom_Ui* ui = enter(function, &err);
    if (ui == nullptr) {
      return err;
    }
    if (supplier != token<DRAWBOT_SupplierRef>(supplier_token) || out == nullptr) {
      return kSPBadParameterError;
    }
    *out = value;
    return kSPNoError;
  }
  static SPErr supports_bgra(DRAWBOT_SupplierRef s, PF_Boolean* out) {
    return answer(fn::supports_bgra, s, out, 1);
  }
  static SPErr prefers_bgra(DRAWBOT_SupplierRef s, PF_Boolean* out) {
    return answer("DRAWBOT Supplier Suite.PrefersPixelLayoutBGRA", s, out, 1);
  }
  static SPErr supports_premultiplied(DRAWBOT_SupplierRef s, PF_Boolean* out) {
    return answer("DRAWBOT Supplier Suite.SupportsPremultipliedAlpha", s, out, 0);
  }
  static SPErr prefers_premultiplied(DRAWBOT_SupplierRef s, PF_Boolean* out) {
    return answer("DRAWBOT Supplier Suite.PrefersPremultipliedAlpha", s, out, 0);
  }

  static SPErr new_image(DRAWBOT_SupplierRef supplier, A_long width, A_long height,
                         A_long row_bytes, A_long pixel_layout, const void* data,
                         DRAWBOT_ImageRef* image) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::new_image, &err);
    if (ui == nullptr) {
      return err;
    }
    if (supplier != token<DRAWBOT_SupplierRef>(supplier_token) || image == nullptr ||
        data == nullptr || width <= 0 || height <= 0 || row_bytes < width * 4) {
      return kSPBadParameterError;
    }
    std::lock_guard lock(ui->mutex_);
    ui->images_.push_back({width, height, row_bytes, pixel_layout, data});
    ++ui->live_images_;
    *image = token<DRAWBOT_ImageRef>(image_base + ui->images_.size());
    return kSPNoError;
  }

  static SPErr release_object(DRAWBOT_ObjectRef object) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::release_object, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    const int64_t i = index_of(object, image_base, ui->images_.size());
    if (i < 0 || ui->images_[static_cast<size_t>(i)].width < 0) {
      violation("release of a drawing object the host never made or already released");
      return kSPBadParameterError;
    }
    ui->images_[static_cast<size_t>(i)].width = -1;
    --ui->live_images_;
    return kSPNoError;
  }

  static SPErr set_policy(const char* function, DRAWBOT_SurfaceRef surface, A_long policy,
                          A_long Custom_Ui::*field) {
    A_Err err = 0;
    Custom_Ui* ui = enter(function, &err);
    if (ui == nullptr) {
      return err;
    }
    if (surface != token<DRAWBOT_SurfaceRef>(surface_token)) {
      return kSPBadParameterError;
    }
    std::lock_guard lock(ui->mutex_);
    ui->*field = policy;
    ui->policies_.emplace_back(function, policy);
    return kSPNoError;
  }
  static SPErr interpolation_policy(DRAWBOT_SurfaceRef surface, A_long policy) {
    return set_policy(fn::interpolation_policy, surface, policy, &Custom_Ui::interpolation_policy_);
  }
  static SPErr anti_alias_policy(DRAWBOT_SurfaceRef surface, A_long policy) {
    return set_policy(fn::anti_alias_policy, surface, policy, &Custom_Ui::anti_alias_policy_);
  }

  static SPErr draw_image(DRAWBOT_SurfaceRef surface, DRAWBOT_ImageRef image,
                          const DRAWBOT_PointF32* origin, float opacity) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::draw_image, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    const int64_t i = index_of(image, image_base, ui->images_.size());
    if (surface != token<DRAWBOT_SurfaceRef>(surface_token) || origin == nullptr || i < 0 ||
        ui->images_[static_cast<size_t>(i)].width < 0) {
      return kSPBadParameterError;
    }
    const Custom_Ui::Image& made = ui->images_[static_cast<size_t>(i)];
    const auto* bytes = static_cast<const uint8_t*>(made.data);
    Custom_Ui::Drawn_Image drawn{made.width,
                                 made.height,
                                 made.row_bytes,
                                 made.pixel_layout,
                                 {},
                                 *origin,
                                 opacity,
                                 ui->interpolation_policy_,
                                 ui->anti_alias_policy_};
    drawn.pixels.assign(bytes, bytes + static_cast<size_t>(made.row_bytes) * made.height);
    ui->drawn_.push_back(std::move(drawn));
    return kSPNoError;
  }

  // AEGP: the effect's frames

  static A_Err new_effect(AEGP_PluginID, PF_ProgPtr effect_ref, AEGP_EffectRefH* effect) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::new_effect, &err);
    if (ui == nullptr) {
      return err;
    }
    if (Simulated_Host::from(effect_ref) == nullptr || effect == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(ui->mutex_);
    ++ui->live_effects_;
    *effect = token<AEGP_EffectRefH>(effect_token);
    return 0;
  }

  static A_Err dispose_effect(AEGP_EffectRefH effect) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::dispose_effect, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    if (effect != token<AEGP_EffectRefH>(effect_token) || ui->live_effects_ == 0) {
      violation("dispose of an AEGP effect the host never made");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    --ui->live_effects_;
    return 0;
  }

  static A_Err new_options(const char* function, bool upstream, AEGP_EffectRefH effect,
                           AEGP_LayerRenderOptionsH* options) {
    A_Err err = 0;
    Custom_Ui* ui = enter(function, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    if (effect != token<AEGP_EffectRefH>(effect_token) || ui->live_effects_ == 0 ||
        options == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    ui->options_upstream_.push_back(upstream);
    ++ui->live_options_;
    *options = token<AEGP_LayerRenderOptionsH>(options_base + ui->options_upstream_.size());
    return 0;
  }
  static A_Err upstream_options(AEGP_PluginID, AEGP_EffectRefH effect,
                                AEGP_LayerRenderOptionsH* options) {
    return new_options(fn::upstream_options, true, effect, options);
  }
  static A_Err downstream_options(AEGP_PluginID, AEGP_EffectRefH effect,
                                  AEGP_LayerRenderOptionsH* options) {
    return new_options(fn::downstream_options, false, effect, options);
  }

  static A_Err dispose_options(AEGP_LayerRenderOptionsH options) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::dispose_options, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    if (index_of(options, options_base, ui->options_upstream_.size()) < 0 ||
        ui->live_options_ == 0) {
      violation("dispose of layer render options the host never made");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    --ui->live_options_;
    return 0;
  }

  // A frame is ready once enough requests were made; its receipt leads to the frame's world.
  static A_Err render_frame(PF_AsyncManagerP manager, AEGP_AsyncFrameRequestID,
                            AEGP_LayerRenderOptionsH options, AEGP_FrameReceiptH* receipt) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::render_frame, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    const int64_t i = index_of(options, options_base, ui->options_upstream_.size());
    if (manager != token<PF_AsyncManagerP>(manager_token) || i < 0 || receipt == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    const bool upstream = ui->options_upstream_[static_cast<size_t>(i)];
    ui->frame_requests_.push_back(upstream);
    const World* frame = upstream ? ui->input_frame_ : ui->output_frame_;
    if (frame == nullptr || static_cast<int32_t>(ui->frame_requests_.size()) <= ui->ready_after_) {
      *receipt = nullptr;
      return 0;
    }
    ui->receipts_live_.push_back(true);
    ui->receipt_frames_.push_back(frame);
    *receipt = token<AEGP_FrameReceiptH>(receipt_base + ui->receipts_live_.size());
    return 0;
  }

  static int64_t live_receipt(Custom_Ui* ui, AEGP_FrameReceiptH receipt) {
    const int64_t i = index_of(receipt, receipt_base, ui->receipts_live_.size());
    return i >= 0 && ui->receipts_live_[static_cast<size_t>(i)] ? i : -1;
  }

  static A_Err receipt_world(AEGP_FrameReceiptH receipt, AEGP_WorldH* world) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::receipt_world, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    const int64_t i = live_receipt(ui, receipt);
    if (i < 0 || world == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *world = token<AEGP_WorldH>(world_base + static_cast<uintptr_t>(i) + 1);
    return 0;
  }

  static A_Err checkin_frame(AEGP_FrameReceiptH receipt) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::checkin_frame, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    const int64_t i = live_receipt(ui, receipt);
    if (i < 0) {
      violation("check-in of a frame receipt the host never gave or already took back");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    ui->receipts_live_[static_cast<size_t>(i)] = false;
    return 0;
  }

  static A_Err fill_world(AEGP_WorldH world, PF_EffectWorld* effect_world) {
    A_Err err = 0;
    Custom_Ui* ui = enter(fn::fill_world, &err);
    if (ui == nullptr) {
      return err;
    }
    std::lock_guard lock(ui->mutex_);
    const int64_t i = index_of(world, world_base, ui->receipts_live_.size());
    if (i < 0 || !ui->receipts_live_[static_cast<size_t>(i)] || effect_world == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *effect_world = *ui->receipt_frames_[static_cast<size_t>(i)]->get();
    return 0;
  }
};

void Simulated_Host::offer_custom_ui_suites() {
  custom_ui_ = std::make_unique<Custom_Ui>();
  using C = Custom_Ui_Callbacks;
  app_suite_.PF_AppGetBgColor = &C::background_color;
  app_suite_.PF_InvalidateRect = &C::invalidate_rect;
  custom_ui_suite1_ = {&C::drawing_reference};
  custom_ui_suite2_ = {&C::drawing_reference, &C::async_manager};
  supplier_suite_ = {&C::supports_bgra,         &C::prefers_bgra, &C::supports_premultiplied,
                     &C::prefers_premultiplied, &C::new_image,    &C::release_object};
  drawbot_suite_ = {&C::get_supplier, &C::get_surface};
  surface_suite_ = {&C::interpolation_policy, &C::anti_alias_policy, &C::draw_image};
  offered_[{kPFAppSuite, kPFAppSuiteVersion6}] = &app_suite_;
  offered_[{kPFEffectCustomUISuite, kPFEffectCustomUISuiteVersion1}] = &custom_ui_suite1_;
  offered_[{kDRAWBOT_SupplierSuite, kDRAWBOT_SupplierSuiteVersion1}] = &supplier_suite_;
  offered_[{kDRAWBOT_DrawSuite, kDRAWBOT_DrawSuiteVersion1}] = &drawbot_suite_;
  offered_[{kDRAWBOT_SurfaceSuite, kDRAWBOT_SurfaceSuiteVersion1}] = &surface_suite_;
  if (identity_.is_premiere()) {
    return;  // the background renders are After Effects' own
  }
  pf_interface_suite_ = {&C::new_effect};
  effect_suite_ = {&C::dispose_effect};
  render_options_suite_ = {&C::upstream_options, &C::downstream_options, &C::dispose_options};
  async_suite_ = {&C::render_frame};
  render_suite_ = {&C::checkin_frame, &C::receipt_world};
  aegp_world_suite_ = {&C::fill_world};
  offered_[{kPFEffectCustomUISuite, kPFEffectCustomUISuiteVersion2}] = &custom_ui_suite2_;
  offered_[{kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1}] = &pf_interface_suite_;
  offered_[{kAEGPEffectSuite, kAEGPEffectSuiteVersion3}] = &effect_suite_;
  offered_[{kAEGPLayerRenderOptionsSuite, kAEGPLayerRenderOptionsSuiteVersion2}] =
      &render_options_suite_;
  offered_[{kAEGPRenderAsyncManagerSuite, kAEGPRenderAsyncManagerSuiteVersion1}] = &async_suite_;
  offered_[{kAEGPRenderSuite, kAEGPRenderSuiteVersion5}] = &render_suite_;
  offered_[{kAEGPWorldSuite, kAEGPWorldSuiteVersion3}] = &aegp_world_suite_;
}

}  // namespace brel::sim
