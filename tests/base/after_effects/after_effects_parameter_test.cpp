#include "base/after_effects/after_effects_parameter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/after_effects/after_effects_parameter_setup.h"
#include "base/after_effects/helper/ae_exception.h"
#include "base/log.h"
#include "effect/parameter_set.h"
#include "simulated_host.h"

namespace {

using brel::Parameter_Factory_After_Effects;
using brel::Parameter_Set;
using brel::sim::Host_Identity;
using brel::sim::Id;
using brel::sim::Simulated_Host;
using brel::sim::Slot;
namespace fn = brel::sim::fn;
using ::testing::HasSubstr;

// The next call of `function` answers `code`.
void fail_next(Simulated_Host& host, const char* function, int32_t code) {
  host.inject(function, code, host.calls(function) + 1);
}

std::string last_log_line() {
  const auto messages = brel::global_log().recent_messages();
  return messages.empty() ? std::string() : messages.back();
}

// A host that knows the effect's 95 controls; each command builds the parameter set anew over
// that command's records, as the effect does.
class Effect_Host {
 public:
  explicit Effect_Host(Host_Identity identity) : host(identity) {
    Parameter_Factory_After_Effects setup_factory(host.in_data(), nullptr, nullptr);
    Parameter_Set declared(setup_factory, brel::Host_Context{});
    brel::params_setup(host.in_data(), host.out_data(), declared.parameters());
  }

  // A new command, with the host's parameter array or (render-like) without one.
  Parameter_Set& command(bool with_array = true) {
    PF_ParamDef** params = host.begin_command();
    set.reset();
    factory = std::make_unique<Parameter_Factory_After_Effects>(
        host.in_data(), with_array ? params : nullptr, nullptr);
    set = std::make_unique<Parameter_Set>(*factory, brel::Host_Context{});
    return *set;
  }

  brel::sim::Parameter_Store& store() { return host.parameters(); }

  Simulated_Host host;
  std::unique_ptr<Parameter_Factory_After_Effects> factory;
  std::unique_ptr<Parameter_Set> set;
};

TEST(Parameter_Values, EveryKindReadsTheHostValueWithItsConversion) {
  Effect_Host effect(Host_Identity::after_effects());
  effect.store().set_popup("render mode", 6);
  effect.store().set_popup("override all", 4);
  effect.store().set_float(Slot{1}, 123.25);
  effect.store().set_angle("direct light angle", -45.5);
  effect.store().set_checkbox("quick mode", false);
  effect.store().set_checkbox(Slot{52}, true);
  effect.store().set_int("occlusion radius", 23);
  effect.store().set_int("point light/shadow softness", 7);
  effect.store().set_float(Slot{50}, 0.1);

  for (const bool with_array : {true, false}) {
    SCOPED_TRACE(with_array ? "with the array" : "without the array");
    Parameter_Set& set = effect.command(with_array);
    const int64_t checkouts = effect.host.calls(fn::checkout_param);
    EXPECT_EQ(set.slot<brel::Slot::render_mode>().value(), 6);  // the host holds 7
    EXPECT_EQ(set.slot<brel::Slot::override_all>().value(), 4);
    EXPECT_EQ(set.slot<brel::Slot::depth_channel>().value(), 0);
    EXPECT_EQ(set.slot<brel::Slot::depth_factor>().value(), 123.25);
    EXPECT_EQ(set.slot<brel::Slot::pre_blur_threshold>().value(),
              0.1);  // a double, not narrowed on the way
    EXPECT_EQ(set.slot<brel::Slot::direct_light_angle>().value(), -45.5);
    EXPECT_FALSE(set.slot<brel::Slot::occlusion_quick_mode>().value());
    EXPECT_TRUE(set.slot<brel::Slot::discontinuity_detection>().value());
    EXPECT_TRUE(set.slot<brel::Slot::direct_shadows>().value());
    EXPECT_EQ(set.slot<brel::Slot::occlusion_radius>().value(), 23);
    EXPECT_EQ(set.slot<brel::Slot::point_shadow_softness>().value(), 7);
    EXPECT_EQ(set.slot<brel::Slot::direct_shadow_softness>().value(), 0);
    EXPECT_EQ(set.slot<brel::Slot::shading_shadow_softness>().value(), 0);
    // One checkout and one check-in per read.
    EXPECT_EQ(effect.host.calls(fn::checkout_param) - checkouts, 13);
    EXPECT_EQ(effect.host.calls(fn::checkin_param), effect.host.calls(fn::checkout_param));
    EXPECT_EQ(effect.host.imbalance(), "");
  }
}

TEST(Parameter_Values, PointsArriveInPixelsOfTheCurrentLayerUnscaledByTheEffect) {
  Effect_Host effect(Host_Identity::after_effects());
  effect.host.set_layer_size(1920, 1080);
  effect.host.set_downsample(1, 2, 1, 2);
  {
    const brel::Point_2d_Value p =
        effect.command().slot<brel::Slot::point_light_position>().value();
    EXPECT_EQ(p.x, 480.0);  // the 50 % default of the half-size layer
    EXPECT_EQ(p.y, 270.0);
  }
  effect.store().set_point("position", -3.0, 4.5);
  const brel::Point_2d_Value p = effect.command().slot<brel::Slot::point_light_position>().value();
  EXPECT_EQ(p.x, -1.5);
  EXPECT_EQ(p.y, 2.25);
}

// After Effects hands colours over in float through the colour suite, Premiere Pro as bytes.
TEST(Parameter_Values, ColoursComeInFloatUnderAfterEffectsAndFromTheByteUnderPremiere) {
  Effect_Host effect(Host_Identity::after_effects());
  effect.store().set_color_float("surface color", PF_PixelFloat{0.0f, 1.5f, 0.25f, 0.0f});
  const brel::Rgb_Value c = effect.command(false).slot<brel::Slot::surface_color>().value();
  EXPECT_EQ(c.red, 1.5f);
  EXPECT_EQ(c.green, 0.25f);
  EXPECT_EQ(c.blue, 0.0f);
  EXPECT_EQ(effect.host.acquires("PF ColorParamSuite", 1), 1);
  EXPECT_EQ(effect.host.imbalance(), "");

  Effect_Host premiere(Host_Identity::premiere());
  premiere.store().set_color(Slot{7}, PF_Pixel{255, 255, 128, 0});
  const brel::Rgb_Value p = premiere.command().slot<brel::Slot::direct_light_color>().value();
  EXPECT_EQ(p.red, 1.0f);
  EXPECT_EQ(p.green, 128.0f / 255.0f);
  EXPECT_EQ(p.blue, 0.0f);
  EXPECT_EQ(premiere.host.acquires("PF ColorParamSuite", 1), 0);
}

TEST(Parameter_Values, ReadsTakeTheCurrentTimeOrTheGivenOne) {
  Effect_Host effect(Host_Identity::after_effects());
  effect.host.set_time(100, 5, 30);
  Parameter_Set& set = effect.command();
  set.slot<brel::Slot::depth_factor>().value();
  auto calls = effect.host.checkout_calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().index, 2);
  EXPECT_EQ(calls.back().what_time, 100);
  EXPECT_EQ(calls.back().time_step, 5);
  EXPECT_EQ(calls.back().time_scale, 30u);

  const auto& bound = dynamic_cast<const brel::Parameter_AE&>(set.slot<brel::Slot::depth_factor>());
  bound.get_ae_param(bound.index, 7);
  EXPECT_EQ(effect.host.checkout_calls().back().what_time, 7);
  EXPECT_EQ(effect.host.imbalance(), "");
}

TEST(Parameter_Values, AnInterfaceOnlyControlIsReadFromTheArrayUnlessATimeIsGiven) {
  Simulated_Host host(Host_Identity::after_effects());
  brel::Int_Parameter_Description d("counter", "", 1);
  d.ui_only = true;
  {
    Parameter_Factory_After_Effects factory(host.in_data(), nullptr, nullptr);
    auto declared = factory.create_int(d);
    brel::params_setup(host.in_data(), host.out_data(), {declared.get()});
  }
  host.parameters().set_int(Slot{0}, 41);
  Parameter_Factory_After_Effects factory(host.in_data(), host.begin_command(), nullptr);
  auto counter = factory.create_int(d);
  EXPECT_EQ(counter->value(), 41);
  EXPECT_EQ(host.calls(fn::checkout_param), 0);
  dynamic_cast<brel::Parameter_AE&>(*counter).get_ae_param(1, 0);
  EXPECT_EQ(host.calls(fn::checkout_param), 1);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(Parameter_Values, ARefusedCheckoutIsAHostErrorWithItsWarningLine) {
  Effect_Host effect(Host_Identity::after_effects());
  Parameter_Set& set = effect.command();
  effect.host.inject(fn::checkout_param, PF_Err_INVALID_INDEX);
  try {
    set.slot<brel::Slot::gamma_correction>().value();
    FAIL() << "no exception";
  } catch (const brel::Exception_After_Effects& e) {
    EXPECT_EQ(e.code(), PF_Err_INVALID_INDEX);
    EXPECT_STREQ(e.what(), "PF_CHECKOUT_PARAM() failed");
  }
  EXPECT_EQ(last_log_line(),
            "-**### WARNING ###**-: After Effects Error: PF_Err_INVALID_INDEX (513). Thrown in "
            "file base/after_effects/after_effects_parameter line 77. PF_CHECKOUT_PARAM() "
            "failed\n");
  EXPECT_EQ(effect.host.calls(fn::checkin_param), 0);
  EXPECT_EQ(effect.host.imbalance(), "");
  // The next read works again.
  EXPECT_EQ(set.slot<brel::Slot::gamma_correction>().value(), 1.0);
}

TEST(Parameter_Values, ARefusedCheckInIsLoggedAndTheValueStillArrives) {
  Effect_Host effect(Host_Identity::after_effects());
  Parameter_Set& set = effect.command();
  effect.host.inject(fn::checkin_param, PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(set.slot<brel::Slot::occlusion_radius>().value(), 16);
  EXPECT_EQ(last_log_line(),
            "-**### WARNING ###**-: PF_CHECKIN_PARAM() failed in AE_Param destructor. Error "
            "code: 516\n");
}

TEST(Parameter_Values, ColourSuiteFailuresStillCheckTheColourIn) {
  Effect_Host effect(Host_Identity::after_effects());
  Parameter_Set& set = effect.command();
  fail_next(effect.host, fn::float_color, PF_Err_INTERNAL_STRUCT_DAMAGED);
  EXPECT_THROW(set.slot<brel::Slot::point_light_color>().value(), brel::Exception_After_Effects);
  EXPECT_THAT(last_log_line(), HasSubstr("(512). Thrown in file "
                                         "base/after_effects/after_effects_parameter line 124."));
  fail_next(effect.host, fn::float_color, PF_Interrupt_CANCEL);
  EXPECT_THROW(set.slot<brel::Slot::point_light_color>().value(), brel::Exception_Abort);
  effect.host.remove_suite("PF ColorParamSuite", 1);
  EXPECT_THROW(set.slot<brel::Slot::point_light_color>().value(), brel::Exception_Ae_Suite);
  EXPECT_EQ(effect.host.calls(fn::checkin_param), 3);
  EXPECT_EQ(effect.host.imbalance(), "");
}

struct Layer_Case {
  Host_Identity identity;
  bool answers;               // false: the host is too old to tell
  int64_t checkouts_per_ask;  // 0: read from the array
};

class Has_Layer : public ::testing::TestWithParam<Layer_Case> {};

TEST_P(Has_Layer, AnswersFromTheArrayTheCheckoutOrNotAtAll) {
  const Layer_Case c = GetParam();
  Effect_Host effect(c.identity);
  brel::sim::World world(8, 4, PF_PixelFormat_ARGB32, 4);
  effect.store().set_layer("environmental layer", world.get());
  Parameter_Set& set = effect.command();
  EXPECT_EQ(set.slot<brel::Slot::environmental_layer>().has_layer(), c.answers);
  EXPECT_FALSE(set.slot<brel::Slot::reflection_amount_texture>().has_layer());
  EXPECT_EQ(effect.host.calls(fn::checkout_param), 2 * c.checkouts_per_ask);
  EXPECT_EQ(effect.host.imbalance(), "");
}

INSTANTIATE_TEST_SUITE_P(Hosts, Has_Layer,
                         ::testing::Values(Layer_Case{Host_Identity::after_effects(13, 9), true, 0},
                                           Layer_Case{Host_Identity::after_effects(13, 8), true, 1},
                                           Layer_Case{Host_Identity::premiere(13, 9), true, 1},
                                           Layer_Case{Host_Identity::premiere(12, 11), true, 1},
                                           Layer_Case{Host_Identity::after_effects(12, 10), false,
                                                      0}));

// Switches change the entry in the array; all but layers are redrawn through the host, whose
// failures become exceptions.
TEST(Parameter_Interface, SwitchesFlagTheEntryAndRedrawAllButLayers) {
  Effect_Host effect(Host_Identity::after_effects());
  Parameter_Set& set = effect.command();
  PF_ParamDef** params = effect.host.params();
  set.slot<brel::Slot::perspective_perception>().set_enabled(false);
  EXPECT_EQ(params[3]->ui_flags & PF_PUI_DISABLED, PF_PUI_DISABLED);
  ASSERT_EQ(effect.host.update_ui_calls().size(), 1u);
  EXPECT_EQ(effect.host.update_ui_calls().back().index, 3);
  EXPECT_EQ(effect.host.update_ui_calls().back().ui_flags & PF_PUI_DISABLED, PF_PUI_DISABLED);
  set.slot<brel::Slot::perspective_perception>().set_enabled(true);
  EXPECT_EQ(params[3]->ui_flags & PF_PUI_DISABLED, 0);
  set.slot<brel::Slot::environmental_layer>().set_enabled(false);
  EXPECT_EQ(params[27]->ui_flags & PF_PUI_DISABLED, PF_PUI_DISABLED);
  EXPECT_EQ(effect.host.update_ui_calls().size(), 2u);
  set.slot<brel::Slot::point_light_group>().set_expanded(true);
  EXPECT_EQ(params[15]->flags & PF_ParamFlag_COLLAPSE_TWIRLY, 0);
  set.slot<brel::Slot::point_light_group>().set_visible(false);
  EXPECT_EQ(params[15]->ui_flags & PF_PUI_INVISIBLE, PF_PUI_INVISIBLE);

  fail_next(effect.host, fn::update_param_ui, PF_Err_INVALID_CALLBACK);
  EXPECT_THROW(set.slot<brel::Slot::perspective_perception>().set_enabled(false),
               brel::Exception_After_Effects);
  fail_next(effect.host, fn::update_param_ui, PF_Interrupt_CANCEL);
  EXPECT_THROW(set.slot<brel::Slot::perspective_perception>().set_enabled(true),
               brel::Exception_Abort);
  effect.host.remove_suite("PF Param Utils Suite", 2);
  EXPECT_THROW(set.slot<brel::Slot::perspective_perception>().set_enabled(true),
               brel::Exception_Ae_Suite);
  EXPECT_EQ(effect.host.imbalance(), "");
}

TEST(Parameter_Interface, SetValuesGoToTheArrayAndBackToTheHost) {
  Effect_Host effect(Host_Identity::premiere());
  {
    Parameter_Set& set = effect.command();
    PF_ParamDef** params = effect.host.params();
    set.slot<brel::Slot::depth_factor>().set_value(2.5);
    EXPECT_EQ(params[2]->u.fs_d.value, 2.5);
    EXPECT_EQ(params[2]->uu.change_flags & PF_ChangeFlag_CHANGED_VALUE,
              PF_ChangeFlag_CHANGED_VALUE);
    set.slot<brel::Slot::refraction_type>().set_value(0);
    EXPECT_EQ(params[77]->u.pd.value, 1);
    set.slot<brel::Slot::additive_mix>().set_value(true);
    EXPECT_EQ(params[41]->u.bd.value, 1);
    set.slot<brel::Slot::surface_color>().set_value(1.0f, 0.5f, 0.0f);
    EXPECT_EQ(params[59]->u.cd.value.red, 255);
    EXPECT_EQ(params[59]->u.cd.value.green, 127);
    EXPECT_EQ(params[59]->u.cd.value.blue, 0);
    set.slot<brel::Slot::depth_factor>().set_slider_range(-2.0, 2.0);
    EXPECT_EQ(params[2]->u.fs_d.slider_min, -2.0f);
    EXPECT_EQ(set.slot<brel::Slot::depth_factor>().slider_max(), 2.0);
  }
  Parameter_Set& next = effect.command();
  EXPECT_EQ(next.slot<brel::Slot::depth_factor>().value(), 2.5);
  EXPECT_EQ(next.slot<brel::Slot::refraction_type>().value(), 0);
  EXPECT_TRUE(next.slot<brel::Slot::additive_mix>().value());
  EXPECT_EQ(effect.host.imbalance(), "");
}

TEST(Parameter_Values, RgbaReadsItsAlphaFromTheSlider) {
  Simulated_Host host(Host_Identity::after_effects());
  brel::Rgba_Parameter_Description d("tint", "", 7);
  d.disc_id_alpha = 8;
  {
    Parameter_Factory_After_Effects factory(host.in_data(), nullptr, nullptr);
    auto declared = factory.create_rgba(d);
    brel::params_setup(host.in_data(), host.out_data(), {declared.get()});
  }
  PF_PixelFloat colour{};
  colour.red = 0.5f;
  colour.blue = 2.0f;
  host.parameters().set_color_float(Slot{0}, colour);
  host.parameters().set_float(Slot{1}, 0.75);
  Parameter_Factory_After_Effects factory(host.in_data(), host.begin_command(), nullptr);
  auto tint = factory.create_rgba(d);
  const brel::Rgba_Value v = tint->value();
  EXPECT_EQ(v.red, 0.5f);
  EXPECT_EQ(v.green, 0.0f);
  EXPECT_EQ(v.blue, 2.0f);
  EXPECT_EQ(v.alpha, 0.75f);
  EXPECT_EQ(host.imbalance(), "");
}

}  // namespace
