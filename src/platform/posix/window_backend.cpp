// The headless windowing backend: windows and controls in memory, input through
// the per-thread message queues. Each window is a message target; its own
// handling of a message mimics what the system control does with it, and the
// window layer hears about mouse and keyboard messages first.
#include "platform/window_backend.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/posix/headless_window.h"
#include "platform/posix/message_queue.h"
#include "platform/winapi.h"

extern char** environ;

namespace tobrine::platform {

// One headless window. Objects are kept until the process ends (messages still
// queued for a destroyed window must find it), and only marked dead.
struct NativeWindowObject final : posix::MessageTarget {
  bool topLevel = false;
  ControlKind kind = ControlKind::kLabel;
  NativeWindowObject* parent = nullptr;
  std::vector<NativeWindowObject*> children;
  posix::ThreadKey thread = 0;
  bool alive = true;
  bool visible = false;
  bool enabled = true;
  bool buttonPressed = false;
  NativeRect rect;
  std::string text;
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  int32_t selected = -1;

  void HandleMessage(const posix::QueuedMessage& message) override;
};

namespace {

using namespace winapi;

// Font text height (as the default GUI font) and edge size of the headless screen.
constexpr int32_t kTextHeight = 13;
constexpr int32_t kEdgeHeight = 2;

std::mutex g_mutex;  // guards the windows' texts, rows and flags
WindowEvents* g_events = nullptr;
std::atomic<int32_t> g_keyState{0};
headless::ListObserver g_listObserver;
std::string g_clipboard;  // guarded by g_mutex
headless::MenuChooser g_menuChooser;

std::vector<std::unique_ptr<NativeWindowObject>>& AllWindows() {
  static auto* windows = new std::vector<std::unique_ptr<NativeWindowObject>>();
  return *windows;
}

NativeWindow NewWindow() {
  std::lock_guard<std::mutex> lock(g_mutex);
  AllWindows().push_back(std::make_unique<NativeWindowObject>());
  NativeWindow w = AllWindows().back().get();
  w->thread = posix::CurrentThreadKey();
  return w;
}

void Notify(NativeWindow list, headless::ListChange change, int32_t row) {
  if (!g_listObserver) return;
  std::vector<std::string> cells;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (row >= 0 && row < static_cast<int32_t>(list->rows.size())) cells = list->rows[row];
  }
  g_listObserver(list, change, row, cells);
}

bool IsInputMessage(uint32_t m) {
  return (m >= kWmKeyDown && m <= kWmSysKeyUp) || (m >= kWmMouseMove && m <= kWmMouseWheel) ||
         m == kWmSetFocus || m == kWmKillFocus;
}

int32_t HitRow(const NativeWindowObject& list, intptr_t lparam) {
  const int32_t y = static_cast<int32_t>((static_cast<uintptr_t>(lparam) >> 16) & 0xFFFF);
  if (y < headless::kListHeaderHeight) return -1;
  const int32_t row = (y - headless::kListHeaderHeight) / headless::kListRowHeight;
  return row < static_cast<int32_t>(list.rows.size()) ? row : -1;
}

void DestroyTree(NativeWindowObject* w) {
  for (auto* c : w->children) DestroyTree(c);
  w->alive = false;
  w->visible = false;
}

// The control's own handling of an input message that the window layer let through.
void OwnInputHandling(NativeWindowObject* w, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (w->topLevel) return;
  switch (w->kind) {
    case ControlKind::kEdit:
      if (message == kWmChar) {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (wparam == 0x08) {
          if (!w->text.empty()) w->text.pop_back();
        } else if (wparam >= 0x20 && wparam < 0x100) {
          w->text.push_back(static_cast<char>(wparam));
        }
      }
      break;
    case ControlKind::kButton:
      if (message == kWmLButtonDown) {
        w->buttonPressed = true;
      } else if (message == kWmLButtonUp && std::exchange(w->buttonPressed, false)) {
        if (g_events) g_events->OnButtonClicked(w);
      }
      break;
    case ControlKind::kReportList:
      // As the system list: a press of either button selects the row under the
      // pointer (or none); the right button's release asks for the context menu.
      if (message == kWmLButtonDown || message == kWmLButtonDblClk || message == kWmRButtonDown) {
        std::lock_guard<std::mutex> lock(g_mutex);
        w->selected = HitRow(*w, lparam);
      } else if (message == kWmRButtonUp && g_events) {
        const auto at = static_cast<uint32_t>(static_cast<uintptr_t>(lparam));
        g_events->OnContextMenu(
            w, {static_cast<int32_t>(at & 0xFFFF), static_cast<int32_t>(at >> 16)});
      } else if (message == kWmKeyDown && wparam == 'C' && (g_keyState & 1) && !(g_keyState & 4) &&
                 g_events) {
        g_events->OnCopyShortcut(w);
      }
      break;
    case ControlKind::kLabel:
      break;
  }
}

void Input(NativeWindowObject* w, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (!w->enabled && message != kWmSetFocus && message != kWmKillFocus) return;
  const bool afterOwnHandling = message == kWmSetFocus || message == kWmKillFocus;
  if (afterOwnHandling) {
    if (g_events) g_events->OnInput(w, {message, wparam, lparam});
    return;
  }
  if (g_events) {
    InputVerdict v = g_events->OnInput(w, {message, wparam, lparam});
    if (!w->alive || v.consume) return;
    if (v.replaceWparam) wparam = v.wparam;
  }
  OwnInputHandling(w, message, wparam, lparam);
}

}  // namespace

void NativeWindowObject::HandleMessage(const posix::QueuedMessage& m) {
  if (!alive) return;
  if (m.message == kWmClose && topLevel) {
    DestroyNative(this);
  } else if (m.message == kBmClick && kind == ControlKind::kButton && !topLevel) {
    Input(this, kWmLButtonDown, 1, 0);
    if (alive) Input(this, kWmLButtonUp, 0, 0);
  } else if (IsInputMessage(m.message)) {
    Input(this, m.message, m.wparam, m.lparam);
  }
}

void SetWindowEvents(WindowEvents* events) {
  g_events = events;
}

bool StartGuiThread() {
  return true;
}
void EndGuiThread() {}

void ScreenSize(int32_t* width, int32_t* height) {
  *width = headless::kScreenWidth;
  *height = headless::kScreenHeight;
}

NativeWindow CreateMainWindow(const MainWindowSpec& args) {
  NativeWindow w = NewWindow();
  w->topLevel = true;
  w->rect = {args.left, args.top, args.width, args.height};
  w->text = std::string(args.title);
  return w;
}

NativeWindow CreateControl(NativeWindow parent, const ControlSpec& args) {
  if (!parent || !parent->alive) return nullptr;
  NativeWindow w = NewWindow();
  std::lock_guard<std::mutex> lock(g_mutex);
  w->kind = args.kind;
  w->parent = parent;
  w->rect = {args.left, args.top, args.width, args.height};
  w->enabled = !args.disabled;
  w->text = std::string(args.text);
  for (const auto& c : args.columns) w->columns.push_back(c.title);
  parent->children.push_back(w);
  return w;
}

int32_t SingleLineEditMinHeight(NativeWindow) {
  return kTextHeight + 2 * kEdgeHeight;
}

bool GetNativeRect(NativeWindow w, NativeRect* rect) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!w || !w->alive) return false;
  *rect = w->rect;
  return true;
}

void MoveNative(NativeWindow w, const NativeRect& rect) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (w && w->alive) w->rect = rect;
}

void ShowNative(NativeWindow w, bool visible) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (w && w->alive) w->visible = visible;
}

bool IsNativeAlive(NativeWindow w) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return w && w->alive;
}

bool IsNativeVisible(NativeWindow w) {
  std::lock_guard<std::mutex> lock(g_mutex);
  // As on Windows: visible only when every ancestor is visible too.
  for (NativeWindow p = w; p; p = p->parent)
    if (!p->alive || !p->visible) return false;
  return w != nullptr;
}

bool IsNativeEnabled(NativeWindow w) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return w && w->alive && w->enabled;
}

NativeWindow NativeParent(NativeWindow w) {
  return w ? w->parent : nullptr;
}

std::string GetNativeText(NativeWindow w) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return w && w->alive ? w->text : std::string();
}

void SetNativeText(NativeWindow w, std::string_view text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (w && w->alive) w->text = std::string(text);
}

void DestroyNative(NativeWindow w) {
  if (!w || !w->alive) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    DestroyTree(w);
  }
  if (w->topLevel && g_events) g_events->OnDestroyed(w);
}

intptr_t NativeHandleValue(NativeWindow w) {
  return reinterpret_cast<intptr_t>(w);
}

int32_t CurrentKeyState() {
  return g_keyState;
}

int32_t ListRowCount(NativeWindow list) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return list && list->alive ? static_cast<int32_t>(list->rows.size()) : 0;
}

void ListDeleteAllRows(NativeWindow list) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!list || !list->alive) return;
    list->rows.clear();
    list->selected = -1;
  }
  Notify(list, headless::ListChange::kCleared, -1);
}

int32_t ListInsertRow(NativeWindow list, const ListRowSpec& args) {
  int32_t index;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!list || !list->alive) return -1;
    const auto count = static_cast<int32_t>(list->rows.size());
    index = args.position < 0 || args.position > count ? count : args.position;
    std::vector<std::string> row(std::max<std::size_t>(list->columns.size(), 1));
    row[0] = std::string(args.title);
    list->rows.insert(list->rows.begin() + index, std::move(row));
    if (list->selected >= index) ++list->selected;
  }
  Notify(list, headless::ListChange::kRowInserted, index);
  return index;
}

bool ListSetCellText(NativeWindow list, int32_t row, int32_t column, std::string_view text) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!list || !list->alive || row < 0 || row >= static_cast<int32_t>(list->rows.size()) ||
        column < 0 || column >= static_cast<int32_t>(list->rows[row].size()))
      return false;
    list->rows[row][column] = std::string(text);
  }
  Notify(list, headless::ListChange::kCellSet, row);
  return true;
}

int32_t ListCopyCellText(NativeWindow list, int32_t row, int32_t column, char* buffer,
                         int32_t capacity) {
  if (capacity <= 0) return 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string_view cell;
  if (list && list->alive && row >= 0 && row < static_cast<int32_t>(list->rows.size()) &&
      column >= 0 && column < static_cast<int32_t>(list->rows[row].size()))
    cell = list->rows[row][column];
  const auto n = static_cast<int32_t>(std::min<std::size_t>(cell.size(), capacity - 1));
  std::copy_n(cell.data(), n, buffer);
  buffer[n] = '\0';
  return n;
}

int32_t ListFirstSelectedRow(NativeWindow list) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return list && list->alive ? list->selected : -1;
}

bool SetClipboardText(NativeWindow, std::string_view text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_clipboard = std::string(text);
  return true;
}

int32_t ShowPopupMenu(NativeWindow, const std::vector<MenuItemSpec>& items, const PopupAnchor&) {
  if (!g_menuChooser) return -1;  // nobody there to choose: dismissed
  std::vector<headless::MenuItem> shown;
  for (const auto& item : items)
    shown.push_back({std::string(item.text), item.enabled, item.isDefault});
  const int32_t chosen = g_menuChooser(shown);
  // As a system menu: a greyed item cannot be picked.
  if (chosen < 0 || chosen >= static_cast<int32_t>(items.size()) || !items[chosen].enabled)
    return -1;
  return chosen;
}

void ShellOpen(std::string_view target) {
  const char* opener = std::getenv(headless::kOpenerVariable);
  if (!opener || !*opener) opener = "xdg-open";
  std::string program(opener), argument(target);
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return;
  // Reaped in the background: the opener may keep running as long as the browser.
  std::thread([pid] {
    int status = 0;
    waitpid(pid, &status, 0);
  }).detach();
}

int RunMessageLoop() {
  for (;;) {
    posix::QueuedMessage m;
    if (!posix::PeekThreadMessage(&m, true)) {
      posix::WaitForThreadMessage(std::nullopt);
      continue;
    }
    if (m.message == kWmQuit) return static_cast<int>(m.wparam);
    if (m.target) m.target->HandleMessage(m);
  }
}

void PostQuit(int code) {
  posix::PostToCurrentThread({nullptr, kWmQuit, static_cast<uintptr_t>(code), 0});
}

}  // namespace tobrine::platform

namespace tobrine::headless {

void PostWindowMessage(NativeWindow window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (!window) return;
  posix::PostToThread(window->thread, {window, message, wparam, lparam});
}

void PostClick(NativeWindow button) {
  PostWindowMessage(button, winapi::kBmClick);
}

namespace {
// The pointer position (as a message's lparam) in the middle of `row`, or of
// the band just below the last row for a negative one.
intptr_t RowPoint(NativeWindow list, int32_t row) {
  int32_t y = kListHeaderHeight + kListRowHeight / 2;
  y += row < 0 ? platform::ListRowCount(list) * kListRowHeight : row * kListRowHeight;
  return static_cast<intptr_t>((static_cast<uint32_t>(y) << 16) | 8u);
}
}  // namespace

void PostDoubleClick(NativeWindow list, int32_t row) {
  const intptr_t at = RowPoint(list, row);
  PostWindowMessage(list, winapi::kWmLButtonDown, 1, at);
  PostWindowMessage(list, winapi::kWmLButtonUp, 0, at);
  PostWindowMessage(list, winapi::kWmLButtonDblClk, 1, at);
  PostWindowMessage(list, winapi::kWmLButtonUp, 0, at);
}

void PostClose(NativeWindow window) {
  PostWindowMessage(window, winapi::kWmClose);
}

void PostRightClick(NativeWindow list, int32_t row) {
  const intptr_t at = RowPoint(list, row);
  PostWindowMessage(list, winapi::kWmRButtonDown, 2, at);
  PostWindowMessage(list, winapi::kWmRButtonUp, 0, at);
}

void PostKeyPress(NativeWindow window, uint32_t virtualKey) {
  PostWindowMessage(window, winapi::kWmKeyDown, virtualKey);
  PostWindowMessage(window, winapi::kWmKeyUp, virtualKey);
}

void SetKeyState(int32_t keyState) {
  platform::g_keyState = keyState;
}

std::vector<std::vector<std::string>> Rows(NativeWindow list) {
  std::lock_guard<std::mutex> lock(platform::g_mutex);
  return list ? list->rows : std::vector<std::vector<std::string>>();
}

std::vector<std::string> ColumnTitles(NativeWindow list) {
  std::lock_guard<std::mutex> lock(platform::g_mutex);
  return list ? list->columns : std::vector<std::string>();
}

void SelectRow(NativeWindow list, int32_t row) {
  std::lock_guard<std::mutex> lock(platform::g_mutex);
  if (list) list->selected = row >= 0 && row < static_cast<int32_t>(list->rows.size()) ? row : -1;
}

void SetListObserver(ListObserver observer) {
  platform::g_listObserver = std::move(observer);
}

std::string ClipboardText() {
  std::lock_guard<std::mutex> lock(platform::g_mutex);
  return platform::g_clipboard;
}

void SetMenuChooser(MenuChooser chooser) {
  platform::g_menuChooser = std::move(chooser);
}

}  // namespace tobrine::headless
