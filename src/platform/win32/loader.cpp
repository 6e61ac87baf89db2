#include "platform/loader.h"

#include <windows.h>

namespace tobrine::platform {

ModuleHandle LoadModule(const std::string& name) {
  return LoadLibraryA(name.c_str());
}

void* FindExport(ModuleHandle module, const std::string& name, unsigned ordinal) {
  FARPROC p = name.empty() ? GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(ordinal))
                           : GetProcAddress(static_cast<HMODULE>(module), name.c_str());
  return reinterpret_cast<void*>(p);
}

void ReleaseModule(ModuleHandle module) {
  FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace tobrine::platform
