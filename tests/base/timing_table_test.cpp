#include "base/timing_table.h"

#include <gtest/gtest.h>

#include "support/text_lines.h"

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using brel::Timing_Table;
using brel::test::lines_of;

// A clock the test moves by hand; given a reading, a stop watch that always reads it.
class Hand_Clock final : public brel::Stop_Watch {
 public:
  explicit Hand_Clock(const double& now, double reading = -1.0)
      : now_(now), start_(now), reading_(reading) {}
  void start() override { start_ = now_; }
  void stop() override { stop_ = now_; }
  double elapsed() const override { return reading_ >= 0.0 ? reading_ : now_ - start_; }
  double duration() const override { return reading_ >= 0.0 ? reading_ : stop_ - start_; }

 private:
  const double& now_;
  double start_;
  double stop_ = 0.0;
  double reading_;
};

TEST(Timing_Table_Report, SmallTreeWithNestingReferenceAndSharesIsExact) {
  double now = 0.0;
  Timing_Table table(std::make_unique<Hand_Clock>(now));
  now = 1.0;
  {
    auto a = table.scope_timer("kernel a (Cpu)", 1'500'000'000,
                               std::make_unique<Hand_Clock>(now, 2.5), 1e9);
    now = 1.5;
    {
      auto inner = table.scope_timer("inner", 0, nullptr, 0.0);
      now = 2.5;
    }
    now = 4.0;
  }
  {
    auto b = table.scope_timer("b", 0, nullptr, 0.0);
    // The kernel base stores its workload through the open timer.
    b->timing().workload = 2'000'000'000;
    now = 4.5;
  }
  {
    auto c = table.scope_timer("c", 0, nullptr, 0.0);
    now = 5.0;
    {
      auto d = table.scope_timer("d", 0, nullptr, 0.0);
      now = 6.0;
    }
    now = 7.0;
  }
  now = 8.0;
  // Exclusive durations: root 8 - (3 + 0.5 + 2.5) = 2, a 3 - 1 = 2, c 2.5 - 1 = 1.5; the shares
  // add up to 100 %. The dedicated column of a is its own 2.5 s less its child's 1 s, its
  // bandwidth 1.5 GB / 2.5 s, 60 % of the 1 GB/s reference. b stands beside a without an empty
  // line; c, which has children, is set apart; every list of children ends with an empty line.
  const std::string expected = R"(

                                                                                    duration (s)   dedicated (s)    workload (gb) bandwidth (gb/s)
0.0000   root                                                                   2.0000 ( 25.00%)                           0.0000             0.00
1.0000      kernel a (Cpu)                                                      2.0000 ( 25.00%)          1.5000           1.5000             0.60 ( 60.00% of 1.00)
1.5000         inner                                                            1.0000 ( 12.50%)                           0.0000             0.00

4.0000      b                                                                   0.5000 (  6.25%)                           2.0000             4.00

4.5000      c                                                                   1.5000 ( 18.75%)                           0.0000             0.00
5.0000         d                                                                1.0000 ( 12.50%)                           0.0000             0.00


--------------------------------------------------------------------------------------------------------------------------------------------------------
8.0000                                                                          8.0000 (100.00%)                           3.5000

)";
  EXPECT_EQ(table.report(), expected);
}

TEST(Timing_Table_Void_Scopes, MeasureNothingAndReportTheStreamsNonFiniteText) {
  double now = 0.0;
  Timing_Table table(std::make_unique<Hand_Clock>(now));
  {
    auto outer = table.scope_timer("(Void)", 0, std::make_unique<brel::Stop_Watch_Void>(), 0.0);
    now = 1.0;
    {
      auto inner = table.scope_timer("(Void)", 0, std::make_unique<brel::Stop_Watch_Void>(), 0.0);
      inner->timing().workload = 1'000'000'000;
      now = 3.0;
    }
    now = 4.0;
  }
  // The table's clock still places the scopes.
  EXPECT_EQ(table.root().children.at(0)->end, 4.0);
  const auto lines = lines_of(table.report());
  ASSERT_GE(lines.size(), 6u);
  const size_t dedicated = 9 + 60 + 17 + 10;
  // The outer scope's dedicated time is its 0 s less its child's 2 s; 0 bytes in 0 s.
  EXPECT_EQ(lines[4].substr(dedicated, 16), "         -2.0000");
  EXPECT_NE(lines[4].find("nan", dedicated + 16 + 17), std::string::npos) << lines[4];
  // 1 GB in 0 s.
  EXPECT_EQ(lines[5].substr(dedicated, 16), "          0.0000");
  EXPECT_EQ(lines[5].substr(dedicated + 16), "           1.0000              inf");
}

// A scope closes with its last reference and makes its own parent current, also out of order;
// reset starts a new tree and restarts the clock.
TEST(Timing_Table_Tree, ScopesCloseWithTheirLastReferenceAndResetStartsANewTree) {
  double now = 0.0;
  Timing_Table table(std::make_unique<Hand_Clock>(now));
  auto a = table.scope_timer("a", 0, std::make_unique<Hand_Clock>(now, 0.75), 0.0);
  auto copy = a;
  auto b = table.scope_timer("b", 0, nullptr, 0.0);
  now = 1.0;
  a.reset();
  const Timing_Table::Timing& timing_a = *table.root().children.at(0);
  EXPECT_EQ(timing_a.end, 0.0);
  EXPECT_EQ(timing_a.measured_duration, -1.0);
  now = 5.0;
  copy.reset();  // a's parent, the root, becomes current although b is still open
  EXPECT_EQ(timing_a.end, 5.0);
  EXPECT_EQ(timing_a.measured_duration, 0.75);
  auto c = table.scope_timer("c", 0, nullptr, 0.0);
  EXPECT_EQ(table.root().children.at(1)->name, "c");
  b.reset();  // b's parent, a, becomes current
  auto d = table.scope_timer("d", 0, nullptr, 0.0);
  EXPECT_EQ(timing_a.children.size(), 2u);
  EXPECT_EQ(timing_a.children.at(1)->name, "d");
  d.reset();
  c.reset();

  table.reset();
  EXPECT_TRUE(table.root().children.empty());
  now = 6.0;
  { auto e = table.scope_timer("e", 0, nullptr, 0.0); }
  EXPECT_EQ(table.root().children.at(0)->start, 1.0);  // the clock restarted at 5
}

TEST(Stop_Watch_System, MeasuresWallClockTimeFromStartToStop) {
  brel::Stop_Watch_System watch;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  watch.stop();
  // The sleep lasts at least 20 ms; the upper bound only catches unit errors.
  EXPECT_GE(watch.duration(), 0.020);
  EXPECT_LT(watch.duration(), 2.0);
  EXPECT_GE(watch.elapsed(), watch.duration());
  watch.start();
  EXPECT_LT(watch.elapsed(), 0.019);
}

TEST(Timing_Table_Concurrency, ScopesFromManyThreadsAndReportsLoseNoNode) {
  Timing_Table table;
  constexpr int threads = 4;
  constexpr int scopes = 500;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&table] {
      for (int i = 0; i < scopes; ++i) {
        auto scope = table.scope_timer("s", 1, std::make_unique<brel::Stop_Watch_System>(), 0.0);
      }
    });
  }
  workers.emplace_back([&table] {
    for (int i = 0; i < 20; ++i) {
      EXPECT_FALSE(table.report().empty());
    }
  });
  for (auto& worker : workers) {
    worker.join();
  }
  std::function<int64_t(const Timing_Table::Timing&)> count =
      [&count](const Timing_Table::Timing& node) {
        int64_t n = 1;
        for (const auto& child : node.children) {
          n += count(*child);
        }
        return n;
      };
  EXPECT_EQ(count(table.root()), 1 + threads * scopes);
}

}  // namespace
