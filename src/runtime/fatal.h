// The fatal runtime-error reporter: one dialog, then the process ends with -1.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tobrine {

#define TOBRINE_RUNTIME_ERRORS(X)                                         \
  X(1, "数组成员引用下标超出定义范围")                                    \
  X(2, "未得到所需要的数值型数据")                                        \
  X(3, "引用数组成员时维数不为1且不等于该数组目前所具有的维数")           \
  X(4, "数组成员引用下标必须大于等于1")                                   \
  X(5, "数据或数组类型不匹配")                                            \
  X(6, "调用DLL命令后发现堆栈错误")                                       \
  X(7, "子语句参数未返回数据或者返回了非系统基本类型或数组型数据")        \
  X(8, "被比较数据只能使用等于或不等于命令比较")                          \
  X(9, "“多项选择”命令的索引值参数小于零或超出了所提供参数表范围")        \
  X(10, "“重定义数组”命令的数组维定义参数值必须大于零或单维时大于等于零") \
  X(11, "所提供参数的数据类型不符合要求")

// The runtime error codes by name.
enum RuntimeErrorCode : int {
  kIndexAboveCount = 1,
  kIndexBelowOne = 4,
  kStackImbalance = 6,
};

// The exit code of the process after a report: -1 on Windows; a Linux exit
// status shows it as 255.
inline constexpr int kFatalExitCode = -1;

// The message of a runtime error code (1 to 11); empty for any other code.
std::string_view RuntimeErrorMessage(int code);

// Composes the dialog text: "运行时出错!\r\n\r\n", then "错误代码：<code>\r\n\r\n" when
// code != 0, then "错误信息：<message>\r\n" when the message is not empty.
std::string ComposeRuntimeErrorText(std::string_view message, int code);

// Reports runtime error `code` from the table with its message. Never returns.
[[noreturn]] void ReportRuntimeError(int code);
// Reports a ready-made message; code 0 shows no code line. Never returns.
[[noreturn]] void ReportRuntimeMessage(std::string_view message, int code);

// Shows the composed text to the user (code page 936 bytes). The default shows a
// message box captioned "错误" with OK and the stop icon and no owner (on Linux:
// standard error). A replacement is for embedding and tests; the process still
// ends after it returns.
using FatalPresenter = std::function<void(std::string_view text)>;
void SetFatalPresenter(FatalPresenter presenter);

// Exit routines run at a normal end of the program and are discarded by a report.
void RegisterExitRoutine(void (*routine)());
void RunExitRoutines();

}  // namespace tobrine
