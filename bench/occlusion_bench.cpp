// Environmental occlusion of a 1920 × 1080 frame: the full mode at radius 16 and 100 and the
// quick mode at radius 16, each on one thread and on all of them (argument: threads, 0 for
// all). Wall time per frame; the full mode's work grows with the window's (2 r + 1)² samples,
// far beyond any memory traffic, so no memcpy is set beside it.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "bench_support.h"
#include "kernel/kernel_environmental_occlusion_cpu.h"

namespace {

using brel::Layer;
using brel::Vector_3;
using brel::bench::Bench_Render;
using brel::bench::Frame;

constexpr int64_t width = 1920;
constexpr int64_t height = 1080;

// A rolling surface with steps, holes without depth and normals tilted along its slopes.
struct Surface {
  explicit Surface(const brel::Render_Context& context)
      : depth(context, width, height), normals(context, width, height) {
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        const float slope = static_cast<float>(x % 97 + y % 89) * 0.25f;
        depth.view.row(y)[x] = (x / 256 + y / 256) % 3 == 0 ? 0.0f : 40.0f + slope;
        normals.view.row(y)[x] = {static_cast<float>(x % 97) / 97.0f - 0.5f,
                                  static_cast<float>(y % 89) / 89.0f - 0.5f, 0.7f};
      }
    }
  }

  Frame<float> depth;
  Frame<Vector_3<float>> normals;
};

void occlusion(benchmark::State& state, int64_t radius, bool quick_mode) {
  Bench_Render render(state);
  Surface surface(render.context);
  brel::Kernel_Environmental_Occlusion<Layer<brel::ARGB32f>, brel::Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.depth = surface.depth.view;
  in.normals = surface.normals.view;
  in.environment.occlusion_amount = 1.0f;
  in.environment.illumination_amount = 1.0f;
  in.environment.occlusion_radius = radius;
  in.environment.quick_mode = quick_mode;
  in.skip_zero_depth = true;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    kernel.execute(render.context);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["pixels_per_second"] = benchmark::Counter(
      static_cast<double>(width * height), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_occlusion_full_radius_16(benchmark::State& state) {
  occlusion(state, 16, false);
}
void BM_occlusion_full_radius_100(benchmark::State& state) {
  occlusion(state, 100, false);
}
void BM_occlusion_quick_radius_16(benchmark::State& state) {
  occlusion(state, 16, true);
}
void BM_occlusion_quick_radius_100(benchmark::State& state) {
  occlusion(state, 100, true);
}

// Each on one thread and on all of them.
const bool registered = brel::bench::register_on_one_and_all_threads({
    {"BM_occlusion_full_radius_16", BM_occlusion_full_radius_16},
    {"BM_occlusion_full_radius_100", BM_occlusion_full_radius_100},
    {"BM_occlusion_quick_radius_16", BM_occlusion_quick_radius_16},
    {"BM_occlusion_quick_radius_100", BM_occlusion_quick_radius_100},
});

}  // namespace
