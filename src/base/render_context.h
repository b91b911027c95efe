#pragma once

// The per-render services through which every kernel reaches memory, threads, abort polling
// and timing. Keeping kernels behind this record lets the same kernels run on the host's
// render threads or on our own thread pool. Copies share the services they were made with.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/timing_table.h"
#include "util/thread_iteration.h"

namespace brel {

class Memory_Cpu;
class Memory_2d_Cpu;
class Mapped_Memory;
class Mapped_Memory_2d;

enum BREL_Render_Pipeline : int32_t {
  BREL_Render_Pipeline_Cpu = 0,  // the only pipeline there is
};

struct Render_Context {
  std::function<BREL_Render_Pipeline()> pipeline;
  std::function<std::shared_ptr<Mapped_Memory>(std::shared_ptr<Memory_Cpu>)> wrap_memory;
  std::function<std::shared_ptr<Mapped_Memory>(int64_t)> allocate_memory;
  std::function<std::shared_ptr<Mapped_Memory_2d>(std::shared_ptr<Memory_2d_Cpu>)> wrap_memory_2d;
  // Width in bytes, then height in rows. Rows are padded to 64 bytes; memory comes into being
  // on the first request for its pointer and is not cleared.
  std::function<std::shared_ptr<Mapped_Memory_2d>(int64_t, int64_t)> allocate_memory_2d;
  // Throws Exception_Abort when the render is to stop.
  std::function<void()> check_abort;
  // Parallel iterations to use for a job of the given size.
  std::function<int64_t(int64_t)> iteration_count;
  // Runs the job once per index 0 .. count - 1 and returns when all have run.
  std::function<void(int64_t, std::function<void(const Iteration&)>)> parallel_for;
  std::function<void(std::string)> timing_hook;
  std::function<std::shared_ptr<Timing_Table::Scope_Timer>(std::string, int64_t)> scope_timer;
  std::function<std::shared_ptr<Timing_Table::Scope_Section>(std::string)> scope_section;
};

// Binds the three timing members to a render's timing table. While the log is active a scope
// is named after its kernel with " (Cpu)" and timed by the table's clock; while it is inactive
// every scope is "(Void)", opens with workload 0 and measures nothing of its own.
void bind_timing(Render_Context& context, Timing_Table* timing_table);

}  // namespace brel
