#include "util/memory_2d.h"

#include <limits>
#include <new>

#include "base/exception.h"
#include "util/memory.h"

namespace brel {

void Memory_2d_Cpu::copy_from_cpu(const void* cpu, int64_t, int64_t, int64_t) {
  if (cpu == data()) {
    return;
  }
  BREL_ASSERT_INCOMPLETE_AT(report::memory_2d_copy_from_cpu);
}

void Memory_2d_Cpu::copy_to_cpu(void* cpu, int64_t, int64_t, int64_t) {
  if (cpu == data()) {
    return;
  }
  BREL_ASSERT_INCOMPLETE_AT(report::memory_2d_copy_to_cpu);
}

int64_t padded_pitch(int64_t width) {
  // A width that cannot be padded cannot be allocated either.
  if (width > std::numeric_limits<int64_t>::max() - (memory_alignment() - 1)) {
    throw std::bad_alloc();
  }
  return (width + memory_alignment() - 1) / memory_alignment() * memory_alignment();
}

Memory_2d_Cpu_System_Lazy::Memory_2d_Cpu_System_Lazy(int64_t width, int64_t height)
    : width_(width), height_(height) {
  BREL_ASSERT(width >= 0 && height >= 0);
  pitch_ = padded_pitch(width);
}

Memory_2d_Cpu_System_Lazy::~Memory_2d_Cpu_System_Lazy() {
  system_release(pointer_);
}

uint8_t* Memory_2d_Cpu_System_Lazy::data() {
  if (pointer_ == nullptr) {
    if (height_ > 0 && pitch_ > std::numeric_limits<int64_t>::max() / height_) {
      throw std::bad_alloc();
    }
    pointer_ = system_allocate(pitch_ * height_);
  }
  return pointer_;
}

Memory_2d_Unmananged::Memory_2d_Unmananged(void* pointer, int64_t width, int64_t height,
                                           int64_t pitch)
    : pointer_(static_cast<uint8_t*>(pointer)), width_(width), height_(height), pitch_(pitch) {
  BREL_ASSERT_AT(width >= 0 && height >= 0, report::memory_2d_unmanaged_size);
  if (pointer == nullptr && width > 0 && height > 0) {
    throw std::bad_alloc();
  }
}

Mapped_Memory_2d::Mapped_Memory_2d(std::shared_ptr<Memory_2d_Cpu> cpu,
                                   std::shared_ptr<Memory_2d_Cpu> device)
    : _mem_cpu(std::move(cpu)), _mem_device(std::move(device)) {
  BREL_ASSERT(_mem_cpu != nullptr && _mem_device != nullptr);
}

Mapped_Memory_2d::~Mapped_Memory_2d() {
  _mem_device.reset();
  _mem_cpu.reset();
}

uint8_t* Mapped_Memory_2d::cpu_data() {
  return _mem_cpu->data();
}

uint8_t* Mapped_Memory_2d::device_data() {
  return _mem_device->data();
}

int64_t Mapped_Memory_2d::width() {
  return _mem_cpu->width();
}

int64_t Mapped_Memory_2d::height() {
  return _mem_cpu->height();
}

int64_t Mapped_Memory_2d::cpu_pitch() {
  return _mem_cpu->pitch();
}

int64_t Mapped_Memory_2d::device_pitch() {
  return _mem_device->pitch();
}

void Mapped_Memory_2d::cpu_to_device() {
  BREL_ASSERT_MSG_AT(_mem_cpu->width() == _mem_device->width(),
                     "mapped memory only supports same sized memory chunks",
                     report::mapped_memory_2d_to_device_width);
  BREL_ASSERT_MSG_AT(_mem_cpu->height() == _mem_device->height(),
                     "mapped memory only supports same sized memory chunks",
                     report::mapped_memory_2d_to_device_height);
  _mem_device->copy_from_cpu(_mem_cpu->data(), _mem_cpu->width(), _mem_cpu->height(),
                             _mem_cpu->pitch());
}

void Mapped_Memory_2d::device_to_cpu() {
  BREL_ASSERT_MSG_AT(_mem_cpu->width() == _mem_device->width(),
                     "mapped memory only supports same sized memory chunks",
                     report::mapped_memory_2d_to_cpu_width);
  BREL_ASSERT_MSG_AT(_mem_cpu->height() == _mem_device->height(),
                     "mapped memory only supports same sized memory chunks",
                     report::mapped_memory_2d_to_cpu_height);
  _mem_device->copy_to_cpu(_mem_cpu->data(), _mem_cpu->width(), _mem_cpu->height(),
                           _mem_cpu->pitch());
}

}  // namespace brel
