// The Linux loader: library names resolve to built-in stand-in modules, each a
// table of exported names and addresses.
#include "platform/loader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/standin_modules.h"
#include "platform/posix/standins.h"

namespace tobrine::platform {
namespace {

struct Export {
  const char* name;
  void* address;
};

struct Module {
  const char* name;
  std::vector<Export> exports;
  bool available = true;
  int loads = 0;
};

#define TOBRINE_EXPORT(fn)                     \
  Export {                                     \
#fn, reinterpret_cast < void*>(&posix::fn) \
  }

std::vector<Module>& Modules() {
  static auto* modules = new std::vector<Module>{
      // As on Windows, MsgWaitForMultipleObjects lives in user32, not kernel32.
      {"kernel32",
       {TOBRINE_EXPORT(MultiByteToWideChar), TOBRINE_EXPORT(WideCharToMultiByte),
        TOBRINE_EXPORT(LCMapStringA), TOBRINE_EXPORT(CreateThread), TOBRINE_EXPORT(CloseHandle),
        TOBRINE_EXPORT(TerminateThread)}},
      {"gdi32", {}},
      {"user32", {TOBRINE_EXPORT(MsgWaitForMultipleObjects)}},
      {"advapi32", {}},
      {"mpr", {}},
      {"shell32", {}},
      {"wininet",
       {TOBRINE_EXPORT(InternetOpenA), TOBRINE_EXPORT(InternetConnectA),
        TOBRINE_EXPORT(HttpOpenRequestA), TOBRINE_EXPORT(HttpSendRequestA),
        TOBRINE_EXPORT(InternetReadFile), TOBRINE_EXPORT(HttpQueryInfoA),
        TOBRINE_EXPORT(InternetCloseHandle), TOBRINE_EXPORT(InternetSetCookieA)}},
      {"ole32", {TOBRINE_EXPORT(CoInitialize), TOBRINE_EXPORT(CoUninitialize)}},
  };
  return *modules;
}

std::mutex g_mutex;
std::vector<std::string> g_loadAttempts;

// "KERNEL32.DLL" and "kernel32" name the same module; a name with a folder in it
// names a file, which no stand-in is.
Module* Find(const std::string& name) {
  if (name.find_first_of("/\\:") != std::string::npos) return nullptr;
  std::string key;
  for (char c : name) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (key.size() > 4 && key.compare(key.size() - 4, 4, ".dll") == 0) key.resize(key.size() - 4);
  for (auto& m : Modules())
    if (key == m.name) return &m;
  return nullptr;
}

}  // namespace

ModuleHandle LoadModule(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_loadAttempts.push_back(name);
  Module* m = Find(name);
  if (!m || !m->available) return nullptr;
  ++m->loads;
  return m;
}

void* FindExport(ModuleHandle module, const std::string& name, unsigned /*ordinal*/) {
  auto* m = static_cast<Module*>(module);
  if (!m || name.empty()) return nullptr;  // stand-ins export no ordinals
  for (const auto& e : m->exports)
    if (name == e.name) return e.address;
  return nullptr;
}

void ReleaseModule(ModuleHandle module) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* m = static_cast<Module*>(module);
  if (m && m->loads > 0) --m->loads;
}

}  // namespace tobrine::platform

namespace tobrine::posix {

void SetModuleAvailable(const std::string& name, bool available) {
  std::lock_guard<std::mutex> lock(platform::g_mutex);
  if (auto* m = platform::Find(name)) m->available = available;
}

std::vector<std::string> TakeLoadAttempts() {
  std::lock_guard<std::mutex> lock(platform::g_mutex);
  return std::exchange(platform::g_loadAttempts, {});
}

int ModuleLoadCount(const std::string& name) {
  std::lock_guard<std::mutex> lock(platform::g_mutex);
  auto* m = platform::Find(name);
  return m ? m->loads : 0;
}

}  // namespace tobrine::posix
