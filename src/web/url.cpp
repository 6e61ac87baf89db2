#include "web/url.h"

#include "runtime/commands.h"

namespace tobrine {
namespace {

// The address without its scheme, cut before the first "/" and after the last
// "@" before it (user name and password are not part of host or port).
TextValue Authority(std::string_view address) {
  TextValue rest = RightText(address, TextLength(address) - WebSchemeLength(address));
  int32_t slash = FindText(rest, "/");
  if (slash > 0) rest = LeftText(rest, slash - 1);
  for (int32_t at = FindText(rest, "@"); at > 0; at = FindText(rest, "@"))
    rest = RightText(rest, rest.size() - at);
  return rest;
}

}  // namespace

int32_t WebSchemeLength(std::string_view address) {
  if (CompareText(LeftText(address, 8), "https://", false) == 0) return 8;
  if (CompareText(LeftText(address, 7), "http://", false) == 0) return 7;
  return 0;
}

TextValue UrlHost(std::string_view address) {
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
  TextValue host = UrlHost(address);
  int32_t h = FindText(address, host, std::nullopt, true);
  int32_t s = FindText(address, "/", h > 0 ? std::optional<int32_t>(h) : std::nullopt, true);
  if (s > 0) return RightText(address, TextLength(address) - s + 1);
  return TextValue::Literal("/");
}

int32_t UrlPort(std::string_view address) {
  TextValue authority = Authority(address);
  int32_t colon = FindText(authority, ":");
  if (colon <= 0) return IsSecureAddress(address) ? 443 : 80;
  TextValue port = RightText(authority, authority.size() - colon);
  if (port.empty()) return 0;
  return static_cast<int32_t>(TruncateToInteger(ToNumber(Value::Text(port))));
}

}  // namespace tobrine
