// The window driver on the headless controls.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/posix/headless_window.h"
#include "platform/posix/message_queue.h"
#include "platform/system.h"
#include "platform/window_backend.h"
#include "test_platform.h"
#include "window_driver.h"

namespace tobrine::test {
namespace {

std::vector<std::string> LinesOf(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Whether a live process runs a program from `folder` (its command line names it).
bool RunsFrom(const std::string& folder) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string stat = ReadAll(entry.path() / "stat");
    const auto state = stat.rfind(") ");
    if (state == std::string::npos || stat.compare(state + 2, 1, "Z") == 0) continue;
    if (ReadAll(entry.path() / "cmdline").find(folder) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

void PostInput(NativeWindow window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  headless::PostWindowMessage(window, message, wparam, lparam);
}

void PostClick(NativeWindow button) {
  headless::PostClick(button);
}

void PostDoubleClick(NativeWindow list, int32_t row) {
  headless::PostDoubleClick(list, row);
}

void PostClose(NativeWindow window) {
  headless::PostClose(window);
}

void PostRightClick(NativeWindow list, int32_t row) {
  headless::PostRightClick(list, row);
}

void PostKeyPress(NativeWindow window, uint32_t virtualKey) {
  headless::PostKeyPress(window, virtualKey);
}

Point RowPoint(NativeWindow list, int32_t row) {
  int32_t y = headless::kListHeaderHeight + headless::kListRowHeight / 2;
  y += (row < 0 ? platform::ListRowCount(list) : row) * headless::kListRowHeight;
  return {8, y};
}

bool PostedClicksPlaceThePointer() {
  return true;
}

std::string ClipboardText() {
  return headless::ClipboardText();
}

bool ChooseFromMenus(MenuChooser chooser) {
  if (!chooser) {
    headless::SetMenuChooser(nullptr);
    return true;
  }
  headless::SetMenuChooser([chooser](const std::vector<headless::MenuItem>& items) {
    std::vector<MenuItem> shown;
    for (const auto& i : items) shown.push_back({i.text, i.enabled, i.isDefault});
    return chooser(shown);
  });
  return true;
}

void HoldKeys(int32_t keyState) {
  headless::SetKeyState(keyState);
}

bool ListsKeepEveryByte() {
  return true;
}

std::vector<std::string> ColumnTitles(NativeWindow list) {
  return headless::ColumnTitles(list);
}

void SelectRow(NativeWindow list, int32_t row) {
  headless::SelectRow(list, row);
}

std::optional<QueuedMessage> TakeQueuedMessage() {
  posix::QueuedMessage m;
  if (!posix::PeekThreadMessage(&m, true)) return std::nullopt;
  return QueuedMessage{m.message, m.wparam};
}

void DrainQueue() {
  while (TakeQueuedMessage()) {
  }
}

// Without a desktop, a box writes its caption and text to standard error.
std::string MessageBoxesDuring(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

bool ObserveLists(ListObserver observer) {
  if (!observer) {
    headless::SetListObserver(nullptr);
    return true;
  }
  headless::SetListObserver([observer](NativeWindow, headless::ListChange change, int32_t row,
                                       const std::vector<std::string>& cells) {
    observer(static_cast<ListChange>(change), row, cells);
  });
  return true;
}

// A stand-in opener: a script that appends its one argument to a log file.
OpenRecorder::OpenRecorder() {
  std::string folder = HostTempFolder() + "/tobrine-opener-XXXXXX";
  if (!mkdtemp(folder.data())) ADD_FAILURE() << "cannot make " << folder;
  log_ = folder + "/opened.txt";
  const std::string script = folder + "/opener";
  std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << log_ << "'\n";
  chmod(script.c_str(), 0755);
  setenv(headless::kOpenerVariable, script.c_str(), 1);
}

OpenRecorder::~OpenRecorder() {
  unsetenv(headless::kOpenerVariable);
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(log_).parent_path(), ec);
}

std::vector<std::string> OpenRecorder::Opened(std::size_t count) const {
  const std::string folder = std::filesystem::path(log_).parent_path();
  const uint32_t start = platform::TickCount();
  while (platform::TickCount() - start < 10000 &&
         (LinesOf(log_).size() < count || RunsFrom(folder)))
    SleepMilliseconds(10);
  return LinesOf(log_);
}

}  // namespace tobrine::test
