// The progress bar of a download on standard error.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tobrine::cli {

// One line of a progress bar (no line feed): name, bar, percent, bytes,
// rate and time left, fitted into `columns`. `total` absent: no bar, percent
// or time left. `seconds` is the time since the transfer began.
std::string ProgressLine(std::string_view name, uint64_t received, std::optional<uint64_t> total,
                         double seconds, uint64_t receivedBefore, int columns);

// What a bar shows at one moment.
struct ProgressState {
  uint64_t received = 0;  // bytes of the file there now
  uint64_t before = 0;    // of them, there before the transfer
  uint64_t total = 0;     // of the whole file; 0: not known
};

// Redrawn in place on standard error each time Draw is called, and cleared when
// it goes; draws nothing when `shown` is false.
class ProgressBar {
 public:
  ProgressBar(bool shown, int columns, std::string name, std::function<ProgressState()> state);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void Draw();

 private:
  bool shown_;
  int columns_;
  std::string name_;
  std::function<ProgressState()> state_;
  uint32_t start_;
  bool drawn_ = false;
};

}  // namespace tobrine::cli
