// Taking an address apart for the HTTP exchange: host, object path and port,
// and telling whether an address may be fetched at all. Plain text work: no
// percent-decoding; queries and fragments stay where they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/value.h"

namespace tobrine {

// The longest address that is fetched.
inline constexpr int32_t kMaxAddressBytes = 8 * 1024;

// The host to connect to, in lower case: the address without its leading scheme
// (any letter case) and without any other lower-case "https://" or "http://",
// cut before the first "/", after a "user:password@" and before the port. An
// IPv6 literal keeps its brackets ("[::1]").
TextValue UrlHost(std::string_view address);
// Everything from the first "/" after the scheme (query and fragment included),
// or "/" when there is none, with every byte that cannot stand in a request
// line percent-encoded (PercentEncodeAddress).
TextValue UrlObjectPath(std::string_view address);
// The port named after the host, 1 to 65535; without one (or an empty one), 443
// for an https address and 80 otherwise. 0 for any other port text (a word, 0,
// a number beyond 65535): such an address is not fetched.
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

// Whether the address may be fetched: a web scheme, at most kMaxAddressBytes,
// no control character, space or DEL anywhere (nothing that could end a request
// line or add a header line), a host and a valid port.
bool IsFetchableAddress(std::string_view address);

// The address with every byte that cannot stand in a request line as it is
// (non-ASCII, control characters, space) percent-encoded, byte for byte.
std::string PercentEncodeAddress(std::string_view address);

// Where a redirect's Location leads from `base`: an absolute http(s) address as
// it stands, "//host/…" with the base's scheme, "/path" on the base's host, any
// other text beside the base's last path segment. Empty when the Location is
// empty.
std::string ResolveLocation(std::string_view base, std::string_view location);

}  // namespace tobrine
