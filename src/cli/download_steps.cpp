#include "cli/download_steps.h"

#include <charconv>
#include <cstdio>

#include "base/ascii.h"
#include "base/lines.h"
#include "cli/file_names.h"
#include "cli/output.h"
#include "web/http_headers.h"

namespace tobrine::cli {
namespace {

constexpr std::string_view kInfoMagic = "tobrine part 1";
// An info longer than this is none of ours: a link is at most 8 KiB.
constexpr std::size_t kInfoMax = 64 * 1024;
constexpr std::size_t kValidatorMax = 256;

std::optional<uint64_t> ReadNumber(std::string_view text) {
  text = base::TrimBlanks(text);
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || p != end || text.empty()) return std::nullopt;
  return value;
}

// Every byte that could end or split a line of the info, and '%', as %XX.
std::string Escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '%') {
      base::AppendPercentEncoded(out, u);
    } else {
      out += c;
    }
  }
  return out;
}

bool IsPrintableAscii(std::string_view text) {
  for (const char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// A strong entity tag: "..." of visible ASCII without a quote inside.
bool IsStrongEtag(std::string_view tag) {
  if (tag.size() < 2 || tag.size() > kValidatorMax || tag.front() != '"' || tag.back() != '"')
    return false;
  for (const char c : tag.substr(1, tag.size() - 2))
    if (c < 0x21 || c > 0x7E || c == '"') return false;
  return true;
}

std::string Plural(uint64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

}  // namespace

ResponseHead ReadResponseHead(std::string_view raw) {
  ResponseHead head;
  head.status = ResponseStatus(raw).value_or(0);
  if (std::string_view length = ResponseHeader(raw, "Content-Length"); !length.empty())
    head.contentLength = ReadNumber(length);
  head.disposition = std::string(ResponseHeader(raw, "Content-Disposition"));
  head.etag = std::string(ResponseHeader(raw, "ETag"));
  head.lastModified = std::string(ResponseHeader(raw, "Last-Modified"));
  head.contentRange = std::string(ResponseHeader(raw, "Content-Range"));
  std::string_view range = head.contentRange;
  if (!base::StartsWithIgnoringAsciiCase(range, "bytes ")) return head;
  range = base::TrimBlanks(range.substr(6));
  const std::size_t slash = range.find('/');
  if (slash == std::string_view::npos) return head;
  head.rangeTotal = ReadNumber(range.substr(slash + 1));
  const std::string_view span = range.substr(0, slash);
  const std::size_t dash = span.find('-');
  if (dash == std::string_view::npos) return head;
  head.rangeFirst = ReadNumber(span.substr(0, dash));
  head.rangeLast = ReadNumber(span.substr(dash + 1));
  return head;
}

std::string WritePartInfo(const PartInfo& info) {
  return std::string(kInfoMagic) + "\nlink " + Escape(info.link) + "\nvalidator " +
         Escape(info.validator) + "\nname " + Escape(info.name) + "\n";
}

std::optional<PartInfo> ReadPartInfo(std::string_view text) {
  if (text.size() > kInfoMax) return std::nullopt;
  PartInfo info;
  bool first = true, valid = true, hasLink = false;
  base::ForEachLine(text, [&](std::string_view line) {
    if (std::exchange(first, false)) {
      valid = line == kInfoMagic;
      return;
    }
    const std::size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string value = base::PercentDecode(
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1));
    if (key == "link") {
      info.link = value;
      hasLink = true;
    } else if (key == "validator") {
      info.validator = value;
    } else if (key == "name") {
      info.name = value;
    }
  });
  if (!valid || !hasLink || info.link.empty()) return std::nullopt;
  // Whoever could write the info could write anything into it: what it names
  // must still stand in a header line and be a plain name in the folder.
  if (!IsPrintableAscii(info.validator) || info.validator.size() > kValidatorMax)
    info.validator.clear();
  info.name = SafeFileName(info.name);
  return info;
}

std::string ValidatorOf(const ResponseHead& head) {
  if (IsStrongEtag(head.etag)) return head.etag;
  if (!head.lastModified.empty() && head.lastModified.size() <= kValidatorMax &&
      IsPrintableAscii(head.lastModified))
    return head.lastModified;
  return {};
}

std::string ResumeLines(uint64_t have, std::string_view validator) {
  if (have == 0 || validator.empty()) return {};
  return "Range: bytes=" + std::to_string(have) + "-\r\nIf-Range: " + std::string(validator) +
         "\r\n";
}

AnswerPlan PlanAnswer(const ResponseHead& head, uint64_t have, std::string_view validatorSent) {
  AnswerPlan plan;
  const bool rangeAsked = !validatorSent.empty();
  auto tooLarge = [&] { return plan.totalBytes && *plan.totalBytes > kPackageByteCap; };
  // When the answer names a validator of the kind sent, it must be the one sent.
  const std::string_view answered = validatorSent.starts_with('"')
                                        ? std::string_view(head.etag)
                                        : std::string_view(head.lastModified);
  const bool sameFile = answered.empty() || answered == validatorSent;
  const std::string range =
      head.contentRange.empty() ? "no Content-Range" : "Content-Range " + head.contentRange;
  if (head.status == 200) {
    plan.expectedBytes = head.contentLength;
    plan.totalBytes = head.contentLength;
    plan.step = tooLarge() ? AnswerStep::kTooLarge : AnswerStep::kWriteFromStart;
  } else if (head.status == 206 && rangeAsked) {
    plan.totalBytes = head.rangeTotal;
    const bool fits = head.rangeFirst == have && head.rangeLast && head.rangeTotal &&
                      *head.rangeLast >= have && *head.rangeLast + 1 == *head.rangeTotal;
    if (!fits) {
      plan.step = AnswerStep::kRestart;
      plan.why = "the server's " + range + " does not continue the " +
                 Plural(have, "byte", "bytes") + " here";
    } else if (head.contentLength && *head.contentLength != *head.rangeLast + 1 - have) {
      plan.step = AnswerStep::kRestart;
      plan.why = "the server's Content-Length does not agree with its " + range;
    } else if (!sameFile) {
      plan.step = AnswerStep::kRestart;
      plan.why = "the server's file has changed";
    } else {
      plan.expectedBytes = *head.rangeLast + 1 - have;
      plan.step = tooLarge() ? AnswerStep::kTooLarge : AnswerStep::kAppend;
    }
  } else if (head.status == 416 && rangeAsked) {
    // Nothing from `have` on: complete when the file is as long as the part.
    plan.totalBytes = head.rangeTotal;
    const bool complete = !head.rangeFirst && head.rangeTotal == have && sameFile;
    plan.step = complete ? AnswerStep::kComplete : AnswerStep::kRestart;
    if (!complete)
      plan.why = "the server has nothing after the " + Plural(have, "byte", "bytes") + " here (" +
                 range + ")";
  }
  return plan;
}

TransferVerdict ClassifyTransfer(const TransferFacts& f, std::string_view link,
                                 std::string_view part, int32_t idleSeconds) {
  TransferVerdict v;
  DownloadResult& r = v.result;
  const uint64_t bytes = f.have + f.received;
  r.bytes = bytes;
  // A failure keeps the part only when a later run can continue it.
  const bool keep = bytes > 0 && f.resumable;
  const std::string kept =
      keep ? "; " + ByteCount(bytes) + " kept in " + std::string(part) + ", run again to resume"
           : std::string();
  auto fail = [&](std::string reason, std::string message, bool keepPart) {
    r.reason = std::move(reason);
    r.message = std::move(message);
    v.keepPart = keepPart;
    return v;
  };
  if (!f.writeError.empty())
    return fail("file", "cannot write " + std::string(part) + ": " + f.writeError + kept, keep);
  if (f.plan.step == AnswerStep::kTooLarge || f.outcome.failure == FetchFailure::kTooLarge) {
    return fail("too_large",
                "package not fetched: it is larger than " + ByteCount(kPackageByteCap) +
                    ", the most a package may hold",
                false);
  }
  // An answer the part takes no body from ends the fetch early: how the fetch
  // ended says nothing more then.
  if (f.began && f.plan.step == AnswerStep::kRestart) {
    v.verdict = Verdict::kRestart;
    return v;
  }
  if (f.began && f.plan.step == AnswerStep::kComplete) {
    v.verdict = Verdict::kDone;
    r.kind = DownloadResult::Kind::kResumed;
    return v;
  }
  FetchOutcome outcome = f.outcome;
  if (f.began && f.plan.step == AnswerStep::kHttpError)
    outcome = {FetchFailure::kHttpStatus, f.status};
  if (!f.began && outcome.failure == FetchFailure::kNone)
    outcome.failure = FetchFailure::kOther;  // no answer reached the part
  if (outcome.failure != FetchFailure::kNone) {
    const Failure described = DescribeFailure(link, "package not fetched", outcome, idleSeconds);
    r.httpStatus = described.httpStatus;
    return fail(described.reason, described.message + kept, keep);
  }
  if (f.plan.expectedBytes && f.received != *f.plan.expectedBytes)
    return fail("short",
                "the connection ended after " + std::to_string(f.received) + " of " +
                    std::to_string(*f.plan.expectedBytes) + " bytes" + kept,
                keep);
  v.verdict = Verdict::kDone;
  r.kind = f.plan.step == AnswerStep::kWriteFromStart ? DownloadResult::Kind::kSaved
                                                      : DownloadResult::Kind::kResumed;
  return v;
}

std::string SuccessMessage(const DownloadResult& result, uint64_t received,
                           std::string_view restarted) {
  std::string message = result.kind == DownloadResult::Kind::kResumed
                            ? "resumed " + result.file + " (" + ByteCount(received) + " more, " +
                                  ByteCount(result.bytes) + " in all)"
                            : "saved " + result.file + " (" + ByteCount(result.bytes) + ")";
  if (!restarted.empty()) message += "; fetched anew: " + std::string(restarted);
  return message;
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

}  // namespace tobrine::cli
