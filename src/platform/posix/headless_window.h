// The headless window backend's own controls, for tests and the command line.
// Its windows live in memory: texts, rows and the selection, no pixels. Input
// arrives as messages posted into the GUI thread's queue, and is handled when
// that thread's loop (or ProcessEvents) dispatches it, exactly like clicks on a
// real window. Find the controls through the window layer (LookupControl).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window_backend.h"

namespace tobrine::headless {

using platform::NativeWindow;

// Geometry of a report list, for turning a row into a pointer position: the
// header band at the top, then one band per row.
inline constexpr int32_t kListHeaderHeight = 24;
inline constexpr int32_t kListRowHeight = 20;
// The screen the headless windows are placed on.
inline constexpr int32_t kScreenWidth = 1024;
inline constexpr int32_t kScreenHeight = 768;

// Posts a message to `window`'s thread (the thread that created it). Safe from
// any thread.
void PostWindowMessage(NativeWindow window, uint32_t message, uintptr_t wparam = 0,
                       intptr_t lparam = 0);
// A click on a button (BM_CLICK: press, release, click notification).
void PostClick(NativeWindow button);
// A left-button double-click on `row` of a report list (press, release,
// double-click, release); a negative row clicks the empty area below the rows.
void PostDoubleClick(NativeWindow list, int32_t row);
// A close request to a top-level window (the close box).
void PostClose(NativeWindow window);
// A right-button click on `row` of a report list (press, release); a negative
// row clicks the empty area below the rows.
void PostRightClick(NativeWindow list, int32_t row);
// A key pressed and released on `window`, with the modifiers of SetKeyState.
void PostKeyPress(NativeWindow window, uint32_t virtualKey);

// The held modifier keys reported with the next events: 1 Ctrl, 2 Shift, 4 Alt.
void SetKeyState(int32_t keyState);

// Copies of a report list's rows (one text per column) and its column titles.
std::vector<std::vector<std::string>> Rows(NativeWindow list);
std::vector<std::string> ColumnTitles(NativeWindow list);
// Selects one row (or none with -1), as a click on it would, without events.
void SelectRow(NativeWindow list, int32_t row);

// Observes changes to report lists, on the thread that makes them. `row` is the
// row changed; `cells` its texts after the change. A cleared list reports row -1.
enum class ListChange { kRowInserted, kCellSet, kCleared };
using ListObserver = std::function<void(NativeWindow list, ListChange change, int32_t row,
                                        const std::vector<std::string>& cells)>;
// Installs the observer (one; empty to remove).
void SetListObserver(ListObserver observer);

// The clipboard: the text (code page 936) last put on it; empty at start.
std::string ClipboardText();

// Pop-up menus: the chooser sees the items of each menu shown and returns the
// index of the one the user picks, -1 to dismiss the menu. Without a chooser
// every menu is dismissed. Installs one chooser (empty to remove).
struct MenuItem {
  std::string text;
  bool enabled = true;
  bool isDefault = false;
};
using MenuChooser = std::function<int32_t(const std::vector<MenuItem>& items)>;
void SetMenuChooser(MenuChooser chooser);

// The texts the system was asked to open are handed to the program named by
// TOBRINE_OPENER, or xdg-open when it is unset, with the text as its one
// argument and no shell in between.
inline constexpr const char* kOpenerVariable = "TOBRINE_OPENER";

}  // namespace tobrine::headless
