#include <benchmark/benchmark.h>

#include <memory>

#include "base/timing_table.h"

namespace {

// Opening and closing one scope, as every kernel launch does. The tree grows by one node per
// scope, so it is restarted now and then outside the measured time.
template <typename Own_Stop_Watch>
void open_and_close_scope(benchmark::State& state) {
  brel::Timing_Table table;
  int64_t open = 0;
  for (auto _ : state) {
    auto scope = table.scope_timer("kernel (Cpu)", 1024, std::make_unique<Own_Stop_Watch>(), 0.0);
    benchmark::DoNotOptimize(scope.get());
    scope.reset();
    if (++open == 65536) {
      state.PauseTiming();
      table.reset();
      open = 0;
      state.ResumeTiming();
    }
  }
}

void BM_scope_system_stop_watch(benchmark::State& state) {
  open_and_close_scope<brel::Stop_Watch_System>(state);
}
BENCHMARK(BM_scope_system_stop_watch);

void BM_scope_void_stop_watch(benchmark::State& state) {
  open_and_close_scope<brel::Stop_Watch_Void>(state);
}
BENCHMARK(BM_scope_void_stop_watch);

}  // namespace
