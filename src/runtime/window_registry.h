// The registry of loaded windows: loading a window from its form description,
// control lookup by identifier pair, property read by index, and the message
// loop with its quit rule.
#pragma once

#include <cstdint>

#include "platform/window_backend.h"
#include "runtime/form_description.h"
#include "runtime/value.h"

namespace tobrine {

// Creates window `windowId` of `form` with its controls (in descending unit
// order) and shows what is visible. The registry keeps its own copy of the
// window's description. False when the window is not in the form, is already
// loaded, or its system window cannot be created.
bool LoadWindow(const FormDescription& form, uint32_t windowId);

// Whether the window is loaded, and how many are.
bool IsWindowLoaded(uint32_t windowId);
int32_t LoadedWindowCount();

// The system window of a control, or of the window itself for its own unit
// identifier. A window that is not loaded, a control that is not in its
// description or whose system window is gone is reported with
// "指定窗口或窗口组件不存在或尚未载入" and ends the process.
platform::NativeWindow LookupControl(uint32_t windowId, uint32_t controlId);

// The unit that owns a system window: the window itself, the control, or the
// control whose child it is. False when no loaded window owns it.
bool FindUnitOf(platform::NativeWindow native, uint32_t* windowId, uint32_t* controlId);

// The event bindings of a loaded unit; nullptr when there is none.
const UnitRecord* LoadedUnit(uint32_t windowId, uint32_t controlId);

// A property value: an integer, a logical, a text or a byte block (kind says
// which; kNone for a property this runtime does not provide).
struct PropertyValue {
  ValueKind kind = ValueKind::kNone;
  int32_t integer = 0;  // kInt, and kLogical as 0 / 1
  TextValue text;       // kText
  ByteBlock bytes;      // kByteBlock
};

// Common property indexes; 8 and above address the kind's own property index - 8.
enum PropertyIndex : int32_t {
  kPropertyLeft = 0,
  kPropertyTop = 1,
  kPropertyWidth = 2,
  kPropertyHeight = 3,
  kPropertyTag = 4,
  kPropertyVisible = 5,
  kPropertyDisabled = 6,
  kPropertyMousePointer = 7,
  kFirstOwnProperty = 8,
};
// Own properties read by the program.
inline constexpr int32_t kEditContentProperty = kFirstOwnProperty + 0;
inline constexpr int32_t kListSelectedRowProperty = kFirstOwnProperty + 27;

// Reads a property. The common ones answer from the live system window when the
// control has one, else from the description. Reports (ending the process): a
// window not loaded ("未载入欲访问窗口组件所在的窗口"), a unit not in its
// description or whose system window is gone ("指定窗口或窗口组件不存在或尚未载入"),
// an own property of a control that was never created ("指定窗口尚未载入").
PropertyValue ReadProperty(uint32_t windowId, uint32_t controlId, int32_t index,
                           int32_t element = -1);

// The message loop: marks the loop as started and dispatches until the quit
// message, which is posted when the last loaded window is destroyed. Skipped
// (returns 0 at once) when no window is loaded. Returns the quit code.
int RunWindowLoop();

}  // namespace tobrine
