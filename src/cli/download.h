// `tobrine -o DIR`: each package fetched into DIR, streamed to its file chunk
// by chunk, resumed with a Range request, never overwriting a complete file,
// with a progress bar on standard error when that is a terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "web/fetch_outcome.h"

namespace tobrine::cli {

// The most a package may hold. A page or manifest is held in memory and has a
// much smaller bound; a package goes to disk.
inline constexpr uint64_t kPackageByteCap = uint64_t{4} << 30;  // 4 GiB

// A name that is safe as one file in the download folder: the part after the
// last '/' or '\', without control characters (C0, DEL, C1), without leading or
// trailing spaces, at most 255 bytes (the extension kept). Empty when nothing
// usable is left, or the name is "." or "..".
std::string SafeFileName(std::string_view utf8);

// The file name a link names: the last part of its path, without query and
// fragment, percent-decoded, as UTF-8 (code page 936 when it is not UTF-8), made
// safe. Empty when it names none.
std::string FileNameOfLink(std::string_view link);

// The file name of a Content-Disposition value: filename*=UTF-8''… (RFC 5987)
// before filename="…" or filename=…, made safe. Empty when it names none.
std::string FileNameOfDisposition(std::string_view value);

// What a response's raw header text (CR LF lines, of the final response) says.
struct ResponseHead {
  int32_t status = 0;
  std::optional<uint64_t> contentLength;
  // Content-Range "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL".
  std::optional<uint64_t> rangeFirst;
  std::optional<uint64_t> rangeTotal;
  std::string disposition;  // the Content-Disposition value, as sent
};
ResponseHead ReadResponseHead(std::string_view rawHeaders);

// What to do with an answer to a request for the bytes from `have` on (0: the
// whole file).
enum class ResumeStep {
  kWriteNew,      // 200 and no file yet (or an empty one): write from the start
  kAppend,        // 206 from `have` on: append
  kComplete,      // the file already holds all there is: leave it alone
  kNotResumable,  // the server sends the whole file again, or another part
  kHttpError,     // another status
};
struct ResumePlan {
  ResumeStep step = ResumeStep::kHttpError;
  std::optional<uint64_t> expectedBytes;  // of this response's body, when known
  std::optional<uint64_t> totalBytes;     // of the whole file, when known
};
ResumePlan PlanResume(const ResponseHead& head, uint64_t have);

// One line of a progress bar (no line feed): name, bar, percent, bytes,
// rate and time left, fitted into `columns`. `total` absent: no bar, percent
// or time left. `seconds` is the time since the transfer began.
std::string ProgressLine(std::string_view name, uint64_t received, std::optional<uint64_t> total,
                         double seconds, uint64_t receivedBefore, int columns);

// "1.5 MiB", "512 B": sizes for people.
std::string ByteCount(uint64_t bytes);

struct DownloadSettings {
  std::string folder;        // absolute, UTF-8; made when missing
  std::string agentLine;     // "User-Agent: ..." + CR LF, or empty for the default
  int32_t idleSeconds = 60;  // a download fails after this long without data
  bool progress = false;     // draw a progress bar on standard error
  int columns = 80;          // of the terminal
};

struct DownloadResult {
  enum class Kind { kSaved, kResumed, kComplete, kSkipped, kFailed };
  Kind kind = Kind::kFailed;
  std::string file;     // the path written (or left alone), UTF-8
  uint64_t bytes = 0;   // the file's length at the end
  std::string message;  // what happened, in plain words, for standard error
  std::string reason;   // for a failure: the short code of JSON output
  FetchOutcome outcome;
};

// The downloads of one run. A link fetched before in the run is skipped; a
// name another link of the run took gets "-2", "-3", ... before its extension.
class Downloader {
 public:
  explicit Downloader(DownloadSettings settings) : settings_(std::move(settings)) {}
  // Fetches `link` (bytes as the manifest gave them) into the folder.
  DownloadResult Fetch(std::string_view link);

 private:
  std::string Claim(const std::string& name);
  DownloadSettings settings_;
  std::set<std::string> links_;
  std::set<std::string> names_;
};

}  // namespace tobrine::cli
