#pragma once

// A render context that needs no host: memory from the system, the parallel loop on our own
// thread pool, abort polling through a flag the caller may raise, timing into a timing table.
// Tests, benchmarks and every caller outside a host render through it.

#include <atomic>

#include "base/render_context.h"

namespace brel {

class Thread_Pool;
class Timing_Table;

// The pool (already started), the table and the flag must outlive every copy of the record.
// Raising `aborted` (from any thread) makes every later abort poll throw Exception_Abort; the
// context never lowers it again.
Render_Context render_context_cpu(Thread_Pool& pool, Timing_Table* timing_table,
                                  std::atomic<bool>& aborted);

}  // namespace brel
