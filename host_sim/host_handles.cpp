#include "host_handles.h"

#include <atomic>
#include <cstdlib>

namespace brel::sim {

// The master pointer comes first, so a PF_Handle (void**) leads to the bytes.
struct Host_Handles::Block {
  void* bytes = nullptr;
  A_u_longlong size = 0;
  int64_t locks = 0;
};

namespace {

std::atomic<Host_Handles*> active_handles{nullptr};

Host_Handles& active() {
  return *active_handles.load();
}

PF_Handle new_entry(A_u_longlong size) {
  return active().new_handle(size);
}
void* lock_entry(PF_Handle handle) {
  return active().lock(handle);
}
void unlock_entry(PF_Handle handle) {
  active().unlock(handle);
}
void dispose_entry(PF_Handle handle) {
  active().dispose(handle);
}
A_u_longlong size_entry(PF_Handle handle) {
  return active().size(handle);
}
PF_Err resize_entry(A_u_longlong /*new_size*/, PF_Handle* /*handle*/) {
  return PF_Err_INVALID_CALLBACK;
}

const PF_HandleSuite2 handle_suite = {new_entry,     lock_entry, unlock_entry,
                                      dispose_entry, size_entry, resize_entry};

}  // namespace

Host_Handles::~Host_Handles() {
  for (Block* block : blocks_) {
    std::free(block->bytes);
    delete block;
  }
}

void Host_Handles::fail_new_at(int64_t n) {
  std::lock_guard lock(mutex_);
  fail_new_at_ = n;
}

void Host_Handles::fail_lock_at(int64_t n) {
  std::lock_guard lock(mutex_);
  fail_lock_at_ = n;
}

int64_t Host_Handles::new_calls() const {
  std::lock_guard lock(mutex_);
  return new_calls_;
}

int64_t Host_Handles::live_handles() const {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(blocks_.size());
}

int64_t Host_Handles::open_locks() const {
  std::lock_guard lock(mutex_);
  return open_locks_;
}

int64_t Host_Handles::last_size() const {
  std::lock_guard lock(mutex_);
  return last_size_;
}

PF_Handle Host_Handles::new_handle(A_u_longlong size) {
  std::lock_guard lock(mutex_);
  ++new_calls_;
  last_size_ = static_cast<int64_t>(size);
  if (new_calls_ == fail_new_at_) {
    return nullptr;
  }
  auto* block = new Block;
  block->bytes = std::malloc(size == 0 ? 1 : size);
  block->size = size;
  blocks_.insert(block);
  return reinterpret_cast<PF_Handle>(block);
}

void* Host_Handles::lock(PF_Handle handle) {
  std::lock_guard lock(mutex_);
  ++lock_calls_;
  auto* block = reinterpret_cast<Block*>(handle);
  if (lock_calls_ == fail_lock_at_ || blocks_.count(block) == 0) {
    return nullptr;
  }
  ++block->locks;
  ++open_locks_;
  return block->bytes;
}

void Host_Handles::unlock(PF_Handle handle) {
  std::lock_guard lock(mutex_);
  auto* block = reinterpret_cast<Block*>(handle);
  if (blocks_.count(block) != 0 && block->locks > 0) {
    --block->locks;
    --open_locks_;
  }
}

void Host_Handles::dispose(PF_Handle handle) {
  std::lock_guard lock(mutex_);
  auto* block = reinterpret_cast<Block*>(handle);
  if (blocks_.erase(block) != 0) {
    open_locks_ -= block->locks;
    std::free(block->bytes);
    delete block;
  }
}

A_u_longlong Host_Handles::size(PF_Handle handle) {
  std::lock_guard lock(mutex_);
  auto* block = reinterpret_cast<Block*>(handle);
  return blocks_.count(block) != 0 ? block->size : 0;
}

const PF_HandleSuite2* Host_Handles::suite() {
  return &handle_suite;
}

void Host_Handles::fill_util_callbacks(PF_UtilCallbacks* utils) {
  utils->host_new_handle = new_entry;
  utils->host_lock_handle = lock_entry;
  utils->host_unlock_handle = unlock_entry;
  utils->host_dispose_handle = dispose_entry;
  utils->host_get_handle_size = size_entry;
}

void Host_Handles::set_active(Host_Handles* handles) {
  active_handles.store(handles);
}

}  // namespace brel::sim
