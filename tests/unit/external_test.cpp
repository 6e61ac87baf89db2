// The external function table and lazy binding, against the real system
// libraries on Windows and the stand-in modules on Linux.
#include "runtime/external.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace tobrine {
namespace {

TEST(ExternalTable, EntriesAsDeclared) {
  struct Row {
    int index;
    const char* library;
    const char* function;
  } rows[] = {
      {0, "", "MsgWaitForMultipleObjects"},
      {1, "kernel32", "CloseHandle"},
      {2, "", "CreateThread"},
      {3, "", "TerminateThread"},
      {4, "", "MultiByteToWideChar"},
      {5, "kernel32.dll", "WideCharToMultiByte"},
      {6, "kernel32", "WideCharToMultiByte"},
      {7, "kernel32", "LCMapStringA"},
      {8, "wininet.dll", "InternetOpenA"},
      {9, "wininet.dll", "InternetConnectA"},
      {10, "wininet.dll", "HttpOpenRequestA"},
      {11, "wininet.dll", "HttpSendRequestA"},
      {12, "wininet.dll", "InternetReadFile"},
      {13, "wininet.dll", "HttpQueryInfoA"},
      {14, "wininet.dll", "InternetCloseHandle"},
      {15, "wininet.dll", "InternetSetCookieA"},
      {16, "ole32.dll", "CoInitialize"},
      {17, "ole32.dll", "CoUninitialize"},
  };
  ASSERT_EQ(std::size(rows), static_cast<std::size_t>(kExternalFunctionCount));
  for (const auto& r : rows) {
    EXPECT_STREQ(ExternalLibraryName(r.index), r.library) << r.index;
    EXPECT_STREQ(ExternalFunctionName(r.index), r.function) << r.index;
  }
}

TEST(ExternalBinding, BindsOnceAndKeepsTheAddress) {
  void* first = BindExternalFunction(kExtMultiByteToWideChar);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(IsExternalFunctionBound(kExtMultiByteToWideChar));
  EXPECT_EQ(BindExternalFunction(kExtMultiByteToWideChar), first);
}

TEST(ExternalBinding, DuplicateDeclarationsBindSeparately) {
  ReleaseExternalModules();
  EXPECT_FALSE(IsExternalFunctionBound(kExtWideCharToMultiByteDll));
  EXPECT_FALSE(IsExternalFunctionBound(kExtWideCharToMultiByte));
  void* a = BindExternalFunction(kExtWideCharToMultiByte);
  EXPECT_TRUE(IsExternalFunctionBound(kExtWideCharToMultiByte));
  EXPECT_FALSE(IsExternalFunctionBound(kExtWideCharToMultiByteDll));
  void* b = BindExternalFunction(kExtWideCharToMultiByteDll);
  EXPECT_EQ(a, b);  // the same function, reached through two entries
}

TEST(ExternalBinding, CallsThroughTheTypedSignature) {
  winapi::WideChar out[8] = {};
  int32_t n = CallExternal<winapi::MultiByteToWideCharFn>(kExtMultiByteToWideChar, 65001u, 0u,
                                                          "abc", -1, out, 8);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(out[0], u'a');
  EXPECT_EQ(out[3], 0);
}

}  // namespace
}  // namespace tobrine
