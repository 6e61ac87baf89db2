// Data stored with the program file. Each port (win32/resources.cpp,
// posix/resources.cpp) implements every function declared here.
#pragma once

#include <string_view>

namespace tobrine::platform {

// The stored form description's bytes, valid for the life of the process; empty
// when the program carries none (e.g. the resource is missing).
std::string_view StoredFormBytes();

}  // namespace tobrine::platform
