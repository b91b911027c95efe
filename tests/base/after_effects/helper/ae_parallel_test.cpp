#include "base/after_effects/helper/ae_parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/after_effects/helper/ae_exception.h"
#include "base/exception.h"
#include "base/log.h"
#include "simulated_host.h"
#include "support/temporary_folder.h"

namespace {

using brel::Exception_Abort;
using brel::Exception_After_Effects;
using brel::Iteration;
using brel::ae::host_thread_count;
using brel::ae::parallel_for_host;
using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;
namespace fn = brel::sim::fn;

// An After Effects host with the given number of render threads.
struct Host : Simulated_Host {
  explicit Host(int32_t threads) : Simulated_Host(Host_Identity::after_effects()) {
    set_thread_count(threads);
  }
};

bool log_has(const std::string& text) {
  for (const std::string& message : brel::global_log().recent_messages()) {
    if (message == text) {
      return true;
    }
  }
  return false;
}

TEST(Host_Thread_Count, IsTheHostsThreadsCappedAtAPositiveWorkAndOneWithoutIterateGeneric) {
  Host host(8);
  EXPECT_EQ(host_thread_count(host.in_data(), 1080), 8);
  EXPECT_EQ(host_thread_count(host.in_data(), 3), 3);
  EXPECT_EQ(host_thread_count(host.in_data(), 0), 8);
  EXPECT_EQ(host_thread_count(host.in_data(), -1), 8);
  host.inject(fn::iterate_generic, PF_Interrupt_CANCEL, host.calls(fn::iterate_generic) + 1);
  EXPECT_THROW(host_thread_count(host.in_data(), 10), Exception_Abort);
  PF_UtilCallbacks utils = *host.in_data()->utils;
  utils.iterate_generic = nullptr;
  host.in_data()->utils = &utils;
  EXPECT_EQ(host_thread_count(host.in_data(), 1080), 1);
  host.set_utils_present(false);
  EXPECT_EQ(host_thread_count(host.in_data(), 0), 1);
}

// Every index runs once, worker 0 is the calling thread, and no two calls that run at the same
// time share a worker number, for thread counts below, at and above the loop's count, and for a
// loop of cheap indices that go out in runs.
TEST(Parallel_For_Host, RunsEveryIndexOnceWithDistinctWorkers) {
  for (const auto& [threads, count] :
       {std::pair<int32_t, int64_t>{1, 33}, {2, 33}, {8, 33}, {40, 33}, {8, 20'000}}) {
    Host host(threads);
    std::atomic<bool> aborted{true};
    std::vector<std::atomic<int>> runs(count);
    std::mutex mutex;
    std::vector<std::set<std::thread::id>> threads_of_worker(threads);
    std::atomic<bool> bad_record{false};
    parallel_for_host(
        count,
        [&](const Iteration& iteration) {
          ++runs[iteration.index];
          if (iteration.iterations != count || iteration.worker_count != threads ||
              iteration.worker_index < 0 || iteration.worker_index >= threads) {
            bad_record = true;
            return;
          }
          std::lock_guard lock(mutex);
          threads_of_worker[iteration.worker_index].insert(std::this_thread::get_id());
        },
        host.in_data(), aborted);
    EXPECT_FALSE(aborted.load()) << "the loop clears the flag";
    EXPECT_FALSE(bad_record.load()) << threads;
    for (int64_t index = 0; index < count; ++index) {
      EXPECT_EQ(runs[index].load(), 1) << "index " << index << " threads " << threads;
    }
    for (const auto& ids : threads_of_worker) {
      EXPECT_LE(ids.size(), 1u) << "a worker number belongs to one thread";
    }
    if (!threads_of_worker[0].empty()) {
      EXPECT_EQ(*threads_of_worker[0].begin(), std::this_thread::get_id());
    }
    EXPECT_EQ(host.imbalance(), "") << "nothing escapes into the host";
  }
}

// Worker exceptions end the loop with the matching exception on the calling thread, with the
// warning line; nothing escapes into the host. A sub thread stopped by an abort answers the
// host "no error", yet the loop did not finish.
TEST(Parallel_For_Host, WorkerExceptionsReachTheCallingThread) {
  const struct {
    const char* name;
    std::function<void()> fail;
    PF_Err code;  // PF_Interrupt_CANCEL: an abort
    const char* line;
  } cases[] = {
      {"out of memory", [] { throw std::bad_alloc(); }, PF_Err_OUT_OF_MEMORY,
       "-**### WARNING ###**-: caught out of memory Exeception in sub thread\n"},
      {"host error", [] { throw Exception_After_Effects("test", PF_Err_INVALID_INDEX, "test", 1); },
       PF_Err_INVALID_INDEX,
       "-**### WARNING ###**-: caught AE Exeception with code: 513( PF_Err_INVALID_INDEX) in sub "
       "thread\n"},
      {"abort", [] { throw Exception_Abort(); }, PF_Interrupt_CANCEL, nullptr},
  };
  for (const auto& c : cases) {
    for (const bool on_caller : {false, true}) {
      Host host(3);
      std::atomic<bool> aborted{false};
      const std::thread::id caller = std::this_thread::get_id();
      PF_Err code = PF_Err_NONE;
      try {
        parallel_for_host(
            30,
            [&](const Iteration&) {
              if ((std::this_thread::get_id() == caller) == on_caller) {
                c.fail();
              }
              // Leaves indices for the other threads.
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            host.in_data(), aborted);
      } catch (const Exception_Abort&) {
        code = PF_Interrupt_CANCEL;
      } catch (const Exception_After_Effects& e) {
        code = e.code();
      }
      EXPECT_EQ(code, c.code) << c.name << (on_caller ? " on the caller" : " in a sub thread");
      if (c.line != nullptr && !on_caller) {
        EXPECT_TRUE(log_has(c.line)) << c.name;
      }
      EXPECT_EQ(host.imbalance(), "") << c.name;
    }
  }
}

// Runs in a process of its own: the crash report it writes belongs to the process-wide log.
void unknown_exception_case() {
  brel::test::Temporary_Folder folder;
  brel::global_log().set_base_path(folder.path() + "/lumbrix_ae");
  Host host(4);
  std::atomic<bool> aborted{false};
  PF_Err code = PF_Err_NONE;
  try {
    parallel_for_host(
        4, [](const Iteration&) { throw std::runtime_error("broken"); }, host.in_data(), aborted);
  } catch (const Exception_After_Effects& e) {
    code = e.code();
  }
  std::string report;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    if (entry.path().extension() == ".crash") {
      report += folder.read_file(entry.path().filename().string());
    }
  }
  const bool main_line = report.find(
                             "Unknown Exception escaped in main thread of iterate "
                             "generic. Writing Error Log. Crashing now.\n") != std::string::npos;
  const bool sub_line = report.find(
                            "Unknown Exception escaped in sub thread of iterate generic. "
                            "Writing Error Log. Crashing now.\n") != std::string::npos;
  std::_Exit(code == PF_Err_INTERNAL_STRUCT_DAMAGED && main_line && sub_line &&
                     host.imbalance().empty()
                 ? 0
                 : 1);
}

TEST(Parallel_For_Host_DeathTest, AnUnknownExceptionIsReportedAndBecomes512) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(unknown_exception_case(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
