#include "platform/events.h"

#include "platform/posix/message_queue.h"

namespace tobrine::platform {

namespace {
constexpr uint32_t kWmQuit = 0x0012;
}

void PumpPendingMessages() {
  posix::QueuedMessage msg;
  while (posix::PeekThreadMessage(&msg, false)) {
    if (msg.message == kWmQuit) return;  // left queued for the loop that owns it
    if (!posix::PeekThreadMessage(&msg, true)) return;
    if (msg.target) msg.target->HandleMessage(msg);
  }
}

}  // namespace tobrine::platform
