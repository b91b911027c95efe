#pragma once

// Working memory kept for reuse within one render. The stages of a render take and release
// layers of a few recurring sizes one after the other; handing a released block to the next
// request spares the host a fresh allocation and the system the faulting and zeroing of new
// pages.

#include "base/render_context.h"

namespace brel {

// Routes the context's two-dimensional allocations through a pool that every later copy of the
// context shares. A released block serves the next request it can hold (the smallest such
// block); a request no kept block holds first gives every kept block back and then takes fresh
// memory, so the pool never keeps memory while fresh memory is taken. Kept blocks go back when
// the last copy of the context and the last block handed out are gone. Reused memory is not
// cleared, as fresh memory is not. Requests and releases may come from any thread.
void pool_memory_2d(Render_Context& context);

}  // namespace brel
