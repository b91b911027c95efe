// What this machine's threads give work that shares nothing: the speed-up of a kernel is read
// beside these, as a bandwidth is read beside a memcpy. Each frame is a parallel loop of 1080
// iterations through the same pool and hand-out as a kernel's rows, and every iteration is
// arithmetic in registers alone: no memory, no lock, nothing another worker touches.
//
// - lanes: sixteen vectors of independent multiply-adds, enough in flight to keep every
//   floating-point unit of a core busy, as the kernels' vectorised rows do. Where two virtual
//   processors share one core's units, each of them gets only part of them.
// - chains: one dependent chain of square roots and divisions, bound by their latency, which
//   leaves most of a core's units idle; sharing a core costs it little.
//
// On this project's virtual machine a kernel's speed-up above these, or close to them, is what
// its processors give; the gap between lanes and chains is how much of a core the others take.
// Argument: threads, 0 for all.

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "bench_support.h"
#include "util/target_clones.h"

namespace {

using brel::bench::Bench_Render;

constexpr int64_t iterations_a_frame = 1080;

// About 20 µs of work an iteration on one core, as long as a row of the costlier kernels.
constexpr int64_t lane_steps = 6000;
constexpr int64_t chain_steps = 1500;

// 128 floats, sixteen AVX2 vectors, each a chain of its own: more than the units' latency
// times their number, so the units, not the chains, set the pace.
BREL_TARGET_CLONES_AVX2 float lanes(float seed) {
  std::array<float, 128> a{};
  for (size_t j = 0; j < a.size(); ++j) {
    a[j] = seed + 0.001f * static_cast<float>(j);
  }
  for (int64_t i = 0; i < lane_steps; ++i) {
    for (float& v : a) {
      v = v * 0.9999999f + 1.0e-7f;
    }
  }
  float sum = 0.0f;
  for (const float v : a) {
    sum += v;
  }
  return sum;
}

double chain(double seed) {
  double a = seed;
  double b = 0.5;
  for (int64_t i = 0; i < chain_steps; ++i) {
    a = std::sqrt(a * 1.0000001 + b);
    b = b / (a + 1.0);
  }
  return a + b;
}

template <class Work>
void parallel_arithmetic(benchmark::State& state, Work work) {
  Bench_Render render(state);
  const auto frame = [&] {
    render.context.parallel_for(iterations_a_frame, [&work](const brel::Iteration& iteration) {
      benchmark::DoNotOptimize(work(static_cast<float>(iteration.index)));
    });
  };
  frame();
  for (auto _ : state) {
    frame();
  }
}

void BM_machine_lanes(benchmark::State& state) {
  parallel_arithmetic(state, [](float seed) { return lanes(seed); });
}

void BM_machine_chains(benchmark::State& state) {
  parallel_arithmetic(state, [](float seed) { return chain(1.0 + seed); });
}

const bool registered = brel::bench::register_on_one_and_all_threads(
    {{"BM_machine_lanes", BM_machine_lanes}, {"BM_machine_chains", BM_machine_chains}},
    brel::bench::Timed_By::wall_clock);

}  // namespace
