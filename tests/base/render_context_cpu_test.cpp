#include "base/render_context_cpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "support/standalone_render.h"
#include "util/memory.h"
#include "util/memory_2d.h"

namespace {

using brel::test::Standalone_Render;

TEST(Render_Context_Cpu, PipelineIsTheCpu) {
  Standalone_Render render(1);
  EXPECT_EQ(render.context.pipeline(), brel::BREL_Render_Pipeline_Cpu);
  EXPECT_EQ(static_cast<int32_t>(render.context.pipeline()), 0);
}

TEST(Render_Context_Cpu, AllocatesPaddedAlignedTwoDimensionalMemory) {
  Standalone_Render render(1);
  const auto memory = render.context.allocate_memory_2d(100, 3);
  EXPECT_EQ(memory->width(), 100);
  EXPECT_EQ(memory->height(), 3);
  EXPECT_EQ(memory->cpu_pitch(), 128);
  EXPECT_EQ(memory->device_pitch(), 128);
  EXPECT_EQ(memory->cpu_data(), memory->device_data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(memory->cpu_data()) % 64, 0u);
  memory->cpu_to_device();  // both halves are one block

  EXPECT_EQ(render.context.allocate_memory_2d(64, 2)->cpu_pitch(), 64);
  EXPECT_EQ(render.context.allocate_memory_2d(0, 2)->cpu_pitch(), 0);
  EXPECT_THROW(render.context.allocate_memory_2d(-4, 2), brel::Exception_Assert);
  EXPECT_THROW(render.context.allocate_memory_2d(4, -2), brel::Exception_Assert);
}

TEST(Render_Context_Cpu, MemoryIsTakenOnFirstAccess) {
  Standalone_Render render(1);
  // More than any machine holds: making it succeeds, touching it fails.
  const auto memory = render.context.allocate_memory_2d(int64_t{1} << 40, int64_t{1} << 40);
  EXPECT_EQ(memory->cpu_pitch(), int64_t{1} << 40);
  EXPECT_THROW(memory->cpu_data(), std::bad_alloc);
  const auto line = render.context.allocate_memory(INT64_MAX);
  EXPECT_EQ(line->size(), INT64_MAX);
  EXPECT_THROW(line->cpu_data(), std::bad_alloc);
}

TEST(Render_Context_Cpu, AllocatesAndWrapsOneDimensionalMemory) {
  Standalone_Render render(1);
  const auto memory = render.context.allocate_memory(10);
  EXPECT_EQ(memory->size(), 10);
  EXPECT_EQ(memory->cpu_data(), memory->device_data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(memory->cpu_data()) % 64, 0u);
  EXPECT_THROW(render.context.allocate_memory(-1), brel::Exception_Assert);

  auto block = std::make_shared<brel::Memory_Cpu_System_Lazy>(6);
  const auto wrapped = render.context.wrap_memory(block);
  EXPECT_EQ(wrapped->cpu_data(), block->data());
  EXPECT_EQ(wrapped->device_data(), block->data());
}

TEST(Render_Context_Cpu, WrapsForeignTwoDimensionalMemory) {
  Standalone_Render render(1);
  alignas(64) uint8_t pixels[3 * 48] = {};
  const auto wrapped = render.context.wrap_memory_2d(
      std::make_shared<brel::Memory_2d_Unmananged>(pixels, 40, 3, 48));
  EXPECT_EQ(wrapped->cpu_data(), pixels);
  EXPECT_EQ(wrapped->device_data(), pixels);
  EXPECT_EQ(wrapped->width(), 40);
  EXPECT_EQ(wrapped->cpu_pitch(), 48);
}

TEST(Render_Context_Cpu, IterationCountIsTheWorkerCountCappedAtTheWork) {
  Standalone_Render render(8);
  EXPECT_EQ(render.context.iteration_count(1080), 8);
  EXPECT_EQ(render.context.iteration_count(3), 3);
  EXPECT_EQ(render.context.iteration_count(0), 8);
  EXPECT_EQ(render.context.iteration_count(-5), 8);
}

TEST(Render_Context_Cpu, AbortFlagIsSeenOnEveryThread) {
  Standalone_Render render(2);
  render.context.check_abort();  // the flag is down
  render.aborted = true;
  EXPECT_THROW(render.context.check_abort(), brel::Exception_Abort);
  bool thrown_elsewhere = false;
  std::thread other([&] {
    try {
      render.context.check_abort();
    } catch (const brel::Exception_Abort& e) {
      thrown_elsewhere = std::string(e.what()) == "abort computation exception";
    }
  });
  other.join();
  EXPECT_TRUE(thrown_elsewhere);
  // The context never lowers the caller's flag: a later loop still sees it.
  render.context.parallel_for(4, [](const brel::Iteration&) {});
  EXPECT_THROW(render.context.check_abort(), brel::Exception_Abort);
}

TEST(Render_Context_Cpu, ParallelForRunsEveryIndexAndRaisesFailures) {
  Standalone_Render render(4);
  std::vector<std::atomic<int>> hits(64);
  render.context.parallel_for(64, [&hits](const brel::Iteration& iteration) {
    EXPECT_EQ(iteration.iterations, 64);
    EXPECT_EQ(iteration.worker_count, 4);
    hits[static_cast<size_t>(iteration.index)].fetch_add(1);
  });
  for (const auto& hit : hits) {
    EXPECT_EQ(hit.load(), 1);
  }
  const auto caller = std::this_thread::get_id();
  EXPECT_THROW(
      render.context.parallel_for(64,
                                  [caller](const brel::Iteration&) {
                                    if (std::this_thread::get_id() != caller) {
                                      throw std::bad_alloc();
                                    }
                                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                  }),
      std::bad_alloc);
}

// With the log active a scope carries the name with " (Cpu)" and the workload and is timed by
// the table's clock; inactive, it is "(Void)" with workload 0 and a stop watch that measures 0.
TEST(Render_Context_Cpu, ScopesFollowTheLog) {
  struct Case {
    bool active;
    std::string name;
    int64_t workload;
    double measured_duration;
  };
  for (const Case& expected :
       {Case{true, "point shadow (Cpu)", 1234, -1.0}, Case{false, "(Void)", 0, 0.0}}) {
    brel::global_log().set_verbose(expected.active);
    Standalone_Render render(1);
    auto scope = render.context.scope_timer("point shadow", 1234);
    brel::global_log().set_verbose(false);
    ASSERT_NE(scope, nullptr);
    EXPECT_EQ(scope->timing().name, expected.name);
    EXPECT_EQ(scope->timing().workload, expected.workload);
    EXPECT_EQ(scope->timing().reference_bandwidth, 0.0);
    scope.reset();
    EXPECT_EQ(render.timing_table.root().children.at(0)->measured_duration,
              expected.measured_duration);
  }
}

TEST(Render_Context_Cpu, SectionsAreEmptyAndTheHookDoesNothing) {
  Standalone_Render render(1);
  EXPECT_EQ(render.context.scope_section("section"), nullptr);
  render.context.timing_hook("mark");
  EXPECT_TRUE(render.timing_table.root().children.empty());
}

}  // namespace
