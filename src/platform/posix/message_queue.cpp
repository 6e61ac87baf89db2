#include "platform/posix/message_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace tobrine::posix {
namespace {

struct Queue {
  std::deque<QueuedMessage> messages;
  bool newInput = false;
};

std::mutex g_mutex;
std::condition_variable g_changed;

std::unordered_map<ThreadKey, Queue>& Queues() {
  static auto* queues = new std::unordered_map<ThreadKey, Queue>();
  return *queues;
}

std::atomic<ThreadKey> g_nextKey{1};
thread_local ThreadKey t_key = 0;

}  // namespace

ThreadKey CurrentThreadKey() {
  if (t_key == 0) t_key = g_nextKey.fetch_add(1);
  return t_key;
}

void PostToThread(ThreadKey thread, const QueuedMessage& message) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Queue& q = Queues()[thread];
    q.messages.push_back(message);
    q.newInput = true;
  }
  g_changed.notify_all();
}

bool PeekThreadMessage(QueuedMessage* out, bool remove) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Queue& q = Queues()[CurrentThreadKey()];
  q.newInput = false;
  if (q.messages.empty()) return false;
  if (out) *out = q.messages.front();
  if (remove) q.messages.pop_front();
  return true;
}

bool TakeNewInput() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Queue& q = Queues()[CurrentThreadKey()];
  return std::exchange(q.newInput, false);
}

bool TakeNewInputWhileWaiting() {
  Queue& q = Queues()[CurrentThreadKey()];
  return std::exchange(q.newInput, false);
}

void SignalAll() {
  { std::lock_guard<std::mutex> lock(g_mutex); }
  g_changed.notify_all();
}

bool WaitUntil(const std::function<bool()>& ready, std::optional<uint32_t> timeoutMs) {
  std::unique_lock<std::mutex> lock(g_mutex);
  if (timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*timeoutMs);
    return g_changed.wait_until(lock, deadline, ready);
  }
  g_changed.wait(lock, ready);
  return true;
}

}  // namespace tobrine::posix

namespace tobrine::posix {

bool WaitForThreadMessage(std::optional<uint32_t> timeoutMs) {
  const ThreadKey key = CurrentThreadKey();
  return WaitUntil([key] { return !Queues()[key].messages.empty(); }, timeoutMs);
}

}  // namespace tobrine::posix
