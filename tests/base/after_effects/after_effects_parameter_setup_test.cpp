#include "base/after_effects/after_effects_parameter_setup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/after_effects/helper/ae_exception.h"
#include "base/log.h"
#include "effect/parameter_set.h"
#include "effect/parameter_set_golden.h"
#include "simulated_host.h"

namespace {

using brel::sim::Simulated_Host;
namespace fn = brel::sim::fn;
using golden::K;

// The last line the global log holds.
std::string last_log_line() {
  const auto messages = brel::global_log().recent_messages();
  return messages.empty() ? std::string() : messages.back();
}

// The host's kind for each golden kind, in the order golden::K lists them.
PF_ParamType host_type(K kind) {
  constexpr PF_ParamType types[] = {PF_Param_GROUP_START, PF_Param_GROUP_END,    PF_Param_COLOR,
                                    PF_Param_SLIDER,      PF_Param_FLOAT_SLIDER, PF_Param_ANGLE,
                                    PF_Param_CHECKBOX,    PF_Param_POPUP,        PF_Param_POINT,
                                    PF_Param_LAYER};
  return types[static_cast<int>(kind)];
}

TEST(Params_Setup, RegistersTheEffectsControlsInSlotOrderAndCounts96) {
  Simulated_Host host(brel::sim::Host_Identity::after_effects());
  brel::Parameter_Factory_After_Effects factory(host.in_data(), nullptr, nullptr);
  brel::Parameter_Set set(factory, brel::Host_Context{});
  host.out_data()->num_params = -5;

  brel::params_setup(host.in_data(), host.out_data(), set.parameters());

  EXPECT_EQ(host.calls(fn::add_param), 95);
  EXPECT_EQ(host.out_data()->num_params, 96);
  const auto& store = host.parameters();
  ASSERT_EQ(store.size(), 95);
  for (int32_t k = 0; k < 95; ++k) {
    const golden::Row& row = golden::rows[k];
    SCOPED_TRACE("slot " + std::to_string(k) + " \"" + row.name + "\"");
    const auto& stored = store.at(k);
    const PF_ParamDef& def = stored.definition;
    EXPECT_EQ(stored.add_index, -1);
    EXPECT_EQ(def.param_type, host_type(row.kind));
    EXPECT_EQ(def.uu.id, row.id);
    EXPECT_STREQ(def.name, row.name.c_str());
    EXPECT_EQ(def.flags, (row.start_collapsed ? PF_ParamFlag_COLLAPSE_TWIRLY : 0) |
                             (row.supervised ? PF_ParamFlag_SUPERVISE : 0));
    EXPECT_EQ(def.ui_flags, 0);
    switch (row.kind) {
      case K::rgb:
        EXPECT_EQ(std::memcmp(&def.u.cd.value, "\xFF\xFF\xFF\xFF", 4), 0);
        EXPECT_EQ(std::memcmp(&def.u.cd.dephault, "\xFF\xFF\xFF\xFF", 4), 0);
        break;
      case K::int_slider:
        EXPECT_EQ(def.u.sd.value, row.default_value);
        EXPECT_EQ(def.u.sd.dephault, row.default_value);
        EXPECT_EQ(def.u.sd.valid_min, row.valid_min);
        EXPECT_EQ(def.u.sd.valid_max, row.valid_max);
        EXPECT_EQ(def.u.sd.slider_min, row.slider_min);
        EXPECT_EQ(def.u.sd.slider_max, row.slider_max);
        break;
      case K::float_slider: {
        const float dephault = static_cast<float>(row.default_value);
        EXPECT_EQ(def.u.fs_d.value, static_cast<double>(dephault));
        EXPECT_EQ(def.u.fs_d.dephault, dephault);
        EXPECT_EQ(def.u.fs_d.valid_min, static_cast<float>(row.valid_min));
        EXPECT_EQ(def.u.fs_d.valid_max, static_cast<float>(row.valid_max));
        EXPECT_EQ(def.u.fs_d.slider_min, static_cast<float>(row.slider_min));
        EXPECT_EQ(def.u.fs_d.slider_max, static_cast<float>(row.slider_max));
        EXPECT_EQ(def.u.fs_d.precision, 2);
        EXPECT_EQ(def.u.fs_d.display_flags, 0);
        EXPECT_EQ(def.u.fs_d.curve_tolerance, 0.05f);
        break;
      }
      case K::angle:
        EXPECT_EQ(def.u.ad.value, 135 * 65536);
        EXPECT_EQ(def.u.ad.dephault, 135 * 65536);
        break;
      case K::checkbox:
        EXPECT_EQ(def.u.bd.value, row.default_value);
        EXPECT_EQ(def.u.bd.dephault, row.default_value);
        break;
      case K::choice: {
        std::string names;
        for (const std::string& entry : row.entries) {
          names += entry + "|";
        }
        EXPECT_EQ(def.u.pd.num_choices, static_cast<int>(row.entries.size()));
        EXPECT_EQ(def.u.pd.dephault, row.default_value + 1);
        EXPECT_EQ(def.u.pd.value, row.default_value + 1);
        EXPECT_EQ(stored.popup_names, names);
        break;
      }
      case K::point:
        EXPECT_EQ((std::vector<int32_t>{def.u.td.x_dephault, def.u.td.y_dephault, def.u.td.x_value,
                                        def.u.td.y_value}),
                  std::vector<int32_t>(4, 50 * 65536));
        EXPECT_EQ(def.u.td.restrict_bounds, 0);
        break;
      case K::layer:
        EXPECT_EQ(def.u.ld.dephault, 0);
        break;
      case K::group:
      case K::group_end:
        break;
    }
  }
  EXPECT_EQ(host.imbalance(), "");
}

// A small host with one list of descriptions to register.
class Params_Setup_Test : public ::testing::Test {
 protected:
  Simulated_Host host{brel::sim::Host_Identity::after_effects()};
  brel::Parameter_Factory_After_Effects factory{host.in_data(), nullptr, nullptr};
  std::vector<std::unique_ptr<brel::Parameter>> owned;
  std::list<brel::Parameter*> list;

  template <class Kind>
  void add(std::unique_ptr<Kind> parameter) {
    list.push_back(parameter.get());
    owned.push_back(std::move(parameter));
  }

  void setup() { brel::params_setup(host.in_data(), host.out_data(), list); }
  const PF_ParamDef& registered(int32_t slot) { return host.parameters().at(slot).definition; }
};

// A control of no kind the host knows.
class Kindless : public brel::Parameter {
 public:
  const brel::Parameter_Description& description() const override { return description_; }
  void set_expanded(bool) override {}
  void set_enabled(bool) override {}
  void set_visible(bool) override {}

 private:
  brel::Parameter_Description description_{"kindless", "", 5};
};

// Entries of no known kind and null entries are skipped uncounted; a layer without host id is
// counted but not registered; names are cut to 31 characters and group ends are unnamed.
TEST_F(Params_Setup_Test, WhatIsRegisteredAndWhatIsCounted) {
  add(std::make_unique<Kindless>());
  add(factory.create_group({"0123456789012345678901234567890123456789", "", 1}));
  add(factory.create_group_end({"an end with a name", "", 2}));
  list.push_back(nullptr);
  add(factory.create_layer({"hidden", "", 0}));
  add(factory.create_checkbox({"box", "", 6}));
  setup();
  EXPECT_EQ(host.calls(fn::add_param), 3);
  EXPECT_EQ(std::string(registered(0).name), "0123456789012345678901234567890");
  const PF_ParamDef& end = registered(1);
  EXPECT_EQ(std::vector<char>(end.name, end.name + sizeof end.name),
            std::vector<char>(sizeof end.name, '\0'));
  EXPECT_EQ(registered(2).uu.id, 6);
  EXPECT_EQ(host.out_data()->num_params, 5);
}

TEST_F(Params_Setup_Test, FloatSendsTheNarrowedDefaultAndInfiniteRangesForThePlainOnes) {
  brel::Float_Parameter_Description d("f", "", 1);
  d.default_value = 0.1;
  d.display_pixel = true;
  d.display_percent = true;
  d.precision = 0x10003;  // only the low 16 bits reach the host
  add(factory.create_float(d));
  setup();
  const PF_FloatSliderDef& fs = registered(0).u.fs_d;
  EXPECT_EQ(fs.dephault, 0.1f);
  EXPECT_EQ(fs.value, static_cast<double>(0.1f));
  EXPECT_NE(fs.value, 0.1);
  EXPECT_EQ(fs.valid_min, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(fs.valid_max, std::numeric_limits<float>::infinity());
  EXPECT_EQ(fs.slider_min, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(fs.slider_max, std::numeric_limits<float>::infinity());
  EXPECT_EQ(fs.display_flags, PF_ValueDisplayFlag_PIXEL + PF_ValueDisplayFlag_PERCENT);
  EXPECT_EQ(fs.precision, 3);
}

TEST_F(Params_Setup_Test, ChoiceAngleColourAndPointConversions) {
  brel::Choice_Parameter_Description choice("quality", "", 1);
  choice.entries = {"off", "sharp", "smooth"};
  add(factory.create_choice(choice));
  brel::Angle_Parameter_Description angle("angle", "", 2);
  angle.default_value = 135.5;
  add(factory.create_angle(angle));
  brel::Rgb_Parameter_Description colour("colour", "", 3);
  colour.red = 0.999;
  colour.green = 1.5;  // above white saturates instead of wrapping
  colour.blue = -0.5;
  add(factory.create_rgb(colour));
  brel::Point_2d_Parameter_Description point("point", "", 4);
  point.default_x = 0.333;
  point.default_y = -0.25;
  point.restrict_bounds = true;
  add(factory.create_point_2d(point));
  setup();

  EXPECT_EQ(registered(0).u.pd.num_choices, 3);
  EXPECT_EQ(registered(0).u.pd.dephault, 1);
  EXPECT_EQ(host.parameters().at(0).popup_names, "off|sharp|smooth|");
  EXPECT_EQ(registered(1).u.ad.dephault, 8880128);
  EXPECT_EQ(registered(2).u.cd.dephault.red, 254);
  EXPECT_EQ(registered(2).u.cd.dephault.green, 255);
  EXPECT_EQ(registered(2).u.cd.dephault.blue, 0);
  EXPECT_EQ(registered(3).u.td.x_dephault, 2162688);
  EXPECT_EQ(registered(3).u.td.y_dephault, -25 * 65536);
  EXPECT_EQ(registered(3).u.td.restrict_bounds, 1);
}

TEST_F(Params_Setup_Test, SwitchesBecomeHostFlags) {
  brel::Checkbox_Parameter_Description d("box", "", 1);
  d.animatable = false;
  d.supervised = true;
  d.start_collapsed = false;
  d.enabled = false;
  d.visible = false;
  add(factory.create_checkbox(d));
  brel::Int_Parameter_Description ui("ui", "", 2);
  ui.ui_only = true;
  add(factory.create_int(ui));
  setup();
  EXPECT_EQ(registered(0).flags, PF_ParamFlag_CANNOT_TIME_VARY | PF_ParamFlag_SUPERVISE);
  EXPECT_EQ(registered(0).ui_flags, PF_PUI_DISABLED | PF_PUI_INVISIBLE | PF_PUI_NO_ECW_UI);
  EXPECT_EQ(registered(1).flags, PF_ParamFlag_CANNOT_TIME_VARY | PF_ParamFlag_COLLAPSE_TWIRLY);
  EXPECT_EQ(registered(1).ui_flags, PF_PUI_STD_CONTROL_ONLY);
}

TEST_F(Params_Setup_Test, RgbaRegistersTheColourThenItsAlphaSlider) {
  brel::Rgba_Parameter_Description d("tint", "", 7);
  d.red = 1.0;
  d.alpha = 0.25;  // not sent: the slider starts at 1
  d.disc_id_alpha = 8;
  d.supervised = true;
  add(factory.create_rgba(d));
  setup();
  ASSERT_EQ(host.calls(fn::add_param), 2);
  EXPECT_EQ(registered(0).param_type, PF_Param_COLOR);
  EXPECT_EQ(registered(0).uu.id, 7);
  const PF_ParamDef& alpha = registered(1);
  EXPECT_EQ(alpha.param_type, PF_Param_FLOAT_SLIDER);
  EXPECT_STREQ(alpha.name, "tint (alpha)");
  EXPECT_EQ(alpha.uu.id, 8);
  EXPECT_EQ(alpha.flags, PF_ParamFlag_SUPERVISE | PF_ParamFlag_COLLAPSE_TWIRLY);
  EXPECT_EQ(alpha.u.fs_d.value, 1.0);
  EXPECT_EQ(alpha.u.fs_d.dephault, 1.0f);
  EXPECT_EQ(alpha.u.fs_d.valid_max, 1.0f);
  EXPECT_EQ(alpha.u.fs_d.precision, 2);
  EXPECT_EQ(host.out_data()->num_params, 3);
}

TEST_F(Params_Setup_Test, RgbaWithoutAlphaIdFailsBeforeRegisteringAnything) {
  add(factory.create_rgba({"tint", "", 7}));
  EXPECT_THROW(setup(), brel::Exception_Assert);
  EXPECT_EQ(host.calls(fn::add_param), 0);
}

// Data of four bytes that start out as 0x01020304.
class Four_Bytes : public brel::Data_Functions {
 public:
  int64_t size(const PF_InData*) const override { return 4; }
  void write_default(void* memory) const override {
    const uint32_t value = 0x01020304;
    std::memcpy(memory, &value, sizeof value);
  }
  void copy(const void* source, void* destination) const override {
    std::memcpy(destination, source, 4);
  }
  bool equal(const void* a, const void* b) const override { return std::memcmp(a, b, 4) == 0; }
  void interpolate(const void* left, const void*, double, void* destination) const override {
    copy(left, destination);
  }
  std::string text(const void*) const override { return {}; }
  void read_text(const std::string&, void*) const override {}
};

TEST_F(Params_Setup_Test, CustomRegistersTheControlItsUiAndAHiddenCompanion) {
  auto data = std::make_shared<Four_Bytes>();
  const brel::Custom_Parameter_Description d("graph", "", 0x12345, 0, 120, 11, 12, 0x1FFFF, data,
                                             data);
  add(factory.create_custom(nullptr, d));
  setup();
  ASSERT_EQ(host.calls(fn::add_param), 2);
  EXPECT_EQ(host.calls(fn::register_ui), 1);
  const PF_ParamDef& control = registered(0);
  EXPECT_EQ(control.param_type, PF_Param_ARBITRARY_DATA);
  EXPECT_EQ(control.ui_flags, PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL);
  EXPECT_EQ(control.ui_height, 120);
  EXPECT_EQ(control.uu.id, 0x2345);
  EXPECT_EQ(control.u.arb_d.refconPV, reinterpret_cast<void*>(11));
  ASSERT_NE(control.u.arb_d.dephault, nullptr);
  uint32_t contents = 0;
  PF_UtilCallbacks* utils = host.in_data()->utils;
  std::memcpy(&contents, utils->host_lock_handle(control.u.arb_d.dephault), sizeof contents);
  utils->host_unlock_handle(control.u.arb_d.dephault);
  EXPECT_EQ(contents, 0x01020304u);

  const PF_ParamDef& companion = registered(1);
  EXPECT_STREQ(companion.name, "graph_gui_data");
  EXPECT_EQ(companion.flags, 34);
  EXPECT_EQ(companion.ui_flags, 520);
  EXPECT_EQ(companion.uu.id, -1);  // 0xFFFF sign-extended
  EXPECT_EQ(companion.u.arb_d.refconPV, reinterpret_cast<void*>(12));
  EXPECT_EQ(host.out_data()->num_params, 3);
}

TEST_F(Params_Setup_Test, ARefusedRegistrationStopsAndLeavesNumParamsUntouched) {
  add(factory.create_group({"one", "", 1}));
  add(factory.create_float({"two", "", 2}));
  add(factory.create_choice({"three", "", 3}));
  add(factory.create_int({"four", "", 4}));
  host.inject(fn::add_param, PF_Err_INVALID_INDEX, 3);
  host.out_data()->num_params = -5;
  try {
    setup();
    FAIL() << "no exception";
  } catch (const brel::Exception_After_Effects& e) {
    EXPECT_EQ(e.code(), PF_Err_INVALID_INDEX);
    EXPECT_STREQ(e.what(), "After Effects api Error (PF_Err)");
  }
  EXPECT_EQ(last_log_line(),
            "-**### WARNING ###**-: After Effects Error: PF_Err_INVALID_INDEX (513). Thrown in "
            "file base/after_effects/after_effects_parameter_setup line 255. After Effects api "
            "Error (PF_Err)\n");
  EXPECT_EQ(host.calls(fn::add_param), 3);
  EXPECT_EQ(host.parameters().size(), 2);
  EXPECT_EQ(host.out_data()->num_params, -5);

  host.inject(fn::add_param, PF_Interrupt_CANCEL, host.calls(fn::add_param) + 1);
  EXPECT_THROW(setup(), brel::Exception_Abort);
}

}  // namespace
