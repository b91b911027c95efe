#include "base/after_effects/helper/ae_parallel.h"

#include <new>
#include <string>

#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_result.h"
#include "base/exception.h"
#include "base/log.h"
#include "util/iteration_runs.h"

namespace brel::ae {
namespace {

void check_result(PF_Err result, Report_Position at) {
  ae::throw_on_host_error(result, at);
}
constexpr const char* warning_prefix = "-**### WARNING ###**-: ";
constexpr const char* error_prefix = "-**###  ERROR  ###**-: ";

// Shared by every host thread of one loop; lives on the stack of parallel_for_host.
struct Host_Loop_State {
  std::function<void(const Iteration&)> job;
  int64_t count = 0;
  std::atomic<int64_t> next_worker{1};
  std::atomic<int64_t> next_index{0};
  // The first failure of any thread. The host folds the threads' codes into one result of its
  // own choosing, and a thread that stopped on an abort answers the host "no error"; keeping the
  // first code here means no failed iteration is ever reported as a finished loop.
  std::atomic<PF_Err> failure{PF_Err_NONE};

  void record(PF_Err code) {
    PF_Err expected = PF_Err_NONE;
    failure.compare_exchange_strong(expected, code);
  }
};

// Writes a message without letting a failure of the log escape into the host.
void write_quietly(const std::string& message, int32_t level) noexcept {
  try {
    global_log().write(message, level);
  } catch (...) {
  }
}

void report_unknown_exception(bool main_thread) noexcept {
  try {
    global_log().write(std::string(error_prefix) + "Unknown Exception escaped in " +
                           (main_thread ? "main" : "sub") +
                           " thread of iterate generic. Writing Error Log. Crashing now.\n",
                       Log::error);
    global_log().write_crash_file();
  } catch (...) {
  }
}

PF_Err iterate_generic_callback(void* refcon, A_long thread_index, A_long /*i*/,
                                A_long iterations) {
  Host_Loop_State& state = *static_cast<Host_Loop_State*>(refcon);
  const bool main_thread = thread_index == 0;
  try {
    const int64_t worker = main_thread ? 0 : state.next_worker.fetch_add(1);
    Iteration_Runs runs(state.next_index, state.count, iterations);
    for (;;) {
      const auto [first, end] = runs.claim();
      if (first >= end) {
        return PF_Err_NONE;
      }
      for (int64_t index = first; index < end; ++index) {
        state.job(Iteration{index, state.count, worker, iterations});
      }
    }
  } catch (const std::bad_alloc&) {
    if (!main_thread) {
      write_quietly(std::string(warning_prefix) + "caught out of memory Exeception in sub thread\n",
                    Log::warning);
    }
    state.record(PF_Err_OUT_OF_MEMORY);
    return PF_Err_OUT_OF_MEMORY;
  } catch (const Exception_Abort&) {
    state.record(PF_Interrupt_CANCEL);
    return main_thread ? PF_Interrupt_CANCEL : PF_Err_NONE;
  } catch (const Exception_After_Effects& e) {
    if (!main_thread) {
      write_quietly(std::string(warning_prefix) +
                        "caught AE Exeception with code: " + std::to_string(e.code()) + "( " +
                        pf_err_name(e.code()) + ") in sub thread\n",
                    Log::warning);
    }
    state.record(e.code());
    return e.code();
  } catch (...) {
    // Nothing may cross into the host: the failure is reported and becomes a host code.
    report_unknown_exception(main_thread);
    state.record(PF_Err_INTERNAL_STRUCT_DAMAGED);
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
}

PF_Err thread_count_probe(void* refcon, A_long /*thread_index*/, A_long /*i*/,
                          A_long /*iterations*/) {
  static_cast<std::atomic<int64_t>*>(refcon)->fetch_add(1);
  return PF_Err_NONE;
}

bool host_iterates(const PF_InData* in_data) {
  return in_data != nullptr && in_data->utils != nullptr &&
         in_data->utils->iterate_generic != nullptr;
}

}  // namespace

int64_t host_thread_count(PF_InData* in_data, int64_t requested) {
  if (!host_iterates(in_data)) {
    return 1;
  }
  std::atomic<int64_t> counter{0};
  check_result(in_data->utils->iterate_generic(PF_Iterations_ONCE_PER_PROCESSOR, &counter,
                                               thread_count_probe),
               report::host_thread_count);
  // A host that reports no thread at all still gets its loops run on one.
  int64_t threads = std::max<int64_t>(counter.load(), 1);
  if (requested > 0 && threads >= requested) {
    threads = requested;
  }
  return threads;
}

void parallel_for_host(int64_t count, const std::function<void(const Iteration&)>& job,
                       PF_InData* in_data, std::atomic<bool>& aborted) {
  aborted.store(false, std::memory_order_relaxed);
  if (!host_iterates(in_data)) {
    for (int64_t index = 0; index < count; ++index) {
      job(Iteration{index, count, 0, 1});
    }
    return;
  }
  Host_Loop_State state;
  state.job = job;
  state.count = count;
  const int64_t threads = host_thread_count(in_data, -1);
  PF_Err result = in_data->utils->iterate_generic(static_cast<A_long>(threads), &state,
                                                  iterate_generic_callback);
  if (result == PF_Err_NONE) {
    result = state.failure.load();
  }
  check_result(result, report::parallel_for_host);
  // A host that returned before handing out every index has not run the loop.
  BREL_ASSERT_MSG(state.next_index.load() >= count, "the host left iterations of a loop unrun");
}

}  // namespace brel::ae
