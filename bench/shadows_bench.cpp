// Time per frame of the shadow kernels at 1920 × 1080 and 3840 × 2160, on one thread and on all:
// the point shadow with the light inside the frame and far outside it, the directional shadow
// at the default light and at 30 degrees (lines stepping in y) and at 70 degrees (in x), and one
// smoothing pass. Arguments: threads (0 for all), frame height (the width is 16 / 9 of it).

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "bench_support.h"
#include "effect/light.h"
#include "kernel/kernel_directional_shadow_cpu.h"
#include "kernel/kernel_point_shadow_cpu.h"
#include "kernel/kernel_smooth_shadows_cpu.h"

namespace {

using brel::Layer;
using brel::bench::Bench_Render;
using brel::bench::Frame;

// A bordered depth layer with rolling hills, blocks standing out of them and holes without
// depth, as the depth of a real image has: every kernel meets shadow edges everywhere.
struct Terrain {
  Terrain(const brel::Render_Context& context, int64_t width, int64_t height)
      : bordered(context, width + 6, height + 6) {
    inner = bordered.view;
    inner.width = width;
    inner.height = height;
    inner.pixels = brel::advance_bytes(bordered.view.pixels, 3 * bordered.view.row_bytes + 12);
    for (int64_t y = 0; y < bordered.view.height; ++y) {
      for (int64_t x = 0; x < bordered.view.width; ++x) {
        const float hills = 20.0f * std::sin(0.01f * static_cast<float>(x)) *
                            std::cos(0.013f * static_cast<float>(y));
        const bool block = (x / 120 + y / 90) % 4 == 0 && x % 120 < 40 && y % 90 < 30;
        const bool hole = (x / 300 + y / 200) % 5 == 1 && x % 300 < 20;
        bordered.view.row(y)[x] = hole ? 0.0f : 60.0f + hills + (block ? 30.0f : 0.0f);
      }
    }
  }

  Frame<float> bordered;
  Layer<float> inner;
};

int64_t width_of(const benchmark::State& state) {
  return state.range(1) * 16 / 9;
}

void point_shadow(benchmark::State& state, float light_x, float light_y) {
  Bench_Render render(state);
  const int64_t h = state.range(1);
  const int64_t w = width_of(state);
  Terrain terrain(render.context, w, h);
  brel::Kernel_Point_Shadow kernel;
  auto& in = kernel.parameters_in;
  in.depth = terrain.inner;
  in.depth_scale = 141.42136f;
  in.translucency = 0.5f;
  in.light.intensity = 1.0f;
  in.light.position_x = light_x * static_cast<float>(w);
  in.light.position_y = light_y * static_cast<float>(h);
  in.light.position_z = 400.0f;
  in.light.shadows = true;
  brel::bench::run_frames(state, kernel, render.context);
}

void BM_point_shadow_inside(benchmark::State& state) {
  point_shadow(state, 0.4f, 0.45f);
}

void BM_point_shadow_far_outside(benchmark::State& state) {
  point_shadow(state, -3.0f, -2.0f);
}

void directional_shadow(benchmark::State& state, double angle) {
  Bench_Render render(state);
  Terrain terrain(render.context, width_of(state), state.range(1));
  brel::Kernel_Directional_Shadow kernel;
  auto& in = kernel.parameters_in;
  in.depth_with_border = terrain.bordered.view;
  in.depth_scale = 141.42136f;
  in.translucency = 0.5f;
  in.light.intensity = 1.0f;
  in.light.direction = brel::direct_light_direction(angle, 0.5);
  in.light.shadows = true;
  brel::bench::run_frames(state, kernel, render.context);
}

void BM_directional_shadow_default(benchmark::State& state) {
  directional_shadow(state, 135.0);
}

void BM_directional_shadow_30_degrees(benchmark::State& state) {
  directional_shadow(state, 30.0);
}

void BM_directional_shadow_70_degrees(benchmark::State& state) {
  directional_shadow(state, 70.0);
}

// One pass of the opaque rule, with the copy into the scratch layer and back that every odd
// count makes.
void BM_smooth_shadows_one_pass(benchmark::State& state) {
  Bench_Render render(state);
  const int64_t h = state.range(1);
  const int64_t w = width_of(state);
  Terrain terrain(render.context, w, h);
  Frame<float> shadow(render.context, w, h);
  brel::Kernel_Smooth_Shadows kernel;
  kernel.parameters_in = {terrain.inner, shadow.view, 1, 141.42136f, true, true};
  brel::bench::run_frames(state, kernel, render.context);
}

const bool registered = brel::bench::register_by_threads_and_height({
    {"point_shadow_inside", BM_point_shadow_inside},
    {"point_shadow_far_outside", BM_point_shadow_far_outside},
    {"directional_shadow_default", BM_directional_shadow_default},
    {"directional_shadow_30_degrees", BM_directional_shadow_30_degrees},
    {"directional_shadow_70_degrees", BM_directional_shadow_70_degrees},
    {"smooth_shadows_one_pass", BM_smooth_shadows_one_pass},
});

}  // namespace
