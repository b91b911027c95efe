#pragma once

// The render context of a CPU render inside the host: memory from host handles (working layers
// through a pool of the render, so released layers serve later requests), the abort poll
// through the host's abort callback, the parallel loop over the host's render threads and timing
// scopes into the command's timing table.

#include <atomic>
#include <thread>

#include "base/render_context.h"
#include "host_api.h"

namespace brel {

class Timing_Table;

// The table, in_data and the flag must outlive every copy of the record. `host_thread` is the
// thread that received the command: only there does the abort poll ask the host; the other
// threads see an abort through `aborted`.
Render_Context render_context_ae_cpu(Timing_Table* timing_table, PF_InData* in_data,
                                     std::thread::id host_thread, std::atomic<bool>& aborted);

}  // namespace brel
