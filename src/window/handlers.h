// The program's event handlers. A stored EventBinding's handler offset is an
// index into the handler table, in this order (kNoHandler binds nothing). The
// table is defined where the handlers live.
#pragma once

#include <cstdint>

namespace tobrine::window {

using EventHandler = void (*)();

inline constexpr int32_t kLinkExtractorHandler = 0;     // 按钮1, event 0
inline constexpr int32_t kOpenSelectedLinkHandler = 1;  // 超级列表框1, event -3
inline constexpr int32_t kEventHandlerCount = 2;

}  // namespace tobrine::window
