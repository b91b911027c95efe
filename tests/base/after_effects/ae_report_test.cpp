#include "base/after_effects/ae_report.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/system_dependencies.h"
#include "support/text_lines.h"

namespace {

using brel::build_plugin_description;
using brel::make_about_text;

// The library's build date as the compiler writes it, "Dec 10 2026". The library may be compiled
// on another day than this test, when a build runs past midnight, so the date is read from the
// text and only its form is checked.
const std::regex build_date("[A-Z][a-z]{2} [ 123][0-9] [0-9]{4}");

// A release's text is read through the plug-in library; earlier stages name themselves and add
// the build time.
TEST(About_Text, EarlierStagesNameThemselvesAndAddTheBuildTime) {
  const auto beta = build_plugin_description("Fx", "", 2, 10, 3, 2, "about", "");
  const std::string text = make_about_text(beta);
  const auto lines = brel::test::lines_of(text);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Fx - V2.10.3 - beta");
  const std::string label = "build date: ";
  ASSERT_EQ(lines[2].rfind(label, 0), 0u);
  const std::string date = lines[2].substr(label.size());
  EXPECT_TRUE(std::regex_match(date, build_date)) << lines[2];
  EXPECT_EQ(lines[3].rfind(label + date + " - ", 0), 0u);
  EXPECT_EQ(lines[3].size(), label.size() + date.size() + 3 + 8);
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(brel::test::lines_of(
                make_about_text(build_plugin_description("Fx", "", 1, 0, 0, 0, "", "")))[0],
            "Fx - V1.0.0 - pre alpha");
  EXPECT_EQ(brel::test::lines_of(
                make_about_text(build_plugin_description("Fx", "", 1, 0, 0, 1, "", "")))[0],
            "Fx - V1.0.0 - alpha");
}

TEST(Environment_Report, SevenLinesEachItsOwnMessage) {
  const auto description = build_plugin_description("Lumbrix", "Quenvari", 1, 1, 1, 3, "", "");
  brel::write_environment_report("After Effects v13.28(app id: FXTC)", description);
  const auto messages = brel::global_log().recent_messages();
  ASSERT_GE(messages.size(), 7u);
  const std::vector<std::string> last(messages.end() - 7, messages.end());
  EXPECT_EQ(last, (std::vector<std::string>{
                      "*** Environment Information ***\n",
                      "    Plugin Host: After Effects v13.28(app id: FXTC)\n",
                      "    Plugin: Lumbrix 1.1.1\n",
                      "    Installation folder: " + brel::module_folder() + "\n",
                      "    Cpu Count: " + std::to_string(brel::cpu_count(0)) + "\n",
                      "    Operating System: " + brel::os_name() + "\n",
                      "----------------------------------\n",
                  }));
}

}  // namespace
