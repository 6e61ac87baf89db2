// Per-thread message queues for the headless window backend and the
// message-aware wait on Linux. Posting to a thread's queue wakes every waiter;
// so does SignalAll (a worker thread ending).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace tobrine::posix {

struct QueuedMessage;

// Something a message can be addressed to: a headless window or control.
class MessageTarget {
 public:
  virtual void HandleMessage(const QueuedMessage& message) = 0;

 protected:
  ~MessageTarget() = default;
};

struct QueuedMessage {
  MessageTarget* target = nullptr;  // nullptr: a thread message (such as WM_QUIT)
  uint32_t message = 0;             // Win32 message number (WM_QUIT = 0x12, ...)
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
};

using ThreadKey = uint64_t;
// A process-unique key of the calling thread.
ThreadKey CurrentThreadKey();

// Appends a message to a thread's queue and marks new input for it.
void PostToThread(ThreadKey thread, const QueuedMessage& message);
inline void PostToCurrentThread(const QueuedMessage& message) {
  PostToThread(CurrentThreadKey(), message);
}
// The calling thread's first message, removed when `remove`. Looking at the
// queue clears its new-input mark, as on Windows.
bool PeekThreadMessage(QueuedMessage* out, bool remove);
// Whether input arrived for the calling thread since it last looked at its queue
// (and clears the mark).
bool TakeNewInput();
// The same, for a WaitUntil predicate, which runs with the queues' lock held.
bool TakeNewInputWhileWaiting();

// Wakes every thread waiting in WaitUntil.
void SignalAll();
// Waits until `ready()` is true (evaluated under the queues' lock, so it must not
// post or signal itself) or `timeoutMs` milliseconds have passed (no time-out
// when absent). Returns ready()'s last value.
bool WaitUntil(const std::function<bool()>& ready, std::optional<uint32_t> timeoutMs);

}  // namespace tobrine::posix

namespace tobrine::posix {

// Waits until the calling thread's queue holds a message or `timeoutMs`
// milliseconds have passed (no time-out when absent). True when a message is
// waiting; the message stays queued.
bool WaitForThreadMessage(std::optional<uint32_t> timeoutMs);

}  // namespace tobrine::posix
