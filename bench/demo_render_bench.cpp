// The renderer's demo scene (the whole effect: both lights with shadows, environment
// reflections and illumination, refraction of a background, caustics) rendered through the
// plug-in library under the simulated host, as a host renders a sequence: the frame and its
// layers stay, and every frame is a smart pre-render and a smart render. The host keeps the
// memory of disposed handles, so after the untimed first frame the effect's working layers are
// no longer fresh pages. Arguments: threads (0 for all), frame height (width 16:9).

#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "demo_scene.h"
#include "frame_io.h"
#include "param_setting.h"
#include "plugin_driver.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::Plugin_Driver;
using brel::sim::Simulated_Host;

constexpr int bits = 16;
constexpr lumbrix::Channel_Order order = lumbrix::Channel_Order::argb;

void fill(brel::sim::World& world, lumbrix::Demo_Layer layer, int64_t width, int64_t height) {
  std::vector<float> rgba(static_cast<size_t>(width) * 4);
  for (int64_t y = 0; y < height; ++y) {
    lumbrix::demo_row(layer, width, height, y, rgba.data());
    lumbrix::fill_world_rows(*world.get(), bits, order, y, 1, rgba.data());
  }
}

void check(PF_Err err, const char* what) {
  if (err != PF_Err_NONE) {
    throw std::runtime_error(std::string(what) + " answered " + std::to_string(err));
  }
}

void BM_render_demo_16bit(benchmark::State& state) {
  const int64_t height = state.range(1);
  const int64_t width = height * 16 / 9;
  Simulated_Host host(Host_Identity::after_effects());
  host.set_thread_count(static_cast<int32_t>(
      state.range(0) > 0 ? state.range(0) : std::thread::hardware_concurrency()));
  Plugin_Driver driver(host, LUMBRIX_PLUGIN_PATH);
  driver.set_clear_worlds(false);
  check(driver.global_setup(), "global set-up");
  check(driver.params_setup(), "parameter set-up");
  for (const auto& [name, value] : lumbrix::demo_settings()) {
    lumbrix::apply_setting(host.parameters(), name, value, width, height);
  }
  const PF_PixelFormat format =
      lumbrix::pixel_format_for(lumbrix::Host_Kind::after_effects, bits, order);
  const auto w = static_cast<int32_t>(width);
  const auto h = static_cast<int32_t>(height);
  fill(driver.set_frame(w, h, format), lumbrix::Demo_Layer::depth_pass, width, height);
  fill(driver.set_texture("surface color texture", w, h), lumbrix::Demo_Layer::surface, width,
       height);
  fill(driver.set_texture("environmental layer", w, h), lumbrix::Demo_Layer::environment, width,
       height);
  fill(driver.set_texture("background", w, h), lumbrix::Demo_Layer::background, width, height);

  const auto render = [&] {
    check(driver.smart_pre_render(), "the smart pre-render");
    check(driver.smart_render(), "the smart render");
  };
  render();
  const int64_t faults_before = brel::bench::minor_page_faults();
  for (auto _ : state) {
    render();
  }
  brel::bench::report_page_faults(state, faults_before);
  state.counters["megapixels_per_second"] = benchmark::Counter(
      static_cast<double>(width * height) * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

const bool registered =
    brel::bench::register_by_threads_and_height({{"BM_render_demo_16bit", BM_render_demo_16bit}});

}  // namespace
