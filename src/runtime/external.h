// Late binding of the system functions the program declares: bound on first call
// by library and function name, kept for every later call, released at shutdown.
#pragma once

#include <string>
#include <utility>

#include "platform/winapi.h"

namespace tobrine {

// Indexes into the external function table (platform/winapi.h lists it).
enum ExternalIndex : int {
#define TOBRINE_EXTERNAL_INDEX(index, library, function, module) index,
  TOBRINE_EXTERNAL_FUNCTIONS(TOBRINE_EXTERNAL_INDEX)
#undef TOBRINE_EXTERNAL_INDEX
      kExternalFunctionCount
};

// The signature of each entry.
template <ExternalIndex>
struct ExternalSignature;
#define TOBRINE_EXTERNAL_SIGNATURE(index, library, function, module) \
  template <>                                                        \
  struct ExternalSignature<index> {                                  \
    using Fn = winapi::function##Fn;                                 \
  };
TOBRINE_EXTERNAL_FUNCTIONS(TOBRINE_EXTERNAL_SIGNATURE)
#undef TOBRINE_EXTERNAL_SIGNATURE

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

// Calls entry `Entry` through its typed signature. The stack-balance check that
// follows every call cannot fail under typed signatures, so it is not repeated
// here; runtime error 6 stays reserved for a call path that can detect it.
template <ExternalIndex Entry, typename... Args>
auto CallExternal(Args&&... args) {
  auto fn = reinterpret_cast<typename ExternalSignature<Entry>::Fn>(BindExternalFunction(Entry));
  return fn(std::forward<Args>(args)...);
}

// The owner of a handle that a declared function gave out: closes it through
// entry `CloseEntry` when it lets go of it.
template <ExternalIndex CloseEntry>
class ExternalHandle {
 public:
  ExternalHandle() = default;
  explicit ExternalHandle(void* handle) : handle_(handle) {}
  ExternalHandle(const ExternalHandle&) = delete;
  ExternalHandle& operator=(const ExternalHandle&) = delete;
  ExternalHandle(ExternalHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)) {}
  ExternalHandle& operator=(ExternalHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ~ExternalHandle() { Close(); }

  void* get() const { return handle_; }
  // For a function that takes an array of handles.
  void* const* address() const { return &handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Lets go of the handle without closing it (someone else has closed it).
  void* release() { return std::exchange(handle_, nullptr); }

 private:
  void Close() {
    if (void* h = std::exchange(handle_, nullptr)) CallExternal<CloseEntry>(h);
  }
  void* handle_ = nullptr;
};

}  // namespace tobrine
