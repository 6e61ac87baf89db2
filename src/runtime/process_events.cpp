#include "platform/events.h"
#include "runtime/commands.h"

namespace tobrine {

void ProcessEvents() {
  platform::PumpPendingMessages();
}

}  // namespace tobrine
