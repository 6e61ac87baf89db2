// Address splitting, marker text operations and cookie collection.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "text/markers.h"
#include "web/cookies.h"
#include "web/http_headers.h"
#include "web/url.h"

namespace tobrine {
namespace {

TEST(UrlSplitting, HostPathAndPort) {
  struct Row {
    const char* address;
    const char* host;
    const char* path;
    int32_t port;
  } rows[] = {
      {"http://WWW.Example.COM:8080/a/b?x=1", "www.example.com", "/a/b?x=1", 8080},
      // No "/" after the host: the query is the query all the same.
      {"http://host.com?q=1", "host.com", "/?q=1", 80},
      // A user name and password before the host are skipped.
      {"http://user:pw@Host.com:81/x", "host.com", "/x", 81},
      {"HTTPS://A.com/", "a.com", "/", 443},
      // "http://" later in the address stays in the path.
      {"http://a.com/p?u=http://b.com/", "a.com", "/p?u=http://b.com/", 80},
      {"https://a.com:8443/x", "a.com", "/x", 8443},
      {"http://a.com/r?next=https://b.com/", "a.com", "/r?next=https://b.com/", 80},
      // Without a scheme: http.
      {"a.com:90/z", "a.com", "/z", 90},
      {"http://[FE80::1]:8080/m/x", "[fe80::1]", "/m/x", 8080},
      // Ports 1 to 65535 only; anything else does not parse, never wraps.
      {"http://a.com:65535/", "a.com", "/", 65535},
      {"http://a.com:/", "a.com", "/", 80},
      {"http://a.com:65536/", "", "/", 0},
      {"http://a.com:0/", "", "/", 0},
      {"http://a.com:4294967377/", "", "/", 0},
      {"http://a.com:8080x/", "", "/", 0},
      // UTF-8 stays UTF-8; anything else is code page 936, sent as UTF-8.
      {"http://a.com/m/\xE5\xBA\x94.plist", "a.com", "/m/%E5%BA%94.plist", 80},
      {"http://a.com/\xD3\xA6\xD3\xC3?q=\xC7\xE5", "a.com", "/%E5%BA%94%E7%94%A8?q=%E6%B8%85", 80},
      {"http://\xC0\xFD\xD7\xD3.\xB2\xE2\xCA\xD4/", "xn--fsqu00a.xn--0zwm56d", "/", 80},
      // What a browser does to a path: dot segments, "\\", tabs and line breaks.
      {" http:\\\\a.com\\x\\..\\.\\y\t\n/%2e%2E/z ", "a.com", "/z", 80},
      {"http://a.com//m.plist", "a.com", "//m.plist", 80},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(UrlHost(r.address).view(), r.host) << r.address;
    EXPECT_EQ(UrlObjectPath(r.address).view(), r.path) << r.address;
    EXPECT_EQ(UrlPort(r.address), r.port) << r.address;
  }
  EXPECT_TRUE(IsSecureAddress("HTTPS://a.com/"));
  EXPECT_FALSE(IsSecureAddress("http://a.com/r?next=https://b.com/"));
}

// What is fetched for an address, or why nothing is.
TEST(UrlSplitting, WhatIsFetched) {
  const std::string longPath(kMaxAddressBytes - 13, 'a');
  struct Row {
    std::string address;
    std::string fetched;  // empty: not fetched
    AddressFault fault = AddressFault::kNone;
  } rows[] = {
      {"https://a.com:8443/x?y=1#z", "https://a.com:8443/x?y=1"},
      {"http://user:pw@a.com/x", "http://a.com/x"},
      {"http://a.com/" + longPath, "http://a.com/" + longPath},  // 8 KiB exactly
      {"http://a.com/" + longPath + "a", "", AddressFault::kTooLong},
      {"a.com/x y", "http://a.com/x%20y"},
      {"localhost:8080", "http://localhost:8080/"},
      {" \t localhost/x", "http://localhost/x"},
      {"ftp://a.com/x", "", AddressFault::kOtherScheme},
      {"http://a\r\nX-Injected: yes\r\nY: @127.0.0.1:8080/m/", "http://127.0.0.1:8080/m/"},
      {"http://a.com/x\x7F\x01\"<>`{}?'\"<>`{}",
       "http://a.com/x%7F%01%22%3C%3E%60%7B%7D?%27%22%3C%3E`{}"},
      {"http:///x", "http://x/"},
      {"http://", "", AddressFault::kNoHost},
      {"http://[::1/x", "", AddressFault::kBadIpv6},
      {"http://[::127.0.0.1]/", "http://[::7f00:1]/"},
      {"http://1.2.3.4.5/", "", AddressFault::kBadIpv4},
      {"http://1.2.3.4./", "http://1.2.3.4/"},
      {"http://0x7f.1/", "http://127.0.0.1/"},
      {"http://ho%7Fst/", "", AddressFault::kBadHost},
      {"http://a b/", "", AddressFault::kBadHost},
      {"http://a.com:83616/", "", AddressFault::kBadPort},
      {"http://a.com:0/", "", AddressFault::kPortZero},
      // Beyond any name DNS resolves, international names are not mapped.
      {"http://" + std::string(1021, 'a') + ".\xE4\xBE\x8B/", "", AddressFault::kBadDomain},
  };
  for (const auto& r : rows) {
    const ParsedAddress parsed = ParseFetchAddress(r.address);
    EXPECT_EQ(parsed.fault, r.fault) << r.address.substr(0, 60);
    EXPECT_EQ(parsed ? parsed.address.RequestAddress() : "", r.fetched) << r.address.substr(0, 60);
    EXPECT_EQ(IsFetchableAddress(r.address), !r.fetched.empty());
    // What is told for it: the address as fetched, or printable all the same.
    const std::string told = AddressAsFetched(r.address);
    if (parsed) {
      EXPECT_EQ(told, r.fetched);
    }
    EXPECT_TRUE(std::all_of(told.begin(), told.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
        << told;
  }
}

TEST(UrlSplitting, RedirectTargets) {
  struct Row {
    const char* base;
    const char* location;
    const char* want;  // empty: not followed
  } rows[] = {
      {"http://a.com/x/y?q", "http://b.com/z", "http://b.com/z"},
      {"https://a.com/x", "//b.com/z", "https://b.com/z"},
      {"http://a.com:81/x/y?q=/", "/z?w", "http://a.com:81/z?w"},
      {"http://a.com/x/y?q=/p", "z", "http://a.com/x/z"},
      {"http://a.com/x/y", "../../../z", "http://a.com/z"},
      {"http://a.com/x/y", "?n", "http://a.com/x/y?n"},
      {"http://a.com/x", "https:b.com/", "https://b.com/"},
      {"http://a.com/x", " \t//c.com\\d#f", "http://c.com/d"},
      {"http://a.com/x", "/\xD3\xA6\xD3\xC3", "http://a.com/%E5%BA%94%E7%94%A8"},
      {"http://a.com/x", "/caf\xC3\xA9", "http://a.com/caf%C3%A9"},  // UTF-8 first
      {"http://a.com/x", "http://1.2.3.4.5/", ""},
      {"http://a.com/x", "mailto:a@b.com", ""},
  };
  for (const auto& r : rows) {
    const ParsedAddress next = ResolveLocation(r.base, r.location);
    EXPECT_EQ(next ? next.address.RequestAddress() : "", r.want) << r.base << " " << r.location;
  }
}

TEST(HttpHeaders, StatusLine) {
  struct Row {
    const char* raw;
    std::optional<int32_t> status;
  } rows[] = {
      {"HTTP/1.1 200 OK\r\nA: b\r\n\r\n", 200},
      {"HTTP/1.0 302\r\n\r\n", 302},
      {"HTTP/1.1 404 Not Found", 404},
      {"HTTP/2 200 \r\ncontent-type: text/html\r\n\r\n", 200},  // curl's, over HTTP/2
      {"HTTP/2 404", 404},
      {"HTTP/2. 200\r\n", std::nullopt},
      {"HTTP/1.", std::nullopt},
      {"HTTP/22 200\r\n", std::nullopt},
      {"HTTP/1.1 abc OK\r\n\r\n", std::nullopt},
      {"Content-Length: 68\r\nConnection: close\r\n\r\n", std::nullopt},  // Wine's, for that
      {"\r\n", std::nullopt},
      {"", std::nullopt},
      {"HTTP/1.1 2000 OK\r\n", std::nullopt},
      {"HTTP/1.1  200 OK\r\n", std::nullopt},
      {"<html>download-manifest&url=x.plist</html>", std::nullopt},
  };
  for (const auto& r : rows) EXPECT_EQ(ResponseStatus(r.raw), r.status) << r.raw;
  const char* raw = "HTTP/1.1 302 Found\r\nX-Location: no\r\nlocation:  /next \r\n\r\n";
  EXPECT_EQ(ResponseHeader(raw, "Location"), "/next");
  EXPECT_EQ(ResponseHeader(raw, "Set-Cookie"), "");
  EXPECT_EQ(ResponseHeader("Location: /x\r\n", "Location"), "");  // that was the status line
}

// No caller text can add a line to the request: what would is refused, and what
// is sent has exactly the caller's lines and the exchange's own.
TEST(HttpHeaders, NoTextAddsALine) {
  struct Row {
    const char* what;
    std::string address, extra, cookies, proxy;
    bool safe;
  } rows[] = {
      {"plain", "http://a.com/x", "X-A: 1\r\n", "k=v", "", true},
      {"tab in a value", "http://a.com/x", "X-A: 1\t2\r\n", "k=v", "127.0.0.1:8080", true},
      {"CR LF in the address", "http://a\r\nX-Injected: yes\r\nY: @127.0.0.1:8080/m/", "", "", "",
       false},
      {"lone CR in the address", "http://a.com/x\rX-Injected: yes", "", "", "", false},
      {"CR LF in the cookie text", "http://a.com/x", "", "k=v\r\nX-Injected: yes", "", false},
      {"lone LF in the extra lines", "http://a.com/x", "X-A: 1\nX-Injected: yes\r\n", "", "",
       false},
      {"lone CR in the extra lines", "http://a.com/x", "X-A: 1\rX-Injected: yes\r\n", "", "",
       false},
      {"CR at the end of the extra lines", "http://a.com/x", "X-A: 1\r", "", "", false},
      {"control character in the cookie text", "http://a.com/x", "", "k=\x0Bv", "", false},
      {"CR LF in the proxy", "http://a.com/x", "", "", "p:1\r\nX-Injected: yes", false},
      {"space in the proxy", "http://a.com/x", "", "", "p:1 https=q:2", false},
  };
  for (const auto& r : rows) {
    ExchangeRequest request;
    request.address = TextValue::FromBytes(r.address);
    request.verb = TextValue::Literal("GET");
    request.extraHeaders = TextValue::FromBytes(r.extra);
    request.cookies = TextValue::FromBytes(r.cookies);
    request.proxy = TextValue::FromBytes(r.proxy);
    EXPECT_EQ(RequestTextsAreSafe(request), r.safe) << r.what;
    if (!r.safe) continue;
    const std::string block(ComposeRequestHeaders(request).view());
    // The caller's line, Accept, Referer, Accept-Language, Cookie and the blank line.
    int lines = 0;
    for (std::size_t p = 0; (p = block.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, 6) << r.what << ": " << block;
    // Every CR and every LF is part of a CR LF.
    EXPECT_EQ(std::count(block.begin(), block.end(), '\r'), lines) << r.what;
    EXPECT_EQ(std::count(block.begin(), block.end(), '\n'), lines) << r.what;
  }
}

TEST(Markers, TextBetween) {
  struct Row {
    const char* text;
    const char* left;
    const char* right;
    std::optional<bool> caseSensitive;
    const char* want;
    const char* leftAfter;
  } rows[] = {
      {"abc<x>def</x>", "<x>", "</x>", {}, "def", "<x>"},
      {"abc", "<x>", "</x>", {}, "", "<x>"},
      {"abc<x>def", "<x>", "</x>", {}, "", "<x>"},
      {"a[1]b[2]", "[", "]", {}, "1", "["},
      {"A<X>v</X>", "<x>", "</x>", {}, "v", "<x>"},
      {"A<X>v</X>", "<x>", "</x>", true, "", "<x>"},
      {"<x></x>", "<x>", "</x>", {}, "", "<x>"},
      // The placeholder stands for a double quote and is written back.
      {"say \"q\" ok", "#引号", "#引号", {}, "q", "\""},
      {"x \"a\"b;", "#引号a#引号", ";", {}, "b", "\"a\""},
  };
  for (const auto& r : rows) {
    TextValue text = TextValue::FromBytes(r.text);
    TextValue left = TextValue::FromBytes(r.left);
    TextValue right = TextValue::FromBytes(r.right);
    EXPECT_EQ(TextBetween(text, left, right, std::nullopt, r.caseSensitive).view(), r.want)
        << r.text << " " << r.left;
    EXPECT_EQ(left.view(), r.leftAfter) << r.left;
  }
}

TEST(Markers, TextBefore) {
  struct Row {
    const char* text;
    const char* marker;
    std::optional<int32_t> start;
    std::optional<bool> ignoreCase;
    const char* want;
  } rows[] = {
      {"a=1; Path=/", ";", {}, {}, "a=1"}, {"no marker", ";", {}, {}, ""},
      {";first", ";", {}, {}, ""},         {"abcXdef", "x", {}, {}, ""},
      {"abcXdef", "x", {}, true, "abc"},   {"a;b;c", ";", 3, {}, "a;b"},
      {"a;b;c", ";", 0, {}, "a"},          {"a;b;c", ";", -5, {}, "a"},
  };
  for (const auto& r : rows) {
    TextValue text = TextValue::FromBytes(r.text);
    TextValue marker = TextValue::FromBytes(r.marker);
    EXPECT_EQ(TextBefore(text, marker, r.start, r.ignoreCase).view(), r.want) << r.text;
  }
}

TEST(Cookies, CollectedText) {
  struct Row {
    const char* headers;
    const char* want;
  } rows[] = {
      {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1; Path=/\r\nSet-Cookie: b=2; Path=/\r\n\r\n", "a=1;b=2;"},
      {"HTTP/1.1 200 OK\r\nset-cookie: c=3; path=/\r\n\r\n", "c=3;"},
      // The marker further on in a line: its first 12 bytes are cut, whatever they are.
      {"HTTP/1.1 200 OK\r\nX-Note: see Set-Cookie: d=4; x\r\n\r\n", "Set-Cookie: d=4;"},
      // No attributes: ";" alone, the cookie is stored all the same.
      {"Set-Cookie: e=5\r\n", ";"},
      {"Set-Cookie: noequals; Path=/\r\n", "noequals;"},
      {"Set-Cookie: f=6; Path=/", "f=6;"},  // no line feed after the last line
      {"HTTP/1.1 200 OK\r\nX-A: b\r\n\r\n", ""},
      {"", ""},
  };
  for (const auto& r : rows)
    EXPECT_EQ(CollectCookies(r.headers, "127.0.0.1").view(), r.want) << r.headers;
  // The received text stays as the server sent it, whatever is stored.
  EXPECT_EQ(CollectCookies("Set-Cookie: s=1; Secure\r\nSet-Cookie: f=2; Domain=example.com\r\n"
                           "Set-Cookie: m=3; Max-Age=0\r\n",
                           "127.0.0.1")
                .view(),
            "s=1;f=2;m=3;");
}

}  // namespace
}  // namespace tobrine
