#include "web/cookies.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "base/lines.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "text/markers.h"

namespace tobrine {
namespace {

constexpr std::string_view kCookieMarker = "Set-Cookie: ";

bool IEquals(std::string_view a, std::string_view b) {
  return CompareText(a, b, false) == 0;
}

// Whether a Domain attribute covers the host: the host itself, or a host below
// it ("a.example.com" under "example.com"). A leading dot does not count.
bool DomainCovers(std::string_view domain, std::string_view host) {
  if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  if (domain.empty()) return false;
  if (IEquals(domain, host)) return true;
  return host.size() > domain.size() + 1 && host[host.size() - domain.size() - 1] == '.' &&
         IEquals(host.substr(host.size() - domain.size()), domain);
}

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

// A Max-Age in seconds (a past one as -1), or nothing when the text is none.
std::optional<int64_t> MaxAgeSeconds(std::string_view value) {
  bool negative = !value.empty() && value.front() == '-';
  if (negative) value.remove_prefix(1);
  if (value.empty()) return std::nullopt;
  int64_t seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = std::min<int64_t>(seconds * 10 + (c - '0'), int64_t{1} << 40);
  }
  return negative || seconds == 0 ? -1 : seconds;
}

// The cookie data to store, or nothing when the cookie must not be stored: its
// attributes as they came, except that a Max-Age (which wins over Expires)
// becomes the Expires date it stands for, so that a store that knows only dates
// drops an expired cookie too.
std::optional<std::string> DataToStore(std::string_view data, std::string_view host, bool secure) {
  struct Attribute {
    std::string_view text, name, value;
  };
  std::vector<Attribute> attributes;
  std::optional<int64_t> maxAge;
  const std::size_t semicolon = data.find(';');
  for (std::size_t p = semicolon; p != std::string_view::npos;) {
    const std::size_t e = data.find(';', p + 1);
    Attribute a;
    a.text = base::TrimBlanks(data.substr(p + 1, e == std::string_view::npos ? e : e - p - 1));
    p = e;
    const std::size_t eq = a.text.find('=');
    a.name = base::TrimBlanks(a.text.substr(0, eq));
    a.value =
        eq == std::string_view::npos ? std::string_view() : base::TrimBlanks(a.text.substr(eq + 1));
    if (IEquals(a.name, "Domain") && !a.value.empty() && !DomainCovers(a.value, host))
      return std::nullopt;
    if (IEquals(a.name, "Secure") && !secure) return std::nullopt;
    if (IEquals(a.name, "Max-Age"))
      if (std::optional<int64_t> seconds = MaxAgeSeconds(a.value)) maxAge = seconds;
    attributes.push_back(a);
  }
  std::string out(data.substr(0, semicolon));
  for (const Attribute& a : attributes) {
    if (maxAge && (IEquals(a.name, "Max-Age") || IEquals(a.name, "Expires"))) continue;
    out += "; ";
    out += a.text;
  }
  if (maxAge) out += "; expires=" + HttpDate(*maxAge < 0 ? -86400 * 365 : *maxAge);
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
