// Driving the program's windows from a test as a user would, on either backend:
// window_driver_posix.cpp drives the headless controls, window_driver_win32.cpp
// the real controls (under Wine) with posted messages. Input is posted to the
// window's thread and handled when that thread dispatches (ProcessEvents, a
// loop); as with real input, nothing reaches a disabled window.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/window_backend.h"

namespace tobrine::test {

using platform::NativeWindow;

void PostInput(NativeWindow window, uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0);
// A click on a button: press, release, click.
void PostClick(NativeWindow button);
// A left-button double-click on `row` of a report list (press, release,
// double-click, release); a negative row clicks the empty area below the rows.
void PostDoubleClick(NativeWindow list, int32_t row);
// The close box of a top-level window.
void PostClose(NativeWindow window);
// A right-button click on `row` of a report list (press, release); a negative
// row clicks the empty area below the rows.
void PostRightClick(NativeWindow list, int32_t row);
// A key pressed and released on `window`, with the keys HoldKeys holds.
void PostKeyPress(NativeWindow window, uint32_t virtualKey);
// The modifier keys held for the input that follows: 1 Ctrl, 2 Shift, 4 Alt.
void HoldKeys(int32_t keyState);

// Whether a report list gives back every byte it was given. Real controls hold
// UTF-16, so bytes that are no code page 936 text come back changed.
bool ListsKeepEveryByte();

// A report list's column titles; selecting a row (-1: none) as a click would,
// without the click's events.
std::vector<std::string> ColumnTitles(NativeWindow list);
void SelectRow(NativeWindow list, int32_t row);

// Where the posted clicks on `row` land, in the list's client coordinates.
struct Point {
  int32_t x = 0, y = 0;
};
Point RowPoint(NativeWindow list, int32_t row);
// Whether the pointer is where the posted clicks land: on the headless controls;
// a real pointer stays where it is.
bool PostedClicksPlaceThePointer();

// The clipboard's text, code page 936.
std::string ClipboardText();

// Pop-up menus: the chooser sees the items of each menu shown and returns the
// index of the one the user picks, -1 to dismiss it. Only the headless controls
// take a chooser (a real menu waits for a real user); false on real controls.
// Empty to stop.
struct MenuItem {
  std::string text;
  bool enabled = true;
  bool isDefault = false;
};
using MenuChooser = std::function<int32_t(const std::vector<MenuItem>& items)>;
bool ChooseFromMenus(MenuChooser chooser);

// The next message queued for the calling thread, taken out of the queue
// (paint requests, which the system makes while a window needs painting, are
// none).
struct QueuedMessage {
  uint32_t message = 0;
  uintptr_t wparam = 0;
};
std::optional<QueuedMessage> TakeQueuedMessage();
// Empties the calling thread's queue (a quit message too).
void DrainQueue();

// Runs `action` and returns the message boxes the calling thread showed
// meanwhile, "[caption] text\n" each in UTF-8; each box is answered with OK.
std::string MessageBoxesDuring(const std::function<void()>& action);

// Reports each row change of report lists, on the thread that makes it: the row
// and its cells after the change (a cleared list reports row -1 and no cells).
// Only the headless controls offer this (the command line prints rows through
// it); false, and nothing reported, on real controls. Empty to stop.
enum class ListChange { kRowInserted, kCellSet, kCleared };
using ListObserver =
    std::function<void(ListChange change, int32_t row, const std::vector<std::string>& cells)>;
bool ObserveLists(ListObserver observer);

// Records what the shell is asked to open while it exists (Linux: an opener
// program of its own; Windows: the Wine session's recording browser, which
// appends to the log named by URL_LOG when the session started).
class OpenRecorder {
 public:
  OpenRecorder();
  ~OpenRecorder();
  OpenRecorder(const OpenRecorder&) = delete;
  OpenRecorder& operator=(const OpenRecorder&) = delete;

  // The texts opened, once `count` have arrived and no opener is still at work
  // (so that one more would have shown), or when 10 seconds have passed.
  std::vector<std::string> Opened(std::size_t count) const;

 private:
  std::string log_;        // a Linux path
  std::size_t start_ = 0;  // what the log held before
};

}  // namespace tobrine::test
