// Late binding of the system functions the program declares: bound on first call
// by library and function name, kept for every later call, released at shutdown.
#pragma once

#include <string>
#include <utility>

#include "platform/winapi.h"

namespace tobrine {

// Indexes into the external function table.
enum ExternalIndex : int {
  kExtMsgWaitForMultipleObjects = 0,
  kExtCloseHandle = 1,
  kExtCreateThread = 2,
  kExtTerminateThread = 3,
  kExtMultiByteToWideChar = 4,
  kExtWideCharToMultiByteDll = 5,  // declared with "kernel32.dll"
  kExtWideCharToMultiByte = 6,     // declared with "kernel32"
  kExtLCMapStringA = 7,
  kExtInternetOpenA = 8,
  kExtInternetConnectA = 9,
  kExtHttpOpenRequestA = 10,
  kExtHttpSendRequestA = 11,
  kExtInternetReadFile = 12,
  kExtHttpQueryInfoA = 13,
  kExtInternetCloseHandle = 14,
  kExtInternetSetCookieA = 15,
  kExtCoInitialize = 16,
  kExtCoUninitialize = 17,
};

inline constexpr int kExternalFunctionCount = 18;

// The declared library name (possibly empty) and function name of an entry.
const char* ExternalLibraryName(int index);
const char* ExternalFunctionName(int index);

// The bound address of the entry, binding it first when needed. A function that
// cannot be bound is reported (code 0) and ends the process.
void* BindExternalFunction(int index);
// Whether the entry has been bound (for tests and diagnostics).
bool IsExternalFunctionBound(int index);

// The directories searched before the system's own search for a library named
// without a drive or folder: DLL directory, program directory, extra directory.
// The program directory is set at start-up; the other two are empty unless set.
void SetExternalSearchDirectories(std::string dllDirectory, std::string programDirectory,
                                  std::string extraDirectory);

// Releases every module recorded by a binding and forgets all bound addresses.
void ReleaseExternalModules();

// Calls entry `index` through its typed signature. The stack-balance check that
// follows every call cannot fail under typed signatures, so it is not repeated
// here; runtime error 6 stays reserved for a call path that can detect it.
template <typename Fn, typename... Args>
auto CallExternal(int index, Args&&... args) {
  auto fn = reinterpret_cast<Fn>(BindExternalFunction(index));
  return fn(std::forward<Args>(args)...);
}

}  // namespace tobrine
