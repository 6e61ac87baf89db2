// Code-page conversion on ICU for the Linux stand-ins.
#pragma once

#include <string>
#include <string_view>

namespace tobrine::posix {

// Code page 936 bytes to UTF-8, for terminal output (unmappable bytes become U+FFFD).
std::string ConvertCp936ToUtf8(std::string_view text);
// UTF-8 to code page 936 bytes (unmappable characters become '?').
std::string ConvertUtf8ToCp936(std::string_view text);

}  // namespace tobrine::posix
