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

// Memory from the system: 64-byte aligned, rows padded to 64 bytes, one block for both halves,
// taken on first access.
TEST(Render_Context_Cpu, AllocatesPaddedAlignedLazyMemory) {
  Standalone_Render render(1);
  EXPECT_EQ(render.context.pipeline(), brel::BREL_Render_Pipeline_Cpu);
  const auto memory = render.context.allocate_memory_2d(100, 3);
  EXPECT_EQ(memory->width(), 100);
  EXPECT_EQ(memory->height(), 3);
  EXPECT_EQ(memory->cpu_pitch(), 128);
  EXPECT_EQ(memory->cpu_data(), memory->device_data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(memory->cpu_data()) % 64, 0u);
  EXPECT_EQ(render.context.allocate_memory_2d(64, 2)->cpu_pitch(), 64);
  EXPECT_THROW(render.context.allocate_memory_2d(-4, 2), brel::Exception_Assert);

  const auto line = render.context.allocate_memory(10);
  EXPECT_EQ(line->size(), 10);
  EXPECT_EQ(line->cpu_data(), line->device_data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(line->cpu_data()) % 64, 0u);
  EXPECT_THROW(render.context.allocate_memory(-1), brel::Exception_Assert);

  // More than any machine holds: making it succeeds, touching it fails.
  const auto huge = render.context.allocate_memory_2d(int64_t{1} << 40, int64_t{1} << 40);
  EXPECT_THROW(huge->cpu_data(), std::bad_alloc);
  EXPECT_THROW(render.context.allocate_memory(INT64_MAX)->cpu_data(), std::bad_alloc);
}

TEST(Render_Context_Cpu, WrapsForeignMemory) {
  Standalone_Render render(1);
  auto block = std::make_shared<brel::Memory_Cpu_System_Lazy>(6);
  const auto wrapped = render.context.wrap_memory(block);
  EXPECT_EQ(wrapped->cpu_data(), block->data());
  EXPECT_EQ(wrapped->device_data(), block->data());

  alignas(64) uint8_t pixels[3 * 48] = {};
  const auto wrapped_2d = render.context.wrap_memory_2d(
      std::make_shared<brel::Memory_2d_Unmananged>(pixels, 40, 3, 48));
  EXPECT_EQ(wrapped_2d->cpu_data(), pixels);
  EXPECT_EQ(wrapped_2d->device_data(), pixels);
  EXPECT_EQ(wrapped_2d->cpu_pitch(), 48);
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
  std::string thrown_elsewhere;
  std::thread other([&] {
    try {
      render.context.check_abort();
    } catch (const brel::Exception_Runtime& e) {
      thrown_elsewhere = e.what();
    }
  });
  other.join();
  EXPECT_EQ(thrown_elsewhere, "abort computation exception");
  // The context never lowers the caller's flag: a later loop still sees it.
  render.context.parallel_for(4, [](const brel::Iteration&) {});
  EXPECT_THROW(render.context.check_abort(), brel::Exception_Abort);
}

TEST(Render_Context_Cpu, ParallelForRunsEveryIndexAndRaisesFailures) {
  Standalone_Render render(4);
  std::vector<std::atomic<int>> hits(64);
  render.context.parallel_for(64, [&hits](const brel::Iteration& iteration) {
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
    scope.reset();
    EXPECT_EQ(render.timing_table.root().children.at(0)->measured_duration,
              expected.measured_duration);
  }
}

}  // namespace
