#include "web/url.h"

#include <algorithm>

#include "base/ascii.h"
#include "platform/system.h"
#include "runtime/commands.h"
#include "text/utf8.h"

namespace tobrine {
namespace {

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The scheme the address names and the text after its ":", as the parser
// reads them: leading blanks skipped, tabs and line breaks left out.
struct SchemeAndRest {
  std::string scheme;  // lower case; empty when there is none
  std::string rest;    // the first two characters after the ":"
};

SchemeAndRest SchemeOf(std::string_view address) {
  SchemeAndRest out;
  std::size_t i = 0;
  while (i < address.size() && static_cast<unsigned char>(address[i]) <= 0x20) ++i;
  std::string scheme;
  for (; i < address.size(); ++i) {
    const char c = address[i];
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (c == ':') break;
    const bool allowed =
        IsAlpha(c) ||
        (!scheme.empty() && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
    if (!allowed) return out;
    scheme += static_cast<char>(IsAlpha(c) ? c | 0x20 : c);
  }
  if (i == address.size() || scheme.empty()) return out;
  for (++i; i < address.size() && out.rest.size() < 2; ++i)
    if (address[i] != '\t' && address[i] != '\n' && address[i] != '\r') out.rest += address[i];
  out.scheme = std::move(scheme);
  return out;
}

// The text as UTF-8: as it is when it is well-formed UTF-8, else read as code
// page 936 (a page or a user in that code page wrote it).
std::string AsUtf8(std::string_view text) {
  if (text::IsValidUtf8(text)) return std::string(text);
  return platform::Cp936ToUtf8(text);
}

// The checks a parsed address must pass to be fetched.
ParsedAddress Fetchable(ParsedAddress parsed) {
  if (!parsed) return parsed;
  if (parsed.address.port == 0) return {{}, AddressFault::kPortZero};
  if (parsed.address.RequestAddress().size() > static_cast<std::size_t>(kMaxAddressBytes))
    return {{}, AddressFault::kTooLong};
  return parsed;
}

// Non-ASCII, control characters, space and DEL: all but 0x21-0x7E.
bool NeedsPercentEncoding(char c) {
  return static_cast<unsigned char>(c - 0x21) >= 0x5E;
}

std::string PercentEncoded(std::string_view address) {
  // Most need nothing, and a long one is copied whole.
  const auto first = std::find_if(address.begin(), address.end(), NeedsPercentEncoding);
  std::string out(address.begin(), first);
  out.reserve(address.size());
  for (char c : address.substr(static_cast<std::size_t>(first - address.begin()))) {
    if (NeedsPercentEncoding(c)) {
      base::AppendPercentEncoded(out, static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool NamesScheme(std::string_view address) {
  const SchemeAndRest s = SchemeOf(address);
  return s.scheme == "http" || s.scheme == "https" || (!s.scheme.empty() && s.rest == "//");
}

std::string WithScheme(std::string_view address) {
  if (NamesScheme(address)) return std::string(address);
  // In front of the address itself: blanks before it would end up in the host.
  while (!address.empty() && static_cast<unsigned char>(address.front()) <= 0x20)
    address.remove_prefix(1);
  return "http://" + std::string(address);
}

ParsedAddress ParseFetchAddress(std::string_view address) {
  if (address.size() > kMaxAddressInputBytes) return {{}, AddressFault::kTooLong};
  return Fetchable(ParseWebAddress(AsUtf8(WithScheme(address))));
}

std::string AddressAsFetched(std::string_view address) {
  const ParsedAddress parsed = ParseFetchAddress(address);
  if (parsed) return parsed.address.RequestAddress();
  // Too long to be read at all: its printable form is longer still.
  if (address.size() > kMaxAddressInputBytes) return PercentEncoded(WithScheme(address));
  // The text the parser read (as UTF-8, without the blanks around it and the
  // tabs and line breaks in it), so that its printable form is refused again.
  std::string read = AsUtf8(WithScheme(address));
  std::erase_if(read, [](char c) { return c == '\t' || c == '\n' || c == '\r'; });
  std::string_view kept = read;
  while (!kept.empty() && static_cast<unsigned char>(kept.front()) <= 0x20) kept.remove_prefix(1);
  while (!kept.empty() && static_cast<unsigned char>(kept.back()) <= 0x20) kept.remove_suffix(1);
  return PercentEncoded(kept);
}

ParsedAddress ResolveLocation(std::string_view base, std::string_view location) {
  const ParsedAddress from = ParseFetchAddress(base);
  if (!from) return from;
  if (location.size() > kMaxAddressInputBytes) return {{}, AddressFault::kTooLong};
  return Fetchable(ParseWebAddress(AsUtf8(location), &from.address));
}

TextValue UrlHost(std::string_view address) {
  return TextValue::FromBytes(ParseFetchAddress(address).address.host);
}

TextValue UrlObjectPath(std::string_view address) {
  const ParsedAddress parsed = ParseFetchAddress(address);
  return parsed ? TextValue::FromBytes(parsed.address.Target()) : TextValue::Literal("/");
}

int32_t UrlPort(std::string_view address) {
  const ParsedAddress parsed = ParseFetchAddress(address);
  return parsed ? parsed.address.EffectivePort() : 0;
}

int32_t WebSchemeLength(std::string_view address) {
  if (CompareText(LeftText(address, 8), "https://", false) == 0) return 8;
  if (CompareText(LeftText(address, 7), "http://", false) == 0) return 7;
  return 0;
}

std::string_view AddressFaultText(AddressFault fault) {
  switch (fault) {
    case AddressFault::kNone:
      return "";
    case AddressFault::kNoScheme:
      return "no http:// or https:// address";
    case AddressFault::kOtherScheme:
      return "not an http or https address";
    case AddressFault::kNoHost:
      return "no host";
    case AddressFault::kBadHost:
      return "the host holds a character no host may hold";
    case AddressFault::kBadDomain:
      return "the host is not a valid domain name";
    case AddressFault::kBadIpv4:
      return "the host is not a valid IPv4 address";
    case AddressFault::kBadIpv6:
      return "the host is not a valid IPv6 address";
    case AddressFault::kBadPort:
      return "the port is not a number from 1 to 65535";
    case AddressFault::kPortZero:
      return "port 0 cannot be fetched";
    case AddressFault::kTooLong:
      return "the address is longer than 8 KiB";
  }
  return "";
}

}  // namespace tobrine
