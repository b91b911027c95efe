#pragma once

// What the kernel benchmarks share: a stand-alone render over a chosen number of threads,
// frame-sized layers touched once before timing, a kernel run reported by its own workload
// estimate, and the plain memcpy that each kernel is set beside. Argument 0 of every benchmark
// is the thread count, 0 for all.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

#include "base/kernel.h"
#include "base/layer_holder.h"
#include "base/render_context_cpu.h"
#include "base/timing_table.h"
#include "util/memory_2d.h"
#include "util/thread_pool.h"

namespace brel::bench {

// The UHD frame the kernels are measured on.
inline constexpr int64_t frame_width = 3840;
inline constexpr int64_t frame_height = 2160;

struct Bench_Render {
  explicit Bench_Render(const benchmark::State& state) {
    const int64_t threads =
        state.range(0) > 0 ? state.range(0) : std::thread::hardware_concurrency();
    pool.start(threads);
    context = render_context_cpu(pool, &timing_table, aborted);
  }

  Thread_Pool pool;
  Timing_Table timing_table;
  std::atomic<bool> aborted{false};
  Render_Context context;
};

// A layer of P (frame-sized unless told otherwise) with every byte written once, so that no
// page is first touched inside the timed loop.
template <class P>
struct Frame {
  explicit Frame(const Render_Context& context, int64_t width = frame_width,
                 int64_t height = frame_height)
      : memory(context.allocate_memory_2d(width * static_cast<int64_t>(sizeof(P)), height)) {
    Layer_Holder holder;
    holder.memory = memory;
    view = layer_view<P>(holder);
    std::memset(view.pixels, 0, static_cast<size_t>(view.row_bytes * view.height));
    for (int64_t y = 0; y < view.height; ++y) {
      auto* values = reinterpret_cast<float*>(view.row(y));
      const int64_t count = view.width * static_cast<int64_t>(sizeof(P)) / 4;
      for (int64_t i = 0; i < count; ++i) {
        values[i] = static_cast<float>((i + y) % 7) * 0.125f;
      }
    }
  }

  std::shared_ptr<Mapped_Memory_2d> memory;
  Layer<P> view;
};

inline void run_kernel(benchmark::State& state, Kernel_Implementation<Implementation_Cpu>& kernel,
                       const Render_Context& context) {
  for (auto _ : state) {
    kernel.execute(context);
  }
  state.SetBytesProcessed(state.iterations() * kernel.workload());
}

// memcpy of workload / 2 bytes, split into one contiguous band per thread.
inline void run_memcpy(benchmark::State& state, int64_t workload) {
  Bench_Render render(state);
  const int64_t size = workload / 2;
  const int64_t threads = render.pool.worker_count();
  auto from = render.context.allocate_memory_2d(size, 1);
  auto to = render.context.allocate_memory_2d(size, 1);
  uint8_t* const source = from->device_data();
  uint8_t* const destination = to->device_data();
  std::memset(source, 1, static_cast<size_t>(size));
  std::memset(destination, 0, static_cast<size_t>(size));
  for (auto _ : state) {
    render.context.parallel_for(threads, [&](const Iteration& iteration) {
      const auto [begin, end] = thread_iteration_range(iteration, size);
      std::memcpy(destination + begin, source + begin, static_cast<size_t>(end - begin));
    });
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 2 * size);
}

}  // namespace brel::bench
