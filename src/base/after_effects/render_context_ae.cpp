#include "base/after_effects/render_context_ae.h"

#include <memory>
#include <string>

#include "base/after_effects/after_effects_memory.h"
#include "base/after_effects/helper/ae_parallel.h"
#include "base/exception.h"
#include "base/memory_pool_2d.h"
#include "base/timing_table.h"
#include "util/memory.h"
#include "util/memory_2d.h"

namespace brel {

Render_Context render_context_ae_cpu(Timing_Table* timing_table, PF_InData* in_data,
                                     std::thread::id host_thread, std::atomic<bool>& aborted) {
  Render_Context context;
  context.pipeline = [] { return BREL_Render_Pipeline_Cpu; };
  context.wrap_memory = [](std::shared_ptr<Memory_Cpu> block) {
    return std::make_shared<Mapped_Memory>(block, block);
  };
  context.allocate_memory = [in_data](int64_t size) {
    std::shared_ptr<Memory_Cpu> block =
        std::make_shared<Memory_Cpu_AE_Lazy>(size, in_data->pica_basicP);
    return std::make_shared<Mapped_Memory>(block, block);
  };
  context.wrap_memory_2d = [](std::shared_ptr<Memory_2d_Cpu> block) {
    return std::make_shared<Mapped_Memory_2d>(block, block);
  };
  context.allocate_memory_2d = [in_data](int64_t width, int64_t height) {
    std::shared_ptr<Memory_2d_Cpu> block =
        std::make_shared<Memory_2d_Cpu_AE_Lazy>(width, height, in_data->pica_basicP);
    return std::make_shared<Mapped_Memory_2d>(block, block);
  };
  pool_memory_2d(context);
  context.check_abort = [in_data, host_thread, &aborted] {
    if (std::this_thread::get_id() == host_thread) {
      if (in_data->inter.abort != nullptr &&
          in_data->inter.abort(in_data->effect_ref) != PF_Err_NONE) {
        aborted.store(true, std::memory_order_relaxed);
        throw Exception_Abort();
      }
    } else if (aborted.load(std::memory_order_relaxed)) {
      throw Exception_Abort();
    }
  };
  context.iteration_count = [in_data](int64_t work) {
    return ae::host_thread_count(in_data, work);
  };
  context.parallel_for = [in_data, &aborted](int64_t count,
                                             std::function<void(const Iteration&)> job) {
    ae::parallel_for_host(count, job, in_data, aborted);
  };
  bind_timing(context, timing_table);
  return context;
}

}  // namespace brel
