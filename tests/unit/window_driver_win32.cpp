// The window driver on real controls (under Wine): input as posted messages,
// message boxes answered from a second thread, the shell's open requests taken
// from the Wine prefix's recording browser (scripts/record-url).
#include <windows.h>
// After windows.h, which they build on.
#include <commctrl.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/system.h"
#include "platform/win32/wide_text.h"
#include "test_platform.h"
#include "window_driver.h"

namespace tobrine::test {
namespace {

HWND H(NativeWindow w) {
  return reinterpret_cast<HWND>(w);
}

std::string Utf8(const std::wstring& w) {
  return platform::BytesFrom(CP_UTF8, w.data(), static_cast<int>(w.size()));
}

std::wstring TextOf(HWND h) {
  wchar_t buffer[1024] = L"";
  GetWindowTextW(h, buffer, 1024);
  return buffer;
}

// A message box once it is up (visible, with its button), into *out.
BOOL CALLBACK FindVisibleBox(HWND h, LPARAM out) {
  wchar_t cls[16] = L"";
  GetClassNameW(h, cls, 16);
  if (lstrcmpW(cls, L"#32770") != 0 || !IsWindowVisible(h) || !GetDlgItem(h, IDOK)) return TRUE;
  *reinterpret_cast<HWND*>(out) = h;
  return FALSE;
}

// A message box of thread `gui` once it is up.
HWND VisibleBoxOf(DWORD gui) {
  HWND found = nullptr;
  EnumThreadWindows(gui, &FindVisibleBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

bool WinebrowserRunning() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool running = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
       more = Process32NextW(snapshot, &entry))
    running = lstrcmpiW(entry.szExeFile, L"winebrowser.exe") == 0;
  CloseHandle(snapshot);
  return running;
}

}  // namespace

void PostInput(NativeWindow window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  PostMessageW(H(window), message, wparam, lparam);
}

void PostClick(NativeWindow button) {
  if (IsWindowEnabled(H(button))) PostMessageW(H(button), BM_CLICK, 0, 0);
}

Point RowPoint(NativeWindow list, int32_t row) {
  const int count = static_cast<int>(SendMessageW(H(list), LVM_GETITEMCOUNT, 0, 0));
  RECT r{};
  r.left = LVIR_BOUNDS;
  if (row >= 0 && row < count) {
    SendMessageW(H(list), LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&r));
    return {10, (r.top + r.bottom) / 2};
  }
  if (count > 0) {
    SendMessageW(H(list), LVM_GETITEMRECT, count - 1, reinterpret_cast<LPARAM>(&r));
    return {10, r.bottom + 20};
  }
  HWND header = reinterpret_cast<HWND>(SendMessageW(H(list), LVM_GETHEADER, 0, 0));
  GetClientRect(header, &r);
  return {10, r.bottom + 20};
}

// Posts `messages` (with their wparam) to the point of `row`, where input reaches.
void PostAtRow(NativeWindow list, int32_t row,
               std::initializer_list<std::pair<UINT, WPARAM>> messages) {
  if (!IsWindowEnabled(H(list))) return;
  const Point p = RowPoint(list, row);
  for (const auto& [message, wparam] : messages)
    PostMessageW(H(list), message, wparam, MAKELPARAM(p.x, p.y));
}

void PostDoubleClick(NativeWindow list, int32_t row) {
  PostAtRow(list, row,
            {{WM_LBUTTONDOWN, MK_LBUTTON},
             {WM_LBUTTONUP, 0},
             {WM_LBUTTONDBLCLK, MK_LBUTTON},
             {WM_LBUTTONUP, 0}});
}

void PostRightClick(NativeWindow list, int32_t row) {
  PostAtRow(list, row, {{WM_RBUTTONDOWN, MK_RBUTTON}, {WM_RBUTTONUP, 0}});
}

void PostKeyPress(NativeWindow window, uint32_t virtualKey) {
  if (!IsWindowEnabled(H(window))) return;
  PostMessageW(H(window), WM_KEYDOWN, virtualKey, 1);
  PostMessageW(H(window), WM_KEYUP, virtualKey, static_cast<LPARAM>(0xC0000001u));
}

bool PostedClicksPlaceThePointer() {
  return false;
}

std::string ClipboardText() {
  std::string text;
  if (!OpenClipboard(nullptr)) return "(clipboard busy)";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* w = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = platform::Narrow(w, lstrlenW(w));
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

bool ChooseFromMenus(MenuChooser /*chooser*/) {
  return false;
}

void PostClose(NativeWindow window) {
  PostMessageW(H(window), WM_CLOSE, 0, 0);
}

void HoldKeys(int32_t keyState) {
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_CONTROL] = (keyState & 1) ? 0x80 : 0;
  keys[VK_SHIFT] = (keyState & 2) ? 0x80 : 0;
  keys[VK_MENU] = (keyState & 4) ? 0x80 : 0;
  SetKeyboardState(keys);
}

bool ListsKeepEveryByte() {
  return false;
}

std::vector<std::string> ColumnTitles(NativeWindow list) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(H(list), LVM_GETHEADER, 0, 0));
  const int count = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  std::vector<std::string> titles;
  for (int i = 0; i < count; ++i) {
    wchar_t text[256] = L"";
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT;
    column.pszText = text;
    column.cchTextMax = 256;
    SendMessageW(H(list), LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    titles.push_back(platform::Narrow(text, lstrlenW(text)));
  }
  return titles;
}

void SelectRow(NativeWindow list, int32_t row) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = row >= 0 ? LVIS_SELECTED | LVIS_FOCUSED : 0;
  SendMessageW(H(list), LVM_SETITEMSTATE, row >= 0 ? row : -1, reinterpret_cast<LPARAM>(&item));
}

// A paint request is no queued message: the system makes one for as long as a
// window needs painting, so taking it out of the queue would never end.
std::optional<QueuedMessage> TakeQueuedMessage() {
  MSG m;
  if (!PeekMessageW(&m, nullptr, 0, WM_PAINT - 1, PM_REMOVE) &&
      !PeekMessageW(&m, nullptr, WM_PAINT + 1, 0xFFFFFFFF, PM_REMOVE))
    return std::nullopt;
  return QueuedMessage{m.message, m.wParam};
}

void DrainQueue() {
  while (TakeQueuedMessage()) {
  }
}

std::string MessageBoxesDuring(const std::function<void()>& action) {
  const DWORD gui = GetCurrentThreadId();
  std::atomic<bool> done{false};
  std::string boxes;
  std::thread answerer([&] {
    while (!done) {
      HWND box = VisibleBoxOf(gui);
      if (!box) {
        SleepMilliseconds(10);
        continue;
      }
      std::string text = Utf8(TextOf(GetDlgItem(box, 0xFFFF)));
      if (text.empty() || text.back() != '\n') text += '\n';
      boxes += "[" + Utf8(TextOf(box)) + "] " + text;
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
      while (!done && IsWindow(box)) SleepMilliseconds(10);
    }
  });
  action();
  done = true;
  answerer.join();
  return boxes;
}

bool ObserveLists(ListObserver /*observer*/) {
  return false;
}

// The session's browser (scripts/record-url) appends to the log that URL_LOG
// named when Wine started: what a Windows program sets in its own environment
// does not reach that Linux script.
OpenRecorder::OpenRecorder() {
  const char* log = std::getenv("URL_LOG");
  if (!log || !*log) ADD_FAILURE() << "URL_LOG is not set: run inside scripts/wine-session";
  log_ = log ? log : "";
  start_ = ReadHostFile(log_).value_or("").size();
}

OpenRecorder::~OpenRecorder() = default;

std::vector<std::string> OpenRecorder::Opened(std::size_t count) const {
  auto lines = [this] {
    std::vector<std::string> out;
    const std::string all = ReadHostFile(log_).value_or("");
    const std::string text = all.size() > start_ ? all.substr(start_) : std::string();
    for (std::size_t p = 0, e; (e = text.find('\n', p)) != std::string::npos; p = e + 1) {
      std::string line = text.substr(p, e - p);
      // Wine's browser launcher writes a space as %20; the shell was handed a space.
      for (std::size_t s; (s = line.find("%20")) != std::string::npos;) line.replace(s, 3, " ");
      out.push_back(line);
    }
    return out;
  };
  const uint32_t start = platform::TickCount();
  while (platform::TickCount() - start < 10000 && (lines().size() < count || WinebrowserRunning()))
    SleepMilliseconds(10);
  return lines();
}

}  // namespace tobrine::test
