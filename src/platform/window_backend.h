// The windowing backend under the runtime's window layer. Each port
// (win32/window_backend.cpp on real controls, posix/window_backend.cpp headless)
// implements every function declared here. Callers see opaque handles only;
// texts are code page 936 bytes. Positions and sizes are those of a 96-DPI
// screen: a backend that draws at another DPI scales them on the way in and out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tobrine::platform {

// A system window: the main window, a control, or a child of a control (a list's
// header). Null means none.
struct NativeWindowObject;
using NativeWindow = NativeWindowObject*;

enum class ControlKind { kEdit, kLabel, kButton, kReportList };

struct ListColumnSpec {
  std::string title;
  int32_t width = 0;
  int32_t alignment = 0;  // 0 left, 1 centre, 2 right
  int32_t imageIndex = -1;
};

// One image of the window icon: its size, colour depth and stored bits (the
// BITMAPINFOHEADER-led image of an icon file).
struct IconImageSpec {
  int32_t width = 0;
  int32_t bitCount = 0;
  std::string_view bits;
};

struct MainWindowSpec {
  std::string_view title;
  int32_t left = 0, top = 0, width = 0, height = 0;  // outer rectangle, screen coordinates
  int32_t borderMode = 2;  // 0 none, 1 resizable, 2 fixed single, 3/4 narrow caption, 5/6 sunken
  bool maximiseBox = false;
  bool minimiseBox = true;
  bool controlBox = true;
  std::vector<IconImageSpec> icon;  // empty: the system's default icon
};

struct ControlSpec {
  ControlKind kind = ControlKind::kLabel;
  int32_t left = 0, top = 0, width = 0, height = 0;  // client coordinates of the parent
  bool tabStop = false;
  bool disabled = false;
  std::string_view text;  // edit content, button caption or label text
  bool clientEdge = false;
  // Edit box.
  bool hideSelection = true;
  bool multiLine = false;
  bool readOnly = false;
  char passwordChar = 0;  // non-zero: password input
  int32_t maxLength = 0;  // 0: no limit
  // Button.
  bool defaultButton = false;
  // Report list.
  std::vector<ListColumnSpec> columns;
  bool headersClickable = true;
  bool hideHeaders = false;
  bool fullRowSelect = true;
  bool gridLines = true;
  bool singleSelection = true;
};

// A mouse, keyboard or focus message addressed to a window of the program, with
// the system's message number and parameters.
struct InputMessage {
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
};

// What the window layer decided about an input message.
struct InputVerdict {
  bool consume = false;  // the window never sees the message
  bool replaceWparam = false;
  uintptr_t wparam = 0;  // the new character code when replaceWparam
};

// Where a context menu was asked for, as the backend measured it; the window
// layer hands it back to ShowPopupMenu unchanged.
struct PopupAnchor {
  int32_t x = 0, y = 0;
};

// The window layer's side: the backend reports through these, on the GUI thread,
// from inside the windows' own message handling (so nested loops report too).
class WindowEvents {
 public:
  // Before the window handles a mouse or keyboard message, and after it has
  // handled a focus change (whose verdict is then ignored). `target` is the
  // window the message is addressed to.
  virtual InputVerdict OnInput(NativeWindow target, const InputMessage& message) = 0;
  // A button reported that it was clicked.
  virtual void OnButtonClicked(NativeWindow button) = 0;
  // A top-level window of the program has been destroyed, with its controls.
  virtual void OnDestroyed(NativeWindow window) = 0;
  // The user pressed Ctrl+C in a report list, and the window layer did not
  // consume the key.
  virtual void OnCopyShortcut(NativeWindow list) = 0;
  // The user asked a report list for its context menu (right button, or the
  // keyboard's menu key or Shift+F10).
  virtual void OnContextMenu(NativeWindow list, const PopupAnchor& at) = 0;

 protected:
  ~WindowEvents() = default;
};

// Installs the receiver of every report (one per process; null to stop reports).
void SetWindowEvents(WindowEvents* events);

// Prepares the calling thread to own windows (OLE and the common controls on
// Windows). False when OLE could not be initialised.
bool StartGuiThread();
void EndGuiThread();

// Screen size in pixels (width, height).
void ScreenSize(int32_t* width, int32_t* height);

// Creates the (hidden) main window; null when it cannot be created.
NativeWindow CreateMainWindow(const MainWindowSpec& args);
// Creates a hidden child control; null when it cannot be created.
NativeWindow CreateControl(NativeWindow parent, const ControlSpec& args);
// The least height of a single-line edit box on `parent`: the text height of its
// font plus twice the system edge height.
int32_t SingleLineEditMinHeight(NativeWindow parent);

struct NativeRect {
  int32_t left = 0, top = 0, width = 0, height = 0;
};
// The outer rectangle: for a child in its parent's client coordinates, for a
// top-level window in screen coordinates. False when the window is gone.
bool GetNativeRect(NativeWindow window, NativeRect* rect);
void MoveNative(NativeWindow window, const NativeRect& rect);
void ShowNative(NativeWindow window, bool visible);
bool IsNativeAlive(NativeWindow window);
bool IsNativeVisible(NativeWindow window);
bool IsNativeEnabled(NativeWindow window);
// The parent window, null for a top-level window.
NativeWindow NativeParent(NativeWindow window);
// The window's text (edit content, caption).
std::string GetNativeText(NativeWindow window);
void SetNativeText(NativeWindow window, std::string_view text);
void DestroyNative(NativeWindow window);
// The system's handle value, for use as a message-box owner.
intptr_t NativeHandleValue(NativeWindow window);

// The modifier keys held now: 1 Ctrl, 2 Shift, 4 Alt.
int32_t CurrentKeyState();

// --- Report lists ---
int32_t ListRowCount(NativeWindow list);
void ListDeleteAllRows(NativeWindow list);
struct ListRowSpec {
  int32_t position = -1;  // negative: after the last row
  std::string_view title;
  int32_t image = -1;
  int32_t stateImage = 0;
  int32_t indent = 0;
  intptr_t itemData = 0;
};
// The index of the new row, -1 on failure.
int32_t ListInsertRow(NativeWindow list, const ListRowSpec& row);
bool ListSetCellText(NativeWindow list, int32_t row, int32_t column, std::string_view text);
// Copies at most capacity - 1 bytes of the cell's text and a NUL into `buffer`;
// returns the number of bytes copied (0 for a cell that does not exist).
int32_t ListCopyCellText(NativeWindow list, int32_t row, int32_t column, char* buffer,
                         int32_t capacity);
// The first selected row from the start, -1 when none is selected.
int32_t ListFirstSelectedRow(NativeWindow list);

// --- Clipboard and pop-up menus ---
// Puts `text` on the clipboard as Unicode text, in place of what it held.
// `owner` is the window the data comes from. False when the clipboard could not
// be taken.
bool SetClipboardText(NativeWindow owner, std::string_view text);

struct MenuItemSpec {
  std::string_view text;
  bool enabled = true;
  bool isDefault = false;  // drawn as the default action (in bold)
};
// Shows a pop-up menu of `items` for `owner` at `at` and waits, dispatching
// messages, until the user picks an item or dismisses the menu. Returns the
// index of the item picked, -1 when none was.
int32_t ShowPopupMenu(NativeWindow owner, const std::vector<MenuItemSpec>& items,
                      const PopupAnchor& at);

// --- Shell and message loop ---
// Asks the system to open `target` with its default handler ("open" verb).
void ShellOpen(std::string_view target);
// Takes and dispatches the calling thread's messages until the quit message;
// returns its code.
int RunMessageLoop();
// Posts the quit message with `code` to the calling thread.
void PostQuit(int code);

}  // namespace tobrine::platform
