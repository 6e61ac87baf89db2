// The Linux stand-ins under the page fetch: the binding's search order over the
// stand-in modules, threads and the message-aware wait.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/message_queue.h"
#include "platform/posix/standin_modules.h"
#include "platform/posix/standins.h"
#include "platform/system.h"
#include "runtime/external.h"
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

TEST(PosixThreads, FetchWhoseWorkerCannotStartEndsAtOnce) {
  posix::SetThreadStartsFail(true);
  TextValue address = TextValue::FromBytes("http://127.0.0.1:1/");
  uint32_t start = platform::TickCount();
  ByteBlock body = WebAccess(address, {.timeoutSeconds = 30});
  posix::SetThreadStartsFail(false);
  EXPECT_TRUE(body.empty());
  EXPECT_LT(platform::TickCount() - start, 1000u);
}

}  // namespace
}  // namespace tobrine
