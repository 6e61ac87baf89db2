// The Linux loader: library names resolve to built-in stand-in modules, each a
// table of exported names and addresses.
#include "platform/loader.h"

#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
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

// Every function of the external function table, exported by the module that
// has it on Windows (MsgWaitForMultipleObjects by user32, not kernel32). An
// entry declared twice is exported twice; the first one is found.
struct StandIn {
  const char* module;
  Export function;
};
#define TOBRINE_STANDIN(index, library, function, module) \
  {#module, {#function, reinterpret_cast<void*>(&posix::function)}},
const StandIn kStandIns[] = {TOBRINE_EXTERNAL_FUNCTIONS(TOBRINE_STANDIN)};
#undef TOBRINE_STANDIN

std::vector<Module>& Modules() {
  static auto* modules = [] {
    // The default libraries, some of which export nothing here, and the others.
    auto* list = new std::vector<Module>;
    for (const char* name :
         {"kernel32", "gdi32", "user32", "advapi32", "mpr", "shell32", "wininet", "ole32"})
      list->push_back({name, {}});
    for (const StandIn& s : kStandIns)
      for (Module& m : *list)
        if (std::string_view(m.name) == s.module) m.exports.push_back(s.function);
    return list;
  }();
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
