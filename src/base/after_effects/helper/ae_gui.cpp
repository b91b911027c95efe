#include "base/after_effects/helper/ae_gui.h"

#include <climits>

#include "base/after_effects/after_effects_project.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/after_effects/helper/ae_result.h"
#include "base/after_effects/helper/ae_suite.h"
#include "base/exception.h"

namespace brel {

namespace {

constexpr const char* source = report::gui_file;

void check(A_Err result, Report_Position at) {
  if (result != 0) {
    throw Exception_After_Effects("After Effects Suite Error (A_Err)", result, at);
  }
}

// The drawing calls report where they stand.
void check(A_Err result, int32_t line) {
  check(result, Report_Position{source, line});
}

// Reports a failed release in the log; releases run on every way out and never throw.
void warn_on_error(A_Err result, Report_Position at) noexcept {
  if (result == 0) {
    return;
  }
  try {
    // The exception's construction writes the warning line; nothing is thrown.
    const Exception_After_Effects report("After Effects Suite Error (A_Err)", result, at);
  } catch (...) {
  }
}

// The AEGP effect and the render options of one frame request, given back on every way out.
class Frame_Request {
 public:
  Frame_Request(const AEGP_EffectSuite3* effects, const AEGP_LayerRenderOptionsSuite2* options)
      : effects_(effects), options_(options) {}
  ~Frame_Request() {
    if (render_options != nullptr) {
      warn_on_error(options_->AEGP_Dispose(render_options), report::gui_frame_release);
    }
    if (effect != nullptr) {
      warn_on_error(effects_->AEGP_DisposeEffect(effect), report::gui_frame_release);
    }
  }
  Frame_Request(const Frame_Request&) = delete;
  Frame_Request& operator=(const Frame_Request&) = delete;

  AEGP_EffectRefH effect = nullptr;
  AEGP_LayerRenderOptionsH render_options = nullptr;

 private:
  const AEGP_EffectSuite3* effects_;
  const AEGP_LayerRenderOptionsSuite2* options_;
};

// Checks a frame receipt back in; the shared owner of a fetched frame runs it.
void check_in_frame(SPBasicSuite* basic_suite, AEGP_FrameReceiptH receipt,
                    Report_Position at) noexcept {
  try {
    Suite_Guard<AEGP_RenderSuite5> render(basic_suite, kAEGPRenderSuite, 5);
    warn_on_error(render->AEGP_CheckinFrame(receipt), at);
  } catch (...) {
    // A missing suite is logged by the guard; the receipt is the host's to reclaim then.
  }
}

}  // namespace

void ui_background_color(PF_InData* in_data, uint8_t& red, uint8_t& green, uint8_t& blue) {
  if (in_data == nullptr || in_data->pica_basicP == nullptr) {
    return;
  }
  try {
    PF_App_Color color{255, 255, 255};
    {
      Suite_Guard<PF_AppSuite6> app(in_data->pica_basicP, kPFAppSuite, 6);
      ae::throw_on_host_error(app->PF_AppGetBgColor(&color), source, __LINE__);
    }
    if (host_is_premiere(in_data) && !premiere_version_at_least(in_data, 5, 0, 2)) {
      red = green = blue = 116;
      return;
    }
    red = static_cast<uint8_t>(color.red >> 8);
    green = static_cast<uint8_t>(color.green >> 8);
    blue = static_cast<uint8_t>(color.blue >> 8);
  } catch (...) {
    // The panel keeps the colour the caller had.
  }
}

void draw_image(PF_InData* in_data, PF_EventExtra* extra, const uint8_t* pixels, int32_t width,
                int32_t height) {
  BREL_ASSERT_MSG(pixels != nullptr && width > 0 && height > 0 && width <= INT32_MAX / 4,
                  "an image to draw needs pixels and a size");
  SPBasicSuite* basic_suite = in_data->pica_basicP;
  Suite_Guard<DRAWBOT_SupplierSuite1> suppliers(basic_suite, kDRAWBOT_SupplierSuite, 1);
  Suite_Guard<PF_EffectCustomUISuite1> custom_ui(basic_suite, kPFEffectCustomUISuite, 1);
  Suite_Guard<DRAWBOT_DrawbotSuite1> drawbot(basic_suite, kDRAWBOT_DrawSuite, 1);
  Suite_Guard<DRAWBOT_SurfaceSuite1> surfaces(basic_suite, kDRAWBOT_SurfaceSuite, 1);

  DRAWBOT_DrawRef draw_ref = nullptr;
  ae::throw_on_host_error(custom_ui->PF_GetDrawingReference(extra->contextH, &draw_ref), source,
                          __LINE__);
  DRAWBOT_SupplierRef supplier = nullptr;
  check(drawbot->GetSupplier(draw_ref, &supplier), __LINE__);
  DRAWBOT_SurfaceRef surface = nullptr;
  check(drawbot->GetSurface(draw_ref, &surface), __LINE__);

  // The image is made as BGRA with straight alpha whatever the answers; they are asked so the
  // host can prepare its surface.
  PF_Boolean answer = 0;
  check(suppliers->SupportsPixelLayoutBGRA(supplier, &answer), __LINE__);
  check(suppliers->PrefersPixelLayoutBGRA(supplier, &answer), __LINE__);
  check(suppliers->SupportsPremultipliedAlpha(supplier, &answer), __LINE__);
  check(suppliers->PrefersPremultipliedAlpha(supplier, &answer), __LINE__);

  check(surfaces->SetInterpolationPolicy(surface, DRAWBOT_InterpolationPolicy_High), __LINE__);
  check(surfaces->SetAntiAliasPolicy(surface, DRAWBOT_AntiAliasPolicy_None), __LINE__);
  DRAWBOT_ImageRef image = nullptr;
  check(suppliers->NewImageFromBuffer(supplier, width, height, width * 4,
                                      DRAWBOT_PixelLayout_32BGRA, pixels, &image),
        __LINE__);
  const DRAWBOT_PointF32 origin{static_cast<float>(extra->draw_origin.h),
                                static_cast<float>(extra->draw_origin.v)};
  const A_Err drawn = surfaces->DrawImage(surface, image, &origin, 1.0f);
  // The image goes back whether it was drawn or not.
  const A_Err released = suppliers->ReleaseObject(image);
  check(drawn, __LINE__);
  check(released, __LINE__);
}

namespace ae {

std::shared_ptr<Layer_Typeless> get_effect_frame(bool input, PF_InData* in_data,
                                                 PF_EventExtra* extra) {
  SPBasicSuite* basic_suite = in_data->pica_basicP;
  if (!suite_available(basic_suite, kAEGPEffectSuite, 3) ||
      !suite_available(basic_suite, kAEGPLayerRenderOptionsSuite, 2) ||
      !suite_available(basic_suite, kAEGPPFInterfaceSuite, 1) ||
      !suite_available(basic_suite, kPFEffectCustomUISuite, 2) ||
      !suite_available(basic_suite, kAEGPRenderAsyncManagerSuite, 1)) {
    return nullptr;
  }

  AEGP_FrameReceiptH receipt = nullptr;
  {
    Suite_Guard<AEGP_EffectSuite3> effects(basic_suite, kAEGPEffectSuite, 3);
    Suite_Guard<AEGP_LayerRenderOptionsSuite2> options(basic_suite, kAEGPLayerRenderOptionsSuite,
                                                       2);
    Suite_Guard<AEGP_PFInterfaceSuite1> interface(basic_suite, kAEGPPFInterfaceSuite, 1);
    Suite_Guard<PF_EffectCustomUISuite2> custom_ui(basic_suite, kPFEffectCustomUISuite, 2);
    Suite_Guard<AEGP_RenderAsyncManagerSuite1> async(basic_suite, kAEGPRenderAsyncManagerSuite, 1);

    const AEGP_PluginID plugin_id = ae_plugin_id();
    Frame_Request request(effects.get(), options.get());
    check(interface->AEGP_GetNewEffectForEffect(plugin_id, in_data->effect_ref, &request.effect),
          report::gui_frame_effect);
    check(input ? options->AEGP_NewFromUpstreamOfEffect(plugin_id, request.effect,
                                                        &request.render_options)
                : options->AEGP_NewFromDownstreamOfEffect(plugin_id, request.effect,
                                                          &request.render_options),
          report::gui_frame_render_options);
    PF_AsyncManagerP manager = nullptr;
    throw_on_host_error(custom_ui->PF_GetContextAsyncManager(in_data, extra, &manager),
                        report::gui_frame_async_manager);
    // One request id per frame, so the host keeps the two apart.
    const AEGP_AsyncFrameRequestID request_id = input ? 1 : 2;
    check(async->AEGP_CheckoutOrRender_LayerFrame_AsyncManager(manager, request_id,
                                                               request.render_options, &receipt),
          report::gui_frame_checkout);
  }
  if (receipt == nullptr) {
    return nullptr;  // still rendering; the host sends another event when it is done
  }

  Layer_Typeless frame;
  try {
    Suite_Guard<AEGP_WorldSuite3> worlds(basic_suite, kAEGPWorldSuite, 3);
    Suite_Guard<AEGP_RenderSuite5> render(basic_suite, kAEGPRenderSuite, 5);
    Suite_Guard<PF_WorldSuite2> pf_worlds(basic_suite, kPFWorldSuite, 2);
    AEGP_WorldH world = nullptr;
    check(render->AEGP_GetReceiptWorld(receipt, &world), report::gui_frame_receipt_world);
    PF_EffectWorld effect_world{};
    check(worlds->AEGP_FillOutPFEffectWorld(world, &effect_world), report::gui_frame_effect_world);
    const Downsample_Factors factors = downsample_factors(in_data);
    frame = make_layer_description(&effect_world, factors.x, factors.y,
                                   world_pixel_description(&effect_world, in_data));
  } catch (...) {
    check_in_frame(basic_suite, receipt, report::gui_frame_checkin_on_failure);
    throw;
  }
  return std::shared_ptr<Layer_Typeless>(
      new Layer_Typeless(frame), [basic_suite, receipt](Layer_Typeless* layer) {
        delete layer;
        check_in_frame(basic_suite, receipt, report::gui_frame_checkin);
      });
}

}  // namespace ae
}  // namespace brel
