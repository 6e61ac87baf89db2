// The unit test program: the same tables run on Linux and, under Wine, on Windows.
#include <gtest/gtest.h>

#include <cstdio>
#include <string_view>

#include "platform/system.h"
#include "runtime/fatal.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOBRINE_HAS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(TOBRINE_HAS_ASAN)
// Allocation-failure tests ask for absurd sizes and expect a failure result.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Fork-free death tests: the runtime starts threads and the Windows build has no fork.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Fatal reports go to standard error as raw code page 936 bytes, so that death
  // tests can match them on both builds instead of waiting on a dialog.
  tobrine::SetFatalPresenter([](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  });
  const int status = RUN_ALL_TESTS();
  // Kept threads and their curl handles go before the process ends, so that
  // LeakSanitizer sees none of their state half torn down.
  if (!tobrine::platform::ReleaseKeptThreads(10000))
    std::fprintf(stderr, "test_main: a thread was still at work at exit\n");
  return status;
}
