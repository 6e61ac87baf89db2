// Address splitting, marker text operations and cookie collection.
#include <gtest/gtest.h>

#include <string>

#include "web/cookies.h"
#include "web/markers.h"
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
      // No "/" after the host: the query stays in the host, the path is "/".
      {"http://host.com?q=1", "host.com?q=1", "/", 80},
      {"http://host.com/x", "host.com", "/x", 80},
      // A user name and password before the host are skipped.
      {"http://user:pw@Host.com:81/x", "host.com", "/x", 81},
      {"http://user@host.com/x", "host.com", "/x", 80},
      // A scheme in capitals is a scheme.
      {"HTTP://Host.com/x", "host.com", "/x", 80},
      {"HTTPS://A.com/", "a.com", "/", 443},
      // "http://" later in the address stays in the path.
      {"http://a.com/p?u=http://b.com/", "a.com", "/p?u=http://b.com/", 80},
      // An https address's own port; 443 only when it names none.
      {"https://a.com:8443/x", "a.com", "/x", 8443},
      {"https://a.com/x", "a.com", "/x", 443},
      // http with "https://" in its query is not secure: port 80.
      {"http://a.com/r?next=https://b.com/", "a.com", "/r?next=https://b.com/", 80},
      {"http://a.com:abc/", "a.com", "/", 0},
      {"a.com:90/z", "a.com", "/z", 90},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(UrlHost(r.address).view(), r.host) << r.address;
    EXPECT_EQ(UrlObjectPath(r.address).view(), r.path) << r.address;
    EXPECT_EQ(UrlPort(r.address), r.port) << r.address;
  }
  EXPECT_TRUE(IsSecureAddress("HTTPS://a.com/"));
  EXPECT_FALSE(IsSecureAddress("http://a.com/r?next=https://b.com/"));
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
}

}  // namespace
}  // namespace tobrine
