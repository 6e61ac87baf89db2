// The fatal reporter: table, composed text, exit code, exit routines discarded.
#include "runtime/fatal.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "test_support.h"

namespace tobrine {
namespace {

TEST(RuntimeErrorTable, ElevenEntries) {
  EXPECT_TRUE(RuntimeErrorMessage(0).empty());
  EXPECT_TRUE(RuntimeErrorMessage(12).empty());
  for (int code = 1; code <= 11; ++code) EXPECT_FALSE(RuntimeErrorMessage(code).empty()) << code;
  EXPECT_EQ(RuntimeErrorMessage(6), "调用DLL命令后发现堆栈错误");
  EXPECT_EQ(RuntimeErrorMessage(9), "“多项选择”命令的索引值参数小于零或超出了所提供参数表范围");
}

TEST(ComposeRuntimeErrorText, CodeAndMessageLines) {
  struct Row {
    std::string_view message;
    int code;
    std::string_view want;
  } rows[] = {
      {"", 0, "运行时出错!\r\n\r\n"},
      {"载入启动窗口失败", 0, "运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n"},
      {"", 5, "运行时出错!\r\n\r\n错误代码：5\r\n\r\n"},
      {"数组成员引用下标超出定义范围", 1,
       "运行时出错!\r\n\r\n错误代码：1\r\n\r\n错误信息：数组成员引用下标超出定义范围\r\n"},
  };
  for (const auto& r : rows) EXPECT_EQ(ComposeRuntimeErrorText(r.message, r.code), r.want);
}

void SayGoodbye() {
  std::fputs("exit routine ran\n", stderr);
}

TEST(FatalDeathTest, ReportEndsWithMinusOneAndSkipsExitRoutines) {
  EXPECT_EXIT(
      {
        RegisterExitRoutine(SayGoodbye);
        ReportRuntimeError(6);
      },
      test::EndsFatally(),
      testing::AllOf(
          testing::HasSubstr("错误代码：6\r\n\r\n错误信息：调用DLL命令后发现堆栈错误\r\n"),
          testing::Not(testing::HasSubstr("exit routine ran"))));
}

TEST(FatalDeathTest, NormalExitRunsExitRoutines) {
  EXPECT_EXIT(
      {
        RegisterExitRoutine(SayGoodbye);
        RunExitRoutines();
        std::fflush(stderr);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), testing::HasSubstr("exit routine ran"));
}

#ifndef _WIN32
// Without a desktop, the default presenter writes the text to standard error as UTF-8.
TEST(FatalDeathTest, DefaultPresenterOnLinuxWritesUtf8) {
  EXPECT_EXIT(
      {
        SetFatalPresenter(nullptr);
        ReportRuntimeMessage("载入启动窗口失败", 0);
      },
      test::EndsFatally(),
      testing::HasSubstr(
          reinterpret_cast<const char*>(u8"[错误] 运行时出错!\r\n\r\n错误信息：载入启动窗口失败")));
}
#endif

}  // namespace
}  // namespace tobrine
