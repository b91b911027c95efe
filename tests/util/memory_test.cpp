#include "util/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "base/exception.h"
#include "base/log.h"
#include "util/memory_2d.h"

namespace {

// The last logged message, which holds an assertion's condition, file and line.
std::string last_log_message() {
  const auto messages = brel::global_log().recent_messages();
  return messages.empty() ? std::string() : messages.back();
}

// Runs `action`, expects an assertion, and returns the start of its logged report.
template <class Action>
std::string assertion_report(Action action) {
  try {
    action();
  } catch (const brel::Exception_Assert&) {
    const std::string report = last_log_message();
    return report.substr(0, report.find('\n'));
  }
  return "no assertion";
}

bool aligned(const void* pointer) {
  return reinterpret_cast<uintptr_t>(pointer) % 64 == 0;
}

TEST(Memory_2d_Cpu_System_Lazy, PitchIsTheWidthPaddedTo64) {
  EXPECT_EQ(brel::Memory_2d_Cpu_System_Lazy(100, 3).pitch(), 128);
  EXPECT_EQ(brel::Memory_2d_Cpu_System_Lazy(64, 3).pitch(), 64);
  EXPECT_EQ(brel::Memory_2d_Cpu_System_Lazy(65, 1).pitch(), 128);
  EXPECT_EQ(brel::Memory_2d_Cpu_System_Lazy(1, 1).pitch(), 64);
  EXPECT_EQ(brel::Memory_2d_Cpu_System_Lazy(0, 5).pitch(), 0);
  const brel::Memory_2d_Cpu_System_Lazy block(100, 3);
  EXPECT_EQ(block.width(), 100);
  EXPECT_EQ(block.height(), 3);
}

TEST(Memory_2d_Cpu_System_Lazy, AlignedRowsThatHoldTheirBytes) {
  brel::Memory_2d_Cpu_System_Lazy block(100, 3);
  uint8_t* data = block.data();
  ASSERT_NE(data, nullptr);
  EXPECT_TRUE(aligned(data));
  EXPECT_EQ(block.data(), data);  // allocated once
  // Every byte of every padded row is ours (the address sanitizer checks the last one).
  std::memset(data, 0x5a, static_cast<size_t>(block.pitch() * block.height()));
  EXPECT_EQ(data[3 * 128 - 1], 0x5a);
  for (int64_t y = 0; y < block.height(); ++y) {
    EXPECT_TRUE(aligned(data + y * block.pitch()));
  }
}

TEST(Memory_2d_Cpu_System_Lazy, EmptyBlocksStillHaveAnAddress) {
  brel::Memory_2d_Cpu_System_Lazy wide(0, 4);
  brel::Memory_2d_Cpu_System_Lazy flat(16, 0);
  EXPECT_NE(wide.data(), nullptr);
  EXPECT_NE(flat.data(), nullptr);
  brel::Memory_Cpu_System_Lazy nothing(0);
  EXPECT_NE(nothing.data(), nullptr);
  EXPECT_TRUE(aligned(nothing.data()));
}

TEST(Memory_System_Lazy, NegativeSizesAssert) {
  EXPECT_NE(assertion_report([] {
              brel::Memory_2d_Cpu_System_Lazy(-1, 2);
            }).find("(width >= 0 && height >= 0)"),
            std::string::npos);
  EXPECT_NE(assertion_report([] {
              brel::Memory_2d_Cpu_System_Lazy(2, -1);
            }).find("(width >= 0 && height >= 0)"),
            std::string::npos);
  EXPECT_NE(assertion_report([] { brel::Memory_Cpu_System_Lazy(-8); }).find("(size >= 0)"),
            std::string::npos);
}

// Memory is taken on the first request for the pointer: a block larger than any machine holds
// is made, and only touching it fails.
TEST(Memory_System_Lazy, AllocatesOnFirstAccess) {
  brel::Memory_2d_Cpu_System_Lazy huge(int64_t{1} << 40, int64_t{1} << 40);
  EXPECT_THROW(huge.data(), std::bad_alloc);
  EXPECT_THROW(brel::Memory_2d_Cpu_System_Lazy(INT64_MAX, 1), std::bad_alloc);
  brel::Memory_Cpu_System_Lazy too_big(INT64_MAX);
  EXPECT_THROW(too_big.data(), std::bad_alloc);
}

TEST(Memory_Cpu_System_Lazy, CopiesInAndOut) {
  brel::Memory_Cpu_System_Lazy block(5);
  EXPECT_EQ(block.size(), 5);
  EXPECT_TRUE(aligned(block.data()));
  const char in[5] = {'a', 'b', 'c', 'd', 'e'};
  block.copy_from_cpu(in, 5);
  char out[5] = {};
  block.copy_to_cpu(out, 5);
  EXPECT_EQ(std::string(out, 5), "abcde");
  // Copying the block onto itself is the no-op of a mapped pair.
  block.copy_from_cpu(block.data(), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.data()), 5), "abcde");
}

TEST(Memory_Cpu, CopyAssertions) {
  brel::Memory_Cpu_System_Lazy block(4);
  char buffer[8] = {};
  EXPECT_EQ(assertion_report([&] { block.copy_from_cpu(buffer, -1); }),
            "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (size >= 0) in util/memory "
            "line 34. ASSERT()");
  EXPECT_EQ(assertion_report([&] { block.copy_to_cpu(buffer, -1); }),
            "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (size >= 0) in util/memory "
            "line 41. ASSERT()");
  // More bytes than the block holds would write past it.
  EXPECT_THROW(block.copy_from_cpu(buffer, 8), brel::Exception_Assert);
  EXPECT_THROW(block.copy_to_cpu(buffer, 8), brel::Exception_Assert);
}

TEST(Memory_2d_Unmananged, NullPointerOnlyForAnEmptyBlock) {
  EXPECT_EQ(brel::Memory_2d_Unmananged(nullptr, 0, 10, 0).data(), nullptr);
  EXPECT_EQ(brel::Memory_2d_Unmananged(nullptr, 10, 0, 64).data(), nullptr);
  EXPECT_THROW(brel::Memory_2d_Unmananged(nullptr, 1, 1, 64), std::bad_alloc);
  uint8_t byte = 0;
  EXPECT_EQ(assertion_report([&] { brel::Memory_2d_Unmananged(&byte, -1, 1, 64); }),
            "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (width >= 0 && height >= 0) "
            "in util/memory_2d line 52. ASSERT()");
}

TEST(Memory_2d_Cpu, CopyBetweenDifferentMemoryIsNotBuilt) {
  brel::Memory_2d_Cpu_System_Lazy block(16, 2);
  alignas(64) uint8_t other[128] = {};
  block.copy_from_cpu(block.data(), 16, 2, 64);
  block.copy_to_cpu(block.data(), 16, 2, 64);
  try {
    block.copy_from_cpu(other, 16, 2, 64);
    FAIL() << "copy from other memory succeeded";
  } catch (const brel::Exception_Assert& e) {
    EXPECT_STREQ(e.what(), "found something that needs implementation");
  }
  EXPECT_NE(last_log_message().find("(ASSERT_INCOMPLETE) in util/memory_2d line 39."),
            std::string::npos);
  EXPECT_THROW(block.copy_to_cpu(other, 16, 2, 64), brel::Exception_Assert);
  EXPECT_NE(last_log_message().find("(ASSERT_INCOMPLETE) in util/memory_2d line 40."),
            std::string::npos);
}

TEST(Mapped_Memory, SameBlockHalvesCopyNothing) {
  auto block = std::make_shared<brel::Memory_Cpu_System_Lazy>(12);
  brel::Mapped_Memory mapped(block, block);
  EXPECT_EQ(mapped.cpu_data(), block->data());
  EXPECT_EQ(mapped.device_data(), block->data());
  EXPECT_EQ(mapped.size(), 12);
  std::memcpy(mapped.cpu_data(), "hello world", 12);
  mapped.cpu_to_device();
  mapped.device_to_cpu();
  EXPECT_STREQ(reinterpret_cast<char*>(mapped.device_data()), "hello world");
}

TEST(Mapped_Memory, DifferentSizedHalvesAssert) {
  brel::Mapped_Memory mapped(std::make_shared<brel::Memory_Cpu_System_Lazy>(8),
                             std::make_shared<brel::Memory_Cpu_System_Lazy>(9));
  const std::string message = "mapped memory only supports same sized memory chunks";
  try {
    mapped.cpu_to_device();
    FAIL() << "no assertion";
  } catch (const brel::Exception_Assert& e) {
    EXPECT_EQ(e.what(), message);
  }
  EXPECT_EQ(last_log_message().substr(0, last_log_message().find('\n')),
            "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** (_mem_cpu->size() == "
            "_mem_device->size()) in util/memory line 139. " +
                message);
  EXPECT_NE(assertion_report([&] { mapped.device_to_cpu(); }).find("util/memory line 144."),
            std::string::npos);
}

TEST(Mapped_Memory_2d, SameBlockHalves) {
  auto block = std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(100, 3);
  brel::Mapped_Memory_2d mapped(block, block);
  EXPECT_EQ(mapped.cpu_data(), block->data());
  EXPECT_EQ(mapped.device_data(), block->data());
  EXPECT_EQ(mapped.width(), 100);
  EXPECT_EQ(mapped.height(), 3);
  EXPECT_EQ(mapped.cpu_pitch(), 128);
  EXPECT_EQ(mapped.device_pitch(), 128);
  mapped.cpu_to_device();
  mapped.device_to_cpu();
}

TEST(Mapped_Memory_2d, MismatchedHalvesAssertWidthThenHeight) {
  auto block = std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(16, 2);
  auto wider = std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(32, 2);
  auto taller = std::make_shared<brel::Memory_2d_Cpu_System_Lazy>(16, 3);
  brel::Mapped_Memory_2d by_width(block, wider);
  brel::Mapped_Memory_2d by_height(block, taller);
  const std::string prefix = "-**###  ERROR  ###**-: -**### ASSERTION FAILED ###** ";
  const std::string message = ". mapped memory only supports same sized memory chunks";
  EXPECT_EQ(
      assertion_report([&] { by_width.cpu_to_device(); }),
      prefix + "(_mem_cpu->width() == _mem_device->width()) in util/memory_2d line 185" + message);
  EXPECT_EQ(assertion_report([&] { by_height.cpu_to_device(); }),
            prefix + "(_mem_cpu->height() == _mem_device->height()) in util/memory_2d line 186" +
                message);
  EXPECT_EQ(
      assertion_report([&] { by_width.device_to_cpu(); }),
      prefix + "(_mem_cpu->width() == _mem_device->width()) in util/memory_2d line 191" + message);
  EXPECT_EQ(assertion_report([&] { by_height.device_to_cpu(); }),
            prefix + "(_mem_cpu->height() == _mem_device->height()) in util/memory_2d line 192" +
                message);
}

}  // namespace
