#include "parameter_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "simulated_host.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::Id;
using brel::sim::Sim_Error;
using brel::sim::Simulated_Host;
using brel::sim::Slot;

PF_ParamDef definition(PF_ParamType type, int32_t id, const char* name) {
  PF_ParamDef def{};
  def.param_type = type;
  def.uu.id = id;
  std::strncpy(def.name, name, sizeof def.name - 1);
  return def;
}

// A small effect: two light groups that repeat names, a shading group, and the kinds whose
// values the host converts. Id 48 is given twice, as the effect's own list does.
void register_parameters(PF_InData* in_data) {
  std::string popup_names = "off|sharp|smooth|";
  std::vector<PF_ParamDef> defs;
  PF_ParamDef popup = definition(PF_Param_POPUP, 67, "render mode");
  popup.u.pd.num_choices = 3;
  popup.u.pd.dephault = 2;
  popup.u.pd.value = 2;
  popup.u.pd.u.namesptr = popup_names.c_str();
  defs.push_back(popup);                                                     // slot 0
  defs.push_back(definition(PF_Param_GROUP_START, 23, "_DIRECT LIGHT_"));    // slot 1
  defs.push_back(definition(PF_Param_FLOAT_SLIDER, 11, "light intensity"));  // slot 2
  defs.push_back(definition(PF_Param_SLIDER, 45, "shadow softness"));        // slot 3
  defs.push_back(definition(PF_Param_ANGLE, 6, "direct light angle"));       // slot 4
  defs.push_back(definition(PF_Param_GROUP_END, 24, ""));                    // slot 5
  defs.push_back(definition(PF_Param_GROUP_START, 25, "_POINT LIGHT_"));     // slot 6
  defs.push_back(definition(PF_Param_FLOAT_SLIDER, 70, "light intensity"));  // slot 7
  defs.push_back(definition(PF_Param_POINT, 1, "position"));                 // slot 8
  defs.push_back(definition(PF_Param_SLIDER, 48, "shadow softness"));        // slot 9
  defs.push_back(definition(PF_Param_COLOR, 8, "light color"));              // slot 10
  defs.push_back(definition(PF_Param_GROUP_END, 26, ""));                    // slot 11
  defs.push_back(definition(PF_Param_GROUP_START, 30, "shading"));           // slot 12
  defs.push_back(definition(PF_Param_SLIDER, 31, "shadow softness"));        // slot 13
  defs.push_back(definition(PF_Param_CHECKBOX, 32, "shadows"));              // slot 14
  defs.push_back(definition(PF_Param_GROUP_END, 33, ""));                    // slot 15
  defs.push_back(definition(PF_Param_LAYER, 48, "background layer"));        // slot 16
  for (PF_ParamDef& def : defs) {
    ASSERT_EQ(in_data->inter.add_param(in_data->effect_ref, -1, &def), PF_Err_NONE);
  }
  // The host keeps its own copy of every text.
  popup_names.assign(popup_names.size(), 'x');
}

class Parameter_Store_Test : public ::testing::Test {
 protected:
  void SetUp() override { register_parameters(host.in_data()); }

  PF_ParamDef checkout(int32_t host_index) {
    PF_ParamDef out{};
    PF_InData* in = host.in_data();
    EXPECT_EQ(in->inter.checkout_param(in->effect_ref, host_index, in->current_time, in->time_step,
                                       in->time_scale, &out),
              PF_Err_NONE);
    EXPECT_EQ(in->inter.checkin_param(in->effect_ref, &out), PF_Err_NONE);
    return out;
  }

  Simulated_Host host{Host_Identity::after_effects()};
  brel::sim::Parameter_Store& store = host.parameters();
};

TEST_F(Parameter_Store_Test, RecordsEveryDefinitionInOrder) {
  ASSERT_EQ(store.size(), 17);
  EXPECT_EQ(host.calls(brel::sim::fn::add_param), 17);
  EXPECT_EQ(store.at(0).add_index, -1);
  EXPECT_STREQ(store.at(0).definition.u.pd.u.namesptr, "off|sharp|smooth|");
  EXPECT_EQ(store.at(9).definition.uu.id, 48);
  EXPECT_EQ(store.at(2).group, "_DIRECT LIGHT_");
  EXPECT_EQ(store.at(7).group, "_POINT LIGHT_");
  EXPECT_EQ(store.at(6).group, "");  // a heading is not inside itself
  EXPECT_EQ(store.at(16).group, "");
}

TEST_F(Parameter_Store_Test, LooksUpBySlotIdAndName) {
  EXPECT_EQ(store.slot(Slot{4}), 4);
  EXPECT_EQ(store.slot(Id{6}), 4);
  EXPECT_EQ(store.slot("direct light angle"), 4);
  EXPECT_EQ(store.slot("background layer"), 16);
  EXPECT_EQ(store.slot("point light/light intensity"), 7);
  EXPECT_EQ(store.slot("Direct_Light/light intensity"), 2);
  EXPECT_EQ(store.slot("shading/shadow softness"), 13);
  EXPECT_EQ(store.slot("POINT LIGHT/shadow softness"), 9);
  // A unique name may be written with its group as well.
  EXPECT_EQ(store.slot("shading/shadows"), 14);
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Sim_Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST_F(Parameter_Store_Test, SharedIdNamesBothSlots) {
  EXPECT_EQ(error_of([&] { store.slot(Id{48}); }),
            "host id 48 belongs to slot 9 (\"shadow softness\") and slot 16 (\"background "
            "layer\"); set it by slot or by name");
  EXPECT_EQ(error_of([&] { store.set_int(Id{48}, 3); }).substr(0, 22), "host id 48 belongs to ");
  EXPECT_EQ(error_of([&] { store.slot(Id{99}); }), "no parameter has host id 99");
}

TEST_F(Parameter_Store_Test, RepeatedNameNamesTheChoices) {
  EXPECT_EQ(error_of([&] { store.slot("light intensity"); }),
            "the name \"light intensity\" is ambiguous; choose one of: \"directlight/light "
            "intensity\" (slot 2) \"pointlight/light intensity\" (slot 7)");
  EXPECT_EQ(error_of([&] { store.slot("shadow softness"); }),
            "the name \"shadow softness\" is ambiguous; choose one of: \"directlight/shadow "
            "softness\" (slot 3) \"pointlight/shadow softness\" (slot 9) \"shading/shadow "
            "softness\" (slot 13)");
  EXPECT_EQ(error_of([&] { store.slot("shading/light intensity"); }),
            "no parameter is named \"shading/light intensity\"");
  EXPECT_EQ(error_of([&] { store.slot("Light Intensity"); }),
            "no parameter is named \"Light Intensity\"");
}

TEST_F(Parameter_Store_Test, RefusesUnknownSlotsAndWrongKinds) {
  EXPECT_EQ(error_of([&] { store.slot(Slot{17}); }), "no parameter in slot 17 (17 registered)");
  EXPECT_EQ(error_of([&] { store.set_float("direct light angle", 1.0); }),
            "slot 4 (\"direct light angle\") is of kind angle, not float slider");
  EXPECT_EQ(error_of([&] { store.set_popup("render mode", 3); }),
            "popup \"render mode\" has 3 entries, not an entry 3");
}

TEST_F(Parameter_Store_Test, ParameterArrayHoldsTheInputAndEveryEntry) {
  brel::sim::World input(16, 9, PF_PixelFormat_ARGB128, 16);
  store.set_input(input.get());
  PF_ParamDef** params = host.begin_command();
  EXPECT_EQ(store.array_size(), 18);
  EXPECT_EQ(params[0]->param_type, PF_Param_LAYER);
  EXPECT_EQ(params[0]->u.ld.data, input.get()->data);
  EXPECT_EQ(params[1]->param_type, PF_Param_POPUP);
  EXPECT_EQ(params[17]->param_type, PF_Param_LAYER);
  EXPECT_EQ(params[5]->uu.change_flags, 0);

  // A value the effect changes in the array reaches the host when it flags the change.
  params[4]->u.sd.value = 9;
  params[4]->uu.change_flags = PF_ChangeFlag_CHANGED_VALUE;
  params[14]->u.sd.value = 5;  // changed but not flagged: not taken
  params = host.begin_command();
  EXPECT_EQ(params[4]->u.sd.value, 9);
  EXPECT_EQ(params[14]->u.sd.value, 0);
  EXPECT_EQ(checkout(4).u.sd.value, 9);
}

}  // namespace
