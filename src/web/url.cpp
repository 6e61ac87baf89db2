#include "web/url.h"

#include <algorithm>

#include "runtime/commands.h"

namespace tobrine {
namespace {

// The address without its scheme, cut before the first "/" and after the last
// "@" before it (user name and password are not part of host or port).
std::string_view Authority(std::string_view address) {
  std::string_view rest = address.substr(static_cast<std::size_t>(WebSchemeLength(address)));
  rest = rest.substr(0, rest.find('/'));
  if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  return rest;
}

// Where the port text starts in an authority (after its ":"), or npos. The
// colons of an IPv6 literal are not the port's.
std::size_t PortColon(std::string_view authority) {
  std::size_t from = 0;
  if (!authority.empty() && authority.front() == '[') {
    from = authority.find(']');
    if (from == std::string_view::npos) return std::string_view::npos;
  }
  return authority.find(':', from);
}

// Non-ASCII, control characters, space and DEL: all but 0x21-0x7E.
bool NeedsPercentEncoding(char c) {
  return static_cast<unsigned char>(c - 0x21) >= 0x5E;
}

}  // namespace

int32_t WebSchemeLength(std::string_view address) {
  if (CompareText(LeftText(address, 8), "https://", false) == 0) return 8;
  if (CompareText(LeftText(address, 7), "http://", false) == 0) return 7;
  return 0;
}

TextValue UrlHost(std::string_view address) {
  const std::string_view authority = Authority(address);
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    return ToLowerCase(authority.substr(0, close == std::string_view::npos ? 0 : close + 1));
  }
  TextValue work = RightText(address, TextLength(address) - WebSchemeLength(address));
  work = ReplaceSubtext(work, "https://", std::nullopt, std::nullopt, std::nullopt, true);
  work = ReplaceSubtext(work, "http://", std::nullopt, std::nullopt, std::nullopt, true);
  int32_t slash = FindText(work, "/");
  if (slash > 0) work = LeftText(work, slash - 1);
  for (int32_t at = FindText(work, "@"); at > 0; at = FindText(work, "@"))
    work = RightText(work, work.size() - at);
  int32_t colon = FindText(work, ":");
  if (colon > 0) work = LeftText(work, colon - 1);
  return ToLowerCase(work);
}

TextValue UrlObjectPath(std::string_view address) {
  // From the first "/" after the scheme: a host that also occurs earlier in the
  // address (in the scheme, say) cannot move it.
  const std::size_t scheme = static_cast<std::size_t>(WebSchemeLength(address));
  const std::size_t slash = address.find('/', scheme);
  if (slash == std::string_view::npos) return TextValue::Literal("/");
  return TextValue::FromBytes(PercentEncodeAddress(address.substr(slash)));
}

int32_t UrlPort(std::string_view address) {
  const std::string_view authority = Authority(address);
  const std::size_t colon = PortColon(authority);
  const std::string_view port =
      colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
  if (port.empty()) return IsSecureAddress(address) ? 443 : 80;
  // Digits only, and never more than 65535: no wrapping into another port.
  if (port.size() > 5) return 0;
  int32_t value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535 ? value : 0;
}

bool IsFetchableAddress(std::string_view address) {
  if (!HasWebScheme(address) || address.size() > static_cast<std::size_t>(kMaxAddressBytes))
    return false;
  for (char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
  }
  const std::string_view authority = Authority(address);
  if (!authority.empty() && authority.front() == '[' &&
      authority.find(']') == std::string_view::npos)
    return false;
  return !UrlHost(address).empty() && UrlPort(address) != 0;
}

std::string PercentEncodeAddress(std::string_view address) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Most addresses need nothing: they are copied whole.
  const std::size_t first = static_cast<std::size_t>(
      std::find_if(address.begin(), address.end(), NeedsPercentEncoding) - address.begin());
  if (first == address.size()) return std::string(address);
  std::string out;
  out.reserve(address.size() + 32);
  out.append(address.substr(0, first));
  for (char c : address.substr(first)) {
    const auto u = static_cast<unsigned char>(c);
    if (NeedsPercentEncoding(c)) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string ResolveLocation(std::string_view base, std::string_view location) {
  if (location.empty()) return {};
  if (HasWebScheme(location)) return std::string(location);
  const std::size_t scheme = static_cast<std::size_t>(WebSchemeLength(base));
  if (location.substr(0, 2) == "//") {
    const std::string_view schemeText = scheme ? base.substr(0, scheme - 2) : "http:";
    return std::string(schemeText) + std::string(location);
  }
  const std::size_t pathStart = std::min(base.find('/', scheme), base.size());
  const std::string_view origin = base.substr(0, pathStart);
  if (location.front() == '/') return std::string(origin) + std::string(location);
  // Beside the last segment of the base's path (its query left out).
  std::string_view path = base.substr(pathStart);
  path = path.substr(0, path.find_first_of("?#"));
  const std::size_t lastSlash = path.rfind('/');
  const std::string_view directory =
      lastSlash == std::string_view::npos ? "/" : path.substr(0, lastSlash + 1);
  return std::string(origin) + std::string(directory) + std::string(location);
}

}  // namespace tobrine
