#include "base/after_effects/after_effects_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "base/after_effects/helper/ae_exception.h"
#include "base/exception.h"
#include "simulated_host.h"

namespace {

using brel::Memory_2d_Cpu_AE_Lazy;
using brel::Memory_Cpu_AE_Lazy;
using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;
namespace fn = brel::sim::fn;

struct Host : Simulated_Host {
  Host() : Simulated_Host(Host_Identity::after_effects()) {}
  SPBasicSuite* suite() { return in_data()->pica_basicP; }
  int64_t handle_suite_acquires() { return acquires(kPFHandleSuite, 2); }
  // The size of the host handle behind a block: it is kept in the 8 bytes before the block.
  A_u_longlong handle_size(uint8_t* block) {
    PF_Handle handle = nullptr;
    std::memcpy(&handle, block - 8, sizeof(handle));
    return in_data()->utils->host_get_handle_size(handle);
  }
};

TEST(Host_Memory, BlocksAreAlignedAndFoundAgainThroughTheirHandle) {
  Host host;
  uint8_t* a = brel::host_allocate(100, host.suite());
  uint8_t* b = brel::host_allocate(1, host.suite());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
  EXPECT_EQ(host.handle_size(a), 100u + 64 + 8);
  EXPECT_EQ(host.handle_size(b), 1u + 64 + 8);
  EXPECT_EQ(host.live_handles(), 2);
  std::memset(a, 7, 100);  // the whole usable size is there
  brel::host_release(a, host.suite());
  brel::host_release(b, host.suite());
  brel::host_release(nullptr, host.suite());
  EXPECT_EQ(host.live_handles(), 0);
  EXPECT_EQ(host.handle_suite_acquires(), 5);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(Host_Memory, LazyTwoDimensionalBlocksPadRowsTo64Bytes) {
  Host host;
  {
    Memory_2d_Cpu_AE_Lazy block(100, 3, host.suite());
    EXPECT_EQ(block.pitch(), 128);
    EXPECT_EQ(host.calls(fn::suite_new_handle), 0);
    uint8_t* data = block.data();
    EXPECT_EQ(block.data(), data);
    EXPECT_EQ(host.calls(fn::suite_new_handle), 1);
    EXPECT_EQ(host.handle_size(data), 384u + 72);
  }
  EXPECT_EQ(Memory_2d_Cpu_AE_Lazy(64, 1, host.suite()).pitch(), 64);
  EXPECT_EQ(Memory_2d_Cpu_AE_Lazy(0, 5, host.suite()).pitch(), 0);
  EXPECT_EQ(host.live_handles(), 0);
  EXPECT_EQ(host.imbalance(), "");
}

// Nothing is taken before the first touch; a block of size zero still takes its handle then.
TEST(Host_Memory, AnUntouchedBlockTakesNoHandleAndAnEmptyOneTakesOneWhenTouched) {
  Host host;
  { Memory_Cpu_AE_Lazy block(1000, host.suite()); }
  EXPECT_EQ(host.calls(fn::suite_new_handle), 0);
  EXPECT_EQ(host.handle_suite_acquires(), 1);
  Memory_Cpu_AE_Lazy empty(0, host.suite());
  EXPECT_EQ(host.handle_size(empty.data()), 72u);
}

TEST(Host_Memory, HostOutOfMemoryIsBadAlloc) {
  Host host;
  host.inject(fn::suite_new_handle, 1, 2);
  Memory_Cpu_AE_Lazy first(10, host.suite());
  Memory_Cpu_AE_Lazy second(10, host.suite());
  first.data();
  EXPECT_THROW(second.data(), std::bad_alloc);
  // A handle the host made but could not lock is given back at once.
  host.inject(fn::suite_lock_handle, 1, 2);
  Memory_2d_Cpu_AE_Lazy third(10, 10, host.suite());
  EXPECT_THROW(third.data(), std::bad_alloc);
  EXPECT_EQ(host.live_handles(), 1) << "only the first block's";
  EXPECT_EQ(host.acquires(kPFHandleSuite, 2), host.releases(kPFHandleSuite, 2));
}

TEST(Host_Memory, NegativeSizesFailTheirAssertions) {
  Host host;
  EXPECT_THROW(Memory_Cpu_AE_Lazy(-1, host.suite()), brel::Exception_Assert);
  EXPECT_THROW(Memory_2d_Cpu_AE_Lazy(-1, 2, host.suite()), brel::Exception_Assert);
  EXPECT_THROW(Memory_2d_Cpu_AE_Lazy(2, -1, host.suite()), brel::Exception_Assert);
  EXPECT_THROW(brel::host_allocate(-5, host.suite()), brel::Exception_Assert);
  EXPECT_EQ(host.handle_suite_acquires(), 0) << "nothing is taken for a negative size";
}

// A missing handle suite is an error when memory is wanted, and never a throw from a destructor.
TEST(Host_Memory, AMissingHandleSuiteFailsTheTouchAndNotTheRelease) {
  Host host;
  {
    Memory_Cpu_AE_Lazy touched(16, host.suite());
    touched.data();
    host.remove_suite(kPFHandleSuite, 2);
    Memory_Cpu_AE_Lazy other(16, host.suite());
    EXPECT_THROW(other.data(), brel::Exception_Ae_Suite);
  }                                   // both destructors run without the suite
  EXPECT_EQ(host.live_handles(), 1);  // the host keeps what it could not be given
  EXPECT_EQ(host.acquires(kPFHandleSuite, 2), host.releases(kPFHandleSuite, 2));
}

// Render threads of concurrent renders allocate and give back at once without a lock of ours:
// every block is their own and the books balance.
TEST(Host_Memory, ConcurrentAllocationsKeepTheirBlocksAndTheBooks) {
  Host host;
  std::vector<std::thread> threads;
  std::vector<int64_t> overwritten(8, 0);
  for (int32_t t = 0; t < 8; ++t) {
    threads.emplace_back([&host, &overwritten, t] {
      for (int32_t round = 0; round < 100; ++round) {
        const int64_t size = 64 + 64 * ((round + t) % 7);
        uint8_t* block = brel::host_allocate(size, host.suite());
        std::memset(block, t + 1, static_cast<size_t>(size));
        std::this_thread::yield();
        for (int64_t i = 0; i < size; ++i) {
          overwritten[t] += static_cast<int64_t>(block[i] != t + 1);
        }
        brel::host_release(block, host.suite());
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(overwritten, std::vector<int64_t>(8, 0));
  EXPECT_EQ(host.live_handles(), 0);
  EXPECT_EQ(host.calls(fn::suite_new_handle), 800);
  EXPECT_EQ(host.imbalance(), "");
}

}  // namespace
