#include "base/render_context_cpu.h"

#include <algorithm>

#include "base/exception.h"
#include "base/timing_table.h"
#include "util/memory.h"
#include "util/memory_2d.h"
#include "util/thread_pool.h"

namespace brel {

namespace {

std::shared_ptr<Mapped_Memory> wrap(std::shared_ptr<Memory_Cpu> block) {
  return std::make_shared<Mapped_Memory>(block, block);
}

std::shared_ptr<Mapped_Memory_2d> wrap_2d(std::shared_ptr<Memory_2d_Cpu> block) {
  return std::make_shared<Mapped_Memory_2d>(block, block);
}

}  // namespace

Render_Context render_context_cpu(Thread_Pool& pool, Timing_Table* timing_table,
                                  std::atomic<bool>& aborted) {
  BREL_ASSERT(timing_table != nullptr);
  Thread_Pool* const pool_pointer = &pool;
  std::atomic<bool>* const aborted_pointer = &aborted;

  Render_Context context;
  context.pipeline = [] { return BREL_Render_Pipeline_Cpu; };
  context.wrap_memory = wrap;
  context.allocate_memory = [](int64_t size) {
    return wrap(std::make_shared<Memory_Cpu_System_Lazy>(size));
  };
  context.wrap_memory_2d = wrap_2d;
  context.allocate_memory_2d = [](int64_t width, int64_t height) {
    return wrap_2d(std::make_shared<Memory_2d_Cpu_System_Lazy>(width, height));
  };
  // A late view of the flag only delays a worker's stop by one row, so relaxed access does.
  context.check_abort = [aborted_pointer] {
    if (aborted_pointer->load(std::memory_order_relaxed)) {
      throw Exception_Abort();
    }
  };
  context.iteration_count = [pool_pointer](int64_t work) {
    const int64_t workers = pool_pointer->worker_count();
    return work > 0 ? std::min(workers, work) : workers;
  };
  context.parallel_for = [pool_pointer](int64_t count, std::function<void(const Iteration&)> job) {
    pool_pointer->run(count, job);
  };
  bind_timing(context, timing_table);
  return context;
}

}  // namespace brel
