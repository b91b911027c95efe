// The refraction (in each gather mode) and the environmental occlusion (full mode at radius 16
// and 100, quick mode at 16 and 100) of a 1920 × 1080 frame, each on one thread and on all of
// them (argument: threads, 0 for all). Wall time per frame: the gathers and the occlusion
// window's (2 r + 1)² samples cost far more than their memory traffic, so no memcpy is set
// beside them.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench_support.h"
#include "kernel/kernel_environmental_occlusion_cpu.h"
#include "kernel/kernel_refraction_cpu.h"

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

// Times each frame of the kernel, with the pixels it shades per second.
void run_timed(benchmark::State& state, const Bench_Render& render,
               brel::Kernel_Implementation<brel::Implementation_Cpu>& kernel) {
  brel::bench::run_frames(state, kernel, render.context);
  state.counters["pixels_per_second"] = benchmark::Counter(
      static_cast<double>(width * height), benchmark::Counter::kIsIterationInvariantRate);
}

// A perspective view through glass of index 1.33 with a blur of 10 at a depth factor of 100.
void refraction(benchmark::State& state, int32_t gather_mode) {
  Bench_Render render(state);
  Surface surface(render.context);
  Frame<brel::RGB32f> background(render.context, width, height);
  brel::Kernel_Refraction<Layer<brel::ARGB32f>, brel::Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.lit_background = background.view;
  in.depth = surface.depth.view;
  in.normals = surface.normals.view;
  in.transparency = 1.0f;
  in.refraction.refraction_index = 1.33f;
  in.refraction.perspective = 0.3f;
  in.refraction.blur_scale = 10.0f / 141.42136f;
  in.refraction.gather_mode = gather_mode;
  run_timed(state, render, kernel);
}

void BM_refraction_mode_1(benchmark::State& state) {
  refraction(state, 1);
}
void BM_refraction_mode_2(benchmark::State& state) {
  refraction(state, 2);
}
void BM_refraction_mode_3(benchmark::State& state) {
  refraction(state, 3);
}
void BM_refraction_mode_4(benchmark::State& state) {
  refraction(state, 4);
}

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
  run_timed(state, render, kernel);
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

// Each on one thread and on all of them, by wall time.
const bool registered = brel::bench::register_on_one_and_all_threads(
    {
        {"BM_refraction_mode_1", BM_refraction_mode_1},
        {"BM_refraction_mode_2", BM_refraction_mode_2},
        {"BM_refraction_mode_3", BM_refraction_mode_3},
        {"BM_refraction_mode_4", BM_refraction_mode_4},
        {"BM_occlusion_full_radius_16", BM_occlusion_full_radius_16},
        {"BM_occlusion_full_radius_100", BM_occlusion_full_radius_100},
        {"BM_occlusion_quick_radius_16", BM_occlusion_quick_radius_16},
        {"BM_occlusion_quick_radius_100", BM_occlusion_quick_radius_100},
    },
    brel::bench::Timed_By::wall_clock);

}  // namespace
