#include "param_setting.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "options.h"
#include "plugin_driver.h"
#include "simulated_host.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::Plugin_Driver;
using brel::sim::Simulated_Host;

// The effect's own parameters, as the renderer sees them.
class Param_Setting : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(driver_.global_setup(), PF_Err_NONE);
    ASSERT_EQ(driver_.params_setup(), PF_Err_NONE);
  }
  brel::sim::Parameter_Store& store() { return host_.parameters(); }

  Simulated_Host host_{Host_Identity::after_effects()};
  Plugin_Driver driver_{host_, LUMBRIX_PLUGIN_PATH};
};

std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const lumbrix::Usage_Error& e) {
    return e.what();
  }
  return "";
}

TEST_F(Param_Setting, EveryListedLabelNamesItsParameter) {
  // Each quoted label --list-params prints, typed back as it stands, in capitals, or with
  // blanks around it, finds the parameter it was printed for.
  std::istringstream listing(lumbrix::describe_parameters(store()));
  int32_t checked = 0;
  for (std::string line; std::getline(listing, line);) {
    const size_t open = line.find('"');
    const std::string label = line.substr(open + 1, line.find('"', open + 1) - open - 1);
    const int32_t slot = std::stoi(line.substr(5));
    if (label.empty() || label.back() == '/') {
      continue;  // group ends have no name
    }
    for (const std::string& typed :
         {label, "\"" + label + "\"", "  " + lumbrix::lower_case(label) + " "}) {
      int32_t found = -1;
      const std::string error = message_of([&] { found = lumbrix::find_slot(store(), typed); });
      EXPECT_EQ(found, slot) << typed << ": " << error;
    }
    ++checked;
  }
  EXPECT_GT(checked, 80);
}

TEST_F(Param_Setting, ValuesAreReadLikeTheNames) {
  const int32_t mode = lumbrix::find_slot(store(), "render mode");
  lumbrix::apply_setting(store(), "RENDER MODE", "  Surface Color ", 96, 54);
  EXPECT_EQ(store().at(mode).value.pd.value, 8);  // the host counts items from 1

  const int32_t shadows = lumbrix::find_slot(store(), "direct light/shadows");
  lumbrix::apply_setting(store(), "direct light/shadows", "Off", 96, 54);
  EXPECT_EQ(store().at(shadows).value.bd.value, 0);

  // A point in percent of the frame, or in pixels; the two may mix.
  const int32_t position = lumbrix::find_slot(store(), "point light/position");
  lumbrix::apply_setting(store(), "point light/position", "25%, 50%", 96, 54);
  EXPECT_DOUBLE_EQ(store().at(position).point_x, 24.0);
  EXPECT_DOUBLE_EQ(store().at(position).point_y, 27.0);
  lumbrix::apply_setting(store(), "point light/position", "10,12.5%", 96, 54);
  EXPECT_DOUBLE_EQ(store().at(position).point_x, 10.0);
  EXPECT_DOUBLE_EQ(store().at(position).point_y, 6.75);

  EXPECT_EQ(
      message_of([&] { lumbrix::apply_setting(store(), "point light/position", "50%", 96, 54); }),
      "\"_POINT LIGHT_/position\" takes X,Y in pixels or percent, not '50%'");
}

TEST_F(Param_Setting, AmbiguityAndMisspellingsNameTheCandidates) {
  EXPECT_EQ(message_of([&] { lumbrix::find_slot(store(), "light intensit"); }),
            "no parameter is named \"light intensit\"; did you mean \"light intensity\"?");
  // Several close names are offered nearest first.
  EXPECT_EQ(message_of([&] { lumbrix::find_slot(store(), "direct light/shadow"); }),
            "no parameter is named \"direct light/shadow\"; did you mean "
            "\"_DIRECT LIGHT_/shadows\"?");
  const std::string ambiguous = message_of([&] { lumbrix::find_slot(store(), "Shadows"); });
  EXPECT_NE(ambiguous.find("is ambiguous; choose one of: \"_DIRECT LIGHT_/shadows\" (slot 11) "
                           "\"_POINT LIGHT_/shadows\" (slot 22)"),
            std::string::npos)
      << ambiguous;
  EXPECT_EQ(message_of([&] { lumbrix::find_slot(store(), "slot: x"); }),
            "'slot: x' needs a whole number after slot:");
}

}  // namespace
