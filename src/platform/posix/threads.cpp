// Threads and the message-aware wait of kernel32 / user32 on POSIX threads and
// the per-thread message queues. A thread handle is a counted object shared by
// the handle and the running thread, so either may go first.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/posix/message_queue.h"
#include "platform/posix/standin_modules.h"
#include "platform/posix/standins.h"

namespace tobrine::posix {
namespace {

constexpr uint32_t kThreadTag = 0x54485244;  // "THRD"
// A thread's stack when the caller asks for none in particular, as on Windows.
constexpr std::size_t kDefaultStackBytes = std::size_t{1} << 20;
std::atomic<bool> g_startsFail{false};

struct ThreadObject {
  uint32_t tag = kThreadTag;
  std::atomic<bool> ended{false};
  std::atomic<int> references{2};  // the handle and the thread itself
  ThreadStart start = nullptr;
  void* parameter = nullptr;
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

// Threads are kept for a while after their start routine returns and take
// the next CreateThread's routine, so that a stream of short workers (one per
// fetch) does not pay for a new thread, its stack and its exit each time. A
// handle is signalled as soon as its routine has returned; a thread left idle
// for kIdle ends, its thread-local state released then. Every thread has at
// least the default stack; a caller asking for more gets a thread of its own.
//
// Threads are joined, not detached: a thread that has ended is only known to
// have released its thread-local state (a kept transfer, the TLS library's
// per-thread state) once joined, and a process must not end while that is
// under way, or the state is torn down under the thread.
class ThreadPool {
 public:
  // Never destroyed: threads may still end while the process exits.
  static ThreadPool& Instance() {
    static auto* pool = new ThreadPool();
    return *pool;
  }

  // Runs `t` on an idle thread, or on a new one; false when none can start.
  bool Run(ThreadObject* t, std::size_t stackSize) {
    JoinEnded(false);
    stackSize = std::max(stackSize, kDefaultStackBytes);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stackSize == kDefaultStackBytes && !ending_ && idle_ > waiting_.size()) {
        waiting_.push_back(t);
        lock.unlock();
        // Told with the lock let go, so that the thread it wakes does not wait
        // for the lock in turn.
        changed_.notify_one();
        return true;
      }
      ++live_;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread{};
    const int failed = pthread_create(&thread, &attributes, &Main, t);
    pthread_attr_destroy(&attributes);
    if (failed) {
      std::lock_guard<std::mutex> lock(mutex_);
      --live_;
    }
    return failed == 0;
  }

  // Idle threads end at once from now on, and no thread is kept any more.
  // Waits up to `milliseconds` for the threads still running a routine, then
  // joins every thread that has ended. True when no thread is left.
  bool End(uint32_t milliseconds) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ending_ = true;
      changed_.notify_all();
      ended_changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return live_ == 0; });
    }
    JoinEnded(true);
    std::lock_guard<std::mutex> lock(mutex_);
    return live_ == 0;
  }

 private:
  static constexpr auto kIdle = std::chrono::milliseconds(200);

  static void* Main(void* first) {
    ThreadPool& pool = Instance();
    for (auto* t = static_cast<ThreadObject*>(first); t; t = pool.Next()) {
      t->start(t->parameter);
      t->ended.store(true);
      SignalAll();
      Release(t);
    }
    pool.Ended(pthread_self());
    return nullptr;
  }

  // The next routine for a thread whose routine has returned; none once it has
  // been idle too long or the pool is ending.
  ThreadObject* Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++idle_;
    const bool given =
        changed_.wait_for(lock, kIdle, [this] { return !waiting_.empty() || ending_; });
    --idle_;
    if (!given || waiting_.empty()) return nullptr;
    ThreadObject* t = waiting_.front();
    waiting_.pop_front();
    return t;
  }

  void Ended(pthread_t self) {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.push_back(self);
    --live_;
    ended_changed_.notify_all();
  }

  // Joins the threads that have ended: all of them (waiting for the last steps
  // of their exit), or only those already gone, without waiting.
  void JoinEnded(bool wait) {
    std::vector<pthread_t> ended;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended.swap(ended_);
    }
    std::vector<pthread_t> left;
    for (pthread_t thread : ended) {
      if (wait)
        pthread_join(thread, nullptr);
      else if (pthread_tryjoin_np(thread, nullptr) != 0)
        left.push_back(thread);
    }
    if (left.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.insert(ended_.end(), left.begin(), left.end());
  }

  std::mutex mutex_;
  std::condition_variable changed_;        // work handed on, or the pool ending
  std::condition_variable ended_changed_;  // a thread ended
  std::deque<ThreadObject*> waiting_;      // handed to idle threads, not yet taken
  std::size_t idle_ = 0;
  std::size_t live_ = 0;          // threads started and not yet ended
  std::vector<pthread_t> ended_;  // ended, not yet joined
  bool ending_ = false;
};

}  // namespace

Handle CreateThread(void* /*security*/, std::size_t stackSize, ThreadStart start, void* parameter,
                    Dword /*flags*/, Dword* threadId) {
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
  t->start = start;
  t->parameter = parameter;
  if (!ThreadPool::Instance().Run(t, stackSize)) {
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

bool EndKeptThreads(uint32_t milliseconds) {
  return ThreadPool::Instance().End(milliseconds);
}

void SetThreadStartsFail(bool fail) {
  g_startsFail.store(fail);
}

}  // namespace tobrine::posix
