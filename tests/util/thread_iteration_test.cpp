#include "util/thread_iteration.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/exception.h"
#include "base/log.h"

namespace {

using Range = std::pair<int64_t, int64_t>;

std::vector<Range> split(int64_t n, int64_t iterations) {
  std::vector<Range> ranges;
  for (int64_t i = 0; i < iterations; ++i) {
    ranges.push_back(brel::thread_iteration_range(brel::Iteration{i, iterations, 0, 1}, n));
  }
  return ranges;
}

// Equal blocks of n / iterations rows; the last iteration takes the remainder, also when there
// are fewer rows than iterations.
TEST(Thread_Iteration_Range, LastIterationTakesTheRemainderAndAnIndexAtTheCountAsserts) {
  EXPECT_EQ(split(7, 3), (std::vector<Range>{{0, 2}, {2, 4}, {4, 7}}));
  EXPECT_EQ(split(9, 3), (std::vector<Range>{{0, 3}, {3, 6}, {6, 9}}));
  EXPECT_EQ(split(5, 1), (std::vector<Range>{{0, 5}}));
  EXPECT_EQ(split(2, 4), (std::vector<Range>{{0, 0}, {0, 0}, {0, 0}, {0, 2}}));
  EXPECT_EQ(split(0, 3), (std::vector<Range>{{0, 0}, {0, 0}, {0, 0}}));

  // An index at the count, or no iterations at all (not a division by zero), asserts.
  EXPECT_THROW(brel::thread_iteration_range(brel::Iteration{3, 3, 0, 1}, 10),
               brel::Exception_Assert);
  const auto messages = brel::global_log().recent_messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_NE(
      messages.back().find("(index < iterations) in ./util/thread_iteration line 34. ASSERT()"),
      std::string::npos)
      << messages.back();
  EXPECT_THROW(brel::thread_iteration_range(brel::Iteration{-1, 0, 0, 1}, 10),
               brel::Exception_Assert);
}

std::vector<Range> grains(int64_t n, int64_t grain) {
  std::vector<Range> ranges;
  const int64_t iterations = brel::grain_iteration_count(n, grain);
  for (int64_t i = 0; i < iterations; ++i) {
    ranges.push_back(brel::grain_iteration_range(brel::Iteration{i, iterations, 0, 1}, n, grain));
  }
  return ranges;
}

// Whole grains from the start, the last iteration the rest; no units, no iteration.
TEST(Grain_Iteration_Range, GrainsFromTheStartAndTheRestLast) {
  EXPECT_EQ(grains(10, 4), (std::vector<Range>{{0, 4}, {4, 8}, {8, 10}}));
  EXPECT_EQ(grains(8, 4), (std::vector<Range>{{0, 4}, {4, 8}}));
  EXPECT_EQ(grains(3, 64), (std::vector<Range>{{0, 3}}));
  EXPECT_TRUE(grains(0, 8).empty());
  // Fewer iterations than grains: the last one takes what is left.
  EXPECT_EQ(brel::grain_iteration_range(brel::Iteration{1, 2, 0, 1}, 10, 3), (Range{3, 10}));
  EXPECT_THROW(brel::grain_iteration_count(5, 0), brel::Exception_Assert);
  EXPECT_THROW(brel::grain_iteration_range(brel::Iteration{2, 2, 0, 1}, 10, 3),
               brel::Exception_Assert);
}

}  // namespace
