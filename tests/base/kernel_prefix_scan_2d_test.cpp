#include "base/kernel_prefix_scan_2d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "base/exception.h"
#include "support/standalone_render.h"
#include "util/memory_2d.h"

namespace {

template <class S, class D>
using Scan = brel::Kernel_Prefix_Scan_2d<brel::Layer<S>, brel::Layer<D>, brel::Implementation_Cpu>;

// A layer of P over padded system memory whose channels start out as `value()`, or `fill`.
template <class P>
struct Test_Layer {
  template <class Value>
  Test_Layer(int64_t width, int64_t height, Value value)
      : memory(std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(width * sizeof(P), height)) {
    view.width = width;
    view.height = height;
    view.pixels = reinterpret_cast<P*>(memory->data());
    view.row_bytes = memory->pitch();
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        for (auto& channel : view.row(y)[x].channel) {
          channel = static_cast<typename brel::Pixel_Traits<P>::Channel>(value());
        }
      }
    }
  }
  Test_Layer(int64_t width, int64_t height, float fill = -1.0f)
      : Test_Layer(width, height, [fill] { return fill; }) {}

  P& at(int64_t x, int64_t y) const { return view.row(y)[x]; }

  std::shared_ptr<brel::Memory_2d_Cpu_System_Lazy> memory;
  brel::Layer<P> view;
};

template <class S, class D>
void run_scan(const Test_Layer<S>& source, const Test_Layer<D>& destination, bool vertical,
              int64_t threads) {
  brel::test::Standalone_Render render(threads);
  Scan<S, D> scan;
  scan.parameters_in.source = source.view;
  scan.parameters_in.destination = destination.view;
  scan.parameters_in.vertical_pass = vertical;
  scan.execute(render.context);
}

// The summed-area table written out directly: each entry sums its rectangle from scratch, in
// the kernel's order (along the row, then the row sums downwards), so float results agree
// exactly.
template <class S, class D>
void expect_summed_area_table(const Test_Layer<S>& source, const Test_Layer<D>& destination,
                              bool vertical) {
  constexpr int32_t channels = brel::Pixel_Traits<S>::channel_count;
  using Sum = typename brel::Pixel_Traits<D>::Channel;
  for (int64_t y = 0; y < source.view.height; ++y) {
    for (int64_t x = 0; x < source.view.width; ++x) {
      for (int32_t c = 0; c < channels; ++c) {
        Sum total = 0;
        for (int64_t j = vertical ? 0 : y; j <= y; ++j) {
          Sum row_sum = 0;
          for (int64_t i = 0; i <= x; ++i) {
            row_sum += static_cast<Sum>(source.at(i, j).channel[c]);
          }
          total = j == (vertical ? 0 : y) ? row_sum : total + row_sum;
        }
        ASSERT_EQ(destination.at(x, y).channel[c], total)
            << "pixel " << x << ", " << y << " channel " << c;
      }
    }
  }
}

// All ones: each entry counts the pixels of its rectangle (of its row without the vertical pass).
TEST(Kernel_Prefix_Scan_2d, OnesGiveTheCountOfTheRectangle) {
  for (const int64_t threads : brel::test::thread_counts) {
    for (const bool vertical : {true, false}) {
      Test_Layer<brel::RGB32f> source(5, 2, 1.0f);
      Test_Layer<brel::RGB32f> destination(5, 2);
      run_scan(source, destination, vertical, threads);
      for (int64_t y = 0; y < 2; ++y) {
        for (int64_t x = 0; x < 5; ++x) {
          for (const float channel : destination.at(x, y).channel) {
            ASSERT_EQ(channel, static_cast<float>((x + 1) * (vertical ? y + 1 : 1)))
                << x << ", " << y;
          }
        }
      }
    }
  }
}

// Integer channels are summed as stored, alpha included, and channel positions are kept.
TEST(Kernel_Prefix_Scan_2d, IntegerChannelsAreSummedAsStoredAndZeroWidthWritesNothing) {
  Test_Layer<brel::BGRA16> words(2, 1, 0.0f);
  words.at(0, 0) = brel::BGRA16{{1, 2, 32768, 65535}};
  words.at(1, 0) = brel::BGRA16{{10, 20, 30, 40}};
  Test_Layer<brel::BGRA32f> word_sums(2, 1);
  run_scan(words, word_sums, true, 2);
  const float* sums = word_sums.at(1, 0).channel;
  EXPECT_EQ(std::vector<float>(sums, sums + 4), (std::vector<float>{11, 22, 32798, 65575}));

  // Nothing to sum: a zero-width destination view over real memory keeps what it held.
  Test_Layer<brel::RGB32f> empty(0, 3);
  Test_Layer<brel::RGB32f> untouched(2, 3, -1.0f);
  Test_Layer<brel::RGB32f> zero_width = untouched;
  zero_width.view.width = 0;
  run_scan(empty, zero_width, true, 2);
  EXPECT_EQ(untouched.at(1, 2).channel[0], -1.0f);
  EXPECT_EQ(untouched.at(0, 1).channel[2], -1.0f);
  EXPECT_EQ((Scan<brel::RGB32f, brel::RGB32f>().name()), "2d inclusive prefix sum scan");
}

TEST(Kernel_Prefix_Scan_2d, DestinationSmallerThanTheSourceIsRefused) {
  Test_Layer<brel::RGB32f> source(4, 3, 1.0f);
  for (const auto& [width, height] : {std::pair<int64_t, int64_t>{3, 3}, {4, 2}}) {
    Test_Layer<brel::RGB32f> destination(width, height, -1.0f);
    EXPECT_THROW(run_scan(source, destination, true, 2), brel::Exception_Assert);
    EXPECT_EQ(destination.at(0, 0).channel[0], -1.0f);
  }
}

// Random integer-valued channels on layers whose widths do not divide among the threads (517
// spans several column blocks even on one thread); every instantiation against the directly
// written table, at every thread count.
template <class S, class D>
void expect_matches_direct_table() {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> value(0, brel::Pixel_Traits<S>::is_integer ? 255 : 4);
  for (const int64_t threads : brel::test::thread_counts) {
    for (const auto& [width, height] :
         {std::pair<int64_t, int64_t>{1, 1}, {7, 3}, {131, 9}, {3, 70}, {517, 4}}) {
      Test_Layer<S> source(width, height, [&] { return static_cast<float>(value(random)); });
      for (const bool vertical : {true, false}) {
        Test_Layer<D> destination(width, height);
        run_scan(source, destination, vertical, threads);
        expect_summed_area_table(source, destination, vertical);
      }
    }
  }
}

TEST(Kernel_Prefix_Scan_2d, EveryInstantiationMatchesTheDirectTable) {
  expect_matches_direct_table<brel::ARGB8, brel::ARGB32f>();
  expect_matches_direct_table<brel::BGRA8, brel::BGRA32f>();
  expect_matches_direct_table<brel::ARGB16, brel::ARGB32f>();
  expect_matches_direct_table<brel::BGRA16, brel::BGRA32f>();
  expect_matches_direct_table<brel::ARGB32f, brel::ARGB32f>();
  expect_matches_direct_table<brel::BGRA32f, brel::BGRA32f>();
  expect_matches_direct_table<brel::RGB32f, brel::RGB32f>();
  // The gatherers' tables, in double.
  expect_matches_direct_table<brel::ARGB8, brel::ARGB64f>();
  expect_matches_direct_table<brel::BGRA16, brel::BGRA64f>();
  expect_matches_direct_table<brel::BGRA32f, brel::BGRA64f>();
  expect_matches_direct_table<brel::RGB32f, brel::RGB64f>();
}

// Float channels of widely differing magnitudes round at nearly every addition: each entry must
// be rounded as the row's running sum and then the table row above added, whichever share of
// the columns a thread makes, and wherever the shares start; shares narrow enough to be summed
// in a worker's buffer and written past the cache, and wider ones.
template <class S, class D>
void expect_rounding_of_the_direct_table() {
  std::mt19937 random(23);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 30);
  for (const int64_t threads : brel::test::thread_counts) {
    for (const auto& [width, height] : {std::pair<int64_t, int64_t>{1, 5},
                                        {2, 3},
                                        {9, 4},
                                        {131, 9},
                                        {3, 70},
                                        {517, 3},
                                        {2085, 2}}) {
      Test_Layer<S> source(width, height,
                           [&] { return std::ldexp(mantissa(random), exponent(random)); });
      Test_Layer<D> destination(width, height);
      run_scan(source, destination, true, threads);
      expect_summed_area_table(source, destination, true);
    }
  }
}

TEST(Kernel_Prefix_Scan_2d, FloatSumsRoundAlongTheRowThenDownTheColumns) {
  expect_rounding_of_the_direct_table<brel::RGB32f, brel::RGB32f>();
  expect_rounding_of_the_direct_table<brel::ARGB32f, brel::ARGB32f>();
  expect_rounding_of_the_direct_table<brel::RGB32f, brel::RGB64f>();
  expect_rounding_of_the_direct_table<brel::BGRA32f, brel::BGRA64f>();
}

// Runs the scan on one thread, cutting it into `shares` iterations and running the indices of
// `order` one after the other, each iteration reporting that many workers.
template <class S, class D>
void run_scan_in_order(const Test_Layer<S>& source, const Test_Layer<D>& destination,
                       int64_t shares, std::vector<int64_t> order) {
  brel::test::Standalone_Render render(1);
  render.context.iteration_count = [shares](int64_t) { return shares; };
  render.context.parallel_for = [order, shares](int64_t count,
                                                std::function<void(const brel::Iteration&)> job) {
    ASSERT_EQ(count, shares);
    for (const int64_t index : order) {
      job(brel::Iteration{index, count, 0, shares});
    }
  };
  Scan<S, D> scan;
  scan.parameters_in.source = source.view;
  scan.parameters_in.destination = destination.view;
  scan.execute(render.context);
}

// Each share starts its rows from the running sum where the share to its left ends them: taken
// from that share when it has got there first, carried on from further left (or from the row's
// start) when not. Shares run left to right (every sum handed on), right to left (none), and
// mixed; narrow shares (summed in a buffer) and wide ones (in place). The rounding-sensitive
// sums must be the direct table's whichever way a share came by its start.
template <class S, class D>
void expect_shares_in_any_order_give_the_direct_table() {
  std::mt19937 random(29);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 30);
  // Widths of 517 give narrow shares; 3100 in three shares gives wide ones.
  const std::vector<std::vector<int64_t>> orders = {{0, 1, 2, 3, 4, 5, 6, 7},
                                                    {7, 6, 5, 4, 3, 2, 1, 0},
                                                    {1, 3, 5, 7, 0, 2, 4, 6},
                                                    {2, 0, 1},
                                                    {2, 1, 0}};
  for (const std::vector<int64_t>& order : orders) {
    const auto shares = static_cast<int64_t>(order.size());
    for (const int64_t width : {517, 3100}) {
      Test_Layer<S> source(width, 3,
                           [&] { return std::ldexp(mantissa(random), exponent(random)); });
      Test_Layer<D> destination(width, 3);
      run_scan_in_order(source, destination, shares, order);
      SCOPED_TRACE(::testing::Message()
                   << "shares " << shares << " first " << order[0] << " width " << width);
      expect_summed_area_table(source, destination, true);
    }
  }
}

TEST(Kernel_Prefix_Scan_2d, SharesInAnyOrderStartFromTheSameSums) {
  expect_shares_in_any_order_give_the_direct_table<brel::RGB32f, brel::RGB64f>();
  expect_shares_in_any_order_give_the_direct_table<brel::ARGB32f, brel::ARGB32f>();
}

// A share that never runs (a loop hands out no more indices after a failure) holds none of the
// others up: they finish with their own columns right, and its columns keep what they held.
TEST(Kernel_Prefix_Scan_2d, ASkippedShareHoldsNoneOfTheOthersUp) {
  Test_Layer<brel::RGB32f> source(40, 4, [n = 0]() mutable { return static_cast<float>(++n); });
  Test_Layer<brel::RGB64f> direct(40, 4);
  run_scan(source, direct, true, 1);
  Test_Layer<brel::RGB64f> destination(40, 4, -1.0f);
  run_scan_in_order(source, destination, 4, {0, 2, 3});
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 40; ++x) {
      const double expected = x >= 10 && x < 20 ? -1.0 : direct.at(x, y).channel[1];
      ASSERT_EQ(destination.at(x, y).channel[1], expected) << x << ", " << y;
    }
  }
}

}  // namespace
