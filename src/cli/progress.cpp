#include "cli/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/download_steps.h"
#include "cli/output.h"
#include "platform/system.h"

namespace tobrine::cli {
namespace {

void WriteToStderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string ProgressLine(std::string_view name, uint64_t received, std::optional<uint64_t> total,
                         double seconds, uint64_t receivedBefore, int columns) {
  const double rate =
      seconds > 0.05 ? static_cast<double>(received - std::min(received, receivedBefore)) / seconds
                     : 0.0;
  std::string tail;
  char text[64];
  if (total && *total > 0) {
    const uint64_t done = std::min(received, *total);
    const int percent = static_cast<int>(done * 100 / *total);
    std::snprintf(text, sizeof text, " %3d%% ", percent);
    tail = text + ByteCount(done) + " / " + ByteCount(*total);
  } else {
    tail = " " + ByteCount(received);
  }
  tail += "  " + ByteCount(static_cast<uint64_t>(rate)) + "/s";
  if (total && *total > received && rate >= 1.0) {
    const auto left =
        static_cast<uint64_t>(std::ceil(static_cast<double>(*total - received) / rate));
    if (left >= 3600)
      std::snprintf(text, sizeof text, "  %llu:%02llu:%02llu left",
                    static_cast<unsigned long long>(left / 3600),
                    static_cast<unsigned long long>(left / 60 % 60),
                    static_cast<unsigned long long>(left % 60));
    else
      std::snprintf(text, sizeof text, "  %llu:%02llu left",
                    static_cast<unsigned long long>(left / 60),
                    static_cast<unsigned long long>(left % 60));
    tail += text;
  }

  // The numbers first; then a bar of up to 30 columns beside a name of up to
  // 24; a longer name gets what is left. A name is cut on a character boundary.
  std::string shown = EscapeControls(name);
  const int available = std::max(columns - 1, 20) - static_cast<int>(tail.size());
  const int nameWant = std::min(static_cast<int>(shown.size()), 24);
  const int bar = total && *total > 0 ? std::clamp(available - 3 - nameWant, 0, 30) : 0;
  const int nameRoom = std::max(8, available - (bar > 0 ? bar + 3 : 0));
  if (static_cast<int>(shown.size()) > nameRoom) {
    std::size_t keep = static_cast<std::size_t>(nameRoom - 3);
    while (keep > 0 && (static_cast<unsigned char>(shown[keep]) & 0xC0) == 0x80) --keep;
    shown = shown.substr(0, keep) + "...";
  }
  std::string line = shown;
  if (bar > 0) {
    const int filled =
        static_cast<int>(std::min(received, *total) * static_cast<uint64_t>(bar) / *total);
    line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(bar - filled), '-') + "]";
  }
  return line + tail;
}

ProgressBar::ProgressBar(bool shown, int columns, std::string name,
                         std::function<ProgressState()> state)
    : shown_(shown),
      columns_(columns),
      name_(std::move(name)),
      state_(std::move(state)),
      start_(platform::TickCount()) {}

ProgressBar::~ProgressBar() {
  if (drawn_) WriteToStderr("\r\x1b[K");
}

void ProgressBar::Draw() {
  if (!shown_) return;
  const double seconds = static_cast<double>(platform::TickCount() - start_) / 1000.0;
  const ProgressState s = state_();
  const std::string line =
      ProgressLine(name_, s.received, s.total ? std::optional<uint64_t>(s.total) : std::nullopt,
                   seconds, s.before, columns_);
  WriteToStderr("\r" + line + "\x1b[K");
  drawn_ = true;
}

}  // namespace tobrine::cli
