#include "effect/enabling_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <set>

namespace {

using brel::Enabling_Inputs;

std::set<int32_t> enabled_slots(const Enabling_Inputs& inputs) {
  std::set<int32_t> seen, enabled;
  for (const brel::Enabling& e : brel::enabling_rules(inputs)) {
    EXPECT_TRUE(seen.insert(e.slot).second) << "slot " << e.slot << " set twice";
    if (e.enabled) {
      enabled.insert(e.slot);
    }
  }
  return enabled;
}

// The controls whose state differs from the one the same render mode gives with every switch at
// its default. The defaults of each mode are checked through the host.
std::set<int32_t> toggled(const Enabling_Inputs& inputs) {
  const std::set<int32_t> a = enabled_slots({.render_mode = inputs.render_mode});
  const std::set<int32_t> b = enabled_slots(inputs);
  std::set<int32_t> diff;
  std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(),
                                std::inserter(diff, diff.end()));
  return diff;
}

TEST(Enabling_Rules, EachSwitchTogglesItsControlsOnlyInTheModesThatUseThem) {
  const std::set<int32_t> transparent = {73, 75, 76, 77, 78, 79, 80, 81, 82, 83, 84};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    Enabling_Inputs inputs;
    std::set<int32_t> toggled;
  } cases[] = {
      {{.direct_shadows = false}, {12}},
      {{.render_mode = 3, .point_shadows = false}, {23}},
      {{.has_environment_layer = true}, {27, 28, 29, 30, 33}},
      {{.render_mode = 1, .has_environment_layer = true}, {}},  // no lights, layer or not
      {{.render_mode = 6, .pre_blur_iterations = 1}, {49, 50}},
      {{.render_mode = 5, .discontinuity_detection = true}, {53}},
      // A normal texture disables pre blur and discontinuity detection whatever their values.
      {{.has_normal_texture = true, .pre_blur_iterations = 5, .discontinuity_detection = true},
       {51, 52}},
      {{.render_mode = 7, .has_surface_color_texture = true}, {60}},
      {{.render_mode = 7,
        .has_environment_layer = true,
        .pre_blur_iterations = 3,
        .transparency = 0.5},
       {}},
      {{.render_mode = 5, .has_surface_color_texture = true, .transparency = 1.0}, {}},
      {{.render_mode = 1, .transparency = 0.25}, transparent},
      {{.render_mode = 2, .transparency = nan}, transparent},  // NaN is not 0: transparent
      {{.render_mode = 4, .transparency = 1.0}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toggled(c.inputs), c.toggled) << "case " << &c - cases;
  }
  for (int32_t mode = 0; mode < 8; ++mode) {
    for (int32_t item = 1; item < 5; ++item) {
      EXPECT_EQ(toggled({.render_mode = mode, .override_all = item}),
                (std::set<int32_t>{90, 91, 92, 93}))
          << "mode " << mode << " override all " << item;
    }
  }
}

}  // namespace
