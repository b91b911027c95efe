#include "base/after_effects/after_effects_memory.h"

#include <cstring>
#include <new>
#include <string>

#include "base/after_effects/helper/ae_suite.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/system_dependencies.h"

namespace brel {
namespace {

constexpr int64_t handle_room = 8;  // the handle is kept just before the block

// Releases without letting anything escape: destructors run during unwinding, and a host that
// refuses the suite then must not end the process.
void release_quietly(uint8_t* block, SPBasicSuite* basic_suite) noexcept {
  try {
    host_release(block, basic_suite);
  } catch (const std::exception& e) {
    try {
      global_log().write(
          std::string("-**### WARNING ###**-: host memory could not be given back: ") + e.what() +
              "\n",
          Log::warning);
    } catch (...) {
    }
  } catch (...) {
  }
}

}  // namespace

uint8_t* host_allocate(int64_t size, SPBasicSuite* basic_suite) {
  BREL_ASSERT_AT(size >= 0, report::host_allocate_size);
  const int64_t alignment = memory_alignment();
  Suite_Guard<PF_HandleSuite2> suite(basic_suite, "PF Handle Suite", 2);
  PF_Handle handle =
      suite->host_new_handle(static_cast<A_u_longlong>(size + alignment + handle_room));
  if (handle == nullptr) {
    throw std::bad_alloc();
  }
  auto* locked = static_cast<uint8_t*>(suite->host_lock_handle(handle));
  if (locked == nullptr) {
    // The handle is ours until it is given back: a lock the host refuses must not leak it.
    suite->host_dispose_handle(handle);
    throw std::bad_alloc();
  }
  const auto q =
      reinterpret_cast<uintptr_t>(locked) + static_cast<uintptr_t>(alignment + handle_room - 1);
  auto* block = reinterpret_cast<uint8_t*>(q - q % static_cast<uintptr_t>(alignment));
  std::memcpy(block - handle_room, &handle, sizeof(handle));
  on_memory_allocated(block, size);
  return block;
}

void host_release(uint8_t* block, SPBasicSuite* basic_suite) {
  Suite_Guard<PF_HandleSuite2> suite(basic_suite, "PF Handle Suite", 2);
  if (block != nullptr) {
    PF_Handle handle = nullptr;
    std::memcpy(&handle, block - handle_room, sizeof(handle));
    suite->host_unlock_handle(handle);
    suite->host_dispose_handle(handle);
  }
}

Memory_Cpu_AE_Lazy::Memory_Cpu_AE_Lazy(int64_t size, SPBasicSuite* basic_suite)
    : basic_suite_(basic_suite), size_(size) {
  BREL_ASSERT_AT(size >= 0, report::memory_ae_size);
}

Memory_Cpu_AE_Lazy::~Memory_Cpu_AE_Lazy() {
  release_quietly(pointer_, basic_suite_);
}

uint8_t* Memory_Cpu_AE_Lazy::data() {
  if (pointer_ == nullptr) {
    pointer_ = host_allocate(size_, basic_suite_);
  }
  return pointer_;
}

Memory_2d_Cpu_AE_Lazy::Memory_2d_Cpu_AE_Lazy(int64_t width, int64_t height,
                                             SPBasicSuite* basic_suite)
    : basic_suite_(basic_suite), width_(width), height_(height) {
  BREL_ASSERT_AT(width >= 0 && height >= 0, report::memory_2d_ae_size);
  pitch_ = padded_pitch(width);
}

Memory_2d_Cpu_AE_Lazy::~Memory_2d_Cpu_AE_Lazy() {
  release_quietly(pointer_, basic_suite_);
}

uint8_t* Memory_2d_Cpu_AE_Lazy::data() {
  if (pointer_ == nullptr) {
    pointer_ = host_allocate(pitch_ * height_, basic_suite_);
  }
  return pointer_;
}

}  // namespace brel
