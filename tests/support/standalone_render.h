#pragma once

// A stand-alone render context with its own pool, timing table and abort flag, for running
// kernels in tests at a chosen thread count.

#include <atomic>
#include <cstdint>

#include "base/log.h"
#include "base/render_context.h"
#include "base/render_context_cpu.h"
#include "base/timing_table.h"
#include "util/thread_pool.h"

namespace brel::test {

struct Standalone_Render {
  explicit Standalone_Render(int64_t threads) {
    pool.start(threads);
    context = render_context_cpu(pool, &timing_table, aborted);
  }

  Thread_Pool pool;
  Timing_Table timing_table;
  std::atomic<bool> aborted{false};
  Render_Context context;
};

// Switches the global log's verbose mode on for one scope, so timing scopes carry their real
// names; the log is inactive again afterwards.
class Active_Log {
 public:
  Active_Log() { global_log().set_verbose(true); }
  ~Active_Log() { global_log().set_verbose(false); }
  Active_Log(const Active_Log&) = delete;
  Active_Log& operator=(const Active_Log&) = delete;
};

// The thread counts every kernel test runs at: results must not depend on them.
inline constexpr int64_t thread_counts[] = {1, 2, 8};

}  // namespace brel::test
