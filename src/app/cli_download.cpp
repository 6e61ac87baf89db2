#include "app/cli_download.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/cli_output.h"

namespace tobrine::app::cli {
namespace {

constexpr std::size_t kNameMax = 255;

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

std::string_view TrimSpace(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::optional<uint64_t> ReadNumber(std::string_view text) {
  text = TrimSpace(text);
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || p != end || text.empty()) return std::nullopt;
  return value;
}

// Cuts `name` to at most kNameMax bytes, keeping a short extension and never
// splitting a UTF-8 sequence.
std::string CutToNameMax(std::string name) {
  if (name.size() <= kNameMax) return name;
  std::string extension;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= 16) extension = name.substr(dot);
  std::size_t keep = kNameMax - extension.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + extension;
}

}  // namespace

std::string SafeFileName(std::string_view utf8) {
  const std::size_t slash = utf8.find_last_of("/\\");
  if (slash != std::string_view::npos) utf8 = utf8.substr(slash + 1);
  std::string name;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F
      ++i;
      continue;
    }
    name += utf8[i];
  }
  const std::size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  name = name.substr(first, name.find_last_not_of(' ') - first + 1);
  if (name == "." || name == "..") return {};
  return CutToNameMax(std::move(name));
}

std::string FileNameOfLink(std::string_view link) {
  std::string_view path = link.substr(0, link.find_first_of("?#"));
  const std::size_t scheme = path.find("://");
  if (scheme != std::string_view::npos) {
    path = path.substr(scheme + 3);
    const std::size_t slash = path.find('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  }
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path = path.substr(slash + 1);
  return SafeFileName(ManifestText(PercentDecode(path)));
}

std::string FileNameOfDisposition(std::string_view value) {
  std::string plain, extended;
  while (!value.empty()) {
    const std::size_t semicolon = value.find(';');
    std::string_view part = TrimSpace(value.substr(0, semicolon));
    value = semicolon == std::string_view::npos ? std::string_view() : value.substr(semicolon + 1);
    if (StartsWithNoCase(part, "filename*=")) {
      // charset'language'percent-encoded text
      std::string_view v = part.substr(10);
      const std::size_t q1 = v.find('\'');
      const std::size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
      if (q2 == std::string_view::npos) continue;
      const std::string_view charset = v.substr(0, q1);
      const std::string decoded = PercentDecode(v.substr(q2 + 1));
      extended = StartsWithNoCase(charset, "utf-8") ? ManifestText(decoded) : AddressText(decoded);
    } else if (StartsWithNoCase(part, "filename=")) {
      std::string_view v = TrimSpace(part.substr(9));
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      plain = ManifestText(v);
    }
  }
  std::string name = SafeFileName(extended);
  return name.empty() ? SafeFileName(plain) : name;
}

ResponseHead ReadResponseHead(std::string_view raw) {
  ResponseHead head;
  bool first = true;
  while (!raw.empty()) {
    const std::size_t end = raw.find('\n');
    std::string_view line = raw.substr(0, end);
    raw = end == std::string_view::npos ? std::string_view() : raw.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      first = false;
      // HTTP/1.1 206 Partial Content
      const std::size_t space = line.find(' ');
      if (StartsWithNoCase(line, "HTTP/") && space != std::string_view::npos) {
        std::string_view code = line.substr(space + 1, 3);
        if (auto n = ReadNumber(code); n && *n >= 100 && *n <= 999)
          head.status = static_cast<int32_t>(*n);
      }
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = TrimSpace(line.substr(0, colon));
    const std::string_view value = TrimSpace(line.substr(colon + 1));
    auto is = [&](std::string_view n) {
      return name.size() == n.size() && StartsWithNoCase(name, n);
    };
    if (is("Content-Length")) {
      head.contentLength = ReadNumber(value);
    } else if (is("Content-Disposition")) {
      head.disposition = std::string(value);
    } else if (is("Content-Range") && StartsWithNoCase(value, "bytes ")) {
      std::string_view range = TrimSpace(value.substr(6));
      const std::size_t slash = range.find('/');
      if (slash == std::string_view::npos) continue;
      head.rangeTotal = ReadNumber(range.substr(slash + 1));
      const std::string_view span = range.substr(0, slash);
      const std::size_t dash = span.find('-');
      if (dash != std::string_view::npos) head.rangeFirst = ReadNumber(span.substr(0, dash));
    }
  }
  return head;
}

ResumePlan PlanResume(const ResponseHead& head, uint64_t have) {
  ResumePlan plan;
  switch (head.status) {
    case 200:
      plan.expectedBytes = head.contentLength;
      plan.totalBytes = head.contentLength;
      // A server that ignores the range sends the whole file: when it is no
      // longer than what is here, the file is complete; otherwise what is here
      // cannot be trusted to be its start, and is not overwritten either.
      if (have == 0)
        plan.step = ResumeStep::kWriteNew;
      else if (head.contentLength && *head.contentLength == have)
        plan.step = ResumeStep::kComplete;
      else
        plan.step = ResumeStep::kNotResumable;
      break;
    case 206:
      plan.totalBytes = head.rangeTotal;
      if (have == 0 || head.rangeFirst != have) {
        plan.step = ResumeStep::kNotResumable;
        break;
      }
      plan.step = ResumeStep::kAppend;
      if (head.contentLength)
        plan.expectedBytes = head.contentLength;
      else if (head.rangeTotal && *head.rangeTotal >= have)
        plan.expectedBytes = *head.rangeTotal - have;
      break;
    case 416:
      // Nothing from `have` on: complete when the server's length is ours.
      plan.totalBytes = head.rangeTotal;
      plan.step = have > 0 && (!head.rangeTotal || *head.rangeTotal == have)
                      ? ResumeStep::kComplete
                      : ResumeStep::kNotResumable;
      break;
    default:
      plan.step = ResumeStep::kHttpError;
  }
  return plan;
}

std::string ByteCount(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024.0 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

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

}  // namespace tobrine::app::cli
