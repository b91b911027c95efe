#pragma once

// The custom-control side of the simulated host: the effect panel's event context and colour,
// drawing suites that record what is drawn, and the background renders through which a control
// fetches the frame entering or leaving the effect. Every suite function counts as a host call
// of the owning Simulated_Host (see `fn` below), so faults can be injected into each.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host_api.h"

namespace brel::sim {

class World;

namespace fn {
inline constexpr const char* background_color = "PF AE App Suite.PF_AppGetBgColor";
inline constexpr const char* invalidate_rect = "PF AE App Suite.PF_InvalidateRect";
inline constexpr const char* drawing_reference = "PF Effect Custom UI Suite.PF_GetDrawingReference";
inline constexpr const char* async_manager = "PF Effect Custom UI Suite.PF_GetContextAsyncManager";
inline constexpr const char* get_supplier = "DRAWBOT Draw Suite.GetSupplier";
inline constexpr const char* get_surface = "DRAWBOT Draw Suite.GetSurface";
inline constexpr const char* supports_bgra = "DRAWBOT Supplier Suite.SupportsPixelLayoutBGRA";
inline constexpr const char* new_image = "DRAWBOT Supplier Suite.NewImageFromBuffer";
inline constexpr const char* release_object = "DRAWBOT Supplier Suite.ReleaseObject";
inline constexpr const char* interpolation_policy = "DRAWBOT Surface Suite.SetInterpolationPolicy";
inline constexpr const char* anti_alias_policy = "DRAWBOT Surface Suite.SetAntiAliasPolicy";
inline constexpr const char* draw_image = "DRAWBOT Surface Suite.DrawImage";
inline constexpr const char* new_effect = "AEGP PF Interface Suite.AEGP_GetNewEffectForEffect";
inline constexpr const char* dispose_effect = "AEGP Effect Suite.AEGP_DisposeEffect";
inline constexpr const char* upstream_options =
    "AEGP Layer Render Options Suite.AEGP_NewFromUpstreamOfEffect";
inline constexpr const char* downstream_options =
    "AEGP Layer Render Options Suite.AEGP_NewFromDownstreamOfEffect";
inline constexpr const char* dispose_options = "AEGP Layer Render Options Suite.AEGP_Dispose";
inline constexpr const char* render_frame =
    "AEGP Render Asyc Manager Suite.AEGP_CheckoutOrRender_LayerFrame_AsyncManager";
inline constexpr const char* receipt_world = "AEGP Render Suite.AEGP_GetReceiptWorld";
inline constexpr const char* checkin_frame = "AEGP Render Suite.AEGP_CheckinFrame";
inline constexpr const char* fill_world = "AEGP World Suite.AEGP_FillOutPFEffectWorld";
}  // namespace fn

// The five suites a control needs to fetch the effect's frames.
struct Suite_Name {
  const char* name;
  int32_t version;
};
inline const std::vector<Suite_Name> frame_fetch_suites = {
    {kAEGPEffectSuite, 3},       {kAEGPLayerRenderOptionsSuite, 2}, {kAEGPPFInterfaceSuite, 1},
    {kPFEffectCustomUISuite, 2}, {kAEGPRenderAsyncManagerSuite, 1},
};

class Custom_Ui {
 public:
  // One image as the surface drew it, with the policies the surface had then.
  struct Drawn_Image {
    A_long width;
    A_long height;
    A_long row_bytes;
    A_long pixel_layout;
    std::vector<uint8_t> pixels;  // a copy of the buffer at drawing time
    DRAWBOT_PointF32 origin;
    float opacity;
    A_long interpolation_policy;
    A_long anti_alias_policy;
  };

  Custom_Ui();

  // The effect panel's event context (an effect-controls window) and an event record of `type`
  // for the control registered at host index `index` with `refcon`, drawn at `origin`.
  PF_ContextH context() { return &context_; }
  PF_EventExtra event(A_long type, PF_ParamIndex index, void* refcon, PF_Point origin = {0, 0});

  void set_background_color(PF_App_Color color);
  // The frames the host's background renders produce: the layer entering the effect and the one
  // leaving it. Until `ready_after` requests have been made, a request finds the frame still
  // rendering. The worlds must outlive their use.
  void set_effect_frames(const World* input, const World* output, int32_t ready_after = 0);

  std::vector<Drawn_Image> drawn() const;
  // Surface policies in the order they were set, as (function, value) pairs.
  std::vector<std::pair<std::string, A_long>> policies() const;
  // Which frames were requested: true for the input.
  std::vector<bool> frame_requests() const;
  // What was made and not yet given back, one item a line; empty when balanced.
  std::string imbalance() const;

 private:
  friend struct Custom_Ui_Callbacks;

  PF_ContextRecord context_{};
  mutable std::mutex mutex_;
  PF_App_Color background_{0x3030, 0x3030, 0x3030};
  std::vector<Drawn_Image> drawn_;
  std::vector<std::pair<std::string, A_long>> policies_;
  A_long interpolation_policy_ = 0;
  A_long anti_alias_policy_ = 0;
  struct Image {
    A_long width;
    A_long height;
    A_long row_bytes;
    A_long pixel_layout;
    const void* data;
  };
  std::vector<Image> images_;  // by token - 1; width < 0 once released
  int64_t live_images_ = 0;
  int64_t live_effects_ = 0;
  int64_t live_options_ = 0;
  std::vector<bool> options_upstream_;  // by token - 1
  std::vector<bool> receipts_live_;     // by token - 1; the receipt's frame follows
  std::vector<const World*> receipt_frames_;
  std::vector<bool> frame_requests_;
  const World* input_frame_ = nullptr;
  const World* output_frame_ = nullptr;
  int32_t ready_after_ = 0;
};

}  // namespace brel::sim
