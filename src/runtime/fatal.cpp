#include "runtime/fatal.h"

#include <mutex>
#include <vector>

#include "platform/system.h"

namespace tobrine {
namespace {

struct ErrorEntry {
  int code;
  std::string_view message;
};

constexpr ErrorEntry kRuntimeErrors[] = {
#define TOBRINE_ERROR_ENTRY(code, message) {code, message},
    TOBRINE_RUNTIME_ERRORS(TOBRINE_ERROR_ENTRY)
#undef TOBRINE_ERROR_ENTRY
};

constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbIconStop = 0x10;

std::mutex g_mutex;
FatalPresenter& Presenter() {
  static auto* presenter = new FatalPresenter();
  return *presenter;
}
std::vector<void (*)()>& ExitRoutines() {
  static auto* routines = new std::vector<void (*)()>();
  return *routines;
}

void ShowDefault(std::string_view text) {
  platform::ShowSystemMessageBox(text, "错误", kMbOk | kMbIconStop, 0);
}

}  // namespace

std::string_view RuntimeErrorMessage(int code) {
  for (const auto& e : kRuntimeErrors)
    if (e.code == code) return e.message;
  return {};
}

std::string ComposeRuntimeErrorText(std::string_view message, int code) {
  std::string text = "运行时出错!\r\n\r\n";
  if (code != 0) text += "错误代码：" + std::to_string(code) + "\r\n\r\n";
  if (!message.empty()) {
    text += "错误信息：";
    text += message;
    text += "\r\n";
  }
  return text;
}

void ReportRuntimeError(int code) {
  ReportRuntimeMessage(RuntimeErrorMessage(code), code);
}

void ReportRuntimeMessage(std::string_view message, int code) {
  std::string text = ComposeRuntimeErrorText(message, code);
  FatalPresenter presenter;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    presenter = Presenter();
    ExitRoutines().clear();  // a report discards the registered exit routines
  }
  if (presenter)
    presenter(text);
  else
    ShowDefault(text);
  platform::ExitImmediately(kFatalExitCode);
}

void SetFatalPresenter(FatalPresenter presenter) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Presenter() = std::move(presenter);
}

void RegisterExitRoutine(void (*routine)()) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ExitRoutines().push_back(routine);
}

void RunExitRoutines() {
  std::vector<void (*)()> routines;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    routines.swap(ExitRoutines());
  }
  for (auto r : routines) r();
}

}  // namespace tobrine
