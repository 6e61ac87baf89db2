// Threads and the message-aware wait of kernel32 / user32 on std::thread and
// the per-thread message queues. A thread handle is a counted object shared by
// the handle and the running thread, so either may go first.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
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
  std::mutex starting;             // held until `thread` is set
  std::thread thread;
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

// A handle is signalled only once its thread has fully ended, its thread-local
// state (the TLS library's included) released, as on Windows: one thread of
// the process joins each thread whose start routine has returned, so that a
// join waits for little more than that release.
class Reaper {
 public:
  // Never destroyed: threads may still end while the process exits.
  static Reaper& Instance() {
    static auto* reaper = new Reaper();
    return *reaper;
  }

  void Ended(ThreadObject* t) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_.push_back(t);
    }
    changed_.notify_one();
  }

 private:
  Reaper() {
    std::thread([this] { Run(); }).detach();
  }

  [[noreturn]] void Run() {
    for (;;) {
      ThreadObject* t = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !ended_.empty(); });
        t = ended_.front();
        ended_.pop_front();
      }
      { std::lock_guard<std::mutex> started(t->starting); }
      t->thread.join();
      t->ended.store(true);
      SignalAll();
      Release(t);
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ThreadObject*> ended_;
};

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
  try {
    Reaper& reaper = Reaper::Instance();
    std::lock_guard<std::mutex> lock(t->starting);
    t->thread = std::thread([t, start, parameter, &reaper] {
      start(parameter);
      reaper.Ended(t);
    });
  } catch (const std::system_error&) {
    delete t;
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
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
