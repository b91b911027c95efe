#include "base/exception.h"

#include <gtest/gtest.h>

#include "base/log.h"

namespace {

TEST(Assertion, CarriesOnlyItsMessageAndLogsTheReportOnConstruction) {
  const size_t before = brel::global_log().recent_messages().size();
  try {
    BREL_ASSERT_AT(1 + 1 == 3, "tests/base/exception_test", 12);
    FAIL() << "the assertion did not throw";
  } catch (const brel::Exception_Assert& e) {
    EXPECT_STREQ(e.what(), "ASSERT()");
  }
  const auto messages = brel::global_log().recent_messages();
  ASSERT_GT(messages.size(), 0u);
  ASSERT_TRUE(messages.size() > before || messages.size() == brel::Log::default_message_limit);
  const std::string& report = messages.back();
  EXPECT_EQ(report.rfind("-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (1 + 1 == 3) in "
                         "tests/base/exception_test line 12. ASSERT()\n",
                         0),
            0u)
      << report;
  EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
}

}  // namespace
