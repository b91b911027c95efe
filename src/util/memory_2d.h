#pragma once

// Two-dimensional memory blocks (rows of content bytes, `pitch` bytes apart) and the mapped
// pair through which kernels reach them. As with the one-dimensional pair, both halves are the
// same block on this CPU-only system.

#include <cstdint>
#include <memory>

namespace brel {

// An abstract two-dimensional block.
class Memory_2d {
 public:
  virtual ~Memory_2d() = default;
  // The first row; a block that allocates lazily gets its memory on the first call.
  virtual uint8_t* data() = 0;
  // Bytes of content per row.
  virtual int64_t width() const = 0;
  // Rows.
  virtual int64_t height() const = 0;
  // Bytes from the start of one row to the start of the next.
  virtual int64_t pitch() const = 0;
  virtual void copy_from_cpu(const void* cpu, int64_t width, int64_t height, int64_t pitch) = 0;
  virtual void copy_to_cpu(void* cpu, int64_t width, int64_t height, int64_t pitch) = 0;
};

// A block the CPU reads directly. Only the copy onto itself is supported (it does nothing);
// a copy between different memory is not built.
class Memory_2d_Cpu : public Memory_2d {
 public:
  void copy_from_cpu(const void* cpu, int64_t width, int64_t height, int64_t pitch) override;
  void copy_to_cpu(void* cpu, int64_t width, int64_t height, int64_t pitch) override;
};

// Width in bytes rounded up to a multiple of 64, so that every row starts on a cache line.
int64_t padded_pitch(int64_t width);

// A block from the system heap: `height` rows of `padded_pitch(width)` bytes, 64-byte aligned,
// allocated on the first call of `data` (std::bad_alloc when the system has no memory) and
// never cleared. It must get its memory before it is shared between threads.
class Memory_2d_Cpu_System_Lazy final : public Memory_2d_Cpu {
 public:
  Memory_2d_Cpu_System_Lazy(int64_t width, int64_t height);
  ~Memory_2d_Cpu_System_Lazy() override;
  Memory_2d_Cpu_System_Lazy(const Memory_2d_Cpu_System_Lazy&) = delete;
  Memory_2d_Cpu_System_Lazy& operator=(const Memory_2d_Cpu_System_Lazy&) = delete;

  uint8_t* data() override;
  int64_t width() const override { return width_; }
  int64_t height() const override { return height_; }
  int64_t pitch() const override { return pitch_; }

 private:
  uint8_t* pointer_ = nullptr;
  int64_t width_;
  int64_t height_;
  int64_t pitch_;
};

// A view of two-dimensional memory that somebody else owns (a host layer's pixels); it frees
// nothing.
class Memory_2d_Unmananged final : public Memory_2d_Cpu {
 public:
  // A null pointer is accepted only for an empty block; otherwise it throws std::bad_alloc.
  Memory_2d_Unmananged(void* pointer, int64_t width, int64_t height, int64_t pitch);

  uint8_t* data() override { return pointer_; }
  int64_t width() const override { return width_; }
  int64_t height() const override { return height_; }
  int64_t pitch() const override { return pitch_; }

 private:
  uint8_t* pointer_;
  int64_t width_;
  int64_t height_;
  int64_t pitch_;
};

// The pair of two-dimensional blocks a kernel works on: `_mem_cpu` for CPU code, `_mem_device`
// for a compute device. A pixel at column x of row y lies at cpu_data() + y * cpu_pitch() +
// x * pixel size.
class Mapped_Memory_2d {
 public:
  Mapped_Memory_2d(std::shared_ptr<Memory_2d_Cpu> cpu, std::shared_ptr<Memory_2d_Cpu> device);
  // Releases the device half, then the CPU half.
  virtual ~Mapped_Memory_2d();
  Mapped_Memory_2d(const Mapped_Memory_2d&) = delete;
  Mapped_Memory_2d& operator=(const Mapped_Memory_2d&) = delete;

  virtual uint8_t* cpu_data();
  virtual uint8_t* device_data();
  virtual int64_t width();
  virtual int64_t height();
  virtual int64_t cpu_pitch();
  virtual int64_t device_pitch();
  virtual void cpu_to_device();
  virtual void device_to_cpu();

 private:
  std::shared_ptr<Memory_2d_Cpu> _mem_cpu;
  std::shared_ptr<Memory_2d_Cpu> _mem_device;
};

}  // namespace brel
