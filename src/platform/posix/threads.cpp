// Threads and the message-aware wait of kernel32 / user32 on std::thread and
// the per-thread message queues. A thread handle is a counted object shared by
// the handle and the running thread, so either may go first.
#include <atomic>
#include <optional>
#include <thread>

#include "platform/posix/message_queue.h"
#include "platform/posix/standin_modules.h"
#include "platform/posix/standins.h"

namespace tobrine::posix {
namespace {

constexpr uint32_t kThreadTag = 0x54485244;  // "THRD"
std::atomic<bool> g_startsFail{false};

struct ThreadObject {
  uint32_t tag = kThreadTag;
  std::atomic<bool> ended{false};
  std::atomic<int> references{2};  // the handle and the thread itself
};

void Release(ThreadObject* t) {
  if (t->references.fetch_sub(1) == 1) {
    t->tag = 0;
    delete t;
  }
}

ThreadObject* AsThread(Handle handle) {
  auto* t = static_cast<ThreadObject*>(handle);
  return t && t->tag == kThreadTag ? t : nullptr;
}

}  // namespace

Handle CreateThread(void* /*security*/, std::size_t /*stackSize*/, ThreadStart start,
                    void* parameter, Dword /*flags*/, Dword* threadId) {
  if (!start) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  if (g_startsFail.load()) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  static std::atomic<Dword> nextId{1000};
  auto* t = new ThreadObject();
  // The handle is signalled only once the thread has fully ended, its
  // thread-local state (the TLS library's included) released, as on Windows:
  // a small second thread waits for it.
  std::thread worker;
  try {
    worker = std::thread([start, parameter] { start(parameter); });
  } catch (const std::system_error&) {
    delete t;
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  auto* running = new std::thread(std::move(worker));
  try {
    std::thread([t, running] {
      running->join();
      delete running;
      t->ended.store(true);
      SignalAll();
      Release(t);
    }).detach();
  } catch (const std::system_error&) {
    // No waiter thread: wait here, then hand back an ended thread.
    running->join();
    delete running;
    t->ended.store(true);
    Release(t);
  }
  if (threadId) *threadId = nextId.fetch_add(1);
  return t;
}

// Wakes when one of the threads has ended (WAIT_OBJECT_0 + its index), when
// input arrived for the calling thread since it last looked at its queue
// (WAIT_OBJECT_0 + count), or at the time-out (WAIT_TIMEOUT).
Dword MsgWaitForMultipleObjects(Dword count, const Handle* handles, Bool /*waitAll*/,
                                Dword milliseconds, Dword wakeMask) {
  for (Dword i = 0; i < count; ++i) {
    if (!AsThread(handles[i])) {
      SetLastError(kErrorInvalidHandle);
      return winapi::kWaitFailed;
    }
  }
  Dword result = winapi::kWaitTimeout;
  auto ready = [&] {
    for (Dword i = 0; i < count; ++i) {
      if (AsThread(handles[i])->ended.load()) {
        result = winapi::kWaitObject0 + i;
        return true;
      }
    }
    if (wakeMask != 0 && TakeNewInputWhileWaiting()) {
      result = winapi::kWaitObject0 + count;
      return true;
    }
    return false;
  };
  std::optional<uint32_t> timeout;
  if (milliseconds != winapi::kInfinite) timeout = milliseconds;
  WaitUntil(ready, timeout);
  return result;
}

Bool CloseHandle(Handle handle) {
  ThreadObject* t = AsThread(handle);
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  Release(t);
  return 1;
}

// A thread cannot be cut off from outside here. An ended thread reports
// success (there is nothing left to stop); a running one is left running and
// the call fails. The page fetch never relies on stopping a running worker.
Bool TerminateThread(Handle thread, Dword /*exitCode*/) {
  ThreadObject* t = AsThread(thread);
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (t->ended.load()) return 1;
  SetLastError(kErrorAccessDenied);
  return 0;
}

void SetThreadStartsFail(bool fail) {
  g_startsFail.store(fail);
}

}  // namespace tobrine::posix
