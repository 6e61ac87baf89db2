// The cookies a response sets: collected into the received cookie text and
// stored in the system's cookie store for the site.
#pragma once

#include <string_view>

#include "runtime/value.h"

namespace tobrine {

// For each "Set-Cookie: " line of the raw header text (found in any letter case,
// anywhere in the line): appends the part before its first ";" plus ";" to the
// result and stores the cookie for "http://" + host. Lines end at line feeds; a
// carriage return before a line feed is not part of the line.
TextValue CollectCookies(std::string_view headerText, std::string_view host);

}  // namespace tobrine
