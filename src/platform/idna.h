// Internationalised domain names to the ASCII form a request carries. Each port
// (win32/idna.cpp, posix/idna.cpp) implements it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tobrine::platform {

// A domain name in UTF-8 to ASCII as web addresses need it (UTS #46,
// nontransitional: every label mapped, non-ASCII labels in punycode, letters
// in lower case; bidi and joiner rules checked, hyphens and lengths not).
// Nothing when the name is not valid. On Linux ICU maps it; on Windows the
// system's IdnToAscii does.
std::optional<std::string> DomainToAscii(std::string_view utf8);

}  // namespace tobrine::platform
