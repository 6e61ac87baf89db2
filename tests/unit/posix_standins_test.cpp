// The Linux stand-ins: code pages on ICU, the traditional-to-simplified mapping
// and the loader's stand-in modules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/loader.h"
#include "platform/posix/standin_modules.h"
#include "platform/posix/standins.h"
#include "runtime/external.h"
#include "test_support.h"

namespace tobrine {
namespace {

using posix::MultiByteToWideChar;
using posix::WideCharToMultiByte;

std::u16string Widen(uint32_t cp, const std::string& bytes) {
  int32_t n = MultiByteToWideChar(cp, 0, bytes.c_str(), -1, nullptr, 0);
  std::vector<winapi::WideChar> out(static_cast<std::size_t>(n));
  EXPECT_EQ(MultiByteToWideChar(cp, 0, bytes.c_str(), -1, out.data(), n), n);
  return std::u16string(out.begin(), out.end() - 1);
}

TEST(PosixCodePage, MultiByteToWideChar) {
  struct Row {
    uint32_t cp;
    std::string bytes;
    std::u16string want;
  } rows[] = {
      {65001, "abc", u"abc"},       {65001, "\xE4\xB8\xAD", u"\u4E2D"},
      {936, "\xD6\xD0", u"\u4E2D"}, {0, "\xD6\xD0", u"\u4E2D"},  // code page 0 is 936 here
      {950, "\xB0\xEA", u"\u570B"},
  };
  for (const auto& r : rows) EXPECT_EQ(Widen(r.cp, r.bytes), r.want) << r.cp;
  EXPECT_EQ(MultiByteToWideChar(65001, 0, "abc", -1, nullptr, 0), 4);  // terminator counted
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, nullptr, 0), 0);   // not provided
}

TEST(PosixCodePage, WideCharToMultiByteDefaultCharacter) {
  const winapi::WideChar text[] = {u'a', 0x570B, 0x20AC, u'b', 0};  // a 國 € b
  char out[16] = {};
  winapi::Bool used = 0;
  int32_t n = WideCharToMultiByte(936, 0, text, -1, out, sizeof out, nullptr, &used);
  EXPECT_EQ(std::string(out, static_cast<std::size_t>(n)), std::string("a\x87\xF8\x80"
                                                                       "b",
                                                                       5) +
                                                               '\0');
  // The empty text as default character writes a zero byte in place of a
  // character that the code page lacks.
  const winapi::WideChar lacking[] = {u'x', 0x0E01, u'y', 0};  // a Thai letter
  n = WideCharToMultiByte(936, 0, lacking, -1, out, sizeof out, "", &used);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(out, 3), std::string("x\0y", 3));
  EXPECT_EQ(used, 1);
  n = WideCharToMultiByte(936, 0, lacking, -1, out, sizeof out, nullptr, nullptr);
  EXPECT_EQ(std::string(out, 3), "x?y");
}

TEST(PosixCodePage, TooSmallBufferStaysInside) {
  char out[4] = {'#', '#', '#', '#'};
  const winapi::WideChar text[] = {u'a', u'b', u'c', u'd', u'e', 0};
  EXPECT_EQ(WideCharToMultiByte(65001, 0, text, -1, out, 3, nullptr, nullptr), 0);
  EXPECT_EQ(out[3], '#');
  EXPECT_EQ(posix::LastError(), winapi::kErrorInsufficientBuffer);
}

TEST(PosixLCMapString, SimplifiesKeepingLength) {
  struct Row {
    std::string in, want;
  } rows[] = {
      {"\x87\xF8", "\xB9\xFA"},  // 國 -> 国
      {"\xE9\x54", "\xC3\xC5"},  // 門 -> 门
      {"ab\x87\xF8"
       "cd",
       "ab\xB9\xFA"
       "cd"},
      {"plain ascii", "plain ascii"},
      {"\x80\x87\xF8", "\x80\xB9\xFA"},  // 80 is a character of its own (the euro sign)
  };
  for (const auto& r : rows) {
    std::string out(r.in.size(), ' ');
    EXPECT_EQ(
        posix::LCMapStringA(0x0804, 0x02000000, r.in.data(), static_cast<int32_t>(r.in.size()),
                            out.data(), static_cast<int32_t>(out.size())),
        static_cast<int32_t>(r.in.size()));
    EXPECT_EQ(out, r.want);
  }
}

TEST(PosixLoader, NamesAreCaseInsensitiveWithOrWithoutDll) {
  for (const char* name : {"kernel32", "KERNEL32.DLL", "Kernel32.dll", "wininet.dll", "OLE32"}) {
    platform::ModuleHandle m = platform::LoadModule(name);
    EXPECT_NE(m, nullptr) << name;
    platform::ReleaseModule(m);
  }
  EXPECT_EQ(platform::LoadModule("C:\\dir\\kernel32.dll"), nullptr);
  EXPECT_EQ(platform::LoadModule("nosuch.dll"), nullptr);
}

TEST(PosixLoader, DefaultSearchReleasesLibrariesWithoutTheFunction) {
  ReleaseExternalModules();
  int gdiBefore = posix::ModuleLoadCount("gdi32");
  BindExternalFunction(kExtMultiByteToWideChar);  // found in the first default library
  EXPECT_EQ(posix::ModuleLoadCount("gdi32"), gdiBefore);
  EXPECT_GE(posix::ModuleLoadCount("kernel32"), 1);
  ReleaseExternalModules();
  EXPECT_EQ(posix::ModuleLoadCount("kernel32"), 0);
}

TEST(PosixLoaderDeathTest, UnavailableLibraryNamesLibraryAndFunction) {
  EXPECT_EXIT(
      {
        ReleaseExternalModules();
        posix::SetModuleAvailable("kernel32", false);
        BindExternalFunction(kExtLCMapStringA);
      },
      test::EndsFatally(),
      testing::HasSubstr(
          "运行时出错!"
          "\r\n\r\n错误信息：无法找到指定DLL库文件“kernel32”中的输出命令“LCMapStringA”\r\n"));
  EXPECT_EXIT(
      {
        ReleaseExternalModules();
        posix::SetModuleAvailable("kernel32", false);
        BindExternalFunction(kExtMultiByteToWideChar);
      },
      test::EndsFatally(),
      testing::HasSubstr("错误信息：无法找到指定DLL库文件中的输出命令“MultiByteToWideChar”\r\n"));
}

}  // namespace
}  // namespace tobrine
