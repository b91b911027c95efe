#pragma once

// A stand-alone render for tests: a started thread pool, a timing table, the abort flag and
// the render context made over them.

#include <atomic>
#include <cstdint>

#include "base/log.h"
#include "base/render_context.h"
#include "base/render_context_cpu.h"
#include "base/timing_table.h"
#include "util/thread_pool.h"

namespace brel::test {

struct Cpu_Render {
  explicit Cpu_Render(int64_t workers) {
    pool.start(workers);
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

}  // namespace brel::test
