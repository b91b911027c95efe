#include "base/after_effects/after_effects_dynamic_pixel_type_translation.h"

#include <gtest/gtest.h>

#include <string>

#include "base/exception.h"
#include "base/log.h"

namespace {

// The first line of the newest report in the log: it names the failed condition, the source
// position and the message.
std::string last_report_line() {
  const auto messages = brel::global_log().recent_messages();
  if (messages.empty()) {
    return "";
  }
  const std::string& last = messages.back();
  return last.substr(0, last.find('\n'));
}

const char* const incomplete_at_140 =
    "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (ASSERT_INCOMPLETE) in "
    "./base/after_effects/after_effects_dynamic_pixel_type_translation line 140. found "
    "something that needs implementation";
const char* const incomplete_at_165 =
    "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (ASSERT_INCOMPLETE) in "
    "./base/after_effects/after_effects_dynamic_pixel_type_translation line 165. found "
    "something that needs implementation";

// Every case here is refused before a pipeline runs, so the table holds none.
constexpr brel::Render_Pipelines no_pipelines{};

void translate(brel::BREL_Render_Pipeline kind, const brel::Pixel_Description& pixels) {
  const brel::Layer_Typeless frame;
  brel::Pixel_To_Template_Ae<no_pipelines>{}(kind, {}, {}, {}, nullptr, pixels, frame, frame, {});
}

void expect_refused(brel::BREL_Render_Pipeline kind, const brel::Pixel_Description& pixels,
                    const char* report) {
  try {
    translate(kind, pixels);
    ADD_FAILURE() << "no exception";
  } catch (const brel::Exception_Assert& e) {
    EXPECT_STREQ(e.what(), "found something that needs implementation");
  }
  EXPECT_EQ(last_report_line(), report);
}

// Only packed colour in ARGB or BGRA order at 8, 16 or 32 bits reaches a pipeline, and only the
// Cpu pipeline; a non-Cpu pipeline is refused before the pixels are looked at.
TEST(Pixel_Type_Translation, RefusesWhatNoPipelineServes) {
  const auto cpu = brel::BREL_Render_Pipeline_Cpu;
  const auto other = static_cast<brel::BREL_Render_Pipeline>(1);
  const struct {
    brel::BREL_Render_Pipeline kind;
    brel::Pixel_Description pixels;
    const char* report;
  } cases[] = {
      {cpu, {1, 16, 0, 1, 2, 3}, incomplete_at_140},  // red first: neither order
      {cpu, {1, 64, 1, 2, 3, 0}, incomplete_at_140},  // a depth no pipeline has
      {cpu, {1, 8, 2, 1, 0, 0}, incomplete_at_140},   // positions mixed from both orders
      {cpu, {2, 32, 1, 2, 3, 0}, incomplete_at_140},  // not packed colour
      {cpu, {0, 8, 2, 1, 0, 3}, incomplete_at_140},
      {cpu, brel::Pixel_Description{}, incomplete_at_140},
      {other, {1, 32, 1, 2, 3, 0}, incomplete_at_165},
      {other, {7, 7, 7, 7, 7, 7}, incomplete_at_165},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    expect_refused(c.kind, c.pixels, c.report);
  }
}

// A supported frame without a parameter set is refused before any pipeline reads from it.
TEST(Pixel_Type_Translation, RefusesToRunAPipelineWithoutParameters) {
  EXPECT_THROW(translate(brel::BREL_Render_Pipeline_Cpu, {1, 32, 1, 2, 3, 0}),
               brel::Exception_Assert);
  EXPECT_NE(last_report_line().find("(parameters != nullptr)"), std::string::npos)
      << last_report_line();
}

}  // namespace
