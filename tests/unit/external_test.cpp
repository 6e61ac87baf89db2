// The external function table and lazy binding, against the real system
// libraries on Windows and the stand-in modules on Linux.
#include "runtime/external.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace tobrine {
namespace {

// The list the table is generated from, read again: every entry carries its
// names and binds, on Windows to the real library, on Linux to its stand-in.
TEST(ExternalTable, EveryEntryAsListedBinds) {
  struct Row {
    int index;
    const char* library;
    const char* function;
  } rows[] = {
#define TOBRINE_EXTERNAL_ROW(index, library, function, module) {index, library, #function},
      TOBRINE_EXTERNAL_FUNCTIONS(TOBRINE_EXTERNAL_ROW)
#undef TOBRINE_EXTERNAL_ROW
  };
  ASSERT_EQ(std::size(rows), 18u);
  ReleaseExternalModules();
  for (int i = 0; i < kExternalFunctionCount; ++i) {
    const Row& r = rows[i];
    EXPECT_EQ(r.index, i);
    EXPECT_STREQ(ExternalLibraryName(i), r.library) << i;
    EXPECT_STREQ(ExternalFunctionName(i), r.function) << i;
    EXPECT_NE(BindExternalFunction(i), nullptr) << r.function;
  }
  ReleaseExternalModules();
  // The declarations the default-library search and the double entry rely on.
  EXPECT_STREQ(ExternalLibraryName(kExtMsgWaitForMultipleObjects), "");
  EXPECT_STREQ(ExternalLibraryName(kExtWideCharToMultiByteDll), "kernel32.dll");
  EXPECT_STREQ(ExternalLibraryName(kExtWideCharToMultiByte), "kernel32");
  EXPECT_EQ(kExtWideCharToMultiByteDll, 5);
  EXPECT_EQ(kExtCoUninitialize, 17);
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
  int32_t n = CallExternal<kExtMultiByteToWideChar>(65001u, 0u, "abc", -1, out, 8);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(out[0], u'a');
  EXPECT_EQ(out[3], 0);
}

}  // namespace
}  // namespace tobrine
