#include "platform/events.h"

#include "platform/posix/message_queue.h"
#include "platform/winapi.h"

namespace tobrine::platform {

void PumpPendingMessages() {
  posix::QueuedMessage msg;
  while (posix::PeekThreadMessage(&msg, false)) {
    if (msg.message == winapi::kWmQuit) return;  // left queued for the loop that owns it
    if (!posix::PeekThreadMessage(&msg, true)) return;
    if (msg.target) msg.target->HandleMessage(msg);
  }
}

}  // namespace tobrine::platform
