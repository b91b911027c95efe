#pragma once

// Working memory of a render inside the host: every buffer is one host handle, taken through
// "PF Handle Suite", 64-byte aligned, and only when first touched. The host's handle functions
// are safe to call from any thread, so allocations of concurrent renders and render threads
// take no lock of ours and do not wait for each other.

#include <cstdint>

#include "host_api.h"
#include "util/memory.h"
#include "util/memory_2d.h"

namespace brel {

// A 64-byte aligned block of `size` usable bytes from one host handle of size + 72 bytes; the
// handle sits in the 8 bytes before the block. std::bad_alloc when the host has no memory.
uint8_t* host_allocate(int64_t size, SPBasicSuite* basic_suite);
// Gives a block of host_allocate back; null is accepted (the suite is still taken and released).
void host_release(uint8_t* block, SPBasicSuite* basic_suite);

// A one-dimensional block from the host, allocated on the first call of `data`. That first call
// is not locked against a second one: get the memory before sharing the block between threads.
class Memory_Cpu_AE_Lazy final : public Memory_Cpu {
 public:
  Memory_Cpu_AE_Lazy(int64_t size, SPBasicSuite* basic_suite);
  // Gives the block back; a failure to do so is logged, never thrown.
  ~Memory_Cpu_AE_Lazy() override;
  Memory_Cpu_AE_Lazy(const Memory_Cpu_AE_Lazy&) = delete;
  Memory_Cpu_AE_Lazy& operator=(const Memory_Cpu_AE_Lazy&) = delete;

  uint8_t* data() override;
  int64_t size() const override { return size_; }

 private:
  SPBasicSuite* basic_suite_;
  uint8_t* pointer_ = nullptr;
  int64_t size_;
};

// A two-dimensional block from the host: `height` rows `pitch` bytes apart, the pitch being the
// width rounded up to a multiple of 64; allocated on the first call of `data`.
class Memory_2d_Cpu_AE_Lazy final : public Memory_2d_Cpu {
 public:
  Memory_2d_Cpu_AE_Lazy(int64_t width, int64_t height, SPBasicSuite* basic_suite);
  ~Memory_2d_Cpu_AE_Lazy() override;
  Memory_2d_Cpu_AE_Lazy(const Memory_2d_Cpu_AE_Lazy&) = delete;
  Memory_2d_Cpu_AE_Lazy& operator=(const Memory_2d_Cpu_AE_Lazy&) = delete;

  uint8_t* data() override;
  int64_t width() const override { return width_; }
  int64_t height() const override { return height_; }
  int64_t pitch() const override { return pitch_; }

 private:
  SPBasicSuite* basic_suite_;
  uint8_t* pointer_ = nullptr;
  int64_t width_;
  int64_t height_;
  int64_t pitch_;
};

}  // namespace brel
