#pragma once

// One-dimensional memory blocks, and the mapped pair (a CPU half and a device half) through
// which kernels reach them. On this CPU-only system both halves of a pair are the same block,
// so copying between them does nothing, but the pair still checks that its halves match.

#include <cstdint>
#include <memory>

#include "base/system_dependencies.h"

namespace brel {

// An abstract one-dimensional block of bytes.
class Memory {
 public:
  virtual ~Memory() = default;
  // The first byte; a block that allocates lazily gets its memory on the first call.
  virtual uint8_t* data() = 0;
  virtual int64_t size() const = 0;
  // Copies `size` bytes from `cpu` into the block.
  virtual void copy_from_cpu(const void* cpu, int64_t size) = 0;
  // Copies `size` bytes of the block to `cpu`.
  virtual void copy_to_cpu(void* cpu, int64_t size) = 0;
};

// A block the CPU reads directly: copies from or to its own bytes do nothing.
class Memory_Cpu : public Memory {
 public:
  void copy_from_cpu(const void* cpu, int64_t size) override;
  void copy_to_cpu(void* cpu, int64_t size) override;
};

// A block from the system heap, 64-byte aligned, allocated on the first call of `data`
// (std::bad_alloc when the system has no memory) and never cleared. Like any lazy block it
// must get its memory before it is shared between threads.
class Memory_Cpu_System_Lazy final : public Memory_Cpu {
 public:
  explicit Memory_Cpu_System_Lazy(int64_t size);
  ~Memory_Cpu_System_Lazy() override;
  Memory_Cpu_System_Lazy(const Memory_Cpu_System_Lazy&) = delete;
  Memory_Cpu_System_Lazy& operator=(const Memory_Cpu_System_Lazy&) = delete;

  uint8_t* data() override;
  int64_t size() const override { return size_; }

 private:
  uint8_t* pointer_ = nullptr;
  int64_t size_;
};

// The pair of blocks a kernel works on: `_mem_cpu` is what CPU code reads and writes,
// `_mem_device` what a compute device would use.
class Mapped_Memory {
 public:
  Mapped_Memory(std::shared_ptr<Memory_Cpu> cpu, std::shared_ptr<Memory_Cpu> device);
  // Releases the device half, then the CPU half.
  virtual ~Mapped_Memory();
  Mapped_Memory(const Mapped_Memory&) = delete;
  Mapped_Memory& operator=(const Mapped_Memory&) = delete;

  virtual uint8_t* cpu_data();
  virtual uint8_t* device_data();
  virtual int64_t size();
  virtual void cpu_to_device();
  virtual void device_to_cpu();

 private:
  std::shared_ptr<Memory_Cpu> _mem_cpu;
  std::shared_ptr<Memory_Cpu> _mem_device;
};

// Allocates `size` bytes from the system, 64-byte aligned; a size of 0 still gets a block.
// Throws std::bad_alloc when the system has none. Free with `system_release`.
uint8_t* system_allocate(int64_t size);
void system_release(uint8_t* block);

}  // namespace brel
