// Bandwidth of the depth surface kernels and their views on a UHD frame, in 32-bit float and
// 8-bit (8-bit also at twice its sides, beyond the cache), each paired with a plain memcpy of as
// many bytes as the kernel's workload estimate counts, run in turn in the same iterations.
// Argument: threads, 0 for all; the 8-bit frames' argument 1: the frame's height.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <utility>

#include "bench_support.h"
#include "kernel/kernel_generate_normals_cpu.h"
#include "kernel/kernel_pre_blur_cpu.h"
#include "kernel/kernel_pre_color_correction_cpu.h"
#include "kernel/kernel_show_render_mode_depth_cpu.h"
#include "kernel/kernel_show_render_mode_normals_cpu.h"
#include "support/effect_plugin_host.h"

namespace {

using brel::Layer;
using brel::Vector_3;
using brel::bench::Bench_Render;
using brel::bench::Frame;
using brel::bench::frame_height;
using brel::bench::frame_height_for;
using brel::bench::frame_width;
using brel::bench::frame_width_of;
using brel::bench::run_beside_memcpy;
using brel::bench::run_kernel_beside_memcpy;

constexpr int64_t pixels = frame_width * frame_height;

// A bordered depth layer over a w x h frame (UHD unless told otherwise) with a smooth surface,
// steps and holes without depth, as the depth of a real image has.
struct Depth_Frame {
  explicit Depth_Frame(const brel::Render_Context& context, int64_t w = frame_width,
                       int64_t h = frame_height)
      : bordered(context, w + 6, h + 6) {
    inner = bordered.view;
    inner.width = w;
    inner.height = h;
    inner.pixels = brel::advance_bytes(bordered.view.pixels, 3 * bordered.view.row_bytes + 12);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        const float slope = static_cast<float>(x % 97 + y % 89) * 0.25f;
        inner.row(y)[x] = (x / 256 + y / 256) % 3 == 0 ? 0.0f : 40.0f + slope;
      }
    }
  }

  Frame<float> bordered;
  Layer<float> inner;
};

// The whole stage with the default settings (neutral correction, no texture, no colour mix), or
// with every correction step and the colour mix on.
template <class P>
void pre_color_correction(benchmark::State& state, bool corrected) {
  Bench_Render render(state);
  const int64_t h = frame_height_for<P>(state);
  Frame<P> input(render.context, frame_width_of(h), h);
  Frame<P> output(render.context, frame_width_of(h), h);
  brel::Kernel_Pre_Color_Correction<Layer<P>, brel::Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.input = input.view;
  in.output = output.view;
  in.depth_scale = 141.42136f;
  if (corrected) {
    in.color_mix = 0.5f;
    in.saturation = 0.8f;
    in.depth_bias = 0.2f;
    in.depth_gain = 0.3f;
    in.back_level = 0.1f;
    in.front_level = 0.9f;
  }
  run_kernel_beside_memcpy(state, render, kernel);
}
template <class P>
void BM_pre_color_correction(benchmark::State& state) {
  pre_color_correction<P>(state, false);
}
template <class P>
void BM_pre_color_correction_corrected(benchmark::State& state) {
  pre_color_correction<P>(state, true);
}

// The row body alone, into a depth layer made and touched before timing: the stage less the
// allocation of its depth layer and the border fill.
template <class P>
void BM_pre_color_correction_rows(benchmark::State& state) {
  using Kernel = brel::Kernel_Pre_Color_Correction<Layer<P>, brel::Implementation_Cpu>;
  Bench_Render render(state);
  const int64_t h = frame_height_for<P>(state);
  const int64_t w = frame_width_of(h);
  Frame<P> input(render.context, w, h);
  Frame<P> output(render.context, w, h);
  Depth_Frame depth(render.context, w, h);
  typename Kernel::Parameters_In in;
  in.input = input.view;
  in.output = output.view;
  in.depth_scale = 141.42136f;
  const int64_t count = brel::grain_iteration_count(h, brel::pre_color_correction_band_rows);
  const int64_t bytes = 2 * w * h * static_cast<int64_t>(sizeof(P)) + 4 * (w + 6) * (h + 6);
  run_beside_memcpy(state, render, bytes, [&] {
    brel::cpu_kernel_launch(count, &brel::pre_color_correction_rows<P>, render.context, in,
                            depth.inner);
  });
}

brel::Pre_Blur_Parameters_In blur_settings(const Layer<float>& depth, int64_t iterations) {
  brel::Pre_Blur_Parameters_In in;
  in.depth = depth;
  in.strength = 1.0f;
  in.threshold = 20.0f;
  in.depth_scale = 141.42136f;
  in.iterations = iterations;
  return in;
}

// One pass, through the launch the kernel makes for each pass, between two layers.
void BM_pre_blur_pass(benchmark::State& state) {
  Bench_Render render(state);
  Depth_Frame depth(render.context);
  Frame<float> target(render.context);
  const brel::Pre_Blur_Parameters_In in = blur_settings(depth.inner, 1);
  const int64_t count = render.context.iteration_count(frame_height / 20);
  run_beside_memcpy(state, render, 40 * pixels, [&] {
    brel::cpu_kernel_launch(count, &brel::pre_blur_rows, render.context, in, depth.inner,
                            target.view);
  });
}

// The whole kernel with 4 passes: scratch layer, copy in, passes (an even count: no copy back).
void BM_pre_blur_4_passes(benchmark::State& state) {
  Bench_Render render(state);
  Depth_Frame depth(render.context);
  brel::Kernel_Pre_Blur<Layer<brel::ARGB32f>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in = blur_settings(depth.inner, 4);
  run_kernel_beside_memcpy(state, render, kernel);
}

void generate_normals_from_depth(benchmark::State& state, bool detection) {
  Bench_Render render(state);
  Depth_Frame depth(render.context);
  brel::Kernel_Generate_Normals<Layer<brel::ARGB32f>, brel::Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in.depth = depth.inner;
  in.depth_scale = 141.42136f;
  in.discontinuity_detection = detection;
  run_kernel_beside_memcpy(state, render, kernel);
}
void BM_generate_normals(benchmark::State& state) {
  generate_normals_from_depth(state, false);
}
void BM_generate_normals_discontinuity(benchmark::State& state) {
  generate_normals_from_depth(state, true);
}

// The row body alone, into a normal layer made and touched before timing.
void BM_generate_normals_rows(benchmark::State& state) {
  using Kernel = brel::Kernel_Generate_Normals<Layer<brel::ARGB32f>, brel::Implementation_Cpu>;
  Bench_Render render(state);
  Depth_Frame depth(render.context);
  Frame<Vector_3<float>> normals(render.context);
  Kernel::Parameters_In in;
  in.depth = depth.inner;
  in.depth_scale = 141.42136f;
  const int64_t count = brel::grain_iteration_count(frame_height, brel::generate_normals_band_rows);
  run_beside_memcpy(state, render, 16 * pixels, [&] {
    brel::cpu_kernel_launch(count, &brel::generate_normals_rows<brel::ARGB32f>, render.context, in,
                            normals.view);
  });
}

template <class P>
void BM_generate_normals_texture(benchmark::State& state) {
  Bench_Render render(state);
  Depth_Frame depth(render.context);
  Frame<P> texture(render.context);
  brel::Kernel_Generate_Normals<Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.normal_texture = texture.view;
  kernel.parameters_in.depth = depth.inner;
  run_kernel_beside_memcpy(state, render, kernel);
}

template <class P>
void BM_show_render_mode_depth(benchmark::State& state) {
  Bench_Render render(state);
  const int64_t h = frame_height_for<P>(state);
  Depth_Frame depth(render.context, frame_width_of(h), h);
  Frame<P> output(render.context, frame_width_of(h), h);
  brel::Kernel_Show_Render_Mode_Depth<Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.depth = depth.inner;
  kernel.parameters_in.output = output.view;
  kernel.parameters_in.depth_scale = 141.42136f;
  run_kernel_beside_memcpy(state, render, kernel);
}

template <class P>
void BM_show_render_mode_normals(benchmark::State& state) {
  Bench_Render render(state);
  Frame<Vector_3<float>> normals(render.context);
  Frame<P> output(render.context);
  brel::Kernel_Show_Render_Mode_Normals<Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.normals = normals.view;
  kernel.parameters_in.output = output.view;
  run_kernel_beside_memcpy(state, render, kernel);
}

// The workload estimates of the kernels a float "normalmap" render runs: pre colour correction,
// the pre blur (no passes with the default settings), the normals and their view.
constexpr int64_t normalmap_render_bytes(int64_t w, int64_t h) {
  return (2 * 16 * w * h + 4 * (w + 6) * (h + 6)) + (4 + 12) * w * h + (12 + 16) * w * h;
}

// A whole render in the mode "normalmap" of a 1920 × 1080 float frame: the render call from the
// effect object through the parameter reads, the pixel-type translation and the pipeline's
// depth stages and view.
void BM_render_normalmap_1080p_float(benchmark::State& state) {
  using P = brel::ARGB32f;
  constexpr int64_t w = 1920;
  constexpr int64_t h = 1080;
  Bench_Render render(state);
  brel::test::Effect_Plugin_Host effect;
  effect.store().set_popup("render mode", 5);  // "normalmap"
  Frame<P> input(render.context, w, h);
  Frame<P> output(render.context, w, h);
  const brel::Layer_Typeless in = input.typeless({1, 32, 1, 2, 3, 0});
  const brel::Layer_Typeless out = output.typeless(in.pixel_description);
  run_beside_memcpy(state, render, normalmap_render_bytes(w, h), [&] {
    effect.command(false).render({}, render.context, in, out, {}, in.pixel_description);
  });
}

using F = brel::ARGB32f;
using B = brel::ARGB8;

// Each on one thread and on all of them; 8-bit frames also beyond the cache.
const bool registered = [] {
  brel::bench::register_by_threads_and_frame_height(
      {
          {"BM_pre_color_correction<ARGB8>", BM_pre_color_correction<B>},
          {"BM_pre_color_correction_corrected<ARGB8>", BM_pre_color_correction_corrected<B>},
          {"BM_pre_color_correction_rows<ARGB8>", BM_pre_color_correction_rows<B>},
          {"BM_show_render_mode_depth<ARGB8>", BM_show_render_mode_depth<B>},
      },
      brel::bench::frame_heights_beyond_the_cache);
  return brel::bench::register_on_one_and_all_threads({
      {"BM_pre_color_correction<ARGB32f>", BM_pre_color_correction<F>},
      {"BM_pre_color_correction_corrected<ARGB32f>", BM_pre_color_correction_corrected<F>},
      {"BM_pre_color_correction_rows<ARGB32f>", BM_pre_color_correction_rows<F>},
      {"BM_pre_blur_pass", BM_pre_blur_pass},
      {"BM_pre_blur_4_passes", BM_pre_blur_4_passes},
      {"BM_generate_normals", BM_generate_normals},
      {"BM_generate_normals_discontinuity", BM_generate_normals_discontinuity},
      {"BM_generate_normals_rows", BM_generate_normals_rows},
      {"BM_generate_normals_texture<ARGB32f>", BM_generate_normals_texture<F>},
      {"BM_generate_normals_texture<ARGB8>", BM_generate_normals_texture<B>},
      {"BM_show_render_mode_depth<ARGB32f>", BM_show_render_mode_depth<F>},
      {"BM_show_render_mode_normals<ARGB32f>", BM_show_render_mode_normals<F>},
      {"BM_show_render_mode_normals<ARGB8>", BM_show_render_mode_normals<B>},
      {"BM_render_normalmap_1080p_float", BM_render_normalmap_1080p_float},
  });
}();

}  // namespace
