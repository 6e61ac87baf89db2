#include "runtime/window_events.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "platform/winapi.h"
#include "runtime/window_detail.h"
#include "runtime/window_registry.h"

namespace tobrine {
namespace {

using namespace winapi;  // the message numbers

std::vector<BoundHandler>& HandlerTable() {
  static auto* table = new std::vector<BoundHandler>();
  return *table;
}

ControlRequestHandler g_requestHandler = nullptr;

void Request(platform::NativeWindow control, ControlRequest request,
             const platform::PopupAnchor& at) {
  uint32_t windowId = 0, controlId = 0;
  if (g_requestHandler && FindUnitOf(control, &windowId, &controlId))
    g_requestHandler(windowId, controlId, request, at);
}

class Events final : public platform::WindowEvents {
 public:
  platform::InputVerdict OnInput(platform::NativeWindow target,
                                 const platform::InputMessage& message) override {
    uint32_t windowId = 0, controlId = 0;
    if (!FindUnitOf(target, &windowId, &controlId)) return {};
    auto record = CommonEventFor(message, platform::CurrentKeyState());
    if (!record) return {};
    record->windowId = windowId;
    record->controlId = controlId;
    if (!DispatchEvent(*record)) return {};
    return VerdictAfterDispatch(*record);
  }

  void OnButtonClicked(platform::NativeWindow button) override {
    DispatchRecord record;
    if (!FindUnitOf(button, &record.windowId, &record.controlId)) return;
    record.event = kEventButtonClicked;
    DispatchEvent(record);  // the result of a click handler is not used
  }

  void OnDestroyed(platform::NativeWindow window) override { detail::WindowDestroyed(window); }

  void OnCopyShortcut(platform::NativeWindow list) override {
    Request(list, ControlRequest::kCopy, {});
  }

  void OnContextMenu(platform::NativeWindow list, const platform::PopupAnchor& at) override {
    Request(list, ControlRequest::kContextMenu, at);
  }
};

}  // namespace

void SetHandlerTable(std::vector<BoundHandler> table) {
  HandlerTable() = std::move(table);
}

void SetControlRequestHandler(ControlRequestHandler handler) {
  g_requestHandler = handler;
}

bool DispatchEvent(DispatchRecord& record) {
  const UnitRecord* unit = LoadedUnit(record.windowId, record.controlId);
  if (!unit) return false;
  BoundHandler handler = nullptr;
  for (const auto& b : unit->events) {
    if (b.event != record.event) continue;
    if (b.handlerOffset >= 0 && b.handlerOffset < static_cast<int32_t>(HandlerTable().size()))
      handler = HandlerTable()[b.handlerOffset];
    break;
  }
  if (!handler) return false;
  record.resultGiven = 0;
  record.result = 0;
  // The handler may process messages itself; events raised meanwhile nest here.
  handler(record);
  return true;
}

std::optional<DispatchRecord> CommonEventFor(const platform::InputMessage& m, int32_t keyState) {
  DispatchRecord r;
  auto args = [&r](std::initializer_list<int32_t> a) {
    r.argumentCount = static_cast<int32_t>(a.size());
    std::copy(a.begin(), a.end(), r.arguments.begin());
  };
  const auto lp = static_cast<uint32_t>(static_cast<uintptr_t>(m.lparam));
  const int32_t x = static_cast<int32_t>(lp & 0xFFFF);
  const int32_t y = static_cast<int32_t>(lp >> 16);
  switch (m.message) {
    case kWmLButtonDown:
      r.event = kEventLeftDown;
      break;
    case kWmLButtonUp:
      r.event = kEventLeftUp;
      break;
    case kWmLButtonDblClk:
      r.event = kEventLeftDoubleClick;
      break;
    case kWmRButtonDown:
      r.event = kEventRightDown;
      break;
    case kWmRButtonUp:
      r.event = kEventRightUp;
      break;
    case kWmMouseMove:
      r.event = kEventMouseMove;
      break;
    case kWmSetFocus:
      r.event = kEventFocusReceived;
      return r;
    case kWmKillFocus:
      r.event = kEventFocusLost;
      return r;
    case kWmKeyDown:
    case kWmSysKeyDown:
      r.event = kEventKeyDown;
      args({static_cast<int32_t>(m.wparam & 0x1FFF), keyState});
      return r;
    case kWmKeyUp:
    case kWmSysKeyUp:
      r.event = kEventKeyUp;
      args({static_cast<int32_t>(m.wparam & 0x1FFF), keyState});
      return r;
    case kWmChar:
      r.event = kEventCharacter;
      args({static_cast<int32_t>(m.wparam)});
      return r;
    case kWmMouseWheel: {
      const auto distance = static_cast<int16_t>((m.wparam >> 16) & 0xFFFF);
      r.event = kEventWheel;
      args({distance / kWheelDelta, keyState});
      return r;
    }
    default:
      return std::nullopt;
  }
  args({x, y, keyState});
  return r;
}

platform::InputVerdict VerdictAfterDispatch(const DispatchRecord& record) {
  platform::InputVerdict v;
  if (!record.resultGiven) return v;
  if (record.result == 0) {
    v.consume = true;
  } else if (record.event == kEventCharacter) {
    v.replaceWparam = true;
    v.wparam = static_cast<uintptr_t>(static_cast<uint32_t>(record.result));
  }
  return v;
}

namespace detail {

platform::WindowEvents* WindowLayerEvents() {
  static Events events;
  return &events;
}

}  // namespace detail
}  // namespace tobrine
