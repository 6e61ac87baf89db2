// The steps of one download that need no server and no disk: what to ask for,
// what an answer allows, and how the transfer ended. Downloader (cli/download.h)
// runs them around the transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "web/fetch_outcome.h"

namespace tobrine::cli {

// The most a package may hold. A page or manifest is held in memory and has a
// much smaller bound; a package goes to disk.
inline constexpr uint64_t kPackageByteCap = uint64_t{4} << 30;  // 4 GiB

// What a response's raw header text (CR LF lines, of the final response) says.
struct ResponseHead {
  int32_t status = 0;
  std::optional<uint64_t> contentLength;
  // Content-Range "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL"; a part that
  // cannot be read is absent.
  std::string contentRange;  // as sent
  std::optional<uint64_t> rangeFirst;
  std::optional<uint64_t> rangeLast;
  std::optional<uint64_t> rangeTotal;
  std::string disposition;  // the Content-Disposition value, as sent
  std::string etag;
  std::string lastModified;
};
ResponseHead ReadResponseHead(std::string_view rawHeaders);

// What NAME.part.info keeps beside a partial package: whose bytes they are and
// how the server can prove that it still has the same file.
struct PartInfo {
  std::string link;       // as the manifest gave it
  std::string validator;  // a strong ETag or a Last-Modified date; empty: none
  std::string name;       // the file name the server gave, empty: none
};
std::string WritePartInfo(const PartInfo& info);
// Nothing when `text` is no info this program wrote.
std::optional<PartInfo> ReadPartInfo(std::string_view text);

// The validator of an answer to send back in If-Range: its ETag when that is
// a strong one, else its Last-Modified date; empty when it has neither (or
// one that could not stand in a header line).
std::string ValidatorOf(const ResponseHead& head);

// The request lines that ask for the bytes from `have` on, only if the file is
// still the one `validator` names; none when there is nothing to continue.
std::string ResumeLines(uint64_t have, std::string_view validator);

// What to do with an answer.
enum class AnswerStep {
  kWriteFromStart,  // the whole file: written from its first byte
  kAppend,          // the rest of the part: appended
  kComplete,        // the part holds all there is
  kRestart,         // the answer does not continue the part: ask for the whole file
  kHttpError,       // a status that brings no file
  kTooLarge,        // the file is larger than kPackageByteCap
};
struct AnswerPlan {
  AnswerStep step = AnswerStep::kHttpError;
  std::optional<uint64_t> expectedBytes;  // of this answer's body, when known
  std::optional<uint64_t> totalBytes;     // of the whole file, when known
  std::string why;                        // for kRestart, in plain words
};
// `have` bytes are there; `validatorSent` is what If-Range carried (empty: the
// whole file was asked for). A part is continued only by a 206 that starts
// where it ends, runs to the end of a file of a stated total, agrees with its
// Content-Length and, when the answer names a validator, names the one sent.
AnswerPlan PlanAnswer(const ResponseHead& head, uint64_t have, std::string_view validatorSent);

// How one download went, in words for standard error and a code for JSON.
struct DownloadResult {
  enum class Kind { kSaved, kResumed, kSkipped, kFailed };
  Kind kind = Kind::kFailed;
  std::string file;        // the path written, UTF-8
  uint64_t bytes = 0;      // the file's length at the end
  std::string message;     // what happened, in plain words, for standard error
  std::string reason;      // for a failure: the short code of JSON output
  int32_t httpStatus = 0;  // for a failure of reason "http_status"
};

// What a transfer left behind.
struct TransferFacts {
  bool began = false;  // an answer reached the part
  AnswerPlan plan;     // for that answer
  int32_t status = 0;  // of that answer
  FetchOutcome outcome;
  uint64_t have = 0;      // bytes of the part before the transfer
  uint64_t received = 0;  // bytes written to it in the transfer
  std::string writeError;
  bool resumable = false;  // the part now has a validator
};
enum class Verdict {
  kDone,     // the part is the whole file now
  kRestart,  // ask again for the whole file
  kFailed,   // `result` says why
};
struct TransferVerdict {
  Verdict verdict = Verdict::kFailed;
  DownloadResult result;  // kind, reason, message (for a failure), httpStatus
  bool keepPart = false;  // a failure leaves a part a later run can continue
};
// `part` is the partial file's path, `link` the package's, `idleSeconds` the
// time-out, for the message.
TransferVerdict ClassifyTransfer(const TransferFacts& facts, std::string_view link,
                                 std::string_view part, int32_t idleSeconds);

// What a download that ended well did, e.g. "resumed FILE (1.0 KiB more, 3.0
// KiB in all)"; `restarted` says why a part was fetched anew, when it was.
std::string SuccessMessage(const DownloadResult& result, uint64_t received,
                           std::string_view restarted);

// "1.5 MiB", "512 B": sizes for people.
std::string ByteCount(uint64_t bytes);

}  // namespace tobrine::cli
