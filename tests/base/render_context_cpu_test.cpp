#include "base/render_context_cpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/exception.h"
#include "support/standalone_render.h"
#include "util/memory.h"
#include "util/memory_2d.h"

namespace {

using brel::test::Standalone_Render;

// Memory from the system: 64-byte aligned, rows padded to 64 bytes, one block for both halves,
// taken on first access. Foreign memory is wrapped as it is.
TEST(Render_Context_Cpu, AllocatesPaddedAlignedLazyMemoryAndWrapsForeignMemory) {
  Standalone_Render render(1);
  EXPECT_EQ(render.context.pipeline(), brel::BREL_Render_Pipeline_Cpu);
  const auto memory = render.context.allocate_memory_2d(100, 3);
  EXPECT_EQ(memory->cpu_pitch(), 128);
  EXPECT_EQ(memory->cpu_data(), memory->device_data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(memory->cpu_data()) % 64, 0u);
  const auto line = render.context.allocate_memory(10);
  EXPECT_EQ(line->cpu_data(), line->device_data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(line->cpu_data()) % 64, 0u);
  EXPECT_THROW(render.context.allocate_memory_2d(int64_t{1} << 40, int64_t{1} << 40)->cpu_data(),
               std::bad_alloc);
  EXPECT_THROW(render.context.allocate_memory(INT64_MAX)->cpu_data(), std::bad_alloc);

  auto block = std::make_shared<brel::Memory_Cpu_System_Lazy>(6);
  EXPECT_EQ(render.context.wrap_memory(block)->device_data(), block->data());
  alignas(64) uint8_t pixels[3 * 48] = {};
  const auto wrapped = render.context.wrap_memory_2d(
      std::make_shared<brel::Memory_2d_Unmananged>(pixels, 40, 3, 48));
  EXPECT_EQ(wrapped->device_data(), pixels);
  EXPECT_EQ(wrapped->cpu_pitch(), 48);
}

TEST(Render_Context_Cpu, IterationCountIsTheWorkerCountCappedAtTheWork) {
  Standalone_Render render(8);
  EXPECT_EQ(render.context.iteration_count(1080), 8);
  EXPECT_EQ(render.context.iteration_count(3), 3);
  EXPECT_EQ(render.context.iteration_count(0), 8);
  EXPECT_EQ(render.context.iteration_count(-5), 8);
}

// The loop runs on the pool's workers; the abort flag is seen on every thread and never lowered
// by the context.
TEST(Render_Context_Cpu, ParallelForAndAbortFlag) {
  Standalone_Render render(4);
  std::atomic<int64_t> index_sum{0};
  render.context.parallel_for(64, [&index_sum](const brel::Iteration& iteration) {
    EXPECT_EQ(iteration.worker_count, 4);
    index_sum.fetch_add(iteration.index + 1000);
  });
  EXPECT_EQ(index_sum.load(), 64 * 1000 + 63 * 64 / 2);
  render.context.check_abort();  // the flag is down
  render.aborted = true;
  std::atomic<int64_t> aborted_calls{0};
  render.context.parallel_for(8, [&](const brel::Iteration&) {
    try {
      render.context.check_abort();
    } catch (const brel::Exception_Abort& e) {
      aborted_calls += std::string(e.what()) == "abort computation exception";
    }
  });
  EXPECT_EQ(aborted_calls.load(), 8);
  EXPECT_THROW(render.context.check_abort(), brel::Exception_Abort);
}

// With the log inactive a scope is "(Void)" with workload 0 and a stop watch that measures 0
// (the active case is timed through the kernel base).
TEST(Render_Context_Cpu, ScopesOfTheInactiveLogMeasureNothing) {
  Standalone_Render render(1);
  auto scope = render.context.scope_timer("point shadow", 1234);
  EXPECT_EQ(scope->timing().name, "(Void)");
  EXPECT_EQ(scope->timing().workload, 0);
  scope.reset();
  EXPECT_EQ(render.timing_table.root().children.at(0)->measured_duration, 0.0);
}

}  // namespace
