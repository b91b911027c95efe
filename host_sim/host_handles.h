#pragma once

// The simulated host's memory handles, served both through PF_UtilCallbacks and through
// "PF Handle Suite" 2: every handle is counted, so a test can check that a command gave back
// all it took, and a chosen allocation or lock can be made to fail.

#include <cstdint>
#include <mutex>
#include <set>

#include "host_api.h"

namespace brel::sim {

class Host_Handles {
 public:
  Host_Handles() = default;
  ~Host_Handles();
  Host_Handles(const Host_Handles&) = delete;
  Host_Handles& operator=(const Host_Handles&) = delete;

  // The n-th new handle (counting from 1, over the instance's life) comes back null.
  void fail_new_at(int64_t n);
  // The n-th lock comes back null; the handle stays allocated, as a host would leave it.
  void fail_lock_at(int64_t n);

  int64_t new_calls() const;
  // Handles made and not yet disposed.
  int64_t live_handles() const;
  // Locks not yet undone by an unlock.
  int64_t open_locks() const;
  // The size asked for by the last new handle.
  int64_t last_size() const;

  PF_Handle new_handle(A_u_longlong size);
  void* lock(PF_Handle handle);
  void unlock(PF_Handle handle);
  void dispose(PF_Handle handle);
  A_u_longlong size(PF_Handle handle);

  // The suite table; its functions forward to the active instance.
  static const PF_HandleSuite2* suite();
  // Fills the handle members of the utility callbacks with the same functions.
  static void fill_util_callbacks(PF_UtilCallbacks* utils);
  static void set_active(Host_Handles* handles);

 private:
  struct Block;

  mutable std::mutex mutex_;
  std::set<Block*> blocks_;
  int64_t new_calls_ = 0;
  int64_t lock_calls_ = 0;
  int64_t open_locks_ = 0;
  int64_t last_size_ = -1;
  int64_t fail_new_at_ = 0;
  int64_t fail_lock_at_ = 0;
};

}  // namespace brel::sim
