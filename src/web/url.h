// Taking an address apart for the HTTP exchange: host, object path and port.
// Plain text work: no percent-decoding; queries and fragments stay where they
// are.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/value.h"

namespace tobrine {

// The host to connect to, in lower case: the address without its leading scheme
// (any letter case) and without any other lower-case "https://" or "http://",
// cut before the first "/", after a "user:password@" and before the port.
TextValue UrlHost(std::string_view address);
// Everything from the first "/" after the host (query and fragment included),
// or "/" when there is none.
TextValue UrlObjectPath(std::string_view address);
// The port named after the host; without one, 443 for an https address and 80
// otherwise. A port text that does not start with a number gives 0.
int32_t UrlPort(std::string_view address);

// The length of a leading "http://" (7) or "https://" (8) in any letter case of
// ASCII, else 0. The one place that decides whether a text names a web scheme.
int32_t WebSchemeLength(std::string_view address);
// Whether the text begins with "http://" or "https://" in any letter case.
inline bool HasWebScheme(std::string_view text) {
  return WebSchemeLength(text) != 0;
}
// Whether the address begins with "https://" in any letter case.
inline bool IsSecureAddress(std::string_view address) {
  return WebSchemeLength(address) == 8;
}

}  // namespace tobrine
