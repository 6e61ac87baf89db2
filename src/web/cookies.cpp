#include "web/cookies.h"

#include <string>

#include "platform/lines.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "web/markers.h"

namespace tobrine {
namespace {

constexpr std::string_view kCookieMarker = "Set-Cookie: ";

void StoreCookie(std::string_view host, TextValue& line) {
  int32_t e = FindText(line, "=");
  TextValue name = LeftText(line, e - 1);
  TextValue data = RightText(line, TextLength(line) - e);
  TextValue site = JoinTexts(std::string_view("http://"), host);
  // The store's answer is not looked at: the cookie is in the received text
  // whether or not it could be stored.
  CallExternal<kExtInternetSetCookieA>(site.c_str(), name.c_str(), data.c_str());
}

}  // namespace

TextValue CollectCookies(std::string_view headerText, std::string_view host) {
  if (FindText(headerText, kCookieMarker, 1, true) == -1) return {};
  std::string result;
  TextValue semicolon = TextValue::Literal(";");
  platform::ForEachLine(headerText, [&](std::string_view raw) {
    if (FindText(raw, kCookieMarker, 1, true) == -1) return;
    TextValue line = RightText(raw, TextLength(raw) - static_cast<int32_t>(kCookieMarker.size()));
    result += TextBefore(line, semicolon).view();
    result += ';';
    StoreCookie(host, line);
  });
  return TextValue::FromBytes(result);
}

}  // namespace tobrine
