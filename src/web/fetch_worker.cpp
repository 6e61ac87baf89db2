#include "web/fetch_worker.h"

#include <atomic>
#include <memory>

#include "runtime/commands.h"

namespace tobrine {
namespace {

std::atomic<int> g_runningWorkers{0};

winapi::Dword TOBRINE_WINAPI RunWorker(void* parameter) {
  std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
  (*work)();
  work.reset();
  g_runningWorkers.fetch_sub(1);
  return 0;
}

}  // namespace

ThreadHandle StartFetchWorker(std::function<void()> work) {
  auto parameter = std::make_unique<std::function<void()>>(std::move(work));
  winapi::Dword threadId = 0;
  g_runningWorkers.fetch_add(1);
  ThreadHandle thread(CallExternal<kExtCreateThread>(nullptr, std::size_t{0}, &RunWorker,
                                                     parameter.get(), 0u, &threadId));
  if (thread)
    parameter.release();  // the worker's now
  else
    g_runningWorkers.fetch_sub(1);
  return thread;
}

bool WaitForAbandonedFetches(uint32_t milliseconds) {
  const uint32_t start = TickCount();
  while (g_runningWorkers.load() > 0) {
    if (TickCount() - start >= milliseconds) return false;
    // A wait on no object: a pause without a thread of its own.
    CallExternal<kExtMsgWaitForMultipleObjects>(0u, nullptr, 0, winapi::Dword{10}, 0u);
  }
  return true;
}

}  // namespace tobrine
