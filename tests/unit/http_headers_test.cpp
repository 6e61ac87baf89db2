// The status line and the request head.
#include "web/http_headers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tobrine {
namespace {

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

}  // namespace
}  // namespace tobrine
