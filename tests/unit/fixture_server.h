// The one launcher of the fixture server (tests/e2e/fixture_server.py: the web
// fixtures and the sample sites), started once per test program on first use
// (127.0.0.1 only, ephemeral ports).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/system.h"
#include "test_platform.h"
#include "web/web_access.h"

#ifndef TOBRINE_SOURCE_DIR
#error "TOBRINE_SOURCE_DIR must name the source tree"
#endif

namespace tobrine::test {

// Responses the server holds back by a delay (ms=, /slow, /late/): how many
// wait now, and the most that waited at once.
struct Held {
  int now = 0;
  int peak = 0;
};

struct Fixture {
  bool ok = false;
  int http = 0, https = 0, proxy = 0;
  int httpsUntrusted = 0;  // TLS with a certificate no CA signed
  int http6 = 0;           // plain HTTP on [::1]; 0 when there is no IPv6 loopback
  int keepAlive = 0;       // plain HTTP whose connections stay open (and are counted)
  int brokenHttp2 = 0;     // TLS offering HTTP/2 and breaking it
  int http2 = 0;           // nghttpd (HTTP/2 only), its connections counted
  std::string caPem, caDer;
  std::string error;

  std::string Http(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http) + path;
  }
  // By name: WinINet under Wine does not match an IP address in a certificate.
  std::string Https(const std::string& path) const {
    return "https://localhost:" + std::to_string(https) + path;
  }
  // A certificate no trusted CA signed.
  std::string HttpsUntrusted(const std::string& path) const {
    return "https://localhost:" + std::to_string(httpsUntrusted) + path;
  }
  std::string ProxyAddress() const { return "127.0.0.1:" + std::to_string(proxy); }
  std::string KeepAlive(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(keepAlive) + path;
  }
  std::string BrokenHttp2(const std::string& path) const {
    return "https://localhost:" + std::to_string(brokenHttp2) + path;
  }
  std::string Http2(const std::string& path) const {
    return "https://localhost:" + std::to_string(http2) + path;
  }

  // What the server holds now (read with the program's own fetch); `clear`
  // starts the peak again from now. Counting at the server tells fetches side
  // by side from fetches in turn however busy the machine is.
  Held HeldResponses(bool clear = false) const {
    TextValue address = TextValue::FromBytes(Http(clear ? "/__held?clear=1" : "/__held"));
    Held held;
    std::sscanf(std::string(WebAccess(address).bytes()).c_str(), "%d %d", &held.now, &held.peak);
    return held;
  }

  // Waits until the server holds at least `n` responses, instead of sleeping
  // for a time that a busy machine may overrun. False after 30 s (a hang guard).
  bool WaitUntilHeld(int n) const {
    for (const uint32_t start = platform::TickCount(); platform::TickCount() - start < 30000;) {
      if (HeldResponses().now >= n) return true;
      SleepMilliseconds(10);
    }
    return false;
  }
};

namespace detail {

inline int JsonInt(const std::string& json, const std::string& key) {
  auto p = json.find("\"" + key + "\":");
  return p == std::string::npos ? 0 : std::atoi(json.c_str() + p + key.size() + 3);
}

inline std::string JsonText(const std::string& json, const std::string& key) {
  auto p = json.find("\"" + key + "\": \"");
  if (p == std::string::npos) return {};
  p += key.size() + 5;
  return json.substr(p, json.find('"', p) - p);
}

inline Fixture StartFixture() {
  Fixture f;
  // The tests talk to this server only: no proxy of the user's in between.
  SetSystemProxy("", "");
  std::random_device rd;
  std::string portsFile = HostTempFolder() + "/tobrine-fixture-" + std::to_string(rd()) + ".json";
  std::string script = std::string(TOBRINE_SOURCE_DIR) + "/tests/e2e/fixture_server.py";
  std::vector<std::string> argv = {"python3", script,       "--ports-file",
                                   portsFile, "--lifetime", "900"};
#ifdef _WIN32
  argv[0] = "/usr/bin/python3";
  // No pipe reaches a Linux program from Wine: the server ends when idle.
  argv.insert(argv.end(), {"--ignore-stdin", "--detach", "--idle", "60"});
#endif
  if (!StartHostProgram(argv)) {
    f.error = "cannot start python3 with the fixture server";
    return f;
  }
  std::optional<std::string> json;
  for (int i = 0; i < 300 && !(json = ReadHostFile(portsFile)); ++i) SleepMilliseconds(50);
  if (!json) {
    f.error = "the fixture server did not report its ports";
    return f;
  }
  f.http = JsonInt(*json, "http");
  f.https = JsonInt(*json, "https");
  f.httpsUntrusted = JsonInt(*json, "https_untrusted");
  f.proxy = JsonInt(*json, "proxy");
  f.http6 = JsonInt(*json, "http6");
  f.keepAlive = JsonInt(*json, "keepalive");
  f.brokenHttp2 = JsonInt(*json, "broken_h2");
  f.http2 = JsonInt(*json, "h2");
  f.caPem = JsonText(*json, "ca_pem");
  f.caDer = JsonText(*json, "ca_der");
  if (!TrustTestCa(f.caPem, f.caDer)) {
    f.error = "cannot make the test CA trusted";
    return f;
  }
  f.ok = f.http && f.https && f.httpsUntrusted && f.proxy && f.keepAlive && f.brokenHttp2;
  if (f.ok && !f.http2) {
    f.ok = false;
    f.error = "no HTTP/2 server: nghttpd is missing (scripts/bootstrap installs it)";
  }
  return f;
}

}  // namespace detail

// The running fixture server; a test that needs it calls this first and skips
// when it is not available.
inline const Fixture& FixtureServer() {
  static const Fixture fixture = detail::StartFixture();
  return fixture;
}

#define TOBRINE_NEED_FIXTURE(f)                                         \
  const ::tobrine::test::Fixture& f = ::tobrine::test::FixtureServer(); \
  if (!f.ok) GTEST_FAIL() << "fixture server: " << f.error

}  // namespace tobrine::test
