#include "base/exception.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "support/text_lines.h"

// The backtrace names functions through the test program's exported symbols, which functions in
// an unnamed namespace are not: these tests live in a named one.
namespace brel::test {

// The newest message of the process-wide log. Other tests add messages too, so only the newest
// one is looked at, right after the write that made it.
std::string newest_message() {
  const auto messages = global_log().recent_messages();
  return messages.empty() ? std::string() : messages.back();
}

// The text of a caught assertion and the report it logged.
struct Caught {
  std::string what;
  std::string report;
};

template <typename Asserting>
Caught catch_assertion(Asserting asserting) {
  Caught caught;
  try {
    asserting();
    ADD_FAILURE() << "the assertion did not throw";
  } catch (const Exception_Assert& e) {
    caught.what = e.what();
    caught.report = newest_message();
  }
  return caught;
}

const std::string report_head = "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (";

// The report's first line: head, condition, position and message.
std::string first_line(const std::string& report) {
  return report.substr(0, report.find('\n') + 1);
}

TEST(Assertion, CarriesOnlyItsMessageAndLogsTheReportOnConstruction) {
  try {
    BREL_ASSERT_AT(1 + 1 == 3, "tests/base/exception_test", 12);
    FAIL() << "the assertion did not throw";
  } catch (const Exception_Assert& e) {
    EXPECT_STREQ(e.what(), "ASSERT()");
  }
  const std::string report = newest_message();
  EXPECT_EQ(first_line(report),
            report_head + "1 + 1 == 3) in tests/base/exception_test line 12. ASSERT()\n");
  EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
}

TEST(Assertion, FormsPassConditionMessageFileAndLine) {
  const int cpus = 0;
  const std::string here = std::string(BREL_SOURCE) + " line ";
  int line = __LINE__ + 1;
  Caught plain = catch_assertion([&] { BREL_ASSERT(cpus > 0); });
  EXPECT_EQ(plain.what, "ASSERT()");
  EXPECT_EQ(first_line(plain.report),
            report_head + "cpus > 0) in " + here + std::to_string(line) + ". ASSERT()\n");

  line = __LINE__ + 1;
  Caught with_message = catch_assertion([&] { BREL_ASSERT_MSG(cpus == 1, "one processor"); });
  EXPECT_EQ(with_message.what, "one processor");
  EXPECT_EQ(first_line(with_message.report),
            report_head + "cpus == 1) in " + here + std::to_string(line) + ". one processor\n");

  Caught fail = catch_assertion([] { BREL_ASSERT_FAIL_AT("no way here", "util/thread_pool", 94); });
  EXPECT_EQ(fail.what, "no way here");
  EXPECT_EQ(first_line(fail.report),
            report_head + "ASSERT_FAIL) in util/thread_pool line 94. no way here\n");

  Caught incomplete =
      catch_assertion([] { BREL_ASSERT_INCOMPLETE_AT("./util/thread_iteration", 7); });
  EXPECT_EQ(incomplete.what, "found something that needs implementation");
  EXPECT_EQ(first_line(incomplete.report),
            report_head +
                "ASSERT_INCOMPLETE) in ./util/thread_iteration line 7. "
                "found something that needs implementation\n");
}

TEST(Assertion, HoldingConditionNeitherThrowsNorLogs) {
  global_log().write("marker before a holding assertion\n", Log::information);
  const int cpus = 2;
  EXPECT_NO_THROW(BREL_ASSERT(cpus > 0));
  EXPECT_NO_THROW(BREL_ASSERT_MSG(cpus == 2, "two"));
  EXPECT_EQ(newest_message(), "marker before a holding assertion\n");
}

TEST(Assertion, ReportIsLoggedEvenWhenTheExceptionIsNeverThrown) {
  const Exception_Assert constructed("swallowed", "x == y", "base/kernel", 31);
  EXPECT_STREQ(constructed.what(), "swallowed");
  EXPECT_EQ(first_line(newest_message()),
            report_head + "x == y) in base/kernel line 31. swallowed\n");
}

__attribute__((noinline)) void asserting_function(int value) {
  BREL_ASSERT(value == 0);
  asm volatile("" ::: "memory");  // no tail call: this frame stays on the stack
}

TEST(AssertionBacktrace, StartsAtTheAssertingFunctionDemangled) {
  Caught caught = catch_assertion([] { asserting_function(1); });
  const auto lines = lines_of(caught.report);
  ASSERT_GE(lines.size(), 3u);
  // The first frame written, numbered 3, is the function that asserted, its symbol demangled.
  const std::string first_frame =
      "3   " + lines[1].substr(4, 18) + " brel::test::asserting_function(int) + ";
  EXPECT_EQ(lines[1].substr(0, first_frame.size()), first_frame) << caught.report;
  bool test_body_found = false;
  for (const auto& line : lines) {
    test_body_found |= line.find(
                           "brel::test::AssertionBacktrace_StartsAtTheAssertingFunction"
                           "Demangled_Test::TestBody() + ") != std::string::npos;
  }
  EXPECT_TRUE(test_body_found) << caught.report;
  // No frame of the assertion machinery itself.
  EXPECT_EQ(caught.report.find("write_backtrace"), std::string::npos);
  EXPECT_EQ(caught.report.find("throw_assert"), std::string::npos);
  // The report ends with the empty line after the last frame.
  EXPECT_EQ(caught.report.substr(caught.report.size() - 2), "\n\n");
}

__attribute__((noinline)) std::string backtrace_from_here(int32_t skip) {
  std::string text = write_backtrace(skip);
  asm volatile("" ::: "memory");  // keeps this frame on the stack
  return text;
}

TEST(Backtrace, NumbersFramesFromSkipWithAddressesRightAlignedIn18Columns) {
  const std::string text = backtrace_from_here(0);
  const auto lines = lines_of(text);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" brel::write_backtrace[abi:cxx11](int) + "), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" brel::test::backtrace_from_here[abi:cxx11](int) + "), std::string::npos)
      << text;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    ASSERT_GT(line.size(), 23u) << line;
    std::string number = std::to_string(i);
    number.resize(4, ' ');
    EXPECT_EQ(line.substr(0, 4), number) << line;
    const std::string address = line.substr(4, 18);
    const size_t hex = address.find("0x");
    ASSERT_NE(hex, std::string::npos) << line;
    EXPECT_EQ(address.find_first_not_of(' '), hex) << line;
    EXPECT_EQ(address.substr(hex + 2).find_first_not_of("0123456789abcdef"), std::string::npos)
        << line;
    EXPECT_EQ(line[22], ' ') << line;
  }

  const auto skipped = lines_of(backtrace_from_here(1));
  ASSERT_GE(skipped.size(), 2u);
  EXPECT_EQ(skipped[0].substr(0, 4), "1   ");
  EXPECT_NE(skipped[0].find(" brel::test::backtrace_from_here[abi:cxx11](int) + "),
            std::string::npos);
  EXPECT_EQ(skipped.size(), lines.size() - 1);
}

TEST(Backtrace, EchoesEveryRawFrameOnStandardOutput) {
  testing::internal::CaptureStdout();
  const auto lines = lines_of(backtrace_from_here(1));
  const auto echoed = lines_of(testing::internal::GetCapturedStdout());
  EXPECT_EQ(echoed.size(), lines.size());
  ASSERT_FALSE(echoed.empty());
  // The platform's raw text names the program file of the frame.
  EXPECT_NE(echoed[0].find("("), std::string::npos) << echoed[0];
}

TEST(Backtrace, SkippingEveryFrameGivesNoText) {
  EXPECT_EQ(write_backtrace(100000), "");
}

__attribute__((noinline)) std::string backtrace_at_depth(int depth) {
  if (depth == 0) {
    return write_backtrace(0);
  }
  std::string text = backtrace_at_depth(depth - 1);
  asm volatile("" ::: "memory");  // no tail call: every level keeps its frame
  return text;
}

TEST(Backtrace, DeepStackIsCutAt128FramesAndSaysSo) {
  const std::string deep = backtrace_at_depth(200);
  const auto lines = lines_of(deep);
  // 128 frames; a sanitizer that intercepts the capture takes one of them for its own frame.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const size_t frames = 127;
#else
  const size_t frames = 128;
#endif
  ASSERT_EQ(lines.size(), frames + 1);
  EXPECT_EQ(lines[frames - 1].substr(0, 4), std::to_string(frames - 1) + " ");
  EXPECT_EQ(lines[frames], "[truncated]");
  EXPECT_EQ(deep.substr(deep.size() - 12), "[truncated]\n");

  const std::string shallow = backtrace_at_depth(3);
  EXPECT_EQ(shallow.find("[truncated]"), std::string::npos);
}

TEST(Abort, CarriesItsFixedMessage) {
  const Exception_Runtime& abort = Exception_Abort();
  EXPECT_STREQ(abort.what(), "abort computation exception");
}

}  // namespace brel::test
