#include "web/http_headers.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/lines.h"
#include "runtime/commands.h"
#include "web/url.h"

namespace tobrine {
namespace {

constexpr std::string_view kAcceptLine =
    "Accept: image/gif, image/bmp, image/x-xbitmap, image/jpeg, image/pjpeg, "
    "application/x-shockwave-flash, application/vnd.ms-excel, application/vnd.ms-powerpoint, "
    "application/msword, */*\r\n";
constexpr std::string_view kLanguageLine = "Accept-Language: zh-cn\r\n";
constexpr std::string_view kContentTypeLine = "Content-Type: application/x-www-form-urlencoded\r\n";
constexpr std::string_view kCrLf = "\r\n";

bool Contains(std::string_view block, std::string_view word) {
  return FindText(block, word, 1, true) != -1;
}

// `lines` with every byte after the first ':' of each line, up to its CR LF,
// made a space; the same length, so a position in it is one in `lines`.
std::string WithoutValues(std::string_view lines) {
  std::string probe(lines);
  for (std::size_t start = 0; start < probe.size();) {
    std::size_t end = probe.find(kCrLf, start);
    if (end == std::string::npos) end = probe.size();
    const std::size_t colon = probe.find(':', start);
    if (colon < end)
      std::fill(probe.begin() + static_cast<std::ptrdiff_t>(colon) + 1,
                probe.begin() + static_cast<std::ptrdiff_t>(end), ' ');
    start = end + kCrLf.size();
  }
  return probe;
}

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// Lines that end in CR LF and nowhere else; a tab is the one control character
// a header value may hold.
bool HeaderLinesAreSafe(std::string_view block) {
  for (std::size_t i = 0; i < block.size(); ++i) {
    const char c = block[i];
    if (c == '\r') {
      if (i + 1 >= block.size() || block[i + 1] != '\n') return false;
      ++i;
    } else if (c != '\t' && IsControl(c)) {
      return false;
    }
  }
  return true;
}

bool HasNoControl(std::string_view text) {
  for (char c : text)
    if (IsControl(c)) return false;
  return true;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool RequestTextsAreSafe(const ExchangeRequest& request) {
  // The address as sent: parsed already, so printable ASCII only.
  for (char c : request.address.view())
    if (c == ' ' || IsControl(c) || static_cast<unsigned char>(c) >= 0x80) return false;
  if (!IsFetchableAddress(request.address)) return false;
  if (!HeaderLinesAreSafe(request.extraHeaders) || !HasNoControl(request.cookies)) return false;
  for (char c : request.proxy.view())
    if (c == ' ' || IsControl(c)) return false;
  return true;
}

TextValue ComposeRequestHeaders(const ExchangeRequest& request, bool withCookies) {
  const std::string_view verb = request.verb;
  std::string block(request.extraHeaders.view());
  // The words are looked for in `probe`, the block with the values of the
  // caller's lines blanked: a value is one value, so an agent string such as
  // "xRefererNoy" or "MyAccept/1.0" changes no other line.
  std::string probe = WithoutValues(block);
  auto append = [&](std::string_view line) {
    block += line;
    probe += line;
  };
  if (!Contains(probe, "Accept")) append(kAcceptLine);
  if (Contains(probe, "RefererNo")) {
    if (const int32_t at = FindText(probe, "RefererNo", 1, false); at > 0) {
      block.erase(static_cast<std::size_t>(at - 1), 9);
      probe.erase(static_cast<std::size_t>(at - 1), 9);
    }
  } else if (!Contains(probe, "Referer")) {
    append("Referer: " + std::string(request.address.view()) + std::string(kCrLf));
  }
  if (!Contains(probe, "Accept-Language")) append(kLanguageLine);
  if (verb == "POST" && !request.postBody.empty()) {
    if (!Contains(probe, "Content-Type")) append(kContentTypeLine);
    if (!Contains(probe, "Content-Length"))
      append("Content-Length: " + std::to_string(request.postBody.size()) + std::string(kCrLf));
  }
  if (withCookies && (verb == "GET" || verb == "POST") && !request.cookies.empty())
    append("Cookie: " + std::string(request.cookies.view()) + "\r\n\r\n");
  return TextValue::FromBytes(block);
}

std::optional<int32_t> ResponseStatus(std::string_view rawHeaders) {
  std::string_view line = rawHeaders.substr(0, rawHeaders.find_first_of("\r\n"));
  // "HTTP/1.1 200" (or "HTTP/2 200", as an HTTP/2 response's status reads) at
  // least, then the end of the line or a space.
  if (line.size() < 7 || line.substr(0, 5) != "HTTP/" || !IsDigit(line[5])) return std::nullopt;
  line.remove_prefix(line[6] == '.' && line.size() > 7 && IsDigit(line[7]) ? 8 : 6);
  if (line.size() < 4 || line[0] != ' ' || !IsDigit(line[1]) || !IsDigit(line[2]) ||
      !IsDigit(line[3]) || (line.size() > 4 && line[4] != ' '))
    return std::nullopt;
  return (line[1] - '0') * 100 + (line[2] - '0') * 10 + (line[3] - '0');
}

std::string_view ResponseHeader(std::string_view rawHeaders, std::string_view name) {
  std::string_view found;
  bool first = true, done = false;
  base::ForEachLine(rawHeaders, [&](std::string_view line) {
    if (std::exchange(first, false) || done) return;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    if (CompareText(base::TrimBlanks(line.substr(0, colon)), name, false) != 0) return;
    found = base::TrimBlanks(line.substr(colon + 1));
    done = true;
  });
  return found;
}

}  // namespace tobrine
