#include "base/kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <string>
#include <vector>

#include "base/exception.h"
#include "support/standalone_render.h"

namespace {

using brel::test::Active_Log;
using brel::test::Standalone_Render;

// One run of the row kernel: how often each row was done, and what an abort did to the loop.
struct Rows {
  Rows(Standalone_Render& render, int64_t height)
      : aborted(&render.aborted), hits(static_cast<size_t>(height)) {}

  void row(int64_t y) {
    if (y == abort_row) {
      aborted->store(true);
    }
    hits[static_cast<size_t>(y)].fetch_add(1);
    if (aborted->load()) {
      rows_after_abort.fetch_add(1);
    }
  }
  int64_t height() const { return static_cast<int64_t>(hits.size()); }
  int64_t rows_done() const { return std::accumulate(hits.begin(), hits.end(), int64_t{0}); }

  std::atomic<bool>* aborted;
  int64_t abort_row = -1;  // the row whose start raises the abort flag; -1: none
  std::vector<std::atomic<int>> hits;
  std::atomic<int64_t> rows_after_abort{0};  // rows finished while the flag was up
  std::atomic<int64_t> iterations_seen{0};
};

// Scheme A: one row per iteration.
void row_per_iteration(const brel::Iteration& iteration, brel::Render_Context context, Rows* rows) {
  rows->iterations_seen.store(iteration.iterations);
  rows->row(iteration.index);
  context.check_abort();
}

// Scheme B: a block of rows per iteration.
void block_per_iteration(const brel::Iteration& iteration, brel::Render_Context context,
                         Rows* rows) {
  rows->iterations_seen.store(iteration.iterations);
  const auto [begin, end] = brel::thread_iteration_range(iteration, rows->height());
  for (int64_t y = begin; y < end; ++y) {
    rows->row(y);
    context.check_abort();
  }
}

class Kernel_Rows final : public brel::Kernel_Implementation<brel::Implementation_Cpu> {
 public:
  Kernel_Rows(bool split, Rows& rows) : split_(split), rows_(&rows) {}
  std::string name() const override { return "rows"; }
  int64_t workload() const override { return rows_->height() * 4; }
  void run(brel::Render_Context context) override {
    if (split_) {
      const int64_t count = context.iteration_count(rows_->height());
      brel::cpu_kernel_launch(count, block_per_iteration, context, rows_);
    } else {
      brel::cpu_kernel_launch(rows_->height(), row_per_iteration, context, rows_);
    }
  }

 private:
  bool split_;
  Rows* rows_;
};

// Keeps the base's name and workload.
class Kernel_Plain final : public brel::Kernel_Implementation<brel::Implementation_Cpu> {
 public:
  void run(brel::Render_Context) override { ++runs; }
  int runs = 0;
};

TEST(Kernel, BothSchemesCoverEveryRowOnce) {
  for (const int64_t workers : {1, 2, 4}) {
    for (const bool split : {false, true}) {
      for (const int64_t height : {1, 3, 37}) {
        Standalone_Render render(workers);
        Rows rows(render, height);
        Kernel_Rows(split, rows).execute(render.context);
        SCOPED_TRACE(testing::Message()
                     << workers << " workers, split " << split << ", height " << height);
        for (const auto& hit : rows.hits) {
          EXPECT_EQ(hit.load(), 1);
        }
        // Scheme A hands the loop one iteration per row; scheme B at most one per worker.
        EXPECT_EQ(rows.iterations_seen.load(), split ? std::min(workers, height) : height);
      }
    }
  }
}

// The context copies a kernel run works on: the poll counts every abort check.
struct Counting_Context {
  explicit Counting_Context(Standalone_Render& render) : context(render.context) {
    const auto poll = render.context.check_abort;
    context.check_abort = [this, poll] {
      polls.fetch_add(1);
      poll();
    };
  }
  std::atomic<int64_t> polls{0};
  brel::Render_Context context;
};

// execute polls once, then runs in a scope named "<name> (Cpu)" with the kernel's workload (the
// base's name and 0 when the kernel gives none); raised before, an abort runs nothing and opens
// no scope.
TEST(Kernel, ExecutePollsThenRunsInANamedTimedScope) {
  Active_Log active;
  Standalone_Render render(3);
  Counting_Context counting(render);
  Rows rows(render, 10);
  Kernel_Rows(true, rows).execute(render.context);
  Kernel_Plain plain;
  plain.execute(counting.context);
  EXPECT_EQ(counting.polls.load(), 1);
  EXPECT_EQ(plain.runs, 1);
  const auto& children = render.timing_table.root().children;
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[0]->name, "rows (Cpu)");
  EXPECT_EQ(children[0]->workload, 10 * 4);
  EXPECT_EQ(children[0]->measured_duration, -1.0);  // timed by the table's clock
  EXPECT_EQ(children[1]->name, "kernel without a name (Cpu)");
  EXPECT_EQ(children[1]->workload, 0);

  render.aborted = true;
  EXPECT_THROW(plain.execute(counting.context), brel::Exception_Abort);
  EXPECT_EQ(plain.runs, 1);
  EXPECT_EQ(children.size(), 2u);
}

// An abort raised inside the loop ends it with Exception_Abort: each worker finishes at most
// the row it is in (or the one it takes just as the flag goes up), and the kernel's scope is
// closed with workload 0.
TEST(Kernel, AbortDuringTheLoopStopsEveryWorkerWithinOneRow) {
  for (const int64_t workers : {1, 2, 4}) {
    for (const bool split : {false, true}) {
      SCOPED_TRACE(testing::Message() << workers << " workers, split " << split);
      Active_Log active;
      Standalone_Render render(workers);
      const int64_t height = 2000;
      Rows rows(render, height);
      rows.abort_row = split ? 3 : 40;  // in the first block of scheme B
      EXPECT_THROW(Kernel_Rows(split, rows).execute(render.context), brel::Exception_Abort);

      EXPECT_GE(rows.rows_after_abort.load(), 1);  // the raising row itself
      EXPECT_LE(rows.rows_after_abort.load(), workers);
      EXPECT_LT(rows.rows_done(), height);

      const auto& root = render.timing_table.root();
      ASSERT_EQ(root.children.size(), 1u);
      EXPECT_EQ(root.children[0]->name, "rows (Cpu)");
      EXPECT_EQ(root.children[0]->workload, 0);
      // The scope was closed: the next one opens beside it, not inside it.
      render.timing_table.scope_timer("after", 0, nullptr, 0.0);
      EXPECT_EQ(root.children.size(), 2u);
    }
  }
}

// The launch polls once per row and once after the loop, so an empty launch still polls once.
TEST(Cpu_Kernel_Launch, PollsOncePerRowAndOnceAfterTheLoop) {
  Standalone_Render render(3);
  Counting_Context counting(render);
  Rows rows(render, 25);
  brel::cpu_kernel_launch(25, row_per_iteration, counting.context, &rows);
  EXPECT_EQ(rows.rows_done(), 25);
  EXPECT_EQ(counting.polls.load(), 26);

  brel::cpu_kernel_launch(0, row_per_iteration, counting.context, &rows);
  EXPECT_EQ(rows.rows_done(), 25);
  EXPECT_EQ(counting.polls.load(), 27);
  render.aborted = true;
  EXPECT_THROW(brel::cpu_kernel_launch(0, row_per_iteration, counting.context, &rows),
               brel::Exception_Abort);
  EXPECT_EQ(counting.polls.load(), 28);
}

}  // namespace
