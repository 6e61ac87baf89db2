#include "window/startup.h"

#include <cfenv>

#include "platform/system.h"
#include "platform/window_backend.h"
#include "runtime/external.h"
#include "runtime/fatal.h"
#include "runtime/window_registry.h"
#include "window/handlers.h"
#include "window/link_extractor.h"
#include "window/main_form.h"
#include "window/result_list.h"

namespace tobrine::window {
namespace {

template <EventHandler handler>
void Call(DispatchRecord& /*record*/) {
  handler();  // the program's handlers take no arguments and return nothing
}

}  // namespace

std::vector<BoundHandler> ProgramHandlerTable() {
  std::vector<BoundHandler> table(kEventHandlerCount, nullptr);
  table[kLinkExtractorHandler] = &Call<LinkExtractor>;
  table[kOpenSelectedLinkHandler] = &Call<OpenSelectedLink>;
  return table;
}

void StartRuntime() {
  // Without OLE the window can still do all it does; the automation layer
  // initialises COM on its own.
  platform::StartGuiThread();
  const std::string programDir = platform::ProgramDirectory();
  platform::ChangeDirectory(programDir);
  SetExternalSearchDirectories("", programDir, "");
  LoadStoredForm();
  SetHandlerTable(ProgramHandlerTable());
  SetControlRequestHandler(&HandleControlRequest);
  std::fesetenv(FE_DFL_ENV);
  // No clean-up routine and no global initialisation: the program holds
  // nothing that outlives the window and has no global variables.
}

void LoadStartupWindow() {
  if (!LoadWindow(LoadStoredForm(), kMainFormId)) ReportRuntimeMessage("载入启动窗口失败", 0);
}

void RunMainLoop() {
  RunWindowLoop();
}

void EndRuntime() {
  RunExitRoutines();
  ReleaseExternalModules();
  platform::EndGuiThread();
}

int RunProgram() {
  StartRuntime();
  LoadStartupWindow();
  RunMainLoop();
  EndRuntime();
  return 0;
}

}  // namespace tobrine::window
