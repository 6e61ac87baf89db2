// The Linux stand-ins under the page fetch: the binding's search order over the
// stand-in modules, threads and the message-aware wait, the proxies of the
// environment.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "fixture_server.h"
#include "platform/posix/message_queue.h"
#include "platform/posix/standin_modules.h"
#include "platform/posix/standins.h"
#include "platform/system.h"
#include "runtime/external.h"
#include "test_platform.h"
#include "web/web_access.h"

namespace tobrine {
namespace {

using testing::ElementsAre;

TEST(PosixBinding, NamedLibrarySearchOrder) {
  struct Row {
    std::string dll, program, extra;
    std::vector<std::string> attempts;
  } rows[] = {
      // Only the program directory is set by the program itself.
      {"", "C:\\prog", "", {"C:\\prog\\wininet.dll", "wininet.dll"}},
      {"D:\\dlls\\",
       "C:\\prog",
       "E:\\more\\",
       {"D:\\dlls\\wininet.dll", "C:\\prog\\wininet.dll", "E:\\more\\wininet.dll", "wininet.dll"}},
      {"", "", "", {"wininet.dll"}},
  };
  for (const auto& r : rows) {
    ReleaseExternalModules();
    SetExternalSearchDirectories(r.dll, r.program, r.extra);
    posix::TakeLoadAttempts();
    EXPECT_NE(BindExternalFunction(kExtInternetOpenA), nullptr);
    EXPECT_EQ(posix::TakeLoadAttempts(), r.attempts) << r.dll << r.program << r.extra;
    // Bound once: a second binding loads nothing.
    BindExternalFunction(kExtInternetOpenA);
    EXPECT_TRUE(posix::TakeLoadAttempts().empty());
  }
  SetExternalSearchDirectories("", "", "");
}

TEST(PosixBinding, DefaultLibrariesTriedInOrder) {
  ReleaseExternalModules();
  posix::TakeLoadAttempts();
  BindExternalFunction(kExtCreateThread);
  EXPECT_THAT(posix::TakeLoadAttempts(), ElementsAre("Kernel32.dll"));
  const int gdiBefore = posix::ModuleLoadCount("gdi32");
  BindExternalFunction(kExtMsgWaitForMultipleObjects);
  EXPECT_THAT(posix::TakeLoadAttempts(), ElementsAre("Kernel32.dll", "Gdi32.dll", "User32.dll"));
  EXPECT_EQ(posix::ModuleLoadCount("gdi32"), gdiBefore);  // released again
  EXPECT_GE(posix::ModuleLoadCount("user32"), 1);         // kept
}

winapi::Dword WaitForRelease(void* parameter) {
  auto* release = static_cast<std::atomic<bool>*>(parameter);
  while (!release->load()) std::this_thread::yield();
  return 0;
}

TEST(PosixThreads, WaitWakesOnEndInputOrTimeOut) {
  std::atomic<bool> release{false};
  winapi::Dword id = 0;
  winapi::Handle thread = posix::CreateThread(nullptr, 0, WaitForRelease, &release, 0, &id);
  ASSERT_NE(thread, nullptr);

  uint32_t start = platform::TickCount();
  EXPECT_EQ(posix::MsgWaitForMultipleObjects(1, &thread, 0, 100, winapi::kQsAllEvents),
            winapi::kWaitTimeout);
  EXPECT_GE(platform::TickCount() - start, 99u);
  EXPECT_EQ(posix::TerminateThread(thread, 0), 0);  // a running thread is not cut off

  // A message posted to this thread's queue: input available.
  const posix::ThreadKey self = posix::CurrentThreadKey();
  std::thread poster([self] { posix::PostToThread(self, posix::QueuedMessage{}); });
  EXPECT_EQ(posix::MsgWaitForMultipleObjects(1, &thread, 0, 5000, winapi::kQsAllEvents), 1u);
  poster.join();
  posix::QueuedMessage m;
  while (posix::PeekThreadMessage(&m, true)) {
  }

  release = true;
  EXPECT_EQ(posix::MsgWaitForMultipleObjects(1, &thread, 0, 5000, winapi::kQsAllEvents), 0u);
  EXPECT_EQ(posix::TerminateThread(thread, 0), 1);  // ended: nothing to do
  EXPECT_EQ(posix::CloseHandle(thread), 1);
  EXPECT_EQ(posix::CloseHandle(nullptr), 0);
}

// Before the process ends every pool thread ends and is joined: an idle one at
// once, one at work once its routine returns; a thread started afterwards is not
// kept. Gives the number of faults, each told on standard error.
int EndKeptThreadsFaults() {
  int faults = 0;
  auto check = [&faults](bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fault: %s\n", what);
    ++faults;
  };
  auto start = [&check](std::atomic<bool>* release) {
    winapi::Dword id = 0;
    winapi::Handle t = posix::CreateThread(nullptr, 0, WaitForRelease, release, 0, &id);
    check(t != nullptr, "a thread starts");
    return t;
  };
  std::atomic<bool> released{true};
  std::atomic<bool> busy{false};
  winapi::Handle idle = start(&released);
  check(posix::MsgWaitForMultipleObjects(1, &idle, 0, 10000, 0) == 0, "the first ends");
  posix::CloseHandle(idle);
  winapi::Handle working = start(&busy);
  check(!posix::EndKeptThreads(100), "a thread at work is told");
  busy = true;
  check(posix::EndKeptThreads(10000), "the last routine returned");
  posix::CloseHandle(working);
  check(test::CurrentProcessCounts().threads == 1, "no thread left");
  winapi::Handle late = start(&released);
  check(posix::MsgWaitForMultipleObjects(1, &late, 0, 10000, 0) == 0, "a late one runs");
  posix::CloseHandle(late);
  check(posix::EndKeptThreads(10000), "the late one is not kept");
  check(test::CurrentProcessCounts().threads == 1, "no late thread left");
  return faults;
}

// In a process of its own: the pool stays ending.
TEST(PosixThreadsDeathTest, EndKeptThreadsLeavesNoThread) {
  EXPECT_EXIT(std::exit(EndKeptThreadsFaults()), testing::ExitedWithCode(0), "");
}

// Registered before the TLS library's own exit routine, so it runs after that:
// longer than a kept thread's idle time, so a thread still kept at exit ends
// meanwhile and releases its TLS state after the library's exit.
void SleepAfterTheLibrariesEnd() {
  test::SleepMilliseconds(400);
}

// A worker fetches over TLS (HTTP/1.1, and HTTP/2 where nghttpd is there) and
// is kept; the process releases its kept threads and exits. No thread is left
// after the release, the one driving the transfers included, and LeakSanitizer
// fails the exit when a thread's TLS state or a kept connection outlived the
// library's exit (the process exits with the sanitizer's code, not 0).
TEST(PosixThreadsDeathTest, KeptThreadsEndBeforeTheTlsLibrary) {
  TOBRINE_NEED_FIXTURE(f);
  auto fetchThenExit = [&f] {
    std::atexit(SleepAfterTheLibrariesEnd);
    bool fetched = true;
    for (const std::string& url : {f.Https("/echo"), f.http2 ? f.Http2("/m/1.plist") : ""}) {
      TextValue address = TextValue::FromBytes(url);
      fetched = fetched && (url.empty() || !WebAccess(address).empty());
    }
    const bool released = platform::ReleaseKeptThreads(10000);
    std::exit(!fetched ? 1 : !released ? 2 : test::CurrentProcessCounts().threads != 1 ? 3 : 0);
  };
  EXPECT_EXIT(fetchThenExit(), testing::ExitedWithCode(0), "");
}

TEST(PosixThreads, FetchWhoseWorkerCannotStartEndsAtOnce) {
  posix::SetThreadStartsFail(true);
  TextValue address = TextValue::FromBytes("http://127.0.0.1:1/");
  uint32_t start = platform::TickCount();
  ByteBlock body = WebAccess(address, {.timeoutSeconds = 30});
  posix::SetThreadStartsFail(false);
  EXPECT_TRUE(body.empty());
  EXPECT_LT(platform::TickCount() - start, 1000u);
}

// The proxy variables as curl reads them: a scheme's own variable (http_proxy
// in lower case only), else all_proxy; an empty one names no proxy; no_proxy
// (or NO_PROXY) lists the hosts reached directly, "*" all of them.
TEST(PosixProxies, EnvironmentReadAsCurlReadsIt) {
  TOBRINE_NEED_FIXTURE(f);
  const std::string proxy = "http://" + f.ProxyAddress();
  const std::string http = "GET " + f.Http("/echo") + " HTTP/1.1\n";
  const std::string https = "CONNECT localhost:" + std::to_string(f.https) + " HTTP/1.1\n";
  struct {
    std::vector<std::pair<const char*, std::string>> variables;
    std::string httpLogged, httpsLogged;
  } rows[] = {
      {{{"http_proxy", proxy}}, http, ""},
      {{{"HTTP_PROXY", proxy}}, "", ""},
      {{{"https_proxy", proxy}}, "", https},
      {{{"HTTPS_PROXY", proxy}}, "", https},
      {{{"all_proxy", proxy}}, http, https},
      {{{"ALL_PROXY", proxy}}, http, https},
      {{{"http_proxy", ""}, {"all_proxy", proxy}}, "", https},
      {{{"all_proxy", proxy}, {"no_proxy", "localhost"}}, http, ""},
      {{{"all_proxy", proxy}, {"NO_PROXY", "127.0.0.1,localhost"}}, "", ""},
      {{{"all_proxy", proxy}, {"no_proxy", "*"}}, "", ""},
      {{{"all_proxy", proxy}, {"no_proxy", "example.com"}}, http, https},
  };
  TextValue clear = TextValue::FromBytes(f.Http("/__proxylog?clear=1"));
  WebAccess(clear);
  for (const auto& r : rows) {
    std::string what;
    for (const auto& [name, value] : r.variables) {
      setenv(name, value.c_str(), 1);
      what += std::string(name) + "=" + value + " ";
    }
    TextValue plain = TextValue::FromBytes(f.Http("/echo"));
    TextValue secure = TextValue::FromBytes(f.Https("/echo"));
    const std::string plainBody(WebAccess(plain).bytes());
    const std::string secureBody(WebAccess(secure).bytes());
    test::SetSystemProxy("", "");
    EXPECT_THAT(plainBody, testing::StartsWith("GET /echo HTTP/1.1\r\n")) << what;
    EXPECT_THAT(secureBody, testing::StartsWith("GET /echo HTTP/1.1\r\n")) << what;
    TextValue log = TextValue::FromBytes(f.Http("/__proxylog?clear=1"));
    EXPECT_EQ(std::string(WebAccess(log).bytes()), r.httpLogged + r.httpsLogged) << what;
  }
}

}  // namespace
}  // namespace tobrine
