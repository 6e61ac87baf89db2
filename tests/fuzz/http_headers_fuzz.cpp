// Fuzz target: the HTTP header texts. The input is split at its first three
// NUL bytes into the raw response headers, the address, the extra header lines
// and the cookie text. Reading the response headers must stay inside them and
// give a status of three digits; a request whose texts pass the check must
// compose into a block where every CR and LF is part of a CR LF and no line
// but the caller's and the exchange's own appears.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/http_headers.h"
#include "web/url.h"

using namespace tobrine;

namespace {

std::string_view Next(std::string_view& input) {
  const std::size_t nul = input.find('\0');
  std::string_view part = input.substr(0, nul);
  input = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  return part;
}

std::size_t CrLfLines(std::string_view block) {
  std::size_t n = 0;
  for (std::size_t p = 0; (p = block.find("\r\n", p)) != std::string_view::npos; p += 2) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view raw = Next(input);
  const std::string_view address = Next(input);
  const std::string_view extra = Next(input);
  const std::string_view cookies = input;

  if (auto status = ResponseStatus(raw); status && (*status < 0 || *status > 999)) __builtin_trap();
  const std::string_view location = ResponseHeader(raw, "Location");
  if (location.data() &&
      (location.data() < raw.data() || location.data() + location.size() > raw.data() + raw.size()))
    __builtin_trap();
  (void)ResolveLocation(address, location);

  ExchangeRequest request;
  request.address = TextValue::FromBytes(address);
  request.verb = TextValue::Literal(size % 2 ? "GET" : "POST");
  request.extraHeaders = TextValue::FromBytes(extra);
  request.cookies = TextValue::FromBytes(cookies);
  request.postBody = ByteBlock::FromBytes(cookies);
  if (!RequestTextsAreSafe(request)) return 0;
  const TextValue block = ComposeRequestHeaders(request);
  const std::string_view b = block.view();
  const std::size_t lines = CrLfLines(b);
  if (static_cast<std::size_t>(std::count(b.begin(), b.end(), '\r')) != lines ||
      static_cast<std::size_t>(std::count(b.begin(), b.end(), '\n')) != lines)
    __builtin_trap();
  // The caller's lines, and at most Accept, Referer, Accept-Language,
  // Content-Type, Content-Length and the cookie line with its blank line.
  if (lines > CrLfLines(request.extraHeaders.view()) + 7) __builtin_trap();
  return 0;
}
