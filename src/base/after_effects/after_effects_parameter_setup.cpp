#include "base/after_effects/after_effects_parameter_setup.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/after_effects/after_effects_fixed.h"
#include "base/after_effects/helper/ae_arb.h"
#include "base/after_effects/helper/ae_exception.h"
#include "base/exception.h"

namespace brel {

namespace {

void check_registration(PF_Err result, Report_Position at) {
  if (result == PF_Interrupt_CANCEL) {
    throw Exception_Abort();
  }
  if (result != PF_Err_NONE) {
    throw Exception_After_Effects("After Effects api Error (PF_Err)", result, at);
  }
}

// A refused registration reports the position of the kind being registered.
void add_param(PF_InData* in_data, PF_ParamDef& def, Report_Position at) {
  check_registration(in_data->inter.add_param(in_data->effect_ref, -1, &def), at);
}

// At most 31 characters reach the host; the rest of the field stays zero.
void set_name(PF_ParamDef& def, const std::string& name) {
  const size_t length = std::min(name.size(), sizeof def.name - 1);
  std::memset(def.name, 0, sizeof def.name);
  std::memcpy(def.name, name.data(), length);
}

A_long low_32_bits(int64_t id) {
  return static_cast<A_long>(static_cast<uint32_t>(id));
}

// Custom controls and their companions carry 16-bit ids.
A_short low_16_bits(int64_t id) {
  return static_cast<A_short>(static_cast<uint16_t>(id));
}

// The fields every kind (but a button) takes from the common description.
void set_common(PF_ParamDef& def, const Parameter_Description& d, PF_ParamType type) {
  def.param_type = type;
  def.uu.id = low_32_bits(d.disc_id);
  set_name(def, d.name);
  if (!d.animatable) {
    def.flags |= PF_ParamFlag_CANNOT_TIME_VARY;
  }
  if (d.supervised) {
    def.flags |= PF_ParamFlag_SUPERVISE;
  }
  if (d.ui_only) {
    def.flags |= PF_ParamFlag_CANNOT_TIME_VARY;
    def.ui_flags |= PF_PUI_STD_CONTROL_ONLY;
  }
  if (d.start_collapsed) {
    def.flags |= PF_ParamFlag_COLLAPSE_TWIRLY;
  }
  if (!d.enabled) {
    def.ui_flags |= PF_PUI_DISABLED;
  }
  if (!d.visible) {
    def.ui_flags |= PF_PUI_INVISIBLE | PF_PUI_NO_ECW_UI;
  }
}

void set_color(PF_ParamDef& def, double red, double green, double blue) {
  PF_Pixel& value = def.u.cd.value;
  value.alpha = 255;
  value.red = to_color_byte(red * 255.0);
  value.green = to_color_byte(green * 255.0);
  value.blue = to_color_byte(blue * 255.0);
  def.u.cd.dephault = value;
}

// Whole percent of the layer size as 16.16 fixed point.
PF_Fixed percent_fixed(double fraction) {
  constexpr int32_t largest = INT16_MAX;
  constexpr int32_t smallest = INT16_MIN;
  int32_t percent = to_int32_saturated(fraction * 100.0);
  percent = percent > largest ? largest : (percent < smallest ? smallest : percent);
  return static_cast<PF_Fixed>(static_cast<uint32_t>(percent) << 16);
}

// Returns the host parameters the entry takes, or 0 for an entry of no known kind.
int32_t register_parameter(PF_InData* in_data, const Parameter* p) {
  PF_ParamDef def{};
  if (auto* group = dynamic_cast<const Group_Parameter*>(p)) {
    set_common(def, group->kind_description(), PF_Param_GROUP_START);
    add_param(in_data, def, report::register_group);
    return 1;
  }
  if (auto* end = dynamic_cast<const Group_End_Parameter*>(p)) {
    set_common(def, end->kind_description(), PF_Param_GROUP_END);
    std::memset(def.name, 0, sizeof def.name);
    add_param(in_data, def, report::register_group_end);
    return 1;
  }
  if (auto* rgb = dynamic_cast<const Rgb_Parameter*>(p)) {
    const auto& d = rgb->kind_description();
    set_common(def, d, PF_Param_COLOR);
    set_color(def, d.red, d.green, d.blue);
    add_param(in_data, def, report::register_rgb);
    return 1;
  }
  if (auto* rgba = dynamic_cast<const Rgba_Parameter*>(p)) {
    const auto& description = rgba->kind_description();
    BREL_ASSERT_AT(description.disc_id_alpha > 0, report::register_rgba_alpha_id);
    set_common(def, description, PF_Param_COLOR);
    set_color(def, description.red, description.green, description.blue);
    add_param(in_data, def, report::register_rgba);
    // The alpha slider reuses the colour's definition, flags included.
    def.param_type = PF_Param_FLOAT_SLIDER;
    set_name(def, description.name + " (alpha)");
    PF_FloatSliderDef& slider = def.u.fs_d;
    slider.value = 1.0;
    slider.valid_min = 0.0f;
    slider.valid_max = 1.0f;
    slider.slider_min = 0.0f;
    slider.slider_max = 1.0f;
    slider.dephault = 1.0f;
    slider.precision = 2;
    slider.display_flags = 0;
    slider.curve_tolerance = 0.05f;
    def.uu.id = low_32_bits(description.disc_id_alpha);
    add_param(in_data, def, report::register_rgba);
    return 2;
  }
  if (auto* slider = dynamic_cast<const Int_Parameter*>(p)) {
    const auto& d = slider->kind_description();
    set_common(def, d, PF_Param_SLIDER);
    def.u.sd.value = d.default_value;
    def.u.sd.dephault = d.default_value;
    def.u.sd.valid_min = d.valid_min;
    def.u.sd.valid_max = d.valid_max;
    def.u.sd.slider_min = d.slider_min;
    def.u.sd.slider_max = d.slider_max;
    add_param(in_data, def, report::register_int);
    return 1;
  }
  if (auto* slider = dynamic_cast<const Float_Parameter*>(p)) {
    const auto& d = slider->kind_description();
    set_common(def, d, PF_Param_FLOAT_SLIDER);
    // The value is the narrowed default widened back, so both fields agree exactly.
    const float dephault = static_cast<float>(d.default_value);
    PF_FloatSliderDef& fs = def.u.fs_d;
    fs.value = static_cast<double>(dephault);
    fs.dephault = dephault;
    fs.valid_min = static_cast<float>(d.valid_min);
    fs.valid_max = static_cast<float>(d.valid_max);
    fs.slider_min = static_cast<float>(d.slider_min);
    fs.slider_max = static_cast<float>(d.slider_max);
    fs.precision = static_cast<A_short>(d.precision);
    fs.display_flags = static_cast<A_short>((d.display_pixel ? PF_ValueDisplayFlag_PIXEL : 0) |
                                            (d.display_percent ? PF_ValueDisplayFlag_PERCENT : 0));
    fs.curve_tolerance = 0.05f;
    add_param(in_data, def, report::register_float);
    return 1;
  }
  if (auto* angle = dynamic_cast<const Angle_Parameter*>(p)) {
    const auto& d = angle->kind_description();
    set_common(def, d, PF_Param_ANGLE);
    def.u.ad.value = to_int32_saturated(d.default_value * 65536.0);
    def.u.ad.dephault = def.u.ad.value;
    add_param(in_data, def, report::register_angle);
    return 1;
  }
  if (auto* checkbox = dynamic_cast<const Checkbox_Parameter*>(p)) {
    const auto& d = checkbox->kind_description();
    set_common(def, d, PF_Param_CHECKBOX);
    def.u.bd.value = d.default_value ? 1 : 0;
    def.u.bd.dephault = def.u.bd.value;
    def.u.bd.u.nameptr = "";
    add_param(in_data, def, report::register_checkbox);
    return 1;
  }
  if (auto* button = dynamic_cast<const Button_Parameter*>(p)) {
    // A button is always supervised and never animated, whatever its switches say.
    const auto& d = button->kind_description();
    def.param_type = PF_Param_BUTTON;
    def.uu.id = low_32_bits(d.disc_id);
    set_name(def, d.name);
    def.u.button_d.u.namesptr = d.label.c_str();
    def.flags = PF_ParamFlag_SUPERVISE | PF_ParamFlag_CANNOT_TIME_VARY;
    def.ui_flags = PF_PUI_STD_CONTROL_ONLY;
    add_param(in_data, def, report::register_button);
    return 1;
  }
  if (auto* choice = dynamic_cast<const Choice_Parameter*>(p)) {
    const auto& d = choice->kind_description();
    set_common(def, d, PF_Param_POPUP);
    // Every entry, the last included, is followed by "|".
    std::string names;
    for (const std::string& entry : d.entries) {
      names += entry;
      names += '|';
    }
    def.u.pd.num_choices = static_cast<A_short>(d.entries.size());
    def.u.pd.dephault = static_cast<A_short>(d.default_index + 1);
    def.u.pd.value = def.u.pd.dephault;
    def.u.pd.u.namesptr = names.c_str();
    add_param(in_data, def, report::register_choice);
    return 1;
  }
  if (auto* point = dynamic_cast<const Point_2d_Parameter*>(p)) {
    const auto& d = point->kind_description();
    set_common(def, d, PF_Param_POINT);
    def.u.td.x_value = percent_fixed(d.default_x);
    def.u.td.x_dephault = def.u.td.x_value;
    def.u.td.y_value = percent_fixed(d.default_y);
    def.u.td.y_dephault = def.u.td.y_value;
    def.u.td.restrict_bounds = d.restrict_bounds ? 1 : 0;
    add_param(in_data, def, report::register_point_2d);
    return 1;
  }
  if (auto* layer = dynamic_cast<const Layer_Parameter*>(p)) {
    const auto& d = layer->kind_description();
    // A layer without a host id is not shown, but it keeps its host index.
    if (d.disc_id != 0) {
      set_common(def, d, PF_Param_LAYER);
      def.u.ld.dephault = 0;
      add_param(in_data, def, report::register_layer);
    }
    return 1;
  }
  if (auto* custom = dynamic_cast<const Custom_Parameter*>(p)) {
    const auto& d = custom->kind_description();
    def.param_type = PF_Param_ARBITRARY_DATA;
    set_name(def, d.name);
    def.ui_flags = PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL;
    def.ui_width = 9999;
    def.ui_height = low_16_bits(d.height);
    def.u.arb_d.id = low_16_bits(d.disc_id);
    def.uu.id = def.u.arb_d.id;
    arb_new(d.data_functions.get(), in_data, &def.u.arb_d.dephault);
    def.u.arb_d.refconPV = reinterpret_cast<void*>(static_cast<intptr_t>(d.refcon));
    add_param(in_data, def, report::register_custom);

    BREL_ASSERT_AT(in_data->inter.register_ui != nullptr, report::register_custom_ui);
    PF_CustomUIInfo info{};
    info.events = PF_CustomEFlag_EFFECT;
    check_registration(in_data->inter.register_ui(in_data->effect_ref, &info),
                       report::register_custom);

    // The companion holds further data, hidden and never animated.
    Parameter_Description companion(d.name + "_gui_data", d.identifier + "_gui_data",
                                    d.second_disc_id);
    companion.animatable = false;
    companion.visible = false;
    PF_ParamDef second{};
    set_common(second, companion, PF_Param_ARBITRARY_DATA);
    second.u.arb_d.id = low_16_bits(companion.disc_id);
    second.uu.id = second.u.arb_d.id;
    arb_new(d.second_data_functions.get(), in_data, &second.u.arb_d.dephault);
    second.u.arb_d.refconPV = reinterpret_cast<void*>(static_cast<intptr_t>(d.second_refcon));
    add_param(in_data, second, report::register_custom);
    return 2;
  }
  return 0;
}

}  // namespace

void params_setup(PF_InData* in_data, PF_OutData* out_data, std::list<Parameter*> parameters) {
  int32_t count = 0;
  for (const Parameter* parameter : parameters) {
    if (parameter != nullptr) {
      count += register_parameter(in_data, parameter);
    }
  }
  // Host index 0 is the effect's input layer, which the host provides.
  out_data->num_params = count + 1;
}

}  // namespace brel
