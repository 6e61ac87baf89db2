// Web addresses as browsers parse them, measured with the URL test data of the
// Web Platform Tests (the suite browsers test their own parsers with).
#include "web/web_address.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_platform.h"
#include "text/utf8.h"
#include "web/url.h"

#ifndef TOBRINE_WPT_URL_DATA
#error "TOBRINE_WPT_URL_DATA must name urltestdata.json"
#endif

namespace tobrine {
namespace {

// The test data's entries: objects of strings (or null or true), with comments
// between them as plain strings, which are left out.
using Entry = std::map<std::string, std::optional<std::string>>;

// Just enough JSON for the test data: an array of strings and flat objects.
// Strings come out as UTF-8; an unpaired surrogate becomes U+FFFD, as it does
// when a browser hands a string to its URL parser.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::optional<std::vector<Entry>> Entries() {
    std::vector<Entry> entries;
    if (!Take('[')) return std::nullopt;
    while (!Take(']')) {
      if (Peek() == '"') {
        if (!String()) return std::nullopt;
      } else if (std::optional<Entry> e = Object()) {
        entries.push_back(std::move(*e));
      } else {
        return std::nullopt;
      }
      Take(',');
      if (p_ >= text_.size()) return std::nullopt;
    }
    return entries;
  }

 private:
  char Peek() {
    while (p_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[p_]))) ++p_;
    return p_ < text_.size() ? text_[p_] : '\0';
  }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++p_;
    return true;
  }
  std::optional<Entry> Object() {
    Entry e;
    if (!Take('{')) return std::nullopt;
    while (!Take('}')) {
      std::optional<std::string> key = String();
      if (!key || !Take(':')) return std::nullopt;
      if (Peek() == '"') {
        std::optional<std::string> value = String();
        if (!value) return std::nullopt;
        e[*key] = std::move(value);
      } else if (text_.substr(p_, 4) == "null") {
        e[*key] = std::nullopt;
        p_ += 4;
      } else if (text_.substr(p_, 4) == "true") {
        e[*key] = "true";
        p_ += 4;
      } else if (text_.substr(p_, 5) == "false") {
        e[*key] = "false";
        p_ += 5;
      } else {
        return std::nullopt;
      }
      Take(',');
      if (p_ >= text_.size()) return std::nullopt;
    }
    return e;
  }
  std::optional<uint32_t> Hex4() {
    if (p_ + 4 > text_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[p_++];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return std::nullopt;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
  }
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (p_ < text_.size() && text_[p_] != '"') {
      const char c = text_[p_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (p_ >= text_.size()) return std::nullopt;
      const char e = text_[p_++];
      static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
      if (const std::size_t k = kFrom.find(e); k != std::string_view::npos) {
        out += kTo[k];
        continue;
      }
      if (e != 'u') return std::nullopt;
      std::optional<uint32_t> unit = Hex4();
      if (!unit) return std::nullopt;
      char32_t code = *unit;
      if (code >= 0xD800 && code <= 0xDBFF && text_.substr(p_, 2) == "\\u") {
        const std::size_t back = p_;
        p_ += 2;
        std::optional<uint32_t> low = Hex4();
        if (low && *low >= 0xDC00 && *low <= 0xDFFF)
          code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
        else
          p_ = back;
      }
      if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
      text::AppendUtf8(code, out);
    }
    if (!Take('"')) return std::nullopt;
    return out;
  }

  std::string_view text_;
  std::size_t p_ = 0;
};

bool StartsWithWebScheme(std::string_view input) {
  std::string cleaned;
  for (char c : input)
    if (c != '\t' && c != '\n' && c != '\r' &&
        (!cleaned.empty() || static_cast<unsigned char>(c) > 0x20))
      cleaned += c;
  auto starts = [&](std::string_view scheme) {
    if (cleaned.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(cleaned[i])) != scheme[i]) return false;
    return true;
  };
  return starts("http:") || starts("https:");
}

// Entries whose parts differ from a browser's under Wine, each with the
// reason. None on Linux, where ICU maps international names.
struct Known {
  const char* input;
  const char* reason;
};

constexpr const char* kWineIdna =
    "Wine's IdnToAscii (IDNA2003) passes an xn-- label without decoding it, so an invalid one "
    "is kept";
constexpr Known kWineKnown[] = {
    {"http://a.b.c.xn--pokxncvks", kWineIdna},
    {"http://10.0.0.xn--pokxncvks", kWineIdna},
    {"http://a.b.c.XN--pokxncvks", kWineIdna},
    {"http://a.b.c.Xn--pokxncvks", kWineIdna},
    {"http://10.0.0.XN--pokxncvks", kWineIdna},
    {"http://10.0.0.xN--pokxncvks", kWineIdna},
    {"https://fa\xC3\x9F.ExAmPlE/",
     "Wine's IdnToAscii maps \xC3\x9F to ss (IDNA2003, transitional); UTS #46 as browsers "
     "use it keeps it (xn--fa-hia)"},
};

// Every entry whose input names the http or https scheme, the invalid ones
// included, parsed against its base when that base is an http or https
// address (for any other base such an input is absolute all the same). A
// valid one must give the parts its request carries: host, port, path and
// query. Entries with another scheme or no scheme are left out: only http and
// https addresses are ever fetched, and a relative one only against a page or
// redirect of those schemes.
TEST(WebAddress, WptUrlTestData) {
  const std::optional<std::string> json = test::ReadHostFile(TOBRINE_WPT_URL_DATA);
  if (!json) GTEST_SKIP() << "no WPT URL test data at " << TOBRINE_WPT_URL_DATA;
  std::optional<std::vector<Entry>> entries = JsonReader(*json).Entries();
  ASSERT_TRUE(entries) << "urltestdata.json did not read as JSON";
  int applicable = 0, asBrowsers = 0, valid = 0, validAsBrowsers = 0;
  for (const Entry& e : *entries) {
    const auto field = [&e](const char* name) {
      const auto it = e.find(name);
      return it == e.end() || !it->second ? std::string() : *it->second;
    };
    const std::string input = field("input");
    if (!StartsWithWebScheme(input)) continue;
    ++applicable;
    const bool failure = e.contains("failure");
    if (!failure) ++valid;
    const ParsedAddress base = ParseWebAddress(field("base"));
    const ParsedAddress got = ParseWebAddress(input, base ? &base.address : nullptr);
    std::string seen = "failure", want = "failure";
    if (got) {
      const WebAddress& a = got.address;
      const std::string query = a.query && !a.query->empty() ? "?" + *a.query : "";
      seen =
          a.host + " " + (a.port >= 0 ? std::to_string(a.port) : "") + " " + a.path + " " + query;
    }
    if (!failure)
      want =
          field("hostname") + " " + field("port") + " " + field("pathname") + " " + field("search");
    bool known = false;
    if (test::kUnderWine)
      for (const Known& k : kWineKnown) known = known || input == k.input;
    if (seen == want) {
      ++asBrowsers;
      if (!failure) ++validAsBrowsers;
    } else if (!known) {
      ADD_FAILURE() << "input [" << input << "] base [" << field("base") << "]: want " << want
                    << ", got " << seen;
    }
  }
  std::printf(
      "WPT URL test data: %d of %d applicable entries as a browser parses them (valid %d/%d, "
      "invalid %d/%d)\n",
      asBrowsers, applicable, validAsBrowsers, valid, asBrowsers - validAsBrowsers,
      applicable - valid);
  EXPECT_GE(asBrowsers, 340);
}

}  // namespace
}  // namespace tobrine
