// Loading system libraries by name and looking up their functions. Windows:
// LoadLibraryA / GetProcAddress / FreeLibrary. Linux: the built-in stand-in
// modules of platform/posix, found by the same names.
#pragma once

#include <string>

namespace tobrine::platform {

using ModuleHandle = void*;

// Loads a library by the name or path given; nullptr when it cannot be loaded.
ModuleHandle LoadModule(const std::string& name);
// The address of an exported function by name, or by ordinal when `name` is
// empty; nullptr when the module has no such export.
void* FindExport(ModuleHandle module, const std::string& name, unsigned ordinal = 0);
// Releases one load of the module.
void ReleaseModule(ModuleHandle module);

}  // namespace tobrine::platform
