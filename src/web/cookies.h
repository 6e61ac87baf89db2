// The cookies a response sets: collected into the received cookie text and
// stored in the system's cookie store for the site.
#pragma once

#include <string_view>

#include "runtime/value.h"

namespace tobrine {

// For each "Set-Cookie: " line of the raw header text (found in any letter case,
// anywhere in the line): appends the part before its first ";" plus ";" to the
// result, which is the header text's as it stands. Lines end at line feeds; a
// carriage return before a line feed is not part of the line.
//
// Each cookie is also stored for the site "http://" + host ("https://" + host
// for a `secure` exchange), except a cookie whose Domain does not cover the host
// and a Secure cookie that did not come over https. A Max-Age is stored as the
// expiry date it stands for, so that an expired cookie (Max-Age 0 or less, or a
// past Expires) is dropped from the store instead of kept.
TextValue CollectCookies(std::string_view headerText, std::string_view host, bool secure = false);

}  // namespace tobrine
