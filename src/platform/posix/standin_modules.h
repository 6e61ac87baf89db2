// The built-in stand-in modules that the Linux loader resolves library names to:
// kernel32, user32, gdi32, advapi32, mpr, shell32, wininet, ole32 (names
// case-insensitive, with or without ".dll"; a name with a folder in it is not a
// stand-in).
#pragma once

#include <string>
#include <vector>

namespace tobrine::posix {

// Makes a stand-in module unavailable (or available again), as if its library
// were missing from the system. For tests.
void SetModuleAvailable(const std::string& name, bool available);

// How many times a module has been loaded and not yet released (for tests).
int ModuleLoadCount(const std::string& name);

// The names LoadModule was asked for since the last call, in order (for tests
// of the binding's search order).
std::vector<std::string> TakeLoadAttempts();

// Makes CreateThread fail (or work again), as when a thread cannot be created.
void SetThreadStartsFail(bool fail);

}  // namespace tobrine::posix
