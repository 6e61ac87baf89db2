// The WinINet contract the HTTP exchange relies on, called through the external
// function table: real WinINet on the Windows build (under Wine), the libcurl
// stand-in on Linux. The same rows run on both.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture_server.h"
#include "platform/system.h"
#include "runtime/external.h"
#include "test_platform.h"

namespace tobrine {
namespace {

using namespace winapi;

struct Raw {
  bool sent = false;
  std::string body;
  std::string headers;
  Dword queryLength = 0;
  Dword queryError = 0;
  int reads = 0;
};

struct RawRequest {
  std::string agent = "TestAgent/1.0";
  std::string proxy;  // "http=..." or empty
  std::string host = "127.0.0.1";
  int port = 0;
  std::string verb = "GET";
  std::string path = "/echo";
  Dword flags = kInternetFlagReload | kInternetFlagNoCookies;
  std::string headers;
  std::string body;
};

Raw Perform(const RawRequest& q) {
  Raw out;
  Hinternet net = CallExternal<kExtInternetOpenA>(
      q.agent.c_str(), q.proxy.empty() ? kInternetOpenTypeDirect : kInternetOpenTypeProxy,
      q.proxy.c_str(), "", Dword{0});
  if (!net) return out;
  Hinternet con =
      CallExternal<kExtInternetConnectA>(net, q.host.c_str(), static_cast<uint16_t>(q.port), "", "",
                                         kInternetServiceHttp, Dword{0}, uintptr_t{0});
  Hinternet req =
      con ? CallExternal<kExtHttpOpenRequestA>(
                con, q.verb.c_str(), q.path.c_str(), "HTTP/1.1", static_cast<const char*>(nullptr),
                static_cast<const char**>(nullptr), q.flags, uintptr_t{0})
          : nullptr;
  if (req) {
    std::string body = q.body;
    out.sent = CallExternal<kExtHttpSendRequestA>(
                   req, q.headers.c_str(), static_cast<Dword>(q.headers.size()),
                   body.empty() ? nullptr : static_cast<void*>(body.data()),
                   static_cast<Dword>(body.size())) != 0;
    char chunk[2048];
    for (;;) {
      Dword n = 0;
      CallExternal<kExtInternetReadFile>(req, static_cast<void*>(chunk), Dword{sizeof chunk}, &n);
      ++out.reads;
      if (n == 0) break;
      out.body.append(chunk, n);
    }
    std::vector<char> buf(64);
    Dword len = static_cast<Dword>(buf.size());
    if (!CallExternal<kExtHttpQueryInfoA>(req, kHttpQueryRawHeadersCrlf,
                                          static_cast<void*>(buf.data()), &len,
                                          static_cast<Dword*>(nullptr))) {
      out.queryLength = len;
      out.queryError = platform::LastSystemError();
      buf.assign(len + 1, '\0');
      if (CallExternal<kExtHttpQueryInfoA>(req, kHttpQueryRawHeadersCrlf,
                                           static_cast<void*>(buf.data()), &len,
                                           static_cast<Dword*>(nullptr)))
        out.headers.assign(buf.data(), len);
    } else {
      out.headers.assign(buf.data(), len);
    }
    CallExternal<kExtInternetCloseHandle>(req);
  }
  if (con) CallExternal<kExtInternetCloseHandle>(con);
  CallExternal<kExtInternetCloseHandle>(net);
  return out;
}

TEST(WinInetContract, RawHeadersQueriedAgainWhenTooLong) {
  TOBRINE_NEED_FIXTURE(f);
  RawRequest q;
  q.port = f.http;
  q.path = "/bigheader?n=3000";
  Raw r = Perform(q);
  EXPECT_TRUE(r.sent);
  EXPECT_EQ(r.body, "big");
  // The first query (64 bytes) fails with ERROR_INSUFFICIENT_BUFFER and asks for
  // the length with the NUL; the second gets the text without it.
  EXPECT_EQ(r.queryError, kErrorInsufficientBuffer);
  EXPECT_EQ(r.queryLength, r.headers.size() + 1);
  EXPECT_THAT(r.headers, testing::StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(r.headers, testing::HasSubstr("\r\nSet-Cookie: big=1; Path=/\r\n"));
  EXPECT_THAT(r.headers, testing::EndsWith("\r\n\r\n"));
}

TEST(WinInetContract, ReadsNothingAfterAFailure) {
  RawRequest q;
  q.port = 1;  // nobody listens there
  Raw r = Perform(q);
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(r.reads, 1);  // the first read already gives a count of 0
}

TEST(WinInetContract, HeaderLinesInOrder) {
  TOBRINE_NEED_FIXTURE(f);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(f.http) + "\r\n";
  struct Row {
    std::string verb, headers, body, want;
  } rows[] = {
      {"GET", "X-A: 1\r\nAccept: text/x\r\n", "",
       "GET /echo HTTP/1.1\r\n" + host +
           "User-Agent: TestAgent/1.0\r\nX-A: 1\r\nAccept: text/x\r\n\r\n"},
      {"POST", "X-A: 1\r\n", "a=1",
       "POST /echo HTTP/1.1\r\n" + host +
           "Content-Length: 3\r\nUser-Agent: TestAgent/1.0\r\nX-A: 1\r\n\r\na=1"},
      {"POST", "", "",
       "POST /echo HTTP/1.1\r\n" + host + "Content-Length: 0\r\nUser-Agent: TestAgent/1.0\r\n\r\n"},
      {"GET", "User-Agent: Mine\r\n", "",
       "GET /echo HTTP/1.1\r\n" + host + "User-Agent: Mine\r\n\r\n"},
  };
  for (const auto& row : rows) {
    RawRequest q;
    q.port = f.http;
    q.verb = row.verb;
    q.headers = row.headers;
    q.body = row.body;
    EXPECT_EQ(Perform(q).body, row.want) << row.verb << " " << row.headers;
  }
}

}  // namespace
}  // namespace tobrine
