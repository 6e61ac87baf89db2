// The worker thread of a fetch. A fetch that gives up on its worker tells it to
// stop and leaves it to end by itself; the workers still running are counted,
// so that a process about to exit can wait for them to let go of what they
// hold (the runtime's bindings included).
#pragma once

#include <cstdint>
#include <functional>

#include "runtime/external.h"

namespace tobrine {

using ThreadHandle = ExternalHandle<kExtCloseHandle>;

// Runs `work` on a new thread; no handle when it cannot start. Whatever `work`
// holds is released before the worker counts as ended.
ThreadHandle StartFetchWorker(std::function<void()> work);

// Waits up to `milliseconds` for every worker to end. True when none is left.
bool WaitForAbandonedFetches(uint32_t milliseconds);

}  // namespace tobrine
