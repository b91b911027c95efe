#include "base/kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/layer.h"
#include "support/standalone_render.h"
#include "util/memory_2d.h"

namespace {

using brel::test::Active_Log;
using brel::test::Standalone_Render;

// What the stamp kernel's bodies share with the test; the counters live in the test.
struct Stamp_Parameters {
  brel::Layer<float> output;
  float value = 0.0f;
  int64_t abort_row = -1;  // the row whose start raises the abort flag; -1: none
  std::atomic<bool>* aborted = nullptr;
  std::atomic<int64_t>* rows_done = nullptr;
  std::atomic<int64_t>* rows_after_abort = nullptr;  // rows finished while the flag was up
  std::atomic<int64_t>* iterations_seen = nullptr;
};

void stamp_row(const Stamp_Parameters& in, int64_t y) {
  if (y == in.abort_row) {
    in.aborted->store(true);
  }
  float* row = in.output.row(y);
  for (int64_t x = 0; x < in.output.width; ++x) {
    row[x] = in.value + static_cast<float>(y);
  }
  in.rows_done->fetch_add(1);
  if (in.aborted->load()) {
    in.rows_after_abort->fetch_add(1);
  }
}

// Scheme A: one row per iteration.
void stamp_per_row(const brel::Iteration& iteration, brel::Render_Context context,
                   Stamp_Parameters in) {
  in.iterations_seen->store(iteration.iterations);
  stamp_row(in, iteration.index);
  context.check_abort();
}

// Scheme B: a block of rows per iteration.
void stamp_split(const brel::Iteration& iteration, brel::Render_Context context,
                 Stamp_Parameters in) {
  in.iterations_seen->store(iteration.iterations);
  const auto [begin, end] = brel::thread_iteration_range(iteration, in.output.height);
  for (int64_t y = begin; y < end; ++y) {
    stamp_row(in, y);
    context.check_abort();
  }
}

// Writes value + y into every pixel of row y.
class Kernel_Stamp final : public brel::Kernel_Implementation<brel::Implementation_Cpu> {
 public:
  Kernel_Stamp(bool split, Stamp_Parameters in) : split_(split), in_(in) {}

  std::string name() const override { return "stamp"; }
  int64_t workload() const override { return in_.output.width * in_.output.height * 4; }

  void run(brel::Render_Context context) override {
    if (in_.output.pixels == nullptr) {
      return;
    }
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
  Stamp_Setup(Standalone_Render& render, int64_t width, int64_t height) {
    memory = render.context.allocate_memory_2d(width * 4, height);
    in.output.width = width;
    in.output.height = height;
    in.output.pixels = reinterpret_cast<float*>(memory->cpu_data());
    in.output.row_bytes = memory->cpu_pitch();
    in.value = 0.5f;
    in.aborted = &render.aborted;
    in.rows_done = &rows_done;
    in.rows_after_abort = &rows_after_abort;
    in.iterations_seen = &iterations_seen;
  }

  // Rows that do not hold value + y in every pixel.
  int64_t wrong_rows() const {
    int64_t wrong = 0;
    for (int64_t y = 0; y < in.output.height; ++y) {
      const float* row = in.output.row(y);
      for (int64_t x = 0; x < in.output.width; ++x) {
        if (row[x] != in.value + static_cast<float>(y)) {
          ++wrong;
          break;
        }
      }
    }
    return wrong;
  }

  std::shared_ptr<brel::Mapped_Memory_2d> memory;
  Stamp_Parameters in;
  std::atomic<int64_t> rows_done{0};
  std::atomic<int64_t> rows_after_abort{0};
  std::atomic<int64_t> iterations_seen{0};
};

TEST(Kernel, BothSchemesCoverEveryRowOnce) {
  for (const int64_t workers : {1, 2, 4}) {
    for (const bool split : {false, true}) {
      for (const int64_t height : {1, 3, 37}) {
        Standalone_Render render(workers);
        Stamp_Setup setup(render, 19, height);
        Kernel_Stamp kernel(split, setup.in);
        kernel.execute(render.context);
        const std::string where = std::to_string(workers) + " workers, split " +
                                  std::to_string(split) + ", height " + std::to_string(height);
        EXPECT_EQ(setup.wrong_rows(), 0) << where;
        EXPECT_EQ(setup.rows_done.load(), height) << where;
        // Scheme A hands the loop one iteration per row; scheme B at most one per worker.
        EXPECT_EQ(setup.iterations_seen.load(), split ? std::min(workers, height) : height)
            << where;
      }
    }
  }
}

TEST(Kernel, TimedUnderItsNameWithItsWorkload) {
  Active_Log active;
  Standalone_Render render(3);
  Stamp_Setup setup(render, 16, 10);
  Kernel_Stamp kernel(true, setup.in);
  kernel.execute(render.context);
  const auto& root = render.timing_table.root();
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0]->name, "stamp (Cpu)");
  EXPECT_EQ(root.children[0]->workload, 16 * 10 * 4);
  EXPECT_EQ(root.children[0]->measured_duration, -1.0);  // timed by the table's clock
}

TEST(Kernel, DefaultNameAndWorkload) {
  Active_Log active;
  Standalone_Render render(2);
  Kernel_Plain kernel;
  EXPECT_EQ(kernel.reserved_query(), 0);
  kernel.execute(render.context);
  EXPECT_EQ(kernel.runs, 1);
  const auto& root = render.timing_table.root();
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0]->name, "kernel without a name (Cpu)");
  EXPECT_EQ(root.children[0]->workload, 0);
}

TEST(Kernel, InactiveLogTimesNothing) {
  Standalone_Render render(2);
  Kernel_Plain kernel;
  kernel.execute(render.context);
  const auto& root = render.timing_table.root();
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0]->name, "(Void)");
  EXPECT_EQ(root.children[0]->measured_duration, 0.0);
}

// A kernel executed inside another kernel's run is timed inside the outer kernel's scope.
TEST(Kernel, NestedExecuteNestsItsScope) {
  class Kernel_Outer final : public brel::Kernel_Implementation<brel::Implementation_Cpu> {
   public:
    std::string name() const override { return "outer"; }
    int64_t workload() const override { return 7; }
    void run(brel::Render_Context context) override { Kernel_Plain().execute(context); }
  };
  Active_Log active;
  Standalone_Render render(1);
  Kernel_Outer().execute(render.context);
  const auto& root = render.timing_table.root();
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0]->name, "outer (Cpu)");
  EXPECT_EQ(root.children[0]->workload, 7);
  ASSERT_EQ(root.children[0]->children.size(), 1u);
  EXPECT_EQ(root.children[0]->children[0]->name, "kernel without a name (Cpu)");
}

TEST(Kernel, AbortBeforeExecuteRunsNothingAndOpensNoScope) {
  Active_Log active;
  Standalone_Render render(2);
  render.aborted = true;
  Kernel_Plain kernel;
  EXPECT_THROW(kernel.execute(render.context), brel::Exception_Abort);
  EXPECT_EQ(kernel.runs, 0);
  EXPECT_TRUE(render.timing_table.root().children.empty());
}

// An abort raised inside the loop ends it with Exception_Abort: each worker finishes at most
// the row it is in (or the one it takes just as the flag goes up), and the kernel's scope is
// closed with workload 0.
TEST(Kernel, AbortDuringTheLoopStopsEveryWorkerWithinOneRow) {
  for (const int64_t workers : {1, 2, 4}) {
    for (const bool split : {false, true}) {
      Active_Log active;
      Standalone_Render render(workers);
      const int64_t height = 2000;
      Stamp_Setup setup(render, 256, height);
      setup.in.abort_row = split ? 3 : 40;  // in the first block of scheme B
      Kernel_Stamp kernel(split, setup.in);
      EXPECT_THROW(kernel.execute(render.context), brel::Exception_Abort);

      const std::string where =
          std::to_string(workers) + " workers, split " + std::to_string(split);
      EXPECT_GE(setup.rows_after_abort.load(), 1) << where;  // the raising row itself
      EXPECT_LE(setup.rows_after_abort.load(), workers) << where;
      EXPECT_LT(setup.rows_done.load(), height) << where;

      const auto& root = render.timing_table.root();
      ASSERT_EQ(root.children.size(), 1u) << where;
      EXPECT_EQ(root.children[0]->name, "stamp (Cpu)");
      EXPECT_EQ(root.children[0]->workload, 0) << where;
      // The scope was closed: the next one opens beside it, not inside it.
      render.timing_table.scope_timer("after", 0, nullptr, 0.0);
      EXPECT_EQ(root.children.size(), 2u) << where;
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

TEST(Cpu_Kernel_Launch, EmptyLaunchStillPollsOnce) {
  Standalone_Render render(4);
  Counting_Context counting(render);
  Stamp_Setup setup(render, 4, 4);
  brel::cpu_kernel_launch(0, stamp_per_row, counting.context, setup.in);
  EXPECT_EQ(setup.rows_done.load(), 0);
  EXPECT_EQ(counting.polls.load(), 1);

  render.aborted = true;
  EXPECT_THROW(brel::cpu_kernel_launch(0, stamp_per_row, counting.context, setup.in),
               brel::Exception_Abort);
  EXPECT_EQ(counting.polls.load(), 2);
}

TEST(Cpu_Kernel_Launch, PollsOncePerRowAndOnceAfterTheLoop) {
  Standalone_Render render(3);
  Counting_Context counting(render);
  Stamp_Setup setup(render, 4, 25);
  brel::cpu_kernel_launch(25, stamp_per_row, counting.context, setup.in);
  EXPECT_EQ(setup.rows_done.load(), 25);
  EXPECT_EQ(counting.polls.load(), 26);
  EXPECT_EQ(setup.wrong_rows(), 0);
}

// execute polls once before its run, then the launch's rows and its final poll follow.
TEST(Kernel, ExecutePollsBeforeRunning) {
  Standalone_Render render(2);
  Counting_Context counting(render);
  Kernel_Plain kernel;
  kernel.execute(counting.context);
  EXPECT_EQ(counting.polls.load(), 1);
}

// Each body call gets the arguments as they were at launch, not the caller's later changes.
TEST(Cpu_Kernel_Launch, HelperBindsCopies) {
  Standalone_Render render(1);
  Stamp_Setup setup(render, 3, 2);
  brel::Cpu_Kernel_Launch_Helper<decltype(&stamp_per_row), Stamp_Parameters> helper(
      stamp_per_row, render.context, setup.in);
  setup.in.value = 100.0f;
  helper.iterate(brel::Iteration{1, 2, 0, 1});
  EXPECT_EQ(setup.in.output.row(1)[2], 1.5f);
  EXPECT_EQ(setup.rows_done.load(), 1);
}

}  // namespace
