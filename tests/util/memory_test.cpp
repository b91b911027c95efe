#include "util/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "base/exception.h"
#include "base/log.h"
#include "util/memory_2d.h"

namespace {

// Runs `action`, expects an assertion, and returns the first line of its logged report.
template <class Action>
std::string assertion_report(Action action) {
  try {
    action();
  } catch (const brel::Exception_Assert&) {
    const auto messages = brel::global_log().recent_messages();
    return messages.empty() ? std::string() : messages.back().substr(0, messages.back().find('\n'));
  }
  return "no assertion";
}

const std::string report_head = "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** ";

bool aligned(const void* pointer) {
  return reinterpret_cast<uintptr_t>(pointer) % 64 == 0;
}

TEST(Memory_2d_Cpu_System_Lazy, AlignedRowsPaddedTo64BytesThatHoldTheirBytes) {
  const int64_t cases[][2] = {{100, 128}, {64, 64}, {65, 128}, {1, 64}, {0, 0}};
  for (const auto& [width, pitch] : cases) {
    EXPECT_EQ(brel::Memory_2d_Cpu_System_Lazy(width, 3).pitch(), pitch) << width;
  }
  brel::Memory_2d_Cpu_System_Lazy block(100, 3);
  uint8_t* data = block.data();
  EXPECT_TRUE(aligned(data));
  EXPECT_EQ(block.data(), data);  // allocated once
  // Every byte of every padded row is ours (the address sanitizer checks the last one).
  std::memset(data, 0x5a, static_cast<size_t>(block.pitch() * block.height()));
  EXPECT_EQ(data[3 * 128 - 1], 0x5a);
  // Empty blocks still have an address.
  EXPECT_NE(brel::Memory_2d_Cpu_System_Lazy(0, 4).data(), nullptr);
  brel::Memory_Cpu_System_Lazy nothing(0);
  EXPECT_TRUE(nothing.data() != nullptr && aligned(nothing.data()));
}

// Memory is taken on the first request for the pointer: a block larger than any machine holds
// is made, and only touching it fails.
TEST(Memory_System_Lazy, AllocatesOnFirstAccessAndRefusesNegativeSizes) {
  brel::Memory_2d_Cpu_System_Lazy huge(int64_t{1} << 40, int64_t{1} << 40);
  EXPECT_THROW(huge.data(), std::bad_alloc);
  EXPECT_THROW(brel::Memory_2d_Cpu_System_Lazy(INT64_MAX, 1), std::bad_alloc);
  brel::Memory_Cpu_System_Lazy too_big(INT64_MAX);
  EXPECT_THROW(too_big.data(), std::bad_alloc);

  EXPECT_THROW(brel::Memory_2d_Cpu_System_Lazy(2, -1), brel::Exception_Assert);
  EXPECT_THROW(brel::Memory_2d_Cpu_System_Lazy(-1, 2), brel::Exception_Assert);
  EXPECT_THROW(brel::Memory_Cpu_System_Lazy(-8), brel::Exception_Assert);
}

TEST(Memory_Cpu_System_Lazy, CopiesInAndOutWithinItsSize) {
  brel::Memory_Cpu_System_Lazy block(5);
  block.copy_from_cpu("abcde", 5);
  char out[8] = {};
  block.copy_to_cpu(out, 5);
  EXPECT_EQ(std::string(out, 5), "abcde");
  // Copying the block onto itself is the no-op of a mapped pair.
  block.copy_from_cpu(block.data(), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.data()), 5), "abcde");

  EXPECT_EQ(assertion_report([&] { block.copy_from_cpu(out, -1); }),
            report_head + "(size >= 0) in util/memory line 34. ASSERT()");
  EXPECT_THROW(block.copy_to_cpu(out, -1), brel::Exception_Assert);
  // More bytes than the block holds would write past it.
  EXPECT_THROW(block.copy_from_cpu(out, 8), brel::Exception_Assert);
  EXPECT_THROW(block.copy_to_cpu(out, 8), brel::Exception_Assert);
}

// An unmanaged block has a null pointer only when empty; copies between different 2d memory are
// not built.
TEST(Memory_2d, UnmanagedNullOnlyWhenEmptyAndCopiesBetweenDifferentMemoryAssert) {
  EXPECT_EQ(brel::Memory_2d_Unmananged(nullptr, 0, 10, 0).data(), nullptr);
  EXPECT_EQ(brel::Memory_2d_Unmananged(nullptr, 10, 0, 64).data(), nullptr);
  EXPECT_THROW(brel::Memory_2d_Unmananged(nullptr, 1, 1, 64), std::bad_alloc);
  alignas(64) uint8_t other[128] = {};
  EXPECT_EQ(assertion_report([&] { brel::Memory_2d_Unmananged(other, -1, 1, 64); }),
            report_head + "(width >= 0 && height >= 0) in util/memory_2d line 52. ASSERT()");

  brel::Memory_2d_Cpu_System_Lazy block(16, 2);
  block.copy_from_cpu(block.data(), 16, 2, 64);
  block.copy_to_cpu(block.data(), 16, 2, 64);
  EXPECT_EQ(assertion_report([&] { block.copy_from_cpu(other, 16, 2, 64); }),
            report_head +
                "(ASSERT_INCOMPLETE) in util/memory_2d line 39. found something that needs "
                "implementation");
  EXPECT_THROW(block.copy_to_cpu(other, 16, 2, 64), brel::Exception_Assert);
}

// Mapped halves of different size would copy past the smaller one (the 2d pair checks width
// first); one block for both halves copies nothing.
TEST(Mapped_Memory, HalvesOfDifferentSizeAssert) {
  auto block = std::make_shared<brel::Memory_Cpu_System_Lazy>(12);
  brel::Mapped_Memory same(block, block);
  std::memcpy(same.cpu_data(), "hello world", 12);
  same.cpu_to_device();
  EXPECT_STREQ(reinterpret_cast<char*>(same.device_data()), "hello world");
  brel::Mapped_Memory uneven(block, std::make_shared<brel::Memory_Cpu_System_Lazy>(9));
  EXPECT_EQ(assertion_report([&] { uneven.cpu_to_device(); }),
            report_head +
                "(_mem_cpu->size() == _mem_device->size()) in util/memory line 139. mapped memory "
                "only supports same sized memory chunks");
  EXPECT_THROW(uneven.device_to_cpu(), brel::Exception_Assert);

  auto block_2d = std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(100, 3);
  brel::Mapped_Memory_2d by_width(block_2d,
                                  std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(99, 2));
  brel::Mapped_Memory_2d by_height(block_2d,
                                   std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(100, 2));
  const std::string message = ". mapped memory only supports same sized memory chunks";
  EXPECT_EQ(assertion_report([&] { by_width.cpu_to_device(); }),
            report_head + "(_mem_cpu->width() == _mem_device->width()) in util/memory_2d line 185" +
                message);
  EXPECT_EQ(assertion_report([&] { by_height.device_to_cpu(); }),
            report_head +
                "(_mem_cpu->height() == _mem_device->height()) in util/memory_2d line 192" +
                message);
  EXPECT_THROW(by_height.cpu_to_device(), brel::Exception_Assert);
  EXPECT_THROW(by_width.device_to_cpu(), brel::Exception_Assert);
}

}  // namespace
