// The final routine on a relief lit like the demo scene (both lights, glossiness, translucency,
// an environment for reflections and illumination, transparency over a background), at
// 1920 × 1080 float, for every environment gather mode and oversampling level; and the whole
// default render of a UHD 16-bit frame through the effect, with the share of every stage; and the
// environment's preparation under a reflection bias.
// Arguments: threads (0 for all), then gather mode and oversampling.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "base/log.h"
#include "bench_support.h"
#include "kernel/kernel_final_routine_cpu.h"
#include "kernel/kernel_prepare_environment_layer_cpu.h"
#include "support/effect_plugin_host.h"

namespace {

using brel::Layer;
using brel::Vector_3;
using brel::bench::Bench_Render;
using brel::bench::Frame;

using P = brel::ARGB32f;
constexpr int64_t width = 1920;
constexpr int64_t height = 1080;

// Depth of a dome on gentle ripples, with a sharp-edged plateau: smooth parts take one sample,
// the rims and edges are supersampled.
float relief(int64_t x, int64_t y) {
  const float u = static_cast<float>(x) / height - 0.9f;
  const float v = static_cast<float>(y) / height - 0.5f;
  float depth = 10.0f + 2.0f * std::sin(u * 18.0f) * std::sin(v * 14.0f);
  const float r2 = (u + 0.3f) * (u + 0.3f) + v * v;
  if (r2 < 0.09f) {
    depth = std::max(depth, 10.0f + 40.0f * std::sqrt(1.0f - r2 / 0.09f));
  }
  if (std::fabs(u - 0.4f) < 0.2f && std::fabs(v + 0.1f) < 0.15f) {
    depth = 35.0f;
  }
  return depth;
}

struct Final_Scene {
  explicit Final_Scene(const brel::Render_Context& context)
      : output(context, width, height),
        background(context, width, height),
        depth(context, width, height),
        normals(context, width, height),
        environment(context, width / 2, height / 2) {
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        depth.view.row(y)[x] = relief(x, y);
        output.view.row(y)[x] = {{1.0f, 0.7f, 0.5f, 0.4f}};
        const float line = (x / 24 + y / 24) % 2 == 0 ? 0.8f : 0.3f;
        background.view.row(y)[x] = {{1.0f, line, 0.4f, 1.0f - line}};
      }
    }
    for (int64_t y = 0; y < height; ++y) {
      for (int64_t x = 0; x < width; ++x) {
        const float* row = depth.view.row(y);
        const float* below = depth.view.row(y + 1 < height ? y + 1 : y);
        const float dx = row[x + 1 < width ? x + 1 : x] - row[x];
        const float dy = below[x] - row[x];
        const float length = std::sqrt(dx * dx + dy * dy + 1.0f);
        normals.view.row(y)[x] = {-dx / length, dy / length, 1.0f / length};
      }
    }
    for (int64_t y = 0; y < environment.view.height; ++y) {
      for (int64_t x = 0; x < environment.view.width; ++x) {
        const float sky = static_cast<float>(y) / static_cast<float>(environment.view.height);
        environment.view.row(y)[x] = {{1.0f, 0.8f - 0.5f * sky, 0.85f - 0.4f * sky, 1.0f - sky}};
      }
    }
    in.source = output.view;
    in.output = output.view;
    in.background = background.view;
    in.depth = depth.view;
    in.normals = normals.view;
    in.depth_scale = 56.568542f;  // "depth factor" 40
    in.glossiness = 0.4f;
    in.translucency = 0.2f;
    in.transparency = 0.3f;
    in.colorize = 0.2f;
    in.discontinuity_threshold = 20.0f;
    in.direct_light = {0.9f, 1.0f, {0.4f, 0.3f, -0.866f}, {1.0f, 1.0f, 1.0f}, true, 0};
    in.point_light.intensity = 0.6f;
    in.point_light.falloff = 1.0f;
    in.point_light.position_x = 1300.0f;
    in.point_light.position_y = 300.0f;
    in.point_light.position_z = 400.0f;
    in.point_light.color = {1.0f, 0.9f, 0.8f};
    in.point_light.attenuation_color = {1.0f, 0.5f, 0.2f};
    auto& e = in.environment;
    e.environment_texture = environment.view;
    e.perspective = 0.0f;
    e.depth_scale = in.depth_scale;
    e.glossiness = in.glossiness;
    e.reflection_amount = 0.2f;
    e.illumination_amount = 0.3f;
    e.illumination_color = {1.0f, 1.0f, 1.0f};
    e.blur_illumination = 0.3f;
  }

  Frame<P> output;
  Frame<P> background;
  Frame<float> depth;
  Frame<Vector_3<float>> normals;
  Frame<P> environment;
  brel::Final_Routine_Parameters_In<P> in;
};

void BM_final_routine_1080p_float(benchmark::State& state) {
  Bench_Render render(state);
  Final_Scene scene(render.context);
  brel::Kernel_Final_Routine<Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in = scene.in;
  kernel.parameters_in.environment.gather_mode = static_cast<int32_t>(state.range(1));
  kernel.parameters_in.oversampling = static_cast<int32_t>(state.range(2));
  brel::bench::run_kernel_beside_memcpy(state, render, kernel);
}

// The same scene in mode 1 with one sample a pixel and a look that the lanes gather or raise
// for: 0 textures of glossiness, translucency, transparency and specular colour over the middle
// half of the columns and rows, 1 a gamma correction of 1.8, 2 "highlights only".
// Arguments: threads (0 for all), then the look.
void BM_final_routine_1080p_float_looks(benchmark::State& state) {
  Bench_Render render(state);
  Final_Scene scene(render.context);
  Frame<P> texture(render.context, width / 2, height / 2);
  texture.view.origin_x = width / 4;
  texture.view.origin_y = height / 4;
  brel::Kernel_Final_Routine<Layer<P>, brel::Implementation_Cpu> kernel;
  auto& in = kernel.parameters_in;
  in = scene.in;
  in.environment.gather_mode = 1;
  const int64_t look = state.range(1);
  if (look == 0) {
    in.glossiness_texture = texture.view;
    in.translucency_texture = texture.view;
    in.transparency_texture = texture.view;
    in.specular_color_texture = texture.view;
    in.specular_tint = 0.5f;
  } else if (look == 1) {
    in.gamma = 1.8f;
    in.environment.gamma = 1.8f;
  } else {
    in.highlights_only = 1;
  }
  brel::bench::run_kernel_beside_memcpy(state, render, kernel);
}

// The environment prepared for the reflections at UHD float under a reflection bias, without a
// gamma (look 0, the bias's power alone) and with one (look 1), beside a memcpy.
void BM_prepare_environment_bias(benchmark::State& state) {
  Bench_Render render(state);
  Frame<P> environment(render.context);
  Frame<P> prepared(render.context);
  brel::Kernel_Prepare_Environment_Layer<Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.image = {environment.view, prepared.view};
  kernel.parameters_in.bias = 0.4f;
  kernel.parameters_in.gamma = state.range(1) == 0 ? 1.0f : 2.2f;
  brel::bench::run_kernel_beside_memcpy(state, render, kernel);
}

// The whole default render ("all") of a UHD 16-bit frame whose red channel holds the depth,
// through the effect as the host calls it. Counters: each stage's share of the render's time.
void BM_render_all_uhd_16bit(benchmark::State& state) {
  using Q = brel::ARGB16;
  constexpr int64_t w = brel::bench::frame_width;
  constexpr int64_t h = brel::bench::frame_height;
  Bench_Render render(state);
  brel::test::Effect_Plugin_Host effect;
  Frame<Q> input(render.context, w, h);
  Frame<Q> output(render.context, w, h);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const auto depth = static_cast<uint16_t>(relief(x / 2, y / 2) * 500.0f);
      input.view.row(y)[x] = {{32768, depth, 20000, 12000}};
    }
  }
  const brel::Layer_Typeless in = input.typeless({1, 16, 1, 2, 3, 0});
  const brel::Layer_Typeless out = output.typeless(in.pixel_description);
  // Timing scopes carry their names only while the log is active.
  brel::global_log().set_verbose(true);
  brel::bench::run_beside_memcpy(state, render, w * h * 16, [&] {
    render.timing_table.reset();
    effect.command(false).render({}, render.context, in, out, {}, in.pixel_description);
  });
  double total = 0.0;
  for (const auto& child : render.timing_table.root().children) {
    total += child->end - child->start;
  }
  for (const auto& child : render.timing_table.root().children) {
    state.counters[child->name + " %"] = 100.0 * (child->end - child->start) / total;
  }
  brel::global_log().set_verbose(false);
}

const bool registered = [] {
  benchmark::RegisterBenchmark("BM_final_routine_1080p_float", BM_final_routine_1080p_float)
      ->ArgNames({"threads", "mode", "oversampling"})
      ->ArgsProduct({{1, 0}, {1, 2, 3, 4}, {1, 2, 3, 4}})
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_final_routine_1080p_float_looks",
                               BM_final_routine_1080p_float_looks)
      ->ArgNames({"threads", "look"})
      ->ArgsProduct({{1, 0}, {0, 1, 2}})
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_prepare_environment_bias", BM_prepare_environment_bias)
      ->ArgNames({"threads", "look"})
      ->ArgsProduct({{1, 0}, {0, 1}})
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  return brel::bench::register_on_one_and_all_threads(
      {{"BM_render_all_uhd_16bit", BM_render_all_uhd_16bit}});
}();

}  // namespace
