// Bandwidth of the generic layer kernels on a UHD frame (float layers also at twice its sides,
// beyond the cache). Every iteration pairs the kernel with a plain memcpy that moves as many bytes
// (half read, half written) on as many threads; bandwidths are the kernel's own workload estimate
// over the fastest run of each, beside the kernel's percentage of the memcpy's. Argument:
// threads, 0 for all; the float layers' argument 1: the frame's height.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <utility>

#include "base/kernel_clear.h"
#include "base/kernel_copy.h"
#include "base/kernel_prefix_scan_2d.h"
#include "bench_support.h"

namespace {

using brel::bench::Bench_Render;
using brel::bench::Frame;
using brel::bench::frame_height_for;
using brel::bench::frame_width_of;
using brel::bench::run_kernel_beside_memcpy;

template <class P>
void clear(benchmark::State& state) {
  Bench_Render render(state);
  const int64_t height = frame_height_for<P>(state);
  Frame<P> layer(render.context, frame_width_of(height), height);
  brel::Kernel_Clear<brel::Layer<P>, brel::Implementation_Cpu> kernel;
  kernel.parameters_in.layer = layer.view;
  run_kernel_beside_memcpy(state, render, kernel);
}

void BM_clear_float(benchmark::State& state) {
  clear<float>(state);
}
void BM_clear_rgb32f(benchmark::State& state) {
  clear<brel::RGB32f>(state);
}

void BM_copy_float(benchmark::State& state) {
  Bench_Render render(state);
  const int64_t height = frame_height_for<float>(state);
  Frame<float> source(render.context, frame_width_of(height), height);
  Frame<float> destination(render.context, frame_width_of(height), height);
  brel::Kernel_Copy<brel::Layer<float>, brel::Layer<float>, brel::Implementation_Cpu> copy;
  copy.parameters_in.source = source.view;
  copy.parameters_in.destination = destination.view;
  copy.parameters_in.offset_x = 3;  // a few border columns on the right, as a shifted copy has
  copy.parameters_in.edge_mode = brel::Edge_Mode_Mirror;
  run_kernel_beside_memcpy(state, render, copy);
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
  run_kernel_beside_memcpy(state, render, scan);
}

void BM_prefix_scan_rgb32f(benchmark::State& state) {
  prefix_scan<brel::RGB32f, brel::RGB32f>(state);
}

void BM_prefix_scan_argb32f(benchmark::State& state) {
  prefix_scan<brel::ARGB32f, brel::ARGB32f>(state);
}

// Each kernel on one thread and on all of them; the float layers also beyond the cache.
const bool registered = [] {
  brel::bench::register_by_threads_and_frame_height(
      {{"BM_clear_float", BM_clear_float}, {"BM_copy_float", BM_copy_float}},
      brel::bench::frame_heights_beyond_the_cache);
  return brel::bench::register_on_one_and_all_threads({
      {"BM_clear_rgb32f", BM_clear_rgb32f},
      {"BM_prefix_scan_rgb32f", BM_prefix_scan_rgb32f},
      {"BM_prefix_scan_argb32f", BM_prefix_scan_argb32f},
  });
}();

}  // namespace
