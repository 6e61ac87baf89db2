#include "cli/download.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/lines.h"
#include "cli/output.h"
#include "platform/system.h"
#include "web/stream_fetch.h"

namespace tobrine::cli {
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
  text = base::TrimBlanks(text);
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
    std::string_view part = base::TrimBlanks(value.substr(0, semicolon));
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
      std::string_view v = base::TrimBlanks(part.substr(9));
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
    const std::string_view name = base::TrimBlanks(line.substr(0, colon));
    const std::string_view value = base::TrimBlanks(line.substr(colon + 1));
    auto is = [&](std::string_view n) {
      return name.size() == n.size() && StartsWithNoCase(name, n);
    };
    if (is("Content-Length")) {
      head.contentLength = ReadNumber(value);
    } else if (is("Content-Disposition")) {
      head.disposition = std::string(value);
    } else if (is("Content-Range") && StartsWithNoCase(value, "bytes ")) {
      std::string_view range = base::TrimBlanks(value.substr(6));
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

namespace {

constexpr std::string_view kFallbackName = "download";

// The length of a regular file, 0 when there is none; nothing when the name is
// taken by something else (a folder, a device).
std::optional<uint64_t> ExistingLength(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? std::optional<uint64_t>(0) : std::nullopt;
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// One package on its way to disk. Begin and Chunk run on the fetch's worker;
// the counters are read by the waiting thread for the progress bar.
class PackageFile : public BodyStream {
 public:
  PackageFile(std::string folder, std::string name, uint64_t have, bool mayRename)
      : folder_(std::move(folder)), name_(std::move(name)), have_(have), mayRename_(mayRename) {}

  bool Begin(std::string_view rawHeaders) override {
    const ResponseHead head = ReadResponseHead(rawHeaders);
    // A new file may take the name the server gives it; a file being resumed
    // keeps its own.
    if (mayRename_ && head.status == 200) {
      const std::string given = FileNameOfDisposition(head.disposition);
      if (!given.empty() && given != name_) {
        const std::optional<uint64_t> length = ExistingLength(Path(given));
        if (!length || *length > 0) {
          renameTo_ = given;  // asked again, for that file's rest
          return false;
        }
        name_ = given;
      }
    }
    plan_ = PlanResume(head, have_);
    total_.store(plan_.totalBytes.value_or(0));
    began_ = true;
    switch (plan_.step) {
      case ResumeStep::kWriteNew:
        // Exclusive: a file that appeared meanwhile is never overwritten; an
        // empty one may be.
        file_.reset(std::fopen(Path(name_).c_str(), "wbx"));
        if (!file_ && errno == EEXIST && ExistingLength(Path(name_)) == uint64_t{0})
          file_.reset(std::fopen(Path(name_).c_str(), "wb"));
        break;
      case ResumeStep::kAppend:
        file_.reset(std::fopen(Path(name_).c_str(), "ab"));
        break;
      default:
        return false;
    }
    if (!file_) {
      writeError_ = std::strerror(errno);
      return false;
    }
    return true;
  }

  bool Chunk(std::string_view bytes) override {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) {
      writeError_ = std::strerror(errno);
      return false;
    }
    received_.fetch_add(bytes.size());
    return true;
  }

  // After the fetch: flushes and closes. False when the data did not reach the disk.
  bool Finish() {
    if (!file_) return writeError_.empty();
    const bool flushed = std::fflush(file_.get()) == 0;
    if (!flushed && writeError_.empty()) writeError_ = std::strerror(errno);
    file_.reset();
    return flushed && writeError_.empty();
  }

  std::string Path(std::string_view name) const { return folder_ + "/" + std::string(name); }
  bool began() const { return began_; }
  const std::string& name() const { return name_; }
  const std::string& renameTo() const { return renameTo_; }
  const ResumePlan& plan() const { return plan_; }
  const std::string& writeError() const { return writeError_; }
  uint64_t have() const { return have_; }
  uint64_t received() const { return received_.load(); }
  uint64_t total() const { return total_.load(); }

 private:
  std::string folder_;
  std::string name_;
  uint64_t have_;
  bool mayRename_;
  std::string renameTo_;
  bool began_ = false;
  ResumePlan plan_;
  File file_;
  std::string writeError_;
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> total_{0};
};

// The progress bar: redrawn in place on standard error, at most five times a
// second, and cleared when the file is done.
class ProgressBar {
 public:
  ProgressBar(const DownloadSettings& settings, const PackageFile& file)
      : settings_(settings), file_(file), start_(platform::TickCount()) {}
  void Draw() {
    if (!settings_.progress) return;
    const double seconds = static_cast<double>(platform::TickCount() - start_) / 1000.0;
    const uint64_t total = file_.total();
    const std::string line = ProgressLine(file_.name(), file_.have() + file_.received(),
                                          total ? std::optional<uint64_t>(total) : std::nullopt,
                                          seconds, file_.have(), settings_.columns);
    Write("\r" + line + "\x1b[K");
    drawn_ = true;
  }
  void Clear() {
    if (drawn_) Write("\r\x1b[K");
    drawn_ = false;
  }

 private:
  static void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
  const DownloadSettings& settings_;
  const PackageFile& file_;
  uint32_t start_;
  bool drawn_ = false;
};

}  // namespace

std::string Downloader::Claim(const std::string& name) {
  std::string claimed = name;
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string extension = stem.size() == name.size() ? "" : name.substr(stem.size());
  for (int n = 2; names_.contains(claimed); ++n)
    claimed = SafeFileName(stem + "-" + std::to_string(n) + extension);
  names_.insert(claimed);
  return claimed;
}

DownloadResult Downloader::Fetch(std::string_view link) {
  DownloadResult result;
  if (!links_.insert(std::string(link)).second) {
    result.kind = DownloadResult::Kind::kSkipped;
    result.message = "fetched before in this run";
    return result;
  }
  std::error_code error;
  std::filesystem::create_directories(settings_.folder, error);
  std::string name = FileNameOfLink(link);
  if (name.empty()) name = kFallbackName;
  name = Claim(name);

  // At most twice: once more when the server names a file that is already here.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::string path = settings_.folder + "/" + name;
    result.file = path;
    const std::optional<uint64_t> have = ExistingLength(path);
    if (!have) {
      result.reason = "file";
      result.message = path + " exists and is not a regular file: not overwritten";
      return result;
    }
    std::string headers = settings_.agentLine;
    if (*have > 0) headers += "Range: bytes=" + std::to_string(*have) + "-\r\n";
    auto file = std::make_shared<PackageFile>(settings_.folder, name, *have, attempt == 0);
    ProgressBar bar(settings_, *file);
    StreamFetchOptions options;
    options.extraHeaders = headers;
    options.idleSeconds = settings_.idleSeconds;
    options.byteCap = kPackageByteCap - std::min(kPackageByteCap, *have);
    options.onWait = [&bar] { bar.Draw(); };
    result.outcome = StreamFetch(TextValue::FromBytes(link), options, file);
    bar.Clear();
    const bool written = file->Finish();
    result.file = file->Path(file->name());
    result.bytes = file->have() + file->received();

    if (!file->renameTo().empty() && attempt == 0) {
      name = Claim(file->renameTo());
      continue;
    }
    if (!file->writeError().empty() || !written) {
      result.reason = "file";
      result.message = "cannot write " + result.file + ": " + file->writeError();
      return result;
    }
    const ResumePlan& plan = file->plan();
    if (file->began() && plan.step == ResumeStep::kComplete) {
      result.kind = DownloadResult::Kind::kComplete;
      result.outcome = {};
      result.message = result.file + " is already complete, not overwritten";
      return result;
    }
    if (file->began() && plan.step == ResumeStep::kNotResumable) {
      result.reason = "not_resumable";
      result.message = "the server does not continue " + result.file +
                       " where it ends: the file is not overwritten (remove it to fetch it anew)";
      return result;
    }
    if (file->began() && plan.step == ResumeStep::kHttpError)
      result.outcome.failure = FetchFailure::kHttpStatus;
    if (!file->began() && result.outcome.failure == FetchFailure::kNone)
      result.outcome.failure = FetchFailure::kOther;  // no response reached the file
    if (result.outcome.failure != FetchFailure::kNone) {
      const Failure f =
          DescribeFailure(link, "package not fetched", result.outcome, settings_.idleSeconds);
      result.reason = f.reason;
      result.message = f.message;
      if (file->received() > 0 || file->have() > 0)
        result.message +=
            "; " + ByteCount(result.bytes) + " kept in " + result.file + ", run again to resume";
      return result;
    }
    const uint64_t got = file->received();
    if (plan.expectedBytes && got != *plan.expectedBytes) {
      result.reason = "short";
      result.message = "the connection ended after " + std::to_string(got) + " of " +
                       std::to_string(*plan.expectedBytes) + " bytes; " + ByteCount(result.bytes) +
                       " kept in " + result.file + ", run again to resume";
      return result;
    }
    result.kind = plan.step == ResumeStep::kAppend ? DownloadResult::Kind::kResumed
                                                   : DownloadResult::Kind::kSaved;
    result.message = plan.step == ResumeStep::kAppend
                         ? "resumed " + result.file + " (" + ByteCount(got) + " more, " +
                               ByteCount(result.bytes) + " in all)"
                         : "saved " + result.file + " (" + ByteCount(result.bytes) + ")";
    return result;
  }
  result.reason = "other";
  result.message = "the server named a file that is already here, twice";
  return result;
}

}  // namespace tobrine::cli
