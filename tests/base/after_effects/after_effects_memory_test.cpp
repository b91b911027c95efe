#include "base/after_effects/after_effects_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "base/after_effects/helper/ae_exception.h"
#include "base/exception.h"
#include "support/handle_suite_host.h"

namespace {

using brel::Memory_2d_Cpu_AE_Lazy;
using brel::Memory_Cpu_AE_Lazy;
using brel::test::Handle_Suite_Host;

TEST(HostMemory, BlocksAreAlignedAndFoundAgainThroughTheirHandle) {
  Handle_Suite_Host host;
  SPBasicSuite* suite = host.in_data()->pica_basicP;
  uint8_t* a = brel::host_allocate(100, suite);
  uint8_t* b = brel::host_allocate(1, suite);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
  EXPECT_EQ(host.handles().last_size(), 1 + 64 + 8);
  EXPECT_EQ(host.handles().live_handles(), 2);
  EXPECT_EQ(host.handles().open_locks(), 2);
  a[0] = 1;
  a[99] = 2;  // the whole usable size is there
  brel::host_release(a, suite);
  brel::host_release(b, suite);
  brel::host_release(nullptr, suite);
  EXPECT_EQ(host.handles().live_handles(), 0);
  EXPECT_EQ(host.handles().open_locks(), 0);
  EXPECT_EQ(host.acquired.load(), 5);
  EXPECT_EQ(host.released.load(), 5);
}

TEST(HostMemory, LazyTwoDimensionalBlocksPadRowsTo64Bytes) {
  Handle_Suite_Host host;
  SPBasicSuite* suite = host.in_data()->pica_basicP;
  {
    Memory_2d_Cpu_AE_Lazy block(100, 3, suite);
    EXPECT_EQ(block.pitch(), 128);
    EXPECT_EQ(block.width(), 100);
    EXPECT_EQ(block.height(), 3);
    EXPECT_EQ(host.handles().new_calls(), 0) << "nothing is taken before the first touch";
    uint8_t* data = block.data();
    EXPECT_EQ(block.data(), data);
    EXPECT_EQ(host.handles().new_calls(), 1);
    EXPECT_EQ(host.handles().last_size(), 384 + 72);
  }
  EXPECT_EQ(Memory_2d_Cpu_AE_Lazy(64, 1, suite).pitch(), 64);
  {
    Memory_2d_Cpu_AE_Lazy empty(0, 5, suite);
    EXPECT_EQ(empty.pitch(), 0);
    empty.data();
    EXPECT_EQ(host.handles().last_size(), 72);
  }
  EXPECT_EQ(host.handles().live_handles(), 0);
}

TEST(HostMemory, LazyBlocksOfSizeZeroStillTakeAHandleWhenTouched) {
  Handle_Suite_Host host;
  Memory_Cpu_AE_Lazy block(0, host.in_data()->pica_basicP);
  EXPECT_EQ(block.size(), 0);
  EXPECT_NE(block.data(), nullptr);
  EXPECT_EQ(host.handles().last_size(), 72);
}

TEST(HostMemory, AnUntouchedBlockTakesNoHandleButStillTakesTheSuite) {
  Handle_Suite_Host host;
  { Memory_Cpu_AE_Lazy block(1000, host.in_data()->pica_basicP); }
  EXPECT_EQ(host.handles().new_calls(), 0);
  EXPECT_EQ(host.acquired.load(), 1);
  EXPECT_EQ(host.released.load(), 1);
}

TEST(HostMemory, HostOutOfMemoryIsBadAlloc) {
  Handle_Suite_Host host;
  SPBasicSuite* suite = host.in_data()->pica_basicP;
  host.handles().fail_new_at(2);
  Memory_Cpu_AE_Lazy first(10, suite);
  Memory_Cpu_AE_Lazy second(10, suite);
  first.data();
  EXPECT_THROW(second.data(), std::bad_alloc);
  // A handle the host made but could not lock is not given back.
  host.handles().fail_lock_at(2);
  Memory_2d_Cpu_AE_Lazy third(10, 10, suite);
  EXPECT_THROW(third.data(), std::bad_alloc);
  EXPECT_EQ(host.handles().live_handles(), 2);
  EXPECT_EQ(host.acquired.load(), host.released.load()) << "the suite is given back";
}

TEST(HostMemory, NegativeSizesFailTheirAssertions) {
  Handle_Suite_Host host;
  SPBasicSuite* suite = host.in_data()->pica_basicP;
  EXPECT_THROW(Memory_Cpu_AE_Lazy(-1, suite), brel::Exception_Assert);
  EXPECT_THROW(Memory_2d_Cpu_AE_Lazy(-1, 2, suite), brel::Exception_Assert);
  EXPECT_THROW(Memory_2d_Cpu_AE_Lazy(2, -1, suite), brel::Exception_Assert);
  EXPECT_THROW(brel::host_allocate(-5, suite), brel::Exception_Assert);
  EXPECT_EQ(host.acquired.load(), 0) << "nothing is taken for a negative size";
}

// A missing handle suite is an error when memory is wanted, and never a throw from a destructor.
TEST(HostMemory, AMissingHandleSuiteFailsTheTouchAndNotTheRelease) {
  Handle_Suite_Host host;
  SPBasicSuite* suite = host.in_data()->pica_basicP;
  {
    Memory_Cpu_AE_Lazy touched(16, suite);
    touched.data();
    host.handle_suite_missing = true;
    Memory_Cpu_AE_Lazy other(16, suite);
    EXPECT_THROW(other.data(), brel::Exception_Ae_Suite);
  }  // both destructors run without the suite
  host.handle_suite_missing = false;
  EXPECT_EQ(host.handles().live_handles(), 1);  // the host keeps what it could not be given
  EXPECT_EQ(host.acquired.load(), host.released.load());
}

}  // namespace
