#pragma once

// What the kernel benchmarks share: a stand-alone render over a chosen number of threads,
// frame-sized layers touched once before timing, a kernel run reported by its own workload
// estimate, and the plain memcpy that each kernel is set beside. Argument 0 of every benchmark
// is the thread count, 0 for all.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <thread>
#include <utility>

#include "base/kernel.h"
#include "base/layer_description.h"
#include "base/layer_holder.h"
#include "base/memory_pool_2d.h"
#include "support/standalone_render.h"
#include "util/memory_2d.h"

namespace brel::bench {

// The UHD frame the kernels are measured on.
inline constexpr int64_t frame_width = 3840;
inline constexpr int64_t frame_height = 2160;

// The width of a 16:9 frame `height` pixels high.
constexpr int64_t frame_width_of(int64_t height) {
  return height * 16 / 9;
}

// Frames of 4-byte pixels are measured at UHD and at twice its sides as well: a UHD layer of 33
// MB is as large as the cache (32 MB of L3 and 1 MB of L2 per core), so a kernel and the memcpy
// beside it each find part of their bytes still in the cache. On 8 threads the memcpy beside the
// 8-bit depth view ran at 99 GB/s at UHD and at 59-64 GB/s, the memory's pace, at 7680 x 4320.
inline constexpr int64_t frame_heights_beyond_the_cache[] = {frame_height, 2 * frame_height};

// The frame height a benchmark of layers of P runs at: argument 1 for 4-byte pixels, which are
// registered by height, UHD for the rest.
template <class P>
int64_t frame_height_for(const benchmark::State& state) {
  return sizeof(P) == 4 ? state.range(1) : frame_height;
}

// The tests' stand-alone render at the benchmark's thread count. Its working layers come
// through the pool that a render through the plug-in uses, kept across frames as a host keeps
// the memory of one frame's renders for the next: a frame's released layers serve the next
// frame's requests instead of fresh pages that the system must fault in and zero.
struct Bench_Render : test::Standalone_Render {
  explicit Bench_Render(const benchmark::State& state)
      : Standalone_Render(state.range(0) > 0 ? state.range(0)
                                             : std::thread::hardware_concurrency()) {
    pool_memory_2d(context);
  }
};

// Minor page faults of the whole process so far: fresh pages the system had to map.
inline int64_t minor_page_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Reports the page faults per frame of a timed loop that began at `faults_before`.
inline void report_page_faults(benchmark::State& state, int64_t faults_before) {
  state.counters["page_faults_per_frame"] =
      benchmark::Counter(static_cast<double>(minor_page_faults() - faults_before) /
                         static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
}

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

  // The frame as the host hands a world to the effect, in the given channel layout.
  Layer_Typeless typeless(const Pixel_Description& description) const {
    Layer_Typeless layer;
    layer.width = view.width;
    layer.height = view.height;
    layer.pixels = view.pixels;
    layer.row_bytes = view.row_bytes;
    layer.pixel_description = description;
    return layer;
  }

  std::shared_ptr<Mapped_Memory_2d> memory;
  Layer<P> view;
};

// Runs the kernel once a frame, counting the page faults the frames take. A first frame,
// untimed, fills the render's pool as a host's first frame fills its cache.
inline void run_frames(benchmark::State& state, Kernel_Implementation<Implementation_Cpu>& kernel,
                       const Render_Context& context) {
  kernel.execute(context);
  const int64_t faults_before = minor_page_faults();
  for (auto _ : state) {
    kernel.execute(context);
  }
  report_page_faults(state, faults_before);
}

inline void run_kernel(benchmark::State& state, Kernel_Implementation<Implementation_Cpu>& kernel,
                       const Render_Context& context) {
  run_frames(state, kernel, context);
  state.SetBytesProcessed(state.iterations() * kernel.workload());
}

// memcpy of workload / 2 bytes (as much traffic as the workload: half read, half written),
// one contiguous band per thread of the render's pool.
class Memcpy_Reference {
 public:
  Memcpy_Reference(Bench_Render& render, int64_t workload)
      : render_(render),
        size_(workload / 2),
        from_(render.context.allocate_memory_2d(size_, 1)),
        to_(render.context.allocate_memory_2d(size_, 1)) {
    std::memset(from_->device_data(), 1, static_cast<size_t>(size_));
    std::memset(to_->device_data(), 0, static_cast<size_t>(size_));
  }

  void run() {
    uint8_t* const source = from_->device_data();
    uint8_t* const destination = to_->device_data();
    const int64_t size = size_;
    render_.context.parallel_for(render_.pool.worker_count(), [=](const Iteration& iteration) {
      const auto [begin, end] = thread_iteration_range(iteration, size);
      std::memcpy(destination + begin, source + begin, static_cast<size_t>(end - begin));
    });
    benchmark::ClobberMemory();
  }

 private:
  Bench_Render& render_;
  int64_t size_;
  std::shared_ptr<Mapped_Memory_2d> from_;
  std::shared_ptr<Mapped_Memory_2d> to_;
};

inline void run_memcpy(benchmark::State& state, int64_t workload) {
  Bench_Render render(state);
  Memcpy_Reference reference(render, workload);
  for (auto _ : state) {
    reference.run();
  }
  state.SetBytesProcessed(state.iterations() * 2 * (workload / 2));
}

// Every iteration runs the work and then the memcpy of its workload, so both see the same
// machine load, and each is taken at its fastest run. Neither finds much of its bytes in the
// cache when the other's run in between moves more than the cache holds (see above). On a shared
// machine a run of all threads is late whenever one of them loses its processor for a
// moment, and the memory's pace changes from one second to the next; means and sums of such runs
// put a kernel at 90 GB/s anywhere from 50 to 90 % of memcpy, while the fastest runs of both are
// those without interruptions. Both run once before timing: the work's layers come from the pool,
// the memcpy's pages are mapped. Needs UseManualTime: the benchmark's time is the work's alone.
// Reports the work's bandwidth at its fastest run ("GB/s", beside bytes_per_second over all
// runs), the memcpy's at its fastest ("memcpy_GB/s") and the work's share of that.
template <class Work>
void run_beside_memcpy(benchmark::State& state, Bench_Render& render, int64_t workload,
                       Work&& work) {
  using Clock = std::chrono::steady_clock;
  Memcpy_Reference reference(render, workload);
  work();
  reference.run();
  double work_fastest = std::numeric_limits<double>::infinity();
  double memcpy_fastest = std::numeric_limits<double>::infinity();
  const int64_t faults_before = minor_page_faults();
  for (auto _ : state) {
    const auto start = Clock::now();
    work();
    const auto work_end = Clock::now();
    reference.run();
    const auto memcpy_end = Clock::now();
    const double seconds = std::chrono::duration<double>(work_end - start).count();
    state.SetIterationTime(seconds);
    work_fastest = std::min(work_fastest, seconds);
    memcpy_fastest =
        std::min(memcpy_fastest, std::chrono::duration<double>(memcpy_end - work_end).count());
  }
  report_page_faults(state, faults_before);
  const auto bytes = static_cast<double>(workload);
  state.SetBytesProcessed(state.iterations() * workload);
  state.counters["GB/s"] = bytes / work_fastest * 1.0e-9;
  state.counters["memcpy_GB/s"] = bytes / memcpy_fastest * 1.0e-9;
  state.counters["percent_of_memcpy"] = 100.0 * memcpy_fastest / work_fastest;
}

// The same for a kernel and its own workload estimate. The kernel runs once before the timed
// runs: estimates that count the layers a run makes need a run first, and it fills the pool.
inline void run_kernel_beside_memcpy(benchmark::State& state, Bench_Render& render,
                                     Kernel_Implementation<Implementation_Cpu>& kernel) {
  kernel.execute(render.context);
  run_beside_memcpy(state, render, kernel.workload(), [&] { kernel.execute(render.context); });
}

using Benchmark_List = std::initializer_list<std::pair<const char*, void (*)(benchmark::State&)>>;

// How a benchmark's time is taken: by the benchmark itself (UseManualTime), or as wall time.
enum class Timed_By { benchmark, wall_clock };

// Registers each benchmark at one thread and at all threads (argument 0), in milliseconds.
inline bool register_on_one_and_all_threads(Benchmark_List benchmarks,
                                            Timed_By timed_by = Timed_By::benchmark) {
  for (const auto& [name, function] : benchmarks) {
    auto* registered =
        benchmark::RegisterBenchmark(name, function)->ArgName("threads")->Arg(1)->Arg(0);
    if (timed_by == Timed_By::benchmark) {
      registered->UseManualTime();
    } else {
      registered->UseRealTime();
    }
    registered->Unit(benchmark::kMillisecond);
  }
  return true;
}

// Registers each benchmark at one thread and at all threads (argument 0) on 16:9 frames of the
// given heights (argument 1), as register_on_one_and_all_threads does.
template <size_t n>
bool register_by_threads_and_frame_height(Benchmark_List benchmarks, const int64_t (&heights)[n]) {
  for (const auto& [name, function] : benchmarks) {
    auto* registered =
        benchmark::RegisterBenchmark(name, function)->ArgNames({"threads", "height"});
    for (const int64_t threads : {1, 0}) {
      for (const int64_t height : heights) {
        registered->Args({threads, height});
      }
    }
    registered->UseManualTime()->Unit(benchmark::kMillisecond);
  }
  return true;
}

// Registers each benchmark at one thread and at all threads, on 16:9 frames 1080 and 2160
// pixels high (arguments threads and height), by wall time in milliseconds.
inline bool register_by_threads_and_height(Benchmark_List benchmarks) {
  for (const auto& [name, function] : benchmarks) {
    benchmark::RegisterBenchmark(name, function)
        ->ArgNames({"threads", "height"})
        ->ArgsProduct({{1, 0}, {1080, 2160}})
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}

}  // namespace brel::bench
