// A cookie as a Set-Cookie line gives it: "name=value; Domain=…; Path=…;
// Secure; Max-Age=…; Expires=…", read the same way wherever a cookie is
// stored (the web layer, and the Linux stand-in's cookie store). Header-only,
// and includes nothing outside base/, so that the lowest layer can use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/lines.h"

namespace tobrine::base {

struct CookieAttribute {
  std::string_view text;  // as it came, blanks around it trimmed
  std::string_view name, value;
};

struct CookieLine {
  std::string_view pair;                    // the text before the first ";": "name=value"
  std::vector<CookieAttribute> attributes;  // the rest, in order
  // The attributes that count (the last of each, Max-Age over Expires):
  std::string_view domain;  // without a leading dot; empty when none is given
  std::string_view path;    // empty when none is given
  bool secure = false;
  std::optional<int64_t> maxAge;  // seconds; 0 or less: expired already
  std::string_view expires;       // the date as written, when there is no Max-Age
};

// A Max-Age value: an optional "-" and digits (held at 2^40), else nothing.
inline std::optional<int64_t> CookieMaxAge(std::string_view value) {
  const bool negative = !value.empty() && value.front() == '-';
  if (negative) value.remove_prefix(1);
  if (value.empty()) return std::nullopt;
  int64_t seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
    if (seconds > (int64_t{1} << 40)) seconds = int64_t{1} << 40;
  }
  return negative ? -seconds : seconds;
}

// Reads "pair; attribute; name=value; …" (the part of a Set-Cookie line after
// its header name).
inline CookieLine ParseCookieLine(std::string_view line) {
  CookieLine c;
  const std::size_t semicolon = line.find(';');
  c.pair = line.substr(0, semicolon);
  for (std::size_t p = semicolon; p != std::string_view::npos;) {
    const std::size_t e = line.find(';', p + 1);
    CookieAttribute a;
    a.text = TrimBlanks(line.substr(p + 1, e == std::string_view::npos ? e : e - p - 1));
    p = e;
    const std::size_t eq = a.text.find('=');
    a.name = TrimBlanks(a.text.substr(0, eq));
    a.value = eq == std::string_view::npos ? std::string_view() : TrimBlanks(a.text.substr(eq + 1));
    c.attributes.push_back(a);
    if (EqualsIgnoringAsciiCase(a.name, "Domain") && !a.value.empty()) {
      c.domain = a.value.front() == '.' ? a.value.substr(1) : a.value;
    } else if (EqualsIgnoringAsciiCase(a.name, "Path") && !a.value.empty()) {
      c.path = a.value;
    } else if (EqualsIgnoringAsciiCase(a.name, "Secure")) {
      c.secure = true;
    } else if (EqualsIgnoringAsciiCase(a.name, "Max-Age")) {
      if (std::optional<int64_t> seconds = CookieMaxAge(a.value)) c.maxAge = seconds;
    } else if (EqualsIgnoringAsciiCase(a.name, "Expires")) {
      c.expires = a.value;
    }
  }
  if (c.maxAge) c.expires = {};
  return c;
}

// Whether the host is an IP address as a parsed address writes it (dotted
// IPv4 or a bracketed IPv6 literal): it takes host-only cookies.
inline bool IsIpAddressHost(std::string_view host) {
  if (!host.empty() && host.front() == '[') return true;
  if (host.empty() || host.back() == '.') return false;
  for (char c : host)
    if ((c < '0' || c > '9') && c != '.') return false;
  return true;
}

// Whether a cookie's domain (no leading dot) covers the host: the host itself,
// or, for a host that is no IP address, a host below it.
inline bool CookieDomainCovers(std::string_view domain, std::string_view host) {
  if (domain.empty()) return false;
  if (EqualsIgnoringAsciiCase(domain, host)) return true;
  return !IsIpAddressHost(host) && host.size() > domain.size() + 1 &&
         host[host.size() - domain.size() - 1] == '.' &&
         EqualsIgnoringAsciiCase(host.substr(host.size() - domain.size()), domain);
}

}  // namespace tobrine::base
