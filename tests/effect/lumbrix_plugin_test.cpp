#include "effect/lumbrix_plugin.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "support/effect_plugin_host.h"

namespace {

using brel::sim::Slot;
using brel::test::Effect_Plugin_Host;

std::set<int32_t> slots(std::initializer_list<std::pair<int32_t, int32_t>> ranges) {
  std::set<int32_t> result;
  for (const auto& [first, last] : ranges) {
    for (int32_t k = first; k <= last; ++k) {
      result.insert(k);
    }
  }
  return result;
}

// The layer parameters: the host is not asked to redraw them.
const std::set<int32_t> layer_slots = {26, 28, 47, 59, 61, 63, 65, 67, 72, 73, 78, 80};
// The controls the rules govern.
const std::set<int32_t> governed =
    slots({{2, 12}, {14, 23}, {25, 36}, {46, 55}, {57, 69}, {71, 86}, {90, 93}});

// With every switch at its default (shadows on, no texture layers, no pre blur iterations, no
// discontinuity detection, an opaque surface, "override all" at "-"): the controls each render
// mode greys out.
const std::set<int32_t> disabled_by_mode[8] = {
    slots({{27, 30}, {33, 33}, {49, 50}, {53, 53}, {60, 60}, {73, 73}, {75, 84}}),
    slots(
        {{4, 12}, {14, 23}, {25, 36}, {49, 50}, {53, 53}, {60, 60}, {65, 69}, {73, 73}, {75, 84}}),
    slots({{2, 2}, {27, 30}, {33, 33}, {49, 50}, {53, 53}, {60, 60}, {65, 69}, {73, 73}, {75, 84}}),
    slots({{2, 3}, {27, 30}, {33, 33}, {49, 50}, {53, 53}, {57, 69}, {72, 84}}),
    slots({{2, 3}, {27, 30}, {33, 33}, {49, 50}, {53, 53}, {60, 60}, {65, 69}, {72, 84}}),
    slots({{2, 12}, {14, 23}, {25, 36}, {49, 50}, {53, 53}, {57, 69}, {71, 86}}),
    slots({{2, 12}, {14, 23}, {25, 36}, {49, 50}, {53, 53}, {57, 69}, {71, 86}}),
    slots({{2, 12}, {14, 23}, {25, 36}, {46, 55}, {60, 69}, {71, 86}}),
};

// The controls greyed out in the host's array, layer parameters included; nothing is ever hidden.
std::set<int32_t> disabled_slots(Effect_Plugin_Host& effect) {
  PF_ParamDef** params = effect.host.params();
  std::set<int32_t> disabled;
  for (int32_t slot = 0; slot < 95; ++slot) {
    if (params[slot + 1]->ui_flags & PF_PUI_DISABLED) {
      disabled.insert(slot);
    }
    EXPECT_EQ(params[slot + 1]->ui_flags & PF_PUI_INVISIBLE, 0) << "slot " << slot;
  }
  return disabled;
}

class Enabling_Through_The_Host : public ::testing::TestWithParam<int32_t> {};

TEST_P(Enabling_Through_The_Host, GreysOutExactlyTheControlsTheModeMakesMeaningless) {
  const int32_t mode = GetParam();
  Effect_Plugin_Host effect;
  effect.store().set_popup("render mode", mode);
  effect.command().update_params_ui({});

  // Every governed control but the layer parameters is redrawn once, in slot order, with its
  // new flags; nothing else is touched.
  const auto calls = effect.host.update_ui_calls();
  std::vector<int32_t> expected_indexes;
  for (int32_t slot : governed) {
    if (layer_slots.count(slot) == 0) {
      expected_indexes.push_back(slot + 1);
    }
  }
  ASSERT_EQ(calls.size(), 64u);
  ASSERT_EQ(effect.host.calls(brel::sim::fn::update_param_ui), 64);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].index, expected_indexes[i]);
    const bool disabled = (calls[i].ui_flags & PF_PUI_DISABLED) != 0;
    EXPECT_EQ(disabled, disabled_by_mode[mode].count(calls[i].index - 1) == 1)
        << "slot " << calls[i].index - 1;
  }
  EXPECT_EQ(disabled_slots(effect), disabled_by_mode[mode]);
  EXPECT_EQ(effect.host.imbalance(), "");
}

INSTANTIATE_TEST_SUITE_P(Every_Render_Mode, Enabling_Through_The_Host, ::testing::Range(0, 8));

TEST(Enabling_Through_The_Host, FollowsTheSwitchesAndAssignedLayers) {
  Effect_Plugin_Host effect;
  brel::sim::World layer(4, 4, PF_PixelFormat_ARGB128, 16);
  effect.store().set_layer("environmental layer", layer.get());
  effect.store().set_layer("normal texture", layer.get());
  effect.store().set_int("pre blur iterations", 4);
  effect.store().set_float("transparency", 0.5);
  effect.store().set_checkbox(Slot{11}, false);  // shadows of the direct light
  effect.store().set_popup("override all", 2);
  effect.command().update_params_ui({});

  EXPECT_EQ(disabled_slots(effect), slots({{12, 12}, {49, 53}, {60, 60}, {90, 93}}));
}

TEST(Enabling_Through_The_Host, AHostErrorStopsTheSweepThere) {
  Effect_Plugin_Host effect;
  effect.store().set_popup("render mode", 7);
  effect.host.inject(brel::sim::fn::update_param_ui, PF_Err_INVALID_INDEX, 3);
  brel::test::Effect_Plugin& plugin = effect.command();
  EXPECT_THROW(plugin.update_params_ui({}), std::exception);
  EXPECT_EQ(effect.host.calls(brel::sim::fn::update_param_ui), 3);
  // Slots 2 and 3 were greyed out before the failure; slot 5 was never reached.
  PF_ParamDef** params = effect.host.params();
  EXPECT_NE(params[3]->ui_flags & PF_PUI_DISABLED, 0);
  EXPECT_EQ(params[6]->ui_flags & PF_PUI_DISABLED, 0);
  EXPECT_EQ(effect.host.imbalance(), "");
}

TEST(Effect_Plugin, AnswersThePreRenderLookupsByLayerName) {
  Effect_Plugin_Host effect;
  brel::test::Effect_Plugin& plugin = effect.command();
  brel::Region_Map regions;
  regions["Source"] = {{0, 64, 0, 48}, 1.0f, 1.0f, 1.0f};
  regions["environmental layer"] = {{-8, 72, -4, 52}, 1.0f, 1.0f, 1.0f};
  const brel::Rect requested{16, 32, 8, 24};
  EXPECT_EQ(plugin.lookup_record({}, regions).rect, (brel::Rect{0, 64, 0, 48}));
  EXPECT_EQ(plugin.lookup_record_by_name({}, "Source", regions, requested), requested);
  EXPECT_EQ(plugin.lookup_record_by_name({}, "environmental layer", regions, requested),
            (brel::Rect{-8, 72, -4, 52}));
}

}  // namespace
