// Small kernel32 and ole32 stand-ins: the per-thread last error, COM set-up.
#include "platform/posix/standins.h"

namespace tobrine::posix {
namespace {
thread_local Dword t_lastError = 0;
}  // namespace

Dword LastError() {
  return t_lastError;
}
void SetLastError(Dword error) {
  t_lastError = error;
}

// The in-process automation host needs no per-thread set-up: S_OK.
int32_t CoInitialize(void* /*reserved*/) {
  return 0;
}
void CoUninitialize() {}

}  // namespace tobrine::posix
