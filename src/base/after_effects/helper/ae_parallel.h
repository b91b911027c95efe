#pragma once

// The parallel loop of a render inside the host: every kernel body runs on the host's own render
// threads through the host's `iterate_generic`. Inside the host the effect starts no threads.

#include <atomic>
#include <cstdint>
#include <functional>

#include "host_api.h"
#include "util/thread_iteration.h"

namespace brel::ae {

// The host's render threads, capped at `requested` when that is above 0. A host without
// `iterate_generic` runs loops serially on the calling thread and so counts 1.
int64_t host_thread_count(PF_InData* in_data, int64_t requested);

// Runs `job` once for every index 0 .. count - 1 on the host's threads and returns when all have
// run. The host's thread 0 is worker 0; the others take worker numbers 1, 2, ... as they arrive.
// Clears `aborted` first. Whatever a job throws is caught on its own thread and comes back here
// as an exception: Exception_Abort for an abort, Exception_After_Effects with the host code for
// everything else (4 for out of memory, 512 for an unexpected exception). A host without
// `iterate_generic` gets the loop run serially on the calling thread as worker 0 of 1.
void parallel_for_host(int64_t count, const std::function<void(const Iteration&)>& job,
                       PF_InData* in_data, std::atomic<bool>& aborted);

}  // namespace brel::ae
