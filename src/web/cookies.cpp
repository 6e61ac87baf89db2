#include "web/cookies.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "base/cookie_attributes.h"
#include "base/lines.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "text/markers.h"

namespace tobrine {
namespace {

constexpr std::string_view kCookieMarker = "Set-Cookie: ";

// "Thu, 01 Jan 1970 00:00:00 GMT" for a moment `seconds` from now. (The
// calendar of <chrono> cannot be used: its header does not compile for the
// program's execution character set.)
std::string HttpDate(int64_t seconds) {
  const int64_t when = static_cast<int64_t>(std::time(nullptr)) + seconds;
  const int64_t days = (when >= 0 ? when : when - 86399) / 86400;
  const int64_t secondOfDay = when - days * 86400;
  // Days since 1970-01-01 to a civil date (proleptic Gregorian).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  const int64_t weekday = ((days % 7) + 11) % 7;  // 1970-01-01 was a Thursday
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[48];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[weekday],
                static_cast<int>(day), kMonths[month - 1], static_cast<int>(year),
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60));
  return text;
}

// The cookie data to store, or nothing when the cookie must not be stored: its
// attributes as they came, except that a Max-Age (which wins over Expires)
// becomes the Expires date it stands for, so that a store that knows only dates
// drops an expired cookie too.
std::optional<std::string> DataToStore(std::string_view data, std::string_view host, bool secure) {
  const base::CookieLine cookie = base::ParseCookieLine(data);
  if (!cookie.domain.empty() && !base::CookieDomainCovers(cookie.domain, host)) return std::nullopt;
  if (cookie.secure && !secure) return std::nullopt;
  std::string out(cookie.pair);
  for (const base::CookieAttribute& a : cookie.attributes) {
    if (cookie.maxAge && (base::EqualsIgnoringAsciiCase(a.name, "Max-Age") ||
                          base::EqualsIgnoringAsciiCase(a.name, "Expires")))
      continue;
    out += "; ";
    out += a.text;
  }
  if (cookie.maxAge)
    out += "; expires=" + HttpDate(*cookie.maxAge <= 0 ? -86400 * 365 : *cookie.maxAge);
  return out;
}

void StoreCookie(std::string_view host, bool secure, TextValue& line) {
  int32_t e = FindText(line, "=");
  TextValue name = LeftText(line, e - 1);
  const std::optional<std::string> data =
      DataToStore(RightText(line, TextLength(line) - e).view(), host, secure);
  if (!data) return;
  TextValue site = JoinTexts(std::string_view(secure ? "https://" : "http://"), host);
  TextValue value = TextValue::FromBytes(*data);
  // The store's answer is not looked at: the cookie is in the received text
  // whether or not it could be stored.
  CallExternal<kExtInternetSetCookieA>(site.c_str(), name.c_str(), value.c_str());
}

}  // namespace

TextValue CollectCookies(std::string_view headerText, std::string_view host, bool secure) {
  if (FindText(headerText, kCookieMarker, 1, true) == -1) return {};
  std::string result;
  TextValue semicolon = TextValue::Literal(";");
  base::ForEachLine(headerText, [&](std::string_view raw) {
    if (FindText(raw, kCookieMarker, 1, true) == -1) return;
    TextValue line = RightText(raw, TextLength(raw) - static_cast<int32_t>(kCookieMarker.size()));
    result += TextBefore(line, semicolon).view();
    result += ';';
    StoreCookie(host, secure, line);
  });
  return TextValue::FromBytes(result);
}

}  // namespace tobrine
