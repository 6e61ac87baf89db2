// Internals shared by the window registry and the event dispatch.
#pragma once

#include "platform/window_backend.h"

namespace tobrine::detail {

// The window layer's receiver of the backend's reports.
platform::WindowEvents* WindowLayerEvents();
// Forgets a destroyed top-level window; posts the quit message when it was the
// last one and the message loop has started.
void WindowDestroyed(platform::NativeWindow native);

}  // namespace tobrine::detail
