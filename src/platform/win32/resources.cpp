// Stored data on Windows: resources of the program file (src/window/resources/tobrine.rc).
#include "platform/resources.h"

#include <windows.h>

namespace tobrine::platform {

std::string_view StoredFormBytes() {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, L"TOBRINE_FORM", MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (!info) return {};
  HGLOBAL loaded = LoadResource(module, info);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return {};
  return {static_cast<const char*>(data), SizeofResource(module, info)};
}

}  // namespace tobrine::platform
