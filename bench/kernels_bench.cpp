// Bandwidth of the generic layer kernels on a UHD frame, each next to a plain memcpy that moves
// as many bytes (half read, half written) on as many threads in the same run. Bytes per second
// are the kernel's own workload estimate over its wall time. Argument: threads, 0 for all.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "base/kernel_clear.h"
#include "base/kernel_copy.h"
#include "base/kernel_prefix_scan_2d.h"
#include "base/layer_holder.h"
#include "base/render_context_cpu.h"
#include "base/timing_table.h"
#include "util/memory_2d.h"
#include "util/thread_pool.h"

namespace {

constexpr int64_t frame_width = 3840;
constexpr int64_t frame_height = 2160;

struct Bench_Render {
  explicit Bench_Render(const benchmark::State& state) {
    const int64_t threads =
        state.range(0) > 0 ? state.range(0) : std::thread::hardware_concurrency();
    pool.start(threads);
    context = brel::render_context_cpu(pool, &timing_table, aborted);
  }

  brel::Thread_Pool pool;
  brel::Timing_Table timing_table;
  std::atomic<bool> aborted{false};
  brel::Render_Context context;
};

// A frame-sized layer of P with every byte written once, so that no page is first touched
// inside the timed loop.
template <class P>
struct Frame {
  explicit Frame(const brel::Render_Context& context)
      : memory(context.allocate_memory_2d(frame_width * sizeof(P), frame_height)) {
    brel::Layer_Holder holder;
    holder.memory = memory;
    view = brel::layer_view<P>(holder);
    std::memset(view.pixels, 0, static_cast<size_t>(view.row_bytes * view.height));
    for (int64_t y = 0; y < view.height; ++y) {
      auto* values = reinterpret_cast<float*>(view.row(y));
      const int64_t count = view.width * static_cast<int64_t>(sizeof(P)) / 4;
      for (int64_t i = 0; i < count; ++i) {
        values[i] = static_cast<float>((i + y) % 7) * 0.125f;
      }
    }
  }

  std::shared_ptr<brel::Mapped_Memory_2d> memory;
  brel::Layer<P> view;
};

void run_kernel(benchmark::State& state,
                brel::Kernel_Implementation<brel::Implementation_Cpu>& kernel,
                const brel::Render_Context& context) {
  for (auto _ : state) {
    kernel.execute(context);
  }
  state.SetBytesProcessed(state.iterations() * kernel.workload());
}

// memcpy of workload / 2 bytes, split into one contiguous band per thread.
void run_memcpy(benchmark::State& state, int64_t workload) {
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
    render.context.parallel_for(threads, [&](const brel::Iteration& iteration) {
      const auto [begin, end] = brel::thread_iteration_range(iteration, size);
      std::memcpy(destination + begin, source + begin, static_cast<size_t>(end - begin));
    });
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 2 * size);
}

template <class P>
void clear(benchmark::State& state) {
  Bench_Render render(state);
  Frame<P> layer(render.context);
  brel::Kernel_Clear<brel::Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.layer = layer.view;
  run_kernel(state, kernel, render.context);
}

void BM_clear_float(benchmark::State& state) {
  clear<float>(state);
}
void BM_clear_rgb32f(benchmark::State& state) {
  clear<brel::RGB32f>(state);
}

void BM_copy_float(benchmark::State& state) {
  Bench_Render render(state);
  Frame<float> source(render.context);
  Frame<float> destination(render.context);
  brel::Kernel_Copy<brel::Layer<float>, brel::Layer<float>, brel::Implementation_Cpu> copy;
  copy.parameters_in.source = source.view;
  copy.parameters_in.destination = destination.view;
  copy.parameters_in.offset_x = 3;  // a few border columns on the right, as a shifted copy has
  copy.parameters_in.edge_mode = brel::Edge_Mode_Mirror;
  run_kernel(state, copy, render.context);
}

template <class S, class D>
void prefix_scan(benchmark::State& state) {
  Bench_Render render(state);
  Frame<S> source(render.context);
  Frame<D> destination(render.context);
  brel::Kernel_Prefix_Scan_2d<brel::Layer<S>, brel::Layer<D>, brel::Implementation_Cpu> scan;
  scan.parameters_in.source = source.view;
  scan.parameters_in.destination = destination.view;
  scan.parameters_in.vertical_pass = true;
  run_kernel(state, scan, render.context);
}

void BM_prefix_scan_rgb32f(benchmark::State& state) {
  prefix_scan<brel::RGB32f, brel::RGB32f>(state);
}

void BM_prefix_scan_argb32f(benchmark::State& state) {
  prefix_scan<brel::ARGB32f, brel::ARGB32f>(state);
}

constexpr int64_t pixels = frame_width * frame_height;

void BM_memcpy_as_clear_float(benchmark::State& state) {
  run_memcpy(state, pixels * 4);
}
void BM_memcpy_as_clear_rgb32f(benchmark::State& state) {
  run_memcpy(state, pixels * 12);
}
void BM_memcpy_as_copy_float(benchmark::State& state) {
  run_memcpy(state, 2 * pixels * 4);
}
void BM_memcpy_as_prefix_scan_rgb32f(benchmark::State& state) {
  run_memcpy(state, 4 * pixels * 12);
}
void BM_memcpy_as_prefix_scan_argb32f(benchmark::State& state) {
  run_memcpy(state, 4 * pixels * 16);
}

// Each kernel beside its memcpy, on one thread and on all of them.
const bool registered = [] {
  const std::pair<const char*, void (*)(benchmark::State&)> benchmarks[] = {
      {"BM_clear_float", BM_clear_float},
      {"BM_memcpy_as_clear_float", BM_memcpy_as_clear_float},
      {"BM_clear_rgb32f", BM_clear_rgb32f},
      {"BM_memcpy_as_clear_rgb32f", BM_memcpy_as_clear_rgb32f},
      {"BM_copy_float", BM_copy_float},
      {"BM_memcpy_as_copy_float", BM_memcpy_as_copy_float},
      {"BM_prefix_scan_rgb32f", BM_prefix_scan_rgb32f},
      {"BM_memcpy_as_prefix_scan_rgb32f", BM_memcpy_as_prefix_scan_rgb32f},
      {"BM_prefix_scan_argb32f", BM_prefix_scan_argb32f},
      {"BM_memcpy_as_prefix_scan_argb32f", BM_memcpy_as_prefix_scan_argb32f},
  };
  for (const auto& [name, function] : benchmarks) {
    benchmark::RegisterBenchmark(name, function)
        ->ArgName("threads")
        ->Arg(1)
        ->Arg(0)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
