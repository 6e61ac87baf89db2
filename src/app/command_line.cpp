// The Linux front end: `tobrine [URL]` runs the program's start-up on the
// headless windows, puts the address into the edit box, clicks "获取" and prints
// each result row the moment the lookup adds it.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "app/main_form.h"
#include "app/startup.h"
#include "platform/posix/headless_window.h"
#include "platform/system.h"
#include "platform/window_backend.h"
#include "runtime/commands.h"
#include "runtime/window_registry.h"

namespace {

constexpr const char* kUsage =
    "usage: tobrine [URL]\n"
    "\n"
    "Fetches the app distribution page at URL, finds the install-manifest\n"
    "addresses in it, fetches every manifest and prints the package download\n"
    "links it found, one per line as \"number<TAB>link\", each as soon as it is\n"
    "found. Without URL the program's stored example address is used. The\n"
    "closing message goes to standard error; the exit status is 0.\n";

void PrintRow(const std::vector<std::string>& cells) {
  std::string line = tobrine::platform::Cp936ToUtf8(cells.size() > 0 ? cells[0] : "") + "\t" +
                     tobrine::platform::Cp936ToUtf8(cells.size() > 1 ? cells[1] : "") + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tobrine;
  if (argc > 2 ||
      (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
    std::fputs(kUsage, argc > 2 ? stderr : stdout);
    return argc > 2 ? 2 : 0;
  }

  app::StartRuntime();
  app::LoadStartupWindow();
  platform::NativeWindow edit = LookupControl(app::kMainFormId, app::kEditBox1);
  platform::NativeWindow button = LookupControl(app::kMainFormId, app::kButton1);
  platform::NativeWindow window = LookupControl(app::kMainFormId, kWindowUnitId);
  if (argc == 2) platform::SetNativeText(edit, platform::Utf8ToCp936(argv[1]));

  // A row is complete when its "网址" cell has been set; the lookup fills the
  // number first and the link second.
  std::set<int32_t> printed;
  headless::SetListObserver([&printed](platform::NativeWindow, headless::ListChange change,
                                       int32_t row, const std::vector<std::string>& cells) {
    if (change == headless::ListChange::kCleared) {
      printed.clear();
    } else if (change == headless::ListChange::kCellSet && cells.size() > 1 && !cells[1].empty() &&
               printed.insert(row).second) {
      PrintRow(cells);
    }
  });

  // The click runs the whole lookup; the close is posted only after it, so that a
  // fetch's wait never dispatches it in the middle of the run.
  headless::PostClick(button);
  ProcessEvents();
  headless::PostClose(window);
  app::RunMainLoop();
  app::EndRuntime();
  return 0;
}
