#include "runtime/external.h"

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <string>

#include "platform/loader.h"
#include "runtime/fatal.h"

namespace tobrine {
namespace {

// The table as stored with the program: index-aligned lists of the library
// names and the function names.
#define TOBRINE_EXTERNAL_LIBRARY(index, library, function, module) library,
constexpr const char* kLibraryNames[] = {TOBRINE_EXTERNAL_FUNCTIONS(TOBRINE_EXTERNAL_LIBRARY)};
#undef TOBRINE_EXTERNAL_LIBRARY
#define TOBRINE_EXTERNAL_NAME(index, library, function, module) #function,
constexpr const char* kFunctionNames[] = {TOBRINE_EXTERNAL_FUNCTIONS(TOBRINE_EXTERNAL_NAME)};
#undef TOBRINE_EXTERNAL_NAME
static_assert(std::size(kFunctionNames) == kExternalFunctionCount);

constexpr const char* kDefaultLibraries[] = {"Kernel32.dll", "Gdi32.dll", "User32.dll",
                                             "Advapi32.dll", "Mpr.dll",   "Shell32.dll"};

struct Entry {
  std::atomic<void*> address{nullptr};
  std::atomic<platform::ModuleHandle> module{nullptr};
};
Entry g_entries[kExternalFunctionCount];

std::mutex g_dirMutex;
std::string g_dllDirectory, g_programDirectory, g_extraDirectory;

platform::ModuleHandle LoadNamed(const std::string& name) {
  if (name.find(':') != std::string::npos) return platform::LoadModule(name);
  std::string dll, prog, extra;
  {
    std::lock_guard<std::mutex> lock(g_dirMutex);
    dll = g_dllDirectory;
    prog = g_programDirectory;
    extra = g_extraDirectory;
  }
  platform::ModuleHandle m = nullptr;
  if (!dll.empty()) m = platform::LoadModule(dll + name);
  if (!m && !prog.empty()) m = platform::LoadModule(prog + "\\" + name);
  if (!m && !extra.empty()) m = platform::LoadModule(extra + name);
  if (!m) m = platform::LoadModule(name);
  return m;
}

}  // namespace

const char* ExternalLibraryName(int index) {
  return kLibraryNames[index];
}
const char* ExternalFunctionName(int index) {
  return kFunctionNames[index];
}

bool IsExternalFunctionBound(int index) {
  return g_entries[index].address.load() != nullptr;
}

void SetExternalSearchDirectories(std::string dllDirectory, std::string programDirectory,
                                  std::string extraDirectory) {
  std::lock_guard<std::mutex> lock(g_dirMutex);
  g_dllDirectory = std::move(dllDirectory);
  g_programDirectory = std::move(programDirectory);
  g_extraDirectory = std::move(extraDirectory);
}

void* BindExternalFunction(int index) {
  Entry& entry = g_entries[index];
  if (void* bound = entry.address.load()) return bound;

  std::string library = ExternalLibraryName(index);
  std::string function = ExternalFunctionName(index);
  unsigned ordinal = 0;
  if (!function.empty() && function[0] == '#') {
    ordinal = static_cast<unsigned>(std::strtoul(function.c_str() + 1, nullptr, 10)) & 0xFFFF;
    function.clear();
  }

  platform::ModuleHandle module = nullptr;
  void* address = nullptr;
  if (library.empty()) {
    for (const char* name : kDefaultLibraries) {
      platform::ModuleHandle m = platform::LoadModule(name);
      if (!m) continue;
      address = platform::FindExport(m, function, ordinal);
      if (address) {
        module = m;
        break;
      }
      platform::ReleaseModule(m);
    }
  } else {
    module = LoadNamed(library);
    if (module) address = platform::FindExport(module, function, ordinal);
  }

  if (!address) {
    if (module) platform::ReleaseModule(module);
    std::string message = library.empty() ? "无法找到指定DLL库文件中的输出命令“" +
                                                std::string(ExternalFunctionName(index)) + "”"
                                          : "无法找到指定DLL库文件“" + library + "”中的输出命令“" +
                                                std::string(ExternalFunctionName(index)) + "”";
    ReportRuntimeMessage(message, 0);
  }

  // Two threads may bind the same entry at once; both store the same address and
  // the loser gives its extra module load back.
  platform::ModuleHandle expected = nullptr;
  if (!entry.module.compare_exchange_strong(expected, module)) platform::ReleaseModule(module);
  entry.address.store(address);
  return address;
}

void ReleaseExternalModules() {
  for (auto& entry : g_entries) {
    entry.address.store(nullptr);
    if (platform::ModuleHandle m = entry.module.exchange(nullptr)) platform::ReleaseModule(m);
  }
}

}  // namespace tobrine
