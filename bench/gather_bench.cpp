// The gatherers on a UHD layer: the double summed-area table and the pyramid build beside a
// memcpy of as many bytes, and gathers per second in every mode for small (about 1.5 pixels) and
// large (about 50 pixels) footprints. Argument 0: threads, 0 for all; argument 1 of the gathers:
// the mode; argument 2: the footprint size in pixels.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "base/kernel_prefix_scan_2d.h"
#include "bench_support.h"
#include "kernel/gatherer_cpu.h"

namespace {

using brel::Blur_Coordinates;
using brel::Layer;
using brel::bench::Bench_Render;
using brel::bench::Frame;
using brel::bench::frame_height;
using brel::bench::frame_width;

template <class S>
void sum_table(benchmark::State& state) {
  using Cell = typename brel::gather::Gather_Pixel<S>::Cell;
  Bench_Render render(state);
  Frame<S> source(render.context);
  Frame<Cell> table(render.context);
  brel::Kernel_Prefix_Scan_2d<Layer<S>, Layer<Cell>, brel::Implementation_Cpu> scan;
  scan.parameters_in.source = source.view;
  scan.parameters_in.destination = table.view;
  scan.parameters_in.vertical_pass = true;
  brel::bench::run_kernel_beside_memcpy(state, render, scan);
}

void BM_sum_table_double_rgb32f(benchmark::State& state) {
  sum_table<brel::RGB32f>(state);
}
void BM_sum_table_double_argb8(benchmark::State& state) {
  sum_table<brel::ARGB8>(state);
}

// The whole build; its bytes are the source read twice (the level 1 pass and the row sums of
// level 0) and every level and row-sum layer written once, read once more for the next level.
template <class P>
void pyramid(benchmark::State& state) {
  using Pyramids = brel::PolygonGather<Layer<P>, brel::Implementation_Cpu>;
  Bench_Render render(state);
  Frame<P> source(render.context);
  Pyramids pyramids;
  pyramids.source = source.view;
  pyramids.execute(render.context);
  int64_t bytes = 2 * frame_width * frame_height * static_cast<int64_t>(sizeof(P));
  for (int64_t k = 0; k < pyramids.level_count; ++k) {
    const int64_t pixels = pyramids.mip_layers[k].width * pyramids.mip_layers[k].height;
    bytes += pixels * static_cast<int64_t>(sizeof(typename Pyramids::Sum_Pixel));
    if (k > 0) {
      bytes += 2 * pixels * static_cast<int64_t>(sizeof(P));
    }
  }
  brel::bench::run_beside_memcpy(state, render, bytes, [&] { pyramids.execute(render.context); });
}

// The step from level 0 to level 1 alone: the source read once, level 1 and its row sums written.
template <class P>
void first_level(benchmark::State& state) {
  using Pyramids = brel::PolygonGather<Layer<P>, brel::Implementation_Cpu>;
  Bench_Render render(state);
  const int64_t height = brel::bench::frame_height_for<P>(state);
  Frame<P> source(render.context, brel::bench::frame_width_of(height), height);
  Pyramids pyramids;
  pyramids.source = source.view;
  pyramids.execute(render.context);
  const Layer<P>& level = pyramids.mip_layers[1];
  const int64_t bytes = source.view.width * source.view.height * static_cast<int64_t>(sizeof(P)) +
                        level.width * level.height *
                            static_cast<int64_t>(sizeof(P) + sizeof(typename Pyramids::Sum_Pixel));
  brel::bench::run_beside_memcpy(state, render, bytes, [&] {
    brel::cpu_kernel_launch(level.height, &brel::polygon_gather_downsample_row<P>, render.context,
                            pyramids.mip_layers.data(), pyramids.row_sum_layers.data(), int64_t{1});
  });
}

// The row sums of level 0 alone: the source read, its row sums written.
template <class P>
void level_0_sums(benchmark::State& state) {
  using Pyramids = brel::PolygonGather<Layer<P>, brel::Implementation_Cpu>;
  Bench_Render render(state);
  Frame<P> source(render.context);
  Pyramids pyramids;
  pyramids.source = source.view;
  pyramids.execute(render.context);
  const int64_t bytes = frame_width * frame_height *
                        static_cast<int64_t>(sizeof(P) + sizeof(typename Pyramids::Sum_Pixel));
  brel::bench::run_beside_memcpy(state, render, bytes, [&] {
    brel::cpu_kernel_launch(frame_height, &brel::polygon_gather_prefix_row<P>, render.context,
                            source.view, pyramids.row_sum_layers.data());
  });
}

void BM_pyramid_step_1_rgb32f(benchmark::State& state) {
  first_level<brel::RGB32f>(state);
}
void BM_pyramid_step_1_argb8(benchmark::State& state) {
  first_level<brel::ARGB8>(state);
}
void BM_pyramid_sums_0_rgb32f(benchmark::State& state) {
  level_0_sums<brel::RGB32f>(state);
}
void BM_pyramid_sums_0_argb8(benchmark::State& state) {
  level_0_sums<brel::ARGB8>(state);
}

void BM_pyramid_rgb32f(benchmark::State& state) {
  pyramid<brel::RGB32f>(state);
}
void BM_pyramid_argb8(benchmark::State& state) {
  pyramid<brel::ARGB8>(state);
}

// Gathers over a 1024 x 256 block of output pixels whose landing points sit 0.3 pixels off the
// grid with a blur that makes footprints of about `size` pixels; rows spread over the threads.
template <class P>
void gathers(benchmark::State& state) {
  Bench_Render render(state);
  const auto mode = static_cast<int32_t>(state.range(1));
  const auto size = static_cast<float>(state.range(2));
  Frame<P> source(render.context);
  const brel::Gatherer<Layer<P>, brel::Implementation_Cpu> gatherer(render.context, source.view,
                                                                    mode);
  constexpr int64_t width = 1024;
  constexpr int64_t height = 256;
  std::vector<Blur_Coordinates> points((height + 1) * width);
  for (int64_t y = 0; y <= height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      points[y * width + x] = {static_cast<float>(x + 1400) + 0.3f,
                               static_cast<float>(y + 900) + 0.3f, (size - 1.0f) * 0.5f};
    }
  }
  std::vector<float> sink(static_cast<size_t>(render.pool.worker_count()) * 16);
  for (auto _ : state) {
    render.context.parallel_for(height, [&](const brel::Iteration& iteration) {
      const int64_t y = iteration.index + 1;
      float total = 0.0f;
      for (int64_t x = 0; x < width; ++x) {
        brel::Footprint_Scale scale{1.0f, 1.0f};
        const Blur_Coordinates* const first = &points[y * width];
        const Blur_Coordinates* const second = &points[(y - 1) * width];
        if constexpr (std::is_same_v<P, brel::RGB32f>) {
          total += brel::gather_pixel(gatherer, x, y, scale, first, second).channel[0];
        } else {
          total +=
              brel::gather_environment_footprint(&gatherer, x, y, scale, first, second).channel[1];
        }
      }
      sink[static_cast<size_t>(iteration.worker_index) * 16] += total;
    });
    benchmark::DoNotOptimize(sink.data());
  }
  state.SetItemsProcessed(state.iterations() * width * height);
}

void BM_gather_rgb32f(benchmark::State& state) {
  gathers<brel::RGB32f>(state);
}
void BM_gather_argb8(benchmark::State& state) {
  gathers<brel::ARGB8>(state);
}

const bool registered = [] {
  // The first step of 8-bit frames moves 108 MB at UHD: also beyond the cache.
  brel::bench::register_by_threads_and_frame_height(
      {{"BM_pyramid_step_1_argb8", BM_pyramid_step_1_argb8}},
      brel::bench::frame_heights_beyond_the_cache);
  brel::bench::register_on_one_and_all_threads({
      {"BM_sum_table_double_rgb32f", BM_sum_table_double_rgb32f},
      {"BM_sum_table_double_argb8", BM_sum_table_double_argb8},
      {"BM_pyramid_rgb32f", BM_pyramid_rgb32f},
      {"BM_pyramid_argb8", BM_pyramid_argb8},
      {"BM_pyramid_step_1_rgb32f", BM_pyramid_step_1_rgb32f},
      {"BM_pyramid_sums_0_rgb32f", BM_pyramid_sums_0_rgb32f},
      {"BM_pyramid_sums_0_argb8", BM_pyramid_sums_0_argb8},
  });
  using Benchmark = void (*)(benchmark::State&);
  const std::pair<const char*, Benchmark> gathers[] = {{"BM_gather_rgb32f", BM_gather_rgb32f},
                                                       {"BM_gather_argb8", BM_gather_argb8}};
  for (const auto& [name, function] : gathers) {
    benchmark::RegisterBenchmark(name, function)
        ->ArgNames({"threads", "mode", "size"})
        ->ArgsProduct({{1, 0}, {1, 2, 3, 4}, {2, 50}})
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
