#include "runtime/window_registry.h"

#include <algorithm>
#include <map>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/fatal.h"
#include "runtime/window_detail.h"

namespace tobrine {
namespace {

using platform::NativeWindow;

constexpr std::string_view kNoSuchControl = "指定窗口或窗口组件不存在或尚未载入";
constexpr std::string_view kWindowNotLoaded = "未载入欲访问窗口组件所在的窗口";
constexpr std::string_view kControlNotCreated = "指定窗口尚未载入";

struct Unit {
  UnitRecord record;
  NativeWindow native = nullptr;  // null when it could not be created
};

struct Window {
  uint32_t id = 0;
  NativeWindow native = nullptr;
  std::vector<Unit> units;  // units[0] is the window itself
};

// Keyed by window identifier; windows are heap objects so that a handler running
// while its window goes away never sees a moved entry.
std::map<uint32_t, std::unique_ptr<Window>>& Registry() {
  static auto* registry = new std::map<uint32_t, std::unique_ptr<Window>>();
  return *registry;
}
bool g_loopStarted = false;

Window* FindWindow(uint32_t id) {
  auto it = Registry().find(id);
  return it == Registry().end() ? nullptr : it->second.get();
}

Unit* FindUnit(Window& w, uint32_t controlId) {
  for (auto& u : w.units)
    if (u.record.id == controlId) return &u;
  return nullptr;
}

platform::ControlSpec SpecOf(const UnitRecord& r) {
  platform::ControlSpec s;
  s.left = r.left;
  s.top = r.top;
  s.width = r.width;
  s.height = r.height;
  s.tabStop = (r.flags & kUnitTabStop) != 0;
  s.disabled = (r.flags & kUnitDisabled) != 0;
  if (auto* p = std::get_if<EditBoxProperties>(&r.properties)) {
    s.kind = platform::ControlKind::kEdit;
    s.text = p->content;
    s.clientEdge = p->borderMode == 1;
    s.hideSelection = p->hideSelection != 0;
    s.multiLine = p->multiLine != 0;
    s.readOnly = p->inputMode == 1;
    s.passwordChar = p->inputMode == 2 ? static_cast<char>(p->passwordChar) : 0;
    s.maxLength = p->maxLength;
  } else if (auto* p = std::get_if<ButtonProperties>(&r.properties)) {
    s.kind = platform::ControlKind::kButton;
    s.text = p->caption;
    s.defaultButton = p->buttonType == 1;
  } else if (auto* p = std::get_if<LabelProperties>(&r.properties)) {
    s.kind = platform::ControlKind::kLabel;
    s.text = p->text;
  } else if (auto* p = std::get_if<ReportListProperties>(&r.properties)) {
    s.kind = platform::ControlKind::kReportList;
    s.clientEdge = p->borderMode == 1;
    s.headersClickable = p->headersClickable != 0;
    s.hideHeaders = p->hideColumnHeaders != 0;
    s.fullRowSelect = p->fullRowSelect != 0;
    s.gridLines = p->gridLines != 0;
    s.singleSelection = p->singleSelection != 0;
    for (const auto& c : p->columns) s.columns.push_back({c.title, c.width, c.alignment, c.image});
  }
  return s;
}

NativeWindow CreateMain(const UnitRecord& r) {
  auto* p = std::get_if<WindowProperties>(&r.properties);
  if (!p) return nullptr;
  platform::MainWindowSpec s;
  s.title = p->title;
  s.width = r.width;
  s.height = r.height;
  s.left = r.left;
  s.top = r.top;
  if (p->positionMode == 1) {
    int32_t sw = 0, sh = 0;
    platform::ScreenSize(&sw, &sh);
    s.left = (sw - r.width) / 2;
    s.top = (sh - r.height) / 2;
  }
  s.borderMode = p->borderMode;
  s.maximiseBox = p->maximizeButton != 0;
  s.minimiseBox = p->minimizeButton != 0;
  s.controlBox = p->controlBox != 0;
  for (const auto& image : IconFileImages(p->icon))
    s.icon.push_back({image.width, image.bitCount, image.bits});
  NativeWindow w = platform::CreateMainWindow(s);
  if (!w) return nullptr;
  // The system may adjust the outer size it was asked for; the stored one holds.
  platform::NativeRect rect;
  if (platform::GetNativeRect(w, &rect) && (rect.width != r.width || rect.height != r.height)) {
    rect.width = r.width;
    rect.height = r.height;
    platform::MoveNative(w, rect);
  }
  return w;
}

}  // namespace

bool LoadWindow(const FormDescription& form, uint32_t windowId) {
  if (FindWindow(windowId)) return false;
  const WindowEntry* entry = nullptr;
  for (const auto& w : form.windows)
    if (w.id == windowId) entry = &w;
  if (!entry || entry->units.empty() || entry->units[0].kind != UnitKind::kWindow) return false;

  platform::SetWindowEvents(detail::WindowLayerEvents());
  auto window = std::make_unique<Window>();
  window->id = windowId;
  for (const auto& r : entry->units) window->units.push_back({r, nullptr});
  Unit& self = window->units[0];
  self.native = CreateMain(self.record);
  if (!self.native) return false;
  window->native = self.native;
  Window& w = *window;
  // Registered before the controls exist, so that events during creation find it.
  Registry()[windowId] = std::move(window);

  for (std::size_t i = w.units.size(); i-- > 1;) {
    Unit& u = w.units[i];
    NativeWindow parent = w.native;
    if (u.record.parent != 0)
      if (Unit* p = FindUnit(w, u.record.parent); p && p->native) parent = p->native;
    platform::ControlSpec args = SpecOf(u.record);
    if (args.kind == platform::ControlKind::kEdit && !args.multiLine) {
      // A single-line box is at least as tall as its text plus the edges.
      args.height = std::max(args.height, platform::SingleLineEditMinHeight(parent));
    }
    u.native = platform::CreateControl(parent, args);
  }
  for (std::size_t i = w.units.size(); i-- > 1;)
    if (w.units[i].native && (w.units[i].record.flags & kUnitVisible))
      platform::ShowNative(w.units[i].native, true);
  if (self.record.flags & kUnitVisible) platform::ShowNative(w.native, true);
  return true;
}

bool IsWindowLoaded(uint32_t windowId) {
  return FindWindow(windowId) != nullptr;
}

int32_t LoadedWindowCount() {
  return static_cast<int32_t>(Registry().size());
}

NativeWindow LookupControl(uint32_t windowId, uint32_t controlId) {
  Window* w = FindWindow(windowId);
  Unit* u = w ? FindUnit(*w, controlId) : nullptr;
  if (!u || !u->native || !platform::IsNativeAlive(u->native))
    ReportRuntimeMessage(kNoSuchControl, 0);
  return u->native;
}

bool FindUnitOf(NativeWindow native, uint32_t* windowId, uint32_t* controlId) {
  if (!native) return false;
  NativeWindow parent = platform::NativeParent(native);
  for (auto& [id, w] : Registry()) {
    // The window itself, then the control, then the control a child belongs to.
    for (NativeWindow candidate : {native, parent}) {
      if (!candidate) continue;
      for (auto& u : w->units) {
        if (u.native == candidate) {
          *windowId = id;
          *controlId = u.record.id;
          return true;
        }
      }
    }
  }
  return false;
}

const UnitRecord* LoadedUnit(uint32_t windowId, uint32_t controlId) {
  Window* w = FindWindow(windowId);
  Unit* u = w ? FindUnit(*w, controlId) : nullptr;
  return u ? &u->record : nullptr;
}

PropertyValue ReadProperty(uint32_t windowId, uint32_t controlId, int32_t index,
                           int32_t /*element*/) {
  Window* w = FindWindow(windowId);
  if (!w) ReportRuntimeMessage(kWindowNotLoaded, 0);
  Unit* u = FindUnit(*w, controlId);
  if (!u || (u->native && !platform::IsNativeAlive(u->native)))
    ReportRuntimeMessage(kNoSuchControl, 0);
  const UnitRecord& r = u->record;
  NativeWindow n = u->native;
  PropertyValue v;
  auto integer = [&v](int32_t i) {
    v.kind = ValueKind::kInt;
    v.integer = i;
  };
  auto logical = [&v](bool b) {
    v.kind = ValueKind::kLogical;
    v.integer = b ? 1 : 0;
  };
  platform::NativeRect rect{r.left, r.top, r.width, r.height};
  if (n) platform::GetNativeRect(n, &rect);
  switch (index) {
    case kPropertyLeft:
      integer(rect.left);
      return v;
    case kPropertyTop:
      integer(rect.top);
      return v;
    case kPropertyWidth:
      integer(rect.width);
      return v;
    case kPropertyHeight:
      integer(rect.height);
      return v;
    case kPropertyTag:
      v.kind = ValueKind::kText;
      v.text = TextValue::FromBytes(r.tag);
      return v;
    case kPropertyVisible:
      logical(n ? platform::IsNativeVisible(n) : (r.flags & kUnitVisible) != 0);
      return v;
    case kPropertyDisabled:
      logical(n ? !platform::IsNativeEnabled(n) : (r.flags & kUnitDisabled) != 0);
      return v;
    case kPropertyMousePointer:
      v.kind = ValueKind::kByteBlock;
      v.bytes = ByteBlock::FromBytes(r.mousePointer);
      return v;
    default:
      break;
  }
  if (index < kFirstOwnProperty) return v;
  if (!n) ReportRuntimeMessage(kControlNotCreated, 0);
  if (r.kind == UnitKind::kEditBox && index == kEditContentProperty) {
    v.kind = ValueKind::kText;
    v.text = TextValue::FromBytes(platform::GetNativeText(n));
  } else if (r.kind == UnitKind::kReportList && index == kListSelectedRowProperty) {
    integer(platform::ListFirstSelectedRow(n));
  }
  return v;
}

int RunWindowLoop() {
  if (Registry().empty()) return 0;
  g_loopStarted = true;
  const int code = platform::RunMessageLoop();
  g_loopStarted = false;
  return code;
}

namespace detail {

void WindowDestroyed(NativeWindow native) {
  for (auto it = Registry().begin(); it != Registry().end(); ++it) {
    if (it->second->native == native) {
      Registry().erase(it);
      break;
    }
  }
  if (Registry().empty() && g_loopStarted) platform::PostQuit(0);
}

}  // namespace detail
}  // namespace tobrine
