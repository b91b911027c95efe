#include "effect/enabling_rules.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <set>

namespace {

std::map<int32_t, bool> by_slot(const brel::Enabling_Inputs& inputs) {
  std::map<int32_t, bool> states;
  for (const brel::Enabling& e : brel::enabling_rules(inputs)) {
    EXPECT_TRUE(states.emplace(e.slot, e.enabled).second) << "slot " << e.slot << " set twice";
  }
  return states;
}

std::set<int32_t> enabled_slots(const brel::Enabling_Inputs& inputs) {
  std::set<int32_t> slots;
  for (const auto& [slot, enabled] : by_slot(inputs)) {
    if (enabled) {
      slots.insert(slot);
    }
  }
  return slots;
}

std::set<int32_t> range(int32_t first, int32_t last) {
  std::set<int32_t> slots;
  for (int32_t k = first; k <= last; ++k) {
    slots.insert(k);
  }
  return slots;
}

TEST(Enabling_Rules, SeventySixRulesInAscendingSlotOrderAndNeverTheFixedControls) {
  const std::vector<brel::Enabling> rules = brel::enabling_rules({});
  ASSERT_EQ(rules.size(), 76u);
  for (size_t i = 1; i < rules.size(); ++i) {
    EXPECT_LT(rules[i - 1].slot, rules[i].slot);
  }
  const std::set<int32_t> fixed = {0,  1,  13, 24, 37, 38, 39, 40, 41, 42,
                                   43, 44, 45, 56, 70, 87, 88, 89, 94};
  for (const brel::Enabling& e : rules) {
    EXPECT_EQ(fixed.count(e.slot), 0u) << "slot " << e.slot;
  }
}

TEST(Enabling_Rules, SurfaceColorModeKeepsOnlyTheSurfaceControlsAndTheQualityPopups) {
  brel::Enabling_Inputs inputs;
  inputs.render_mode = 7;
  inputs.transparency = 0.5;
  inputs.has_environment_layer = true;
  inputs.pre_blur_iterations = 3;
  std::set<int32_t> expected = {57, 58, 59, 90, 91, 92, 93};
  EXPECT_EQ(enabled_slots(inputs), expected);
  inputs.has_surface_color_texture = true;
  expected.insert(60);
  EXPECT_EQ(enabled_slots(inputs), expected);
}

TEST(Enabling_Rules, MapModesKeepOnlyTheGeometryGroupSubjectToItsSwitches) {
  for (int32_t mode : {5, 6}) {
    brel::Enabling_Inputs inputs;
    inputs.render_mode = mode;
    inputs.transparency = 1.0;
    inputs.has_surface_color_texture = true;
    std::set<int32_t> expected = {46, 47, 48, 51, 52, 54, 55, 90, 91, 92, 93};
    EXPECT_EQ(enabled_slots(inputs), expected) << mode;
    inputs.pre_blur_iterations = 1;
    inputs.discontinuity_detection = true;
    expected = range(46, 55);
    expected.insert({90, 91, 92, 93});
    EXPECT_EQ(enabled_slots(inputs), expected) << mode;
  }
}

TEST(Enabling_Rules, OpaqueSurfaceKeepsOnlyTheTransparencyBasics) {
  for (int32_t mode : {0, 1, 2}) {
    brel::Enabling_Inputs inputs;
    inputs.render_mode = mode;
    std::set<int32_t> in_group;
    for (int32_t slot : enabled_slots(inputs)) {
      if (slot >= 71 && slot <= 86) {
        in_group.insert(slot);
      }
    }
    EXPECT_EQ(in_group, (std::set<int32_t>{71, 72, 74, 85, 86})) << mode;
    inputs.transparency = 0.25;
    auto states = by_slot(inputs);
    for (int32_t slot = 71; slot <= 86; ++slot) {
      EXPECT_TRUE(states.at(slot)) << "mode " << mode << " slot " << slot;
    }
  }
}

TEST(Enabling_Rules, NotANumberTransparencyCountsAsTransparent) {
  brel::Enabling_Inputs inputs;
  inputs.transparency = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(by_slot(inputs).at(73));
  EXPECT_TRUE(by_slot(inputs).at(84));
}

TEST(Enabling_Rules, NormalTextureDisablesPreBlurAndDiscontinuityWhateverTheirValues) {
  brel::Enabling_Inputs inputs;
  inputs.pre_blur_iterations = 5;
  inputs.discontinuity_detection = true;
  auto states = by_slot(inputs);
  for (int32_t slot = 49; slot <= 53; ++slot) {
    EXPECT_TRUE(states.at(slot)) << slot;
  }
  inputs.has_normal_texture = true;
  states = by_slot(inputs);
  for (int32_t slot = 49; slot <= 53; ++slot) {
    EXPECT_FALSE(states.at(slot)) << slot;
  }
  EXPECT_TRUE(states.at(47));
  EXPECT_TRUE(states.at(54));
}

TEST(Enabling_Rules, ShadowSoftnessFollowsItsLightsShadowsSwitch) {
  brel::Enabling_Inputs inputs;
  inputs.direct_shadows = false;
  auto states = by_slot(inputs);
  EXPECT_FALSE(states.at(12));
  EXPECT_TRUE(states.at(23));
  inputs.direct_shadows = true;
  inputs.point_shadows = false;
  states = by_slot(inputs);
  EXPECT_TRUE(states.at(12));
  EXPECT_FALSE(states.at(23));
}

TEST(Enabling_Rules, EnvironmentControlsNeedAnEnvironmentLayer) {
  brel::Enabling_Inputs inputs;
  EXPECT_EQ(enabled_slots(inputs).count(27), 0u);
  inputs.has_environment_layer = true;
  const std::set<int32_t> on = enabled_slots(inputs);
  for (int32_t slot : {27, 28, 29, 30, 33}) {
    EXPECT_EQ(on.count(slot), 1u) << slot;
  }
  inputs.render_mode = 1;  // no lights in refraction only, layer or not
  const std::set<int32_t> off = enabled_slots(inputs);
  for (int32_t slot : {25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36}) {
    EXPECT_EQ(off.count(slot), 0u) << slot;
  }
}

TEST(Enabling_Rules, OverrideAllDisablesTheFourAntialiasPopupsInEveryMode) {
  for (int32_t mode = 0; mode < 8; ++mode) {
    for (int32_t item = 0; item < 5; ++item) {
      brel::Enabling_Inputs inputs;
      inputs.render_mode = mode;
      inputs.override_all = item;
      const auto states = by_slot(inputs);
      for (int32_t slot = 90; slot <= 93; ++slot) {
        EXPECT_EQ(states.at(slot), item == 0) << "mode " << mode << " item " << item;
      }
    }
  }
}

}  // namespace
