#include "platform/events.h"

#include <windows.h>

namespace tobrine::platform {

void PumpPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
    if (msg.message == WM_QUIT) return;  // left queued for the loop that owns it
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace tobrine::platform
