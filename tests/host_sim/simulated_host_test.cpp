#include "simulated_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;
using brel::sim::World;
namespace fn = brel::sim::fn;

// Threads of this process, as the system counts them.
int64_t process_threads() {
  int64_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

PF_ParamDef slider_definition(int32_t id) {
  PF_ParamDef def{};
  def.param_type = PF_Param_SLIDER;
  def.uu.id = id;
  std::strcpy(def.name, "softness");
  return def;
}

TEST(Simulated_Host, CheckoutsAreBalanced) {
  Simulated_Host host(Host_Identity::after_effects());
  PF_InData* in = host.in_data();
  PF_ParamDef def = slider_definition(5);
  ASSERT_EQ(in->inter.add_param(in->effect_ref, -1, &def), PF_Err_NONE);
  PF_ParamDef out{};
  ASSERT_EQ(in->inter.checkout_param(in->effect_ref, 1, 0, 1, 25, &out), PF_Err_NONE);
  EXPECT_EQ(host.imbalance(), "parameter 1 checked out 1 more time(s) than checked in\n");

  // A copy of the record is recognised at check-in.
  PF_ParamDef copy = out;
  EXPECT_EQ(in->inter.checkin_param(in->effect_ref, &copy), PF_Err_NONE);
  EXPECT_EQ(host.imbalance(), "");

  // Checking in what is not out is refused and remembered.
  EXPECT_EQ(in->inter.checkin_param(in->effect_ref, &copy), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host.imbalance(), "checkin_param of a record that is not checked out (id 5)\n");
}

TEST(Simulated_Host, InjectedFaultsHitTheChosenCalls) {
  Simulated_Host host(Host_Identity::after_effects());
  PF_InData* in = host.in_data();
  PF_ParamDef def = slider_definition(5);
  host.inject(fn::add_param, PF_Err_INVALID_INDEX, 2);
  EXPECT_EQ(in->inter.add_param(in->effect_ref, -1, &def), PF_Err_NONE);
  EXPECT_EQ(in->inter.add_param(in->effect_ref, -1, &def), PF_Err_INVALID_INDEX);
  EXPECT_EQ(in->inter.add_param(in->effect_ref, -1, &def), PF_Err_NONE);
  EXPECT_EQ(host.parameters().size(), 2);  // the refused one is not recorded

  host.inject(fn::abort, PF_Interrupt_CANCEL, 3, -1);
  EXPECT_EQ(in->inter.abort(in->effect_ref), 0);
  EXPECT_EQ(in->inter.abort(in->effect_ref), 0);
  EXPECT_EQ(in->inter.abort(in->effect_ref), PF_Interrupt_CANCEL);
  EXPECT_EQ(in->inter.abort(in->effect_ref), PF_Interrupt_CANCEL);
  EXPECT_EQ(host.calls(fn::abort), 4);

  host.inject(fn::new_handle, 1);
  EXPECT_EQ(in->utils->host_new_handle(16), nullptr);
  EXPECT_EQ(host.live_handles(), 0);
}

// Disposed handles leave their blocks with the host, which hands the smallest that holds a new
// request out again; the books, the handle sizes and the faults are those of fresh blocks.
TEST(Simulated_Host, DisposedBlocksServeLaterHandlesUnderTheSameBooks) {
  Simulated_Host host(Host_Identity::after_effects());
  PF_UtilCallbacks* utils = host.in_data()->utils;
  PF_Handle large = utils->host_new_handle(4000);
  PF_Handle small = utils->host_new_handle(1000);
  void* large_block = utils->host_lock_handle(large);
  void* small_block = utils->host_lock_handle(small);
  utils->host_unlock_handle(large);
  utils->host_unlock_handle(small);
  utils->host_dispose_handle(large);
  utils->host_dispose_handle(small);
  EXPECT_EQ(host.live_handles(), 0);
  EXPECT_EQ(host.fresh_handle_blocks(), 2);

  // 900 bytes: the 1000-byte block; 3000: the 4000-byte one, though its size is what was asked.
  PF_Handle a = utils->host_new_handle(900);
  PF_Handle b = utils->host_new_handle(3000);
  EXPECT_EQ(utils->host_lock_handle(a), small_block);
  EXPECT_EQ(utils->host_lock_handle(b), large_block);
  EXPECT_EQ(utils->host_get_handle_size(b), 3000u);
  EXPECT_EQ(host.reused_handle_blocks(), 2);
  EXPECT_EQ(host.fresh_handle_blocks(), 2);
  utils->host_unlock_handle(a);
  utils->host_dispose_handle(a);

  // A request that would fail still fails with a block kept, and is counted.
  host.inject(fn::new_handle, 1, host.calls(fn::new_handle) + 1);
  EXPECT_EQ(utils->host_new_handle(10), nullptr);
  EXPECT_EQ(host.calls(fn::new_handle), 5);
  EXPECT_EQ(host.reused_handle_blocks(), 2);

  // Nothing kept holds 5000 bytes: a fresh block, which also fills with the scribble.
  host.set_handle_scribble(std::byte{0xA5});
  PF_Handle c = host.in_data()->utils->host_new_handle(5000);
  auto* bytes = static_cast<unsigned char*>(utils->host_lock_handle(c));
  EXPECT_EQ(host.fresh_handle_blocks(), 3);
  EXPECT_EQ(bytes[0], 0xA5);
  EXPECT_EQ(bytes[4999], 0xA5);
  utils->host_unlock_handle(b);
  utils->host_unlock_handle(c);
  utils->host_dispose_handle(b);
  utils->host_dispose_handle(c);
  EXPECT_EQ(host.live_handles(), 0);
  EXPECT_EQ(host.imbalance(), "");
}

// Which suites each host offers is read through the effect (pixel formats, registration, the
// colour suite); here the books that every balance check relies on.
// Large handles come from kept pages, which the books never see: a request that would fail
// still fails, each handle keeps the size asked for, and disposed pages make up a larger one.
TEST(Simulated_Host, LargeHandlesFromKeptPagesKeepTheBooksAndTheFaults) {
  Simulated_Host host(Host_Identity::after_effects());
  PF_UtilCallbacks* utils = host.in_data()->utils;
  constexpr A_u_longlong mib = 1 << 20;
  PF_Handle a = utils->host_new_handle(3 * mib);
  PF_Handle b = utils->host_new_handle(5 * mib + 7);
  utils->host_dispose_handle(a);
  utils->host_dispose_handle(b);
  const int64_t fresh = host.fresh_handle_bytes();
  EXPECT_EQ(fresh, int64_t{10 * mib});

  host.inject(fn::new_handle, 1, host.calls(fn::new_handle) + 1);
  EXPECT_EQ(utils->host_new_handle(4 * mib), nullptr);
  EXPECT_EQ(host.live_handles(), 0);

  PF_Handle c = utils->host_new_handle(9 * mib);
  ASSERT_NE(c, nullptr);
  auto* bytes = static_cast<std::byte*>(utils->host_lock_handle(c));
  std::memset(bytes, 1, 9 * mib);
  EXPECT_EQ(utils->host_get_handle_size(c), 9 * mib);
  EXPECT_EQ(host.fresh_handle_bytes(), fresh);
  EXPECT_EQ(host.calls(fn::new_handle), 4);
  utils->host_unlock_handle(c);
  utils->host_dispose_handle(c);
  EXPECT_EQ(host.live_handles(), 0);
  EXPECT_EQ(host.imbalance(), "");
}

// Worlds made over the host's world memory hand their pixels to the next world, cleared when
// asked, and stay out of the handles' books.
TEST(Simulated_Host, WorldsGiveTheirPixelsToTheNextWorldOutsideTheHandleBooks) {
  Simulated_Host host(Host_Identity::after_effects());
  const auto& memory = host.world_memory();
  auto first = std::make_unique<World>(1000, 800, PF_PixelFormat_ARGB64, 8, 0, false, memory);
  const void* pixels = first->get()->data;
  std::memset(first->get()->data, 0x5A, static_cast<size_t>(first->get()->rowbytes) * 800);
  first.reset();
  const int64_t fresh = memory->fresh_bytes();
  EXPECT_GE(fresh, int64_t{1000} * 8 * 800);

  World second(1000, 800, PF_PixelFormat_ARGB64, 8, 0, true, memory);
  EXPECT_EQ(second.get()->data, pixels);
  EXPECT_EQ(memory->fresh_bytes(), fresh);
  const auto* bytes = static_cast<const unsigned char*>(second.get()->data);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[static_cast<size_t>(second.get()->rowbytes) * 800 - 1], 0);
  EXPECT_EQ(host.fresh_handle_blocks(), 0);
  EXPECT_EQ(host.reused_handle_blocks(), 0);
}

TEST(Simulated_Host, SuiteBooksNoticeUnbalancedUse) {
  Simulated_Host premiere(Host_Identity::premiere());
  const void* table = nullptr;
  SPBasicSuite* broker = premiere.in_data()->pica_basicP;
  ASSERT_EQ(broker->AcquireSuite(kPFWorldSuite, 2, &table), kSPSuiteNotFoundError);
  ASSERT_EQ(broker->AcquireSuite(kPFHandleSuite, 2, &table), kSPNoError);
  broker->ReleaseSuite(kPFHandleSuite, 2);
  EXPECT_EQ(premiere.acquires(kPFHandleSuite, 2), 1);
  EXPECT_EQ(premiere.releases(kPFHandleSuite, 2), 1);
  EXPECT_EQ(premiere.imbalance(), "");
  broker->ReleaseSuite(kPFHandleSuite, 2);
  EXPECT_EQ(premiere.imbalance(), "\"PF Handle Suite\" 2 released more often than acquired\n");
  Simulated_Host unreleased(Host_Identity::after_effects());
  ASSERT_EQ(unreleased.in_data()->pica_basicP->AcquireSuite(kPFWorldSuite, 2, &table), kSPNoError);
  EXPECT_EQ(unreleased.imbalance(), "\"PF World Suite\" 2 acquired 1 more time(s) than released\n");
}

TEST(Simulated_Host, SprintfIsBoundedByTheMessageBuffer) {
  Simulated_Host host(Host_Identity::after_effects());
  PF_OutData* out = host.out_data();
  const A_long written = host.in_data()->utils->ansi.sprintf(out->return_msg, "%s %d", "v", 12);
  EXPECT_EQ(written, 4);
  EXPECT_STREQ(out->return_msg, "v 12");
  EXPECT_EQ(host.sprintf_truncations(), 0);

  const std::string long_text(3000, 'a');
  const A_long cut = host.in_data()->utils->ansi.sprintf(out->return_msg, long_text.c_str());
  EXPECT_EQ(cut, PF_MAX_EFFECT_MSG_LEN);
  EXPECT_EQ(std::strlen(out->return_msg), static_cast<size_t>(PF_MAX_EFFECT_MSG_LEN));
  EXPECT_EQ(host.sprintf_truncations(), 1);
}

TEST(Simulated_Host, IterateGenericRunsThreadZeroOnTheCallingThread) {
  Simulated_Host host(Host_Identity::after_effects());
  host.set_thread_count(5);
  struct Seen {
    std::mutex mutex;
    std::set<A_long> threads;
    std::thread::id zero;
    std::atomic<int> calls{0};
  } seen;
  const PF_IterateGenericFunc record = [](void* refcon, A_long thread, A_long i,
                                          A_long n) -> PF_Err {
    auto* s = static_cast<Seen*>(refcon);
    std::lock_guard lock(s->mutex);
    s->threads.insert(thread);
    if (thread == 0) {
      s->zero = std::this_thread::get_id();
    }
    ++s->calls;
    return thread == i && n == 5 ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
  };
  EXPECT_EQ(host.in_data()->utils->iterate_generic(PF_Iterations_ONCE_PER_PROCESSOR, &seen, record),
            PF_Err_NONE);
  EXPECT_EQ(seen.calls.load(), 5);
  EXPECT_EQ(seen.threads, (std::set<A_long>{0, 1, 2, 3, 4}));
  EXPECT_EQ(seen.zero, std::this_thread::get_id());
}

// Loops run on kept threads, as a host's own; a loop started from inside a loop (on thread 0 or
// on another) runs every index on threads of its own instead of waiting for busy ones.
TEST(Simulated_Host, IterateGenericKeepsItsThreadsAndRunsNestedLoops) {
  Simulated_Host host(Host_Identity::after_effects());
  host.set_thread_count(4);
  struct Seen {
    PF_UtilCallbacks* utils;
    std::mutex mutex;
    // Loops seen by the thread that ran each index: thread ids may be reused, storage of a
    // thread of its own is new.
    std::vector<int> loops = std::vector<int>(4);
    std::atomic<int> nested_calls{0};
    PF_IterateGenericFunc nested = nullptr;
    bool nest = false;
  } seen;
  seen.utils = host.in_data()->utils;
  seen.nested = [](void* refcon, A_long, A_long, A_long) -> PF_Err {
    ++static_cast<Seen*>(refcon)->nested_calls;
    return PF_Err_NONE;
  };
  const PF_IterateGenericFunc record = [](void* refcon, A_long thread, A_long, A_long) -> PF_Err {
    auto* s = static_cast<Seen*>(refcon);
    thread_local int loops_on_this_thread = 0;
    {
      std::lock_guard lock(s->mutex);
      s->loops[static_cast<size_t>(thread)] = ++loops_on_this_thread;
    }
    return s->nest && (thread == 0 || thread == 2) ? s->utils->iterate_generic(3, s, s->nested)
                                                   : PF_Err_NONE;
  };
  ASSERT_EQ(seen.utils->iterate_generic(PF_Iterations_ONCE_PER_PROCESSOR, &seen, record),
            PF_Err_NONE);
  seen.nest = true;
  ASSERT_EQ(seen.utils->iterate_generic(PF_Iterations_ONCE_PER_PROCESSOR, &seen, record),
            PF_Err_NONE);
  // Thread 0 is the test's own thread.
  EXPECT_EQ(std::vector<int>(seen.loops.begin() + 1, seen.loops.end()),
            (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(seen.nested_calls.load(), 6);
}

// The render threads are running once the host knows their count, as a host's are before its
// first render; a loop of that many tasks then starts none, and a larger count adds only the
// threads it lacks.
TEST(Simulated_Host, RenderThreadsStartWithTheThreadCount) {
  // A runtime may start threads of its own with the process's first new thread (the thread
  // sanitizer does): one started and joined first leaves only the host's threads to count.
  std::thread([] {}).join();
  Simulated_Host host(Host_Identity::after_effects());
  const int64_t before = process_threads();
  host.set_thread_count(4);
  EXPECT_EQ(process_threads(), before + 3);

  std::atomic<int> calls{0};
  const PF_IterateGenericFunc count = [](void* refcon, A_long, A_long, A_long) -> PF_Err {
    ++*static_cast<std::atomic<int>*>(refcon);
    return PF_Err_NONE;
  };
  ASSERT_EQ(host.in_data()->utils->iterate_generic(PF_Iterations_ONCE_PER_PROCESSOR, &calls, count),
            PF_Err_NONE);
  EXPECT_EQ(calls.load(), 4);
  EXPECT_EQ(process_threads(), before + 3);

  host.set_thread_count(2);
  EXPECT_EQ(process_threads(), before + 3);
  host.set_thread_count(6);
  EXPECT_EQ(process_threads(), before + 5);
}

}  // namespace
