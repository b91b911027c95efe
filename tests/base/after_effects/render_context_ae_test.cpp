#include "base/after_effects/render_context_ae.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/exception.h"
#include "base/timing_table.h"
#include "simulated_host.h"

namespace {

using brel::Exception_Abort;
using brel::Iteration;
using brel::Render_Context;
using brel::Timing_Table;
using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;
namespace fn = brel::sim::fn;

struct Host : Simulated_Host {
  explicit Host(int32_t threads = 4) : Simulated_Host(Host_Identity::after_effects()) {
    set_thread_count(threads);
  }
  // From the n-th poll on, `times` polls answer "stop" (all later ones when negative).
  void abort_from_poll(int64_t n, int64_t times = -1) {
    inject(fn::abort, PF_Interrupt_CANCEL, n, times);
  }
  int64_t polls() const { return calls(fn::abort); }
};

TEST(Render_Context_Ae, TheAbortPollAsksTheHostOnlyOnTheCommandThread) {
  Host host;
  Timing_Table table;
  std::atomic<bool> aborted{false};
  Render_Context context =
      brel::render_context_ae_cpu(&table, host.in_data(), std::this_thread::get_id(), aborted);
  context.check_abort();
  EXPECT_EQ(host.polls(), 1);

  std::thread other([&] { context.check_abort(); });
  other.join();
  EXPECT_EQ(host.polls(), 1) << "other threads never call the host";

  host.abort_from_poll(2);
  EXPECT_THROW(context.check_abort(), Exception_Abort);
  EXPECT_TRUE(aborted.load());
  bool other_threw = false;
  std::thread late([&] {
    try {
      context.check_abort();
    } catch (const Exception_Abort&) {
      other_threw = true;
    }
  });
  late.join();
  EXPECT_TRUE(other_threw);
}

TEST(Render_Context_Ae, AnAbortInsideTheLoopEndsItAndTheNextLoopStartsClean) {
  Host host(4);
  Timing_Table table;
  std::atomic<bool> aborted{false};
  Render_Context context =
      brel::render_context_ae_cpu(&table, host.in_data(), std::this_thread::get_id(), aborted);
  host.abort_from_poll(2, 1);
  std::atomic<int64_t> rows{0};
  EXPECT_THROW(context.parallel_for(1000,
                                    [&](const Iteration& iteration) {
                                      ++rows;
                                      if (iteration.worker_index != 0) {
                                        // Hold the other workers until the host thread has seen the
                                        // abort, so how many rows run does not depend on how the
                                        // threads are scheduled.
                                        const auto give_up = std::chrono::steady_clock::now() +
                                                             std::chrono::seconds(10);
                                        while (!aborted.load() &&
                                               std::chrono::steady_clock::now() < give_up) {
                                          std::this_thread::yield();
                                        }
                                      }
                                      context.check_abort();
                                    }),
               Exception_Abort);
  // The host thread's two rows and at most one more row per other worker.
  EXPECT_LE(rows.load(), 2 + 3);
  rows = 0;
  context.parallel_for(100, [&](const Iteration&) {
    ++rows;
    context.check_abort();
  });
  EXPECT_EQ(rows.load(), 100);
  EXPECT_FALSE(aborted.load());
}

}  // namespace
