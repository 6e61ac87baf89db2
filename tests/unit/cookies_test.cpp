// The cookies a response sets, collected as a request sends them.
#include "web/cookies.h"

#include <gtest/gtest.h>

#include <string>

namespace tobrine {
namespace {

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
