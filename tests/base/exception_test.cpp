#include "base/exception.h"

#include <gtest/gtest.h>

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

// Checks a caught assertion's text, its report's first line and the empty line that ends it.
void expect_caught(const Caught& caught, const std::string& what, const std::string& first) {
  EXPECT_EQ(caught.what, what);
  EXPECT_EQ(caught.report.substr(0, caught.report.find('\n') + 1), report_head + first);
  EXPECT_EQ(caught.report.substr(caught.report.size() - 2), "\n\n");
}

TEST(Assertion, FormsCarryTheirMessageAndLogConditionFileAndLine) {
  const int cpus = 0;
  const std::string here = std::string(BREL_SOURCE) + " line ";
  int line = __LINE__ + 1;
  expect_caught(catch_assertion([&] { BREL_ASSERT(cpus > 0); }), "ASSERT()",
                "cpus > 0) in " + here + std::to_string(line) + ". ASSERT()\n");
  line = __LINE__ + 1;
  Caught with_message = catch_assertion([&] { BREL_ASSERT_MSG(cpus == 1, "one processor"); });
  expect_caught(with_message, "one processor",
                "cpus == 1) in " + here + std::to_string(line) + ". one processor\n");
  expect_caught(catch_assertion([] { BREL_ASSERT_FAIL_AT("no way here", "util/thread_pool", 94); }),
                "no way here", "ASSERT_FAIL) in util/thread_pool line 94. no way here\n");
  expect_caught(catch_assertion([] { BREL_ASSERT_INCOMPLETE_AT("./util/thread_iteration", 7); }),
                "found something that needs implementation",
                "ASSERT_INCOMPLETE) in ./util/thread_iteration line 7. found something that "
                "needs implementation\n");
  // The report is logged on construction, even when the exception is never thrown.
  const std::string swallowed = Exception_Assert("swallowed", "x == y", "base/kernel", 31).what();
  expect_caught({swallowed, newest_message()}, "swallowed",
                "x == y) in base/kernel line 31. swallowed\n");

  global_log().write("marker before holding assertions\n", Log::information);
  EXPECT_NO_THROW(BREL_ASSERT(cpus == 0));
  EXPECT_NO_THROW(BREL_ASSERT_MSG(cpus == 0, "zero"));
  EXPECT_EQ(newest_message(), "marker before holding assertions\n");
}

__attribute__((noinline)) void asserting_function(int value) {
  BREL_ASSERT(value == 0);
  asm volatile("" ::: "memory");  // no tail call: this frame stays on the stack
}

// Frames are numbered in 4 columns from the skipped count, addresses right-aligned in 18.
void expect_frames_from(const std::vector<std::string>& lines, size_t first) {
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string number = std::to_string(first + i);
    number.resize(4, ' ');
    EXPECT_EQ(lines[i].substr(0, 4), number) << lines[i];
    const std::string address = lines[i].substr(4, 19);
    const size_t hex = address.find("0x");
    EXPECT_TRUE(hex != std::string::npos && hex < 16 && address.find_first_not_of(' ') == hex &&
                address.find_first_not_of("0123456789abcdef", hex + 2) == 18 && address[18] == ' ')
        << lines[i];
  }
}

TEST(Assertion_Backtrace, StartsAtTheAssertingFunctionDemangled) {
  Caught caught = catch_assertion([] { asserting_function(1); });
  auto lines = lines_of(caught.report);
  ASSERT_GE(lines.size(), 3u);
  // The first frame written, numbered 3, is the function that asserted, its symbol demangled.
  EXPECT_EQ(lines[1].substr(22, 39), " brel::test::asserting_function(int) + ") << caught.report;
  EXPECT_NE(caught.report.find("brel::test::Assertion_Backtrace_StartsAtTheAssertingFunction"
                               "Demangled_Test::TestBody() + "),
            std::string::npos)
      << caught.report;
  EXPECT_EQ(caught.report.find("write_backtrace"), std::string::npos);
  EXPECT_EQ(caught.report.find("throw_assert"), std::string::npos);
  expect_frames_from({lines.begin() + 1, lines.end() - 1}, 3);
}

__attribute__((noinline)) std::string backtrace_from_here(int32_t skip) {
  std::string text = write_backtrace(skip);
  asm volatile("" ::: "memory");  // keeps this frame on the stack
  return text;
}

__attribute__((noinline)) std::string backtrace_at_depth(int depth) {
  if (depth == 0) {
    return write_backtrace(0);
  }
  std::string text = backtrace_at_depth(depth - 1);
  asm volatile("" ::: "memory");  // no tail call: every level keeps its frame
  return text;
}

TEST(Backtrace, StartsAfterTheSkippedFramesAndEchoesEachOnStandardOutput) {
  testing::internal::CaptureStdout();
  const auto lines = lines_of(backtrace_from_here(0));
  EXPECT_EQ(lines_of(testing::internal::GetCapturedStdout()).size(), lines.size());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" brel::write_backtrace[abi:cxx11](int) + "), std::string::npos);
  EXPECT_NE(lines[1].find(" brel::test::backtrace_from_here[abi:cxx11](int) + "),
            std::string::npos);
  expect_frames_from(lines, 0);
  const auto skipped = lines_of(backtrace_from_here(1));
  EXPECT_EQ(skipped.size(), lines.size() - 1);
  expect_frames_from(skipped, 1);
  EXPECT_EQ(write_backtrace(100000), "");
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
  EXPECT_EQ(deep.substr(deep.size() - 12), "[truncated]\n");
  EXPECT_EQ(backtrace_at_depth(3).find("[truncated]"), std::string::npos);
}

}  // namespace brel::test
