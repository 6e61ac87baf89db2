// The WinINet contract the HTTP exchange relies on, called through the external
// function table: real WinINet on the Windows build (under Wine), the libcurl
// stand-in on Linux. The same rows run on both.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fixture_server.h"
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
};

struct RawRequest {
  std::string agent = "TestAgent/1.0";
  std::string proxy;  // "http=..." or empty
  std::string host = "127.0.0.1";
  int port = 0;
  std::string verb = "GET";
  std::string path = "/echo";
  Dword flags = kInternetFlagReload;
  std::string headers;
  std::string body;
};

template <typename Fn, typename... A>
auto Call(int index, A... a) {
  return CallExternal<Fn>(index, a...);
}

Raw Perform(const RawRequest& q) {
  Raw out;
  Hinternet net = Call<InternetOpenAFn>(
      kExtInternetOpenA, q.agent.c_str(),
      q.proxy.empty() ? kInternetOpenTypeDirect : kInternetOpenTypeProxy, q.proxy.c_str(), "",
      Dword{0});
  if (!net) return out;
  Hinternet con = Call<InternetConnectAFn>(kExtInternetConnectA, net, q.host.c_str(),
                                           static_cast<uint16_t>(q.port), "", "",
                                           kInternetServiceHttp, Dword{0}, uintptr_t{0});
  Hinternet req = con ? Call<HttpOpenRequestAFn>(kExtHttpOpenRequestA, con, q.verb.c_str(),
                                                 q.path.c_str(), "HTTP/1.1",
                                                 static_cast<const char*>(nullptr),
                                                 static_cast<const char**>(nullptr), q.flags,
                                                 uintptr_t{0})
                      : nullptr;
  if (req) {
    std::string body = q.body;
    out.sent = Call<HttpSendRequestAFn>(kExtHttpSendRequestA, req, q.headers.c_str(),
                                        static_cast<Dword>(q.headers.size()),
                                        body.empty() ? nullptr : static_cast<void*>(body.data()),
                                        static_cast<Dword>(body.size())) != 0;
    char chunk[2048];
    for (;;) {
      Dword n = 0;
      Call<InternetReadFileFn>(kExtInternetReadFile, req, static_cast<void*>(chunk),
                               Dword{sizeof chunk}, &n);
      if (n == 0) break;
      out.body.append(chunk, n);
    }
    std::vector<char> buf(64);
    Dword len = static_cast<Dword>(buf.size());
    if (!Call<HttpQueryInfoAFn>(kExtHttpQueryInfoA, req, kHttpQueryRawHeadersCrlf,
                                static_cast<void*>(buf.data()), &len,
                                static_cast<Dword*>(nullptr))) {
      out.queryLength = len;
      buf.assign(len + 1, '\0');
      if (Call<HttpQueryInfoAFn>(kExtHttpQueryInfoA, req, kHttpQueryRawHeadersCrlf,
                                 static_cast<void*>(buf.data()), &len,
                                 static_cast<Dword*>(nullptr)))
        out.headers.assign(buf.data(), len);
    } else {
      out.headers.assign(buf.data(), len);
    }
    Call<InternetCloseHandleFn>(kExtInternetCloseHandle, req);
  }
  if (con) Call<InternetCloseHandleFn>(kExtInternetCloseHandle, con);
  Call<InternetCloseHandleFn>(kExtInternetCloseHandle, net);
  return out;
}

TEST(WinInetProbe, Dump) {
  TOBRINE_NEED_FIXTURE(f);
  RawRequest q;
  q.port = f.http;
  q.headers = "X-A: 1\r\nAccept: text/x\r\n";
  Raw r = Perform(q);
  std::printf("GET----\n%s\n----\nHEADERS %s\n", r.body.c_str(), r.headers.c_str());
  q.verb = "POST";
  q.body = "a=1&b=2";
  r = Perform(q);
  std::printf("POST----\n%s\n----\n", r.body.c_str());
  q.body = "";
  q.headers = "";
  q.agent = "";
  r = Perform(q);
  std::printf("POST0----\n%s\n----\n", r.body.c_str());
  q.verb = "GET";
  q.proxy = "http=" + f.ProxyAddress();
  q.flags = kInternetFlagReload | kInternetFlagNoCookies;
  r = Perform(q);
  std::printf("PROXY----\n%s\n----\n", r.body.c_str());
}

}  // namespace
}  // namespace tobrine
