// The caustics kernel (landing points, clear and splat) over a lens that gathers the light and
// over a flat surface, at 1920 × 1080 and 3840 × 2160, for each edge coverage; and the fill,
// paired with a plain memcpy of as many bytes as its workload estimate counts.
// Arguments: threads (0 for all), then the coverage mode and the frame height (1080 or 2160).

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "bench_support.h"
#include "kernel/kernel_caustics_cpu.h"
#include "kernel/kernel_fill_caustics_cpu.h"

namespace {

using brel::Layer;
using brel::Vector_3;
using brel::bench::Bench_Render;
using brel::bench::Frame;

// The surface the light passes through: flat at depth 10, or a round lens in the middle of the
// frame, 80 depth units thick at its centre, whose normals bend the light towards its axis.
struct Surface {
  Surface(const brel::Render_Context& context, int64_t w, int64_t h, bool lens)
      : bordered(context, w + 6, h + 6), normals(context, w, h), image(context, w, h) {
    depth = bordered.view;
    depth.width = w;
    depth.height = h;
    depth.pixels = brel::advance_bytes(bordered.view.pixels, 3 * bordered.view.row_bytes + 12);
    const float radius = 0.45f * static_cast<float>(h);
    const float cx = 0.5f * static_cast<float>(w);
    const float cy = 0.5f * static_cast<float>(h);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        const float nx = (static_cast<float>(x) - cx) / radius;
        const float ny = (cy - static_cast<float>(y)) / radius;
        const float q = nx * nx + ny * ny;
        const bool inside = lens && q < 1.0f;
        const float nz = inside ? std::sqrt(1.0f - q) : 1.0f;
        depth.row(y)[x] = inside ? 10.0f + 80.0f * nz : 10.0f;
        normals.view.row(y)[x] = inside ? Vector_3<float>{nx, ny, nz} : Vector_3<float>{0, 0, 1};
      }
    }
  }

  Frame<float> bordered;
  Layer<float> depth;
  Frame<Vector_3<float>> normals;
  Frame<brel::ARGB32f> image;
};

void caustics(benchmark::State& state, bool lens) {
  Bench_Render render(state);
  const int64_t h = state.range(2);
  const int64_t w = h * 16 / 9;
  Surface surface(render.context, w, h, lens);
  brel::Kernel_Caustics<Layer<brel::ARGB32f>, brel::Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.image = surface.image.view;
  in.depth = surface.depth;
  in.normals = surface.normals.view;
  in.direct_light.intensity = 1.0f;
  in.direct_light.direction = {0.0f, 0.0f, -1.0f};
  in.direct_light.color = {1.0f, 1.0f, 1.0f};
  in.refraction.refraction_index = 1.5f;
  in.caustics_amount = 1.0f;
  in.transparency = 1.0f;
  in.colorize = 0.5f;
  in.caustics_antialias = state.range(1);
  brel::bench::run_frames(state, kernel, render.context);
  state.SetItemsProcessed(state.iterations() * w * h);
}

void BM_caustics_lens(benchmark::State& state) {
  caustics(state, true);
}
void BM_caustics_flat(benchmark::State& state) {
  caustics(state, false);
}

// The splat alone, as the full render runs it: the direct and the point light through the lens,
// their landing points made once, with discontinuity detection on. Each frame adds into the
// same buffer (its sums grow; the work does not). Arguments: threads, then the frame height.
void BM_caustics_splat(benchmark::State& state) {
  Bench_Render render(state);
  const int64_t h = state.range(1);
  const int64_t w = h * 16 / 9;
  Surface surface(render.context, w, h, true);
  brel::Caustics_Parameters_In<brel::ARGB32f> in;
  in.image = surface.image.view;
  in.depth = surface.depth;
  in.normals = surface.normals.view;
  in.direct_light.intensity = 0.7f;
  in.direct_light.direction = {0.0f, 0.0f, -1.0f};
  in.direct_light.color = {1.0f, 1.0f, 1.0f};
  in.point_light.intensity = 0.5f;
  in.point_light.position_x = 0.3f * static_cast<float>(w);
  in.point_light.position_y = 0.2f * static_cast<float>(h);
  in.point_light.position_z = 4.0f * static_cast<float>(h);
  in.point_light.color = {1.0f, 0.9f, 0.8f};
  in.refraction.refraction_index = 1.3f;
  in.caustics_amount = 0.6f;
  in.transparency = 0.35f;
  in.colorize = 0.5f;
  in.discontinuity_detection = true;
  in.discontinuity_threshold = 2.0f;
  const auto landing = [&](auto body) {
    auto memory = brel::make_blur_coordinates_array(render.context, w, h);
    brel::cpu_kernel_launch(h, body, render.context, in,
                            brel::array_2d_view<brel::Blur_Coordinates>(*memory));
    return memory;
  };
  const auto direct = landing(&brel::init_direct_coordinates_body<brel::ARGB32f>);
  const auto point = landing(&brel::init_point_coordinates_body<brel::ARGB32f>);
  Frame<brel::RGB32f> buffer(render.context, w + 4, h);
  const auto splat = [&] {
    brel::launch_caustics_splat(render.context, in, buffer.view,
                                brel::array_2d_view<brel::Blur_Coordinates>(*direct),
                                brel::array_2d_view<brel::Blur_Coordinates>(*point));
  };
  splat();
  const int64_t faults_before = brel::bench::minor_page_faults();
  for (auto _ : state) {
    splat();
  }
  brel::bench::report_page_faults(state, faults_before);
  state.SetItemsProcessed(state.iterations() * w * h);
}

// The fill of a UHD buffer that holds differences, over a float background.
void BM_fill_caustics(benchmark::State& state) {
  Bench_Render render(state);
  constexpr int64_t w = brel::bench::frame_width;
  constexpr int64_t h = brel::bench::frame_height;
  Frame<brel::RGB32f> buffer(render.context, w + 4, h);
  Frame<brel::ARGB32f> background(render.context, w, h);
  brel::Kernel_Fill_Caustics<Layer<brel::ARGB32f>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.background = background.view;
  kernel.parameters_in.caustics_buffer = buffer.view;
  kernel.parameters_in.integrate = true;
  brel::bench::run_kernel_beside_memcpy(state, render, kernel);
}

const bool registered = [] {
  for (const auto function : {&BM_caustics_lens, &BM_caustics_flat}) {
    benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(
        function == &BM_caustics_lens ? "BM_caustics_lens" : "BM_caustics_flat", function);
    b->ArgNames({"threads", "mode", "height"})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MeasureProcessCPUTime();
    for (const int64_t height : {1080, 2160}) {
      for (const int64_t mode : {1, 2, 3}) {
        for (const int64_t threads : {1, 0}) {
          b->Args({threads, mode, height});
        }
      }
    }
  }
  benchmark::RegisterBenchmark("BM_caustics_splat", BM_caustics_splat)
      ->ArgNames({"threads", "height"})
      ->ArgsProduct({{1, 0}, {1080, 2160}})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime();
  return brel::bench::register_on_one_and_all_threads({{"BM_fill_caustics", BM_fill_caustics}});
}();

}  // namespace
