// Event dispatch: numbered events of windows and controls routed to the handlers
// that the form description binds to them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/window_backend.h"

namespace tobrine {

// Common events, raised for the window and every control from the messages
// addressed to it. Kind-specific events count from 0.
enum CommonEvent : int32_t {
  kEventLeftDown = -1,         // x, y, key state
  kEventLeftUp = -2,           // x, y, key state
  kEventLeftDoubleClick = -3,  // x, y, key state
  kEventRightDown = -4,        // x, y, key state
  kEventRightUp = -5,          // x, y, key state
  kEventMouseMove = -6,        // x, y, key state
  kEventFocusReceived = -7,
  kEventFocusLost = -8,
  kEventKeyDown = -9,     // key code, key state
  kEventKeyUp = -10,      // key code, key state
  kEventCharacter = -11,  // character code
  kEventWheel = -12,      // wheel steps, key state
};
// A button's own event: clicked, without arguments.
inline constexpr int32_t kEventButtonClicked = 0;

// Key state bits.
inline constexpr int32_t kKeyCtrl = 1;
inline constexpr int32_t kKeyShift = 2;
inline constexpr int32_t kKeyAlt = 4;

// Filled by the code that raises an event, read back after the handler has run.
struct DispatchRecord {
  uint32_t windowId = 0;
  uint32_t controlId = 0;  // the window's own unit for window events
  int32_t event = 0;
  int32_t argumentCount = 0;
  std::array<int32_t, 3> arguments{};
  int32_t resultGiven = 0;  // 1 when the handler returned a value
  int32_t result = 0;
};

// A bound handler. It reads its arguments from the record and, when it returns
// a value, sets resultGiven to 1 and result to the value.
using BoundHandler = void (*)(DispatchRecord& record);

// The program's handler table: a binding's handler offset indexes it. Entries
// may be null (nothing bound there).
void SetHandlerTable(std::vector<BoundHandler> table);

// The system's own requests on a control, beyond the events of the form
// description: the copy shortcut (Ctrl+C) and the context menu.
enum class ControlRequest { kCopy, kContextMenu };
// The program's handler of such requests, called on the GUI thread with the
// control's identifier pair; `at` is where a context menu goes.
using ControlRequestHandler = void (*)(uint32_t windowId, uint32_t controlId,
                                       ControlRequest request, const platform::PopupAnchor& at);
// Installs the handler (one; null: requests are ignored).
void SetControlRequestHandler(ControlRequestHandler handler);

// Calls the handler bound to the record's event of its unit, on the calling
// thread, and waits for it. False (and nothing happens) when the window is not
// loaded, the unit unknown or the event not bound.
bool DispatchEvent(DispatchRecord& record);

// The common event that a system input message raises, with its arguments;
// nullopt for a message that raises none. `keyState` goes into the arguments of
// mouse, key and wheel events.
std::optional<DispatchRecord> CommonEventFor(const platform::InputMessage& message,
                                             int32_t keyState);

// What becomes of an input message after its event's handler has run: a returned
// 0 consumes it; for a typed character a returned non-zero value replaces the
// character code; otherwise it continues normally.
platform::InputVerdict VerdictAfterDispatch(const DispatchRecord& record);

}  // namespace tobrine
