// Web addresses parsed as browsers parse them (the URL standard's basic parser)
// for the two schemes the program fetches, http and https: whitespace and
// control characters, backslashes, dot segments, the percent-encode set of each
// part, IPv4 and IPv6 hosts, ports, credentials, and international domain
// names (UTS #46). The input is UTF-8; what comes out is ASCII.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tobrine {

// Why an address cannot be parsed (or fetched).
enum class AddressFault {
  kNone,
  kNoScheme,     // neither http: nor https: in front, and no address to go from
  kOtherScheme,  // a scheme other than http or https
  kNoHost,
  kBadHost,    // a character no host may hold
  kBadDomain,  // not a valid international domain name
  kBadIpv4,
  kBadIpv6,
  kBadPort,   // not a number up to 65535
  kPortZero,  // parsed, but nothing listens on port 0
  kTooLong,   // longer than a request may be
};

// A parsed http or https address. Every part is ASCII, percent-encoded where
// the standard says so.
struct WebAddress {
  bool secure = false;  // https
  std::string username, password;
  std::string host;   // a lower-case domain (punycode), dotted IPv4, or "[IPv6]"
  int32_t port = -1;  // -1: the scheme's default
  std::string path;   // "/" and the segments, each after a "/"
  std::optional<std::string> query, fragment;  // without "?" and "#"

  int32_t EffectivePort() const { return port >= 0 ? port : secure ? 443 : 80; }
  // The request target: the path, and "?" and the query when there is one.
  std::string Target() const;
  // "scheme://host[:port]" + Target(): what is fetched (no credentials, no
  // fragment).
  std::string RequestAddress() const;
  // The whole address as the standard writes it.
  std::string Href() const;
};

struct ParsedAddress {
  WebAddress address;
  AddressFault fault = AddressFault::kNone;
  explicit operator bool() const { return fault == AddressFault::kNone; }
};

// Parses `input` (UTF-8) as an http or https address, against `base` when it
// is relative.
ParsedAddress ParseWebAddress(std::string_view input, const WebAddress* base = nullptr);

// The host part of an address as the standard parses a special one: an IPv6
// literal in brackets, else a domain (percent-decoded, mapped to ASCII) that
// may be an IPv4 address in any of its forms. `fault` tells why when nothing
// comes back.
std::optional<std::string> ParseHost(std::string_view input, AddressFault& fault);

}  // namespace tobrine
