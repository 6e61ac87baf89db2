// The calling thread's window messages.
#pragma once

namespace tobrine::platform {

// Dispatches the messages already waiting for the calling thread, one by one,
// until the queue is empty or the next message is the quit message, which stays
// queued. Returns without waiting.
void PumpPendingMessages();

}  // namespace tobrine::platform
