#include "base/kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

using brel::test::Active_Log;
using brel::test::Standalone_Render;

// What one run of the stamp kernel counts.
struct Stamp_Counters {
  std::atomic<bool>* aborted = nullptr;
  int64_t abort_row = -1;  // the row whose start raises the abort flag; -1: none
  std::atomic<int64_t> rows_done{0};
  std::atomic<int64_t> rows_after_abort{0};  // rows finished while the flag was up
  std::atomic<int64_t> iterations_seen{0};
};

struct Stamp_Parameters {
  brel::Layer<float> output;
  Stamp_Counters* counters;
};

// Writes y into every pixel of row y.
void stamp_row(const Stamp_Parameters& in, int64_t y) {
  Stamp_Counters& counters = *in.counters;
  if (y == counters.abort_row) {
    counters.aborted->store(true);
  }
  std::fill(in.output.row(y), in.output.row(y) + in.output.width, static_cast<float>(y));
  counters.rows_done.fetch_add(1);
  if (counters.aborted->load()) {
    counters.rows_after_abort.fetch_add(1);
  }
}

// Scheme A: one row per iteration.
void stamp_per_row(const brel::Iteration& iteration, brel::Render_Context context,
                   Stamp_Parameters in) {
  in.counters->iterations_seen.store(iteration.iterations);
  stamp_row(in, iteration.index);
  context.check_abort();
}

// Scheme B: a block of rows per iteration.
void stamp_split(const brel::Iteration& iteration, brel::Render_Context context,
                 Stamp_Parameters in) {
  in.counters->iterations_seen.store(iteration.iterations);
  const auto [begin, end] = brel::thread_iteration_range(iteration, in.output.height);
  for (int64_t y = begin; y < end; ++y) {
    stamp_row(in, y);
    context.check_abort();
  }
}

class Kernel_Stamp final : public brel::Kernel_Implementation<brel::Implementation_Cpu> {
 public:
  Kernel_Stamp(bool split, Stamp_Parameters in) : split_(split), in_(in) {}
  std::string name() const override { return "stamp"; }
  int64_t workload() const override { return in_.output.width * in_.output.height * 4; }
  void run(brel::Render_Context context) override {
    if (split_) {
      const int64_t count = context.iteration_count(in_.output.height);
      brel::cpu_kernel_launch(count, stamp_split, context, in_);
    } else {
      brel::cpu_kernel_launch(in_.output.height, stamp_per_row, context, in_);
    }
  }

 private:
  bool split_;
  Stamp_Parameters in_;
};

// Keeps the base's name and workload.
class Kernel_Plain final : public brel::Kernel_Implementation<brel::Implementation_Cpu> {
 public:
  void run(brel::Render_Context) override { ++runs; }
  int runs = 0;
};

// A float layer of the given size from the render context, with the counters of one run.
struct Stamp_Setup {
  Stamp_Setup(Standalone_Render& render, int64_t width, int64_t height)
      : holder(brel::make_temporary_float_layer(render.context, width, height, 0, 0, 0, 1, 1, 1)),
        in{brel::layer_view<float>(holder), &counters} {
    counters.aborted = &render.aborted;
  }

  // Rows that do not hold y in every pixel.
  int64_t wrong_rows() const {
    int64_t wrong = 0;
    for (int64_t y = 0; y < in.output.height; ++y) {
      const float* row = in.output.row(y);
      wrong += std::count(row, row + in.output.width, static_cast<float>(y)) != in.output.width;
    }
    return wrong;
  }

  brel::Layer_Holder holder;
  Stamp_Counters counters;
  Stamp_Parameters in;
};

TEST(Kernel, BothSchemesCoverEveryRowOnce) {
  for (const int64_t workers : {1, 2, 4}) {
    for (const bool split : {false, true}) {
      for (const int64_t height : {1, 3, 37}) {
        Standalone_Render render(workers);
        Stamp_Setup setup(render, 19, height);
        Kernel_Stamp kernel(split, setup.in);
        kernel.execute(render.context);
        SCOPED_TRACE(testing::Message()
                     << workers << " workers, split " << split << ", height " << height);
        EXPECT_EQ(setup.wrong_rows(), 0);
        EXPECT_EQ(setup.counters.rows_done.load(), height);
        // Scheme A hands the loop one iteration per row; scheme B at most one per worker.
        EXPECT_EQ(setup.counters.iterations_seen.load(),
                  split ? std::min(workers, height) : height);
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
  Stamp_Setup setup(render, 16, 10);
  Kernel_Stamp(true, setup.in).execute(render.context);
  Kernel_Plain plain;
  plain.execute(counting.context);
  EXPECT_EQ(counting.polls.load(), 1);
  EXPECT_EQ(plain.runs, 1);
  const auto& children = render.timing_table.root().children;
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[0]->name, "stamp (Cpu)");
  EXPECT_EQ(children[0]->workload, 16 * 10 * 4);
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
      Stamp_Setup setup(render, 256, height);
      setup.counters.abort_row = split ? 3 : 40;  // in the first block of scheme B
      Kernel_Stamp kernel(split, setup.in);
      EXPECT_THROW(kernel.execute(render.context), brel::Exception_Abort);

      EXPECT_GE(setup.counters.rows_after_abort.load(), 1);  // the raising row itself
      EXPECT_LE(setup.counters.rows_after_abort.load(), workers);
      EXPECT_LT(setup.counters.rows_done.load(), height);

      const auto& root = render.timing_table.root();
      ASSERT_EQ(root.children.size(), 1u);
      EXPECT_EQ(root.children[0]->name, "stamp (Cpu)");
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
  Stamp_Setup setup(render, 4, 25);
  brel::cpu_kernel_launch(25, stamp_per_row, counting.context, setup.in);
  EXPECT_EQ(setup.counters.rows_done.load(), 25);
  EXPECT_EQ(counting.polls.load(), 26);

  brel::cpu_kernel_launch(0, stamp_per_row, counting.context, setup.in);
  EXPECT_EQ(setup.counters.rows_done.load(), 25);
  EXPECT_EQ(counting.polls.load(), 27);
  render.aborted = true;
  EXPECT_THROW(brel::cpu_kernel_launch(0, stamp_per_row, counting.context, setup.in),
               brel::Exception_Abort);
  EXPECT_EQ(counting.polls.load(), 28);
}

}  // namespace
