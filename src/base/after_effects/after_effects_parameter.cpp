#include "base/after_effects/after_effects_parameter.h"

#include <cmath>
#include <string>

#include "base/after_effects/after_effects_fixed.h"
#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/after_effects/helper/ae_suite.h"
#include "base/exception.h"
#include "base/log.h"

namespace brel {

namespace {

// Failures report this source name and the line that tells the operation apart.

constexpr Report_Position custom_data_positions[2] = {report::parameter_custom_data,
                                                      report::parameter_custom_second_data};

// 517 is the user's cancel; any other non-zero code is a host failure.
void check_host_result(PF_Err result, Report_Position at) {
  if (result == PF_Interrupt_CANCEL) {
    throw Exception_Abort();
  }
  if (result != PF_Err_NONE) {
    throw Exception_After_Effects("After Effects api Error (PF_Err)", result, at);
  }
}

// Runs in a deleter, so it must not throw: a refused check-in is only logged.
void check_in(PF_InData* in_data, PF_ParamDef* record) noexcept {
  const PF_Err result = in_data->inter.checkin_param(in_data->effect_ref, record);
  if (result != PF_Err_NONE) {
    try {
      global_log().write(
          "-**### WARNING ###**-: PF_CHECKIN_PARAM() failed in AE_Param destructor. Error code: " +
              std::to_string(result) + "\n",
          Log::warning);
    } catch (...) {
      // Nothing is left to report with when even the log fails.
    }
  }
}

struct Check_In_And_Free {
  PF_InData* in_data;
  void operator()(PF_ParamDef* record) const noexcept {
    check_in(in_data, record);
    delete record;
  }
};

void update_param_ui(PF_InData* in_data, int32_t host_index, const PF_ParamDef* entry,
                     Report_Position at) {
  Suite_Guard<PF_ParamUtilsSuite2> suite(in_data->pica_basicP, kPFParamUtilsSuite,
                                         kPFParamUtilsSuiteVersion2);
  check_host_result(suite->PF_UpdateParamUI(in_data->effect_ref, host_index, entry), at);
}

void set_flag(A_long& flags, A_long flag, bool on) {
  flags = on ? (flags | flag) : (flags & ~flag);
}

Rgb_Value byte_color(const PF_Pixel& pixel) {
  return {static_cast<float>(pixel.red) / 255.0f, static_cast<float>(pixel.green) / 255.0f,
          static_cast<float>(pixel.blue) / 255.0f};
}

// The colour of a checked-out record: After Effects gives it in float (not clamped to 0..1),
// other hosts in 8 bits.
Rgb_Value color_of(PF_InData* in_data, const PF_ParamDef& record, Report_Position at) {
  if (!host_is_after_effects(in_data)) {
    return byte_color(record.u.cd.value);
  }
  Suite_Guard<PF_ColorParamSuite1> suite(in_data->pica_basicP, kPFColorParamSuite,
                                         kPFColorParamSuiteVersion1);
  PF_PixelFloat color{};
  check_host_result(
      suite->PF_GetFloatingPointColorFromColorDef(in_data->effect_ref, &record, &color), at);
  return {color.red, color.green, color.blue};
}

void write_color_bytes(PF_Pixel& pixel, float red, float green, float blue) {
  pixel.red = to_color_byte(static_cast<double>(red) * 255.0);
  pixel.green = to_color_byte(static_cast<double>(green) * 255.0);
  pixel.blue = to_color_byte(static_cast<double>(blue) * 255.0);
}

double from_fixed(PF_Fixed value) {
  return static_cast<double>(value) / 65536.0;
}

}  // namespace

// ---- Parameter_AE ------------------------------------------------------------------------

Parameter_AE::Parameter_AE(PF_InData* in_data, PF_ParamDef** params, int32_t index,
                           int32_t second_index)
    : in_data(in_data), params(params), index(index), second_index(second_index) {}

std::shared_ptr<PF_ParamDef> Parameter_AE::get_ae_param(int32_t host_index, int32_t time) const {
  if (params != nullptr && time < 0 && description().ui_only) {
    // Borrowed: nothing to give back.
    return std::shared_ptr<PF_ParamDef>(std::shared_ptr<PF_ParamDef>(), params[host_index]);
  }
  auto record = std::make_unique<PF_ParamDef>();
  const A_long what_time = time < 0 ? in_data->current_time : time;
  const PF_Err result =
      in_data->inter.checkout_param(in_data->effect_ref, host_index, what_time, in_data->time_step,
                                    in_data->time_scale, record.get());
  if (result != PF_Err_NONE) {
    throw Exception_After_Effects("PF_CHECKOUT_PARAM() failed", result, report::parameter_checkout);
  }
  // Should the holder itself fail to allocate, the deleter still checks the record in.
  return std::shared_ptr<PF_ParamDef>(record.release(), Check_In_And_Free{in_data});
}

PF_ParamDef& Parameter_AE::entry(int32_t host_index) const {
  BREL_ASSERT(params != nullptr && params[host_index] != nullptr);
  return *params[host_index];
}

void Parameter_AE::update_ui() const {
  update_param_ui(in_data, index, &entry(index), report::parameter_update_ui);
}

void Parameter_AE::refresh() {
  if (description().ui_only) {
    update_ui();
  } else {
    entry(index).uu.change_flags |= PF_ChangeFlag_CHANGED_VALUE;
  }
}

void Parameter_AE::set_expanded(bool expanded) {
  set_flag(entry(index).flags, PF_ParamFlag_COLLAPSE_TWIRLY, !expanded);
  update_ui();
  refresh();
}

void Parameter_AE::set_entry_enabled(int32_t host_index, bool enabled) const {
  PF_ParamDef& def = entry(host_index);
  set_flag(def.ui_flags, PF_PUI_DISABLED, !enabled);
  // Hosts redraw layer controls by themselves.
  if (def.param_type != PF_Param_LAYER) {
    update_param_ui(in_data, host_index, &def, report::parameter_set_enabled);
  }
}

void Parameter_AE::set_enabled(bool enabled) {
  set_entry_enabled(index, enabled);
}

void Parameter_AE::set_visible(bool visible) {
  set_flag(entry(index).ui_flags, PF_PUI_INVISIBLE, !visible);
  update_ui();
}

// ---- Kinds -------------------------------------------------------------------------------

Group_Parameter_AE::Group_Parameter_AE(const Group_Parameter_Description& description,
                                       PF_InData* in_data, PF_ParamDef** params, int32_t index)
    : Group_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

Group_End_Parameter_AE::Group_End_Parameter_AE(const Group_End_Parameter_Description& description,
                                               PF_InData* in_data, PF_ParamDef** params,
                                               int32_t index)
    : Group_End_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

Rgb_Parameter_AE::Rgb_Parameter_AE(const Rgb_Parameter_Description& description, PF_InData* in_data,
                                   PF_ParamDef** params, int32_t index)
    : Rgb_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

void Rgb_Parameter_AE::set_value(float red, float green, float blue) {
  write_color_bytes(entry(index).u.cd.value, red, green, blue);
  refresh();
}

Rgb_Value Rgb_Parameter_AE::value() const {
  const auto record = get_ae_param(index, -1);
  return color_of(in_data, *record, report::parameter_rgb_color);
}

Rgba_Parameter_AE::Rgba_Parameter_AE(const Rgba_Parameter_Description& description,
                                     PF_InData* in_data, PF_ParamDef** params, int32_t index,
                                     int32_t alpha_index)
    : Rgba_Parameter(description), Parameter_AE(in_data, params, index, alpha_index) {}

void Rgba_Parameter_AE::set_value(float red, float green, float blue, float alpha) {
  write_color_bytes(entry(index).u.cd.value, red, green, blue);
  entry(second_index).u.fs_d.value = static_cast<double>(alpha);
  refresh();
}

Rgba_Value Rgba_Parameter_AE::value() const {
  Rgb_Value color{};
  {
    const auto record = get_ae_param(index, -1);
    color = color_of(in_data, *record, report::parameter_rgba_color);
  }
  const auto alpha = get_ae_param(second_index, -1);
  return {color.red, color.green, color.blue, static_cast<float>(alpha->u.fs_d.value)};
}

void Rgba_Parameter_AE::set_enabled(bool enabled) {
  set_entry_enabled(index, enabled);
  set_entry_enabled(second_index, enabled);
}

Int_Parameter_AE::Int_Parameter_AE(const Int_Parameter_Description& description, PF_InData* in_data,
                                   PF_ParamDef** params, int32_t index)
    : Int_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

int32_t Int_Parameter_AE::value() const {
  return get_ae_param(index, -1)->u.sd.value;
}

void Int_Parameter_AE::set_value(int32_t) {
  BREL_ASSERT_INCOMPLETE_AT(report::int_parameter_set_value);
}

void Int_Parameter_AE::set_valid_range(int32_t, int32_t) {
  BREL_ASSERT_INCOMPLETE_AT(report::int_parameter_set_valid_range);
}

void Int_Parameter_AE::set_slider_range(int32_t, int32_t) {
  BREL_ASSERT_INCOMPLETE_AT(report::int_parameter_set_slider_range);
}

Float_Parameter_AE::Float_Parameter_AE(const Float_Parameter_Description& description,
                                       PF_InData* in_data, PF_ParamDef** params, int32_t index)
    : Float_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

double Float_Parameter_AE::value() const {
  return get_ae_param(index, -1)->u.fs_d.value;
}

double Float_Parameter_AE::slider_min() const {
  return entry(index).u.fs_d.slider_min;
}

double Float_Parameter_AE::slider_max() const {
  return entry(index).u.fs_d.slider_max;
}

void Float_Parameter_AE::set_value(double value) {
  entry(index).u.fs_d.value = value;
  refresh();
}

void Float_Parameter_AE::set_valid_range(double min, double max) {
  PF_FloatSliderDef& slider = entry(index).u.fs_d;
  slider.valid_min = static_cast<float>(min);
  slider.valid_max = static_cast<float>(max);
  update_ui();
}

void Float_Parameter_AE::set_slider_range(double min, double max) {
  PF_FloatSliderDef& slider = entry(index).u.fs_d;
  slider.slider_min = static_cast<float>(min);
  slider.slider_max = static_cast<float>(max);
  update_ui();
}

void Float_Parameter_AE::set_precision(int precision) {
  entry(index).u.fs_d.precision = static_cast<A_short>(precision);
  update_ui();
}

Angle_Parameter_AE::Angle_Parameter_AE(const Angle_Parameter_Description& description,
                                       PF_InData* in_data, PF_ParamDef** params, int32_t index)
    : Angle_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

double Angle_Parameter_AE::value() const {
  return from_fixed(get_ae_param(index, -1)->u.ad.value);
}

void Angle_Parameter_AE::set_value(double) {
  BREL_ASSERT_INCOMPLETE_AT(report::angle_parameter_set_value);
}

void Angle_Parameter_AE::set_valid_range(double, double) {
  BREL_ASSERT_INCOMPLETE_AT(report::angle_parameter_set_valid_range);
}

void Angle_Parameter_AE::set_slider_range(double, double) {
  BREL_ASSERT_INCOMPLETE_AT(report::angle_parameter_set_slider_range);
}

void Angle_Parameter_AE::set_precision(int) {
  BREL_ASSERT_INCOMPLETE_AT(report::angle_parameter_set_precision);
}

Checkbox_Parameter_AE::Checkbox_Parameter_AE(const Checkbox_Parameter_Description& description,
                                             PF_InData* in_data, PF_ParamDef** params,
                                             int32_t index)
    : Checkbox_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

bool Checkbox_Parameter_AE::value() const {
  return get_ae_param(index, -1)->u.bd.value != 0;
}

void Checkbox_Parameter_AE::set_value(bool value) {
  entry(index).u.bd.value = value ? 1 : 0;
  refresh();
}

Button_Parameter_AE::Button_Parameter_AE(const Button_Parameter_Description& description,
                                         PF_InData* in_data, PF_ParamDef** params, int32_t index)
    : Button_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

Choice_Parameter_AE::Choice_Parameter_AE(const Choice_Parameter_Description& description,
                                         PF_InData* in_data, PF_ParamDef** params, int32_t index)
    : Choice_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

// The host counts popup entries from 1, the system from 0.
int32_t Choice_Parameter_AE::value() const {
  return get_ae_param(index, -1)->u.pd.value - 1;
}

void Choice_Parameter_AE::set_value(int item) {
  entry(index).u.pd.value = item + 1;
  refresh();
}

Point_2d_Parameter_AE::Point_2d_Parameter_AE(const Point_2d_Parameter_Description& description,
                                             PF_InData* in_data, PF_ParamDef** params,
                                             int32_t index)
    : Point_2d_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

// Exactly as the host reports it: pixels of the layer as currently rendered, no scaling.
Point_2d_Value Point_2d_Parameter_AE::value() const {
  const auto record = get_ae_param(index, -1);
  return {from_fixed(record->u.td.x_value), from_fixed(record->u.td.y_value)};
}

void Point_2d_Parameter_AE::set_value(double, double) {
  BREL_ASSERT_INCOMPLETE_AT(report::point_parameter_set_value);
}

Layer_Parameter_AE::Layer_Parameter_AE(const Layer_Parameter_Description& description,
                                       PF_InData* in_data, PF_ParamDef** params, int32_t index)
    : Layer_Parameter(description), Parameter_AE(in_data, params, index, 0) {}

bool Layer_Parameter_AE::has_layer() const {
  // Newer After Effects hosts mark an assigned layer in the array entry itself.
  if (host_is_after_effects(in_data) && api_version_at_least(in_data, 13, 9)) {
    return entry(index).u.ld.reserved0 != nullptr;
  }
  if (api_version_at_least(in_data, 12, 11)) {
    return get_ae_param(index, -1)->u.ld.data != nullptr;
  }
  return false;
}

// ---- Custom ------------------------------------------------------------------------------

Custom_Parameter_AE::Custom_Parameter_AE(const Custom_Parameter_Description& description,
                                         PF_InData* in_data, PF_ParamDef** params, int32_t index,
                                         std::shared_ptr<Custom_Handler> handler,
                                         void* event_context)
    : Custom_Parameter(description),
      Parameter_AE(in_data, params, index, 0),
      custom_handler(std::move(handler)),
      event_context_(event_context) {}

Custom_Parameter_AE::~Custom_Parameter_AE() {
  release_data(0);
  release_data(1);
}

void* Custom_Parameter_AE::lock_data(int32_t which) {
  if (cached_[which] != nullptr) {
    return cached_[which];
  }
  const int32_t host_index = index + which;
  PF_Handle handle = nullptr;
  if (params != nullptr) {
    handle = entry(host_index).u.arb_d.value;
  } else if (checked_out_[which]) {
    handle = records_[which].u.arb_d.value;
  } else {
    records_[which] = PF_ParamDef{};
    check_host_result(
        in_data->inter.checkout_param(in_data->effect_ref, host_index, in_data->current_time,
                                      in_data->time_step, in_data->time_scale, &records_[which]),
        custom_data_positions[which]);
    checked_out_[which] = true;
    handle = records_[which].u.arb_d.value;
  }
  BREL_ASSERT(handle != nullptr && in_data->utils != nullptr);
  void* contents = in_data->utils->host_lock_handle(handle);
  BREL_ASSERT(contents != nullptr);
  handles_[which] = handle;
  cached_[which] = contents;
  return contents;
}

void Custom_Parameter_AE::release_data(int32_t which) noexcept {
  if (cached_[which] != nullptr) {
    in_data->utils->host_unlock_handle(handles_[which]);
    cached_[which] = nullptr;
    handles_[which] = nullptr;
  }
  // Checked in even when the lock failed: every successful checkout goes back.
  if (checked_out_[which]) {
    check_in(in_data, &records_[which]);
    checked_out_[which] = false;
  }
}

void* Custom_Parameter_AE::data() {
  return lock_data(0);
}

void* Custom_Parameter_AE::second_data() {
  return lock_data(1);
}

void* Custom_Parameter_AE::event_context() const {
  return event_context_;
}

void Custom_Parameter_AE::data_changed() {
  refresh();
  update_ui();
}

void Custom_Parameter_AE::second_data_changed() {
  entry(index + 1).uu.change_flags |= PF_ChangeFlag_CHANGED_VALUE;
  update_ui();
}

void Custom_Parameter_AE::redraw() {
  update_ui();
}

}  // namespace brel
