// What the command line prints: the rows as text or as JSON Lines, and its
// messages, as UTF-8 with no control character from a server left raw, so that
// a page cannot clear the screen, retitle the terminal or forge a row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lookup/lookup.h"
#include "web/fetch_outcome.h"

namespace tobrine::cli {

// UTF-8 text with every control character (C0, DEL and the C1 range
// U+0080..U+009F) written as \xHH, one escape per byte of its encoding.
std::string EscapeControls(std::string_view utf8);

// An address as the lookup holds it (code page 936) as UTF-8.
std::string AddressText(std::string_view cp936);
// A text a manifest gives (link, title, ...) as UTF-8: as it stands when it is
// well-formed UTF-8, as every property list is; else read as code page 936.
std::string ManifestText(std::string_view bytes);

// "number<TAB>text" for a row; with a prefix (the page address when several
// were given), "prefix<TAB>number<TAB>text". Ends in a line feed. UTF-8 in,
// control characters escaped.
std::string TextRow(std::string_view prefix, int32_t row, std::string_view text);

// One JSON line (ending in a line feed) per package: page, manifest, link, row,
// and title, bundle_id and version when the manifest has them.
std::string JsonPackage(const lookup::PackageRow& package, int32_t row);
// One JSON line per manifest address of a dry run: page, manifest, row.
std::string JsonManifest(std::string_view page, std::string_view manifest, int32_t row);

// One failure: what went wrong in plain words and where.
struct Failure {
  std::string address;  // as fetched, code page 936
  std::string message;  // UTF-8, plain words, no control character
  std::string reason;   // a short code for scripts, e.g. "timeout", "http_status"
  int32_t httpStatus = 0;
};
// A failed fetch in plain words, e.g. "page not fetched: no answer within 5
// seconds (time-out)"; `what` says what was fetched.
Failure DescribeFailure(std::string_view address, std::string_view what,
                        const FetchOutcome& outcome, int32_t timeoutSeconds);
// {"error", "address", "reason"[, "http_status"]} as one JSON line.
std::string JsonFailure(const Failure& failure);
// "tobrine: ADDRESS: MESSAGE" as one line.
std::string TextFailure(const Failure& failure);

// One download's end: {"link", "file", "bytes", "result"} as one JSON line.
std::string JsonDownload(std::string_view link, std::string_view file, uint64_t bytes,
                         std::string_view result);

}  // namespace tobrine::cli
