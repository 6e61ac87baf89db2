// Addresses as the program fetches them: the text a page, a manifest, a user or
// a redirect gives, read as UTF-8 or code page 936, parsed as a browser parses
// it (web/web_address.h), and taken apart for the HTTP exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/value.h"
#include "web/web_address.h"

namespace tobrine {

// The longest address that is fetched, as it is sent (percent-encoded).
inline constexpr int32_t kMaxAddressBytes = 8 * 1024;
// The longest text that is parsed as an address at all: tabs, line breaks and
// dot segments may make a longer text a short address, but not without bound.
inline constexpr std::size_t kMaxAddressInputBytes = 8 * kMaxAddressBytes;

// The address with "http://" in front unless it names a scheme of its own:
// "http:" or "https:" in any case (after leading blanks; tabs and line breaks
// do not count), or any other scheme followed by "//", which is then not
// fetched. "host:8080/x" gets the prefix (after any blanks in front, which go).
std::string WithScheme(std::string_view address);
// Whether WithScheme leaves the address as it is.
bool NamesScheme(std::string_view address);

// Parses an address the way it is fetched: WithScheme, the text read as UTF-8
// when it is well-formed UTF-8 and as code page 936 otherwise, then the
// browser's parser. An address whose port is 0, that is longer than
// kMaxAddressBytes as sent or kMaxAddressInputBytes as given fails too.
ParsedAddress ParseFetchAddress(std::string_view address);
// Whether ParseFetchAddress takes it.
inline bool IsFetchableAddress(std::string_view address) {
  return static_cast<bool>(ParseFetchAddress(address));
}
// What is fetched for the address (WebAddress::RequestAddress: ASCII, without
// credentials and fragment). An address that does not parse comes back with
// "http://" in front when it names no scheme, every byte that cannot stand in
// a request line percent-encoded: printable, and still refused when fetched.
std::string AddressAsFetched(std::string_view address);

// Where a redirect leads: the Location text (UTF-8 or code page 936) against
// the address that answered, as ParseFetchAddress judges it.
ParsedAddress ResolveLocation(std::string_view base, std::string_view location);

// The address taken apart for the exchange, as ParseFetchAddress parses it:
// the host to connect to (a lower-case ASCII domain, dotted IPv4 or "[IPv6]";
// empty when the address does not parse), the request target (path and query,
// "/" when it does not parse) and the port (0 when it does not parse).
TextValue UrlHost(std::string_view address);
TextValue UrlObjectPath(std::string_view address);
int32_t UrlPort(std::string_view address);

// The length of a leading "http://" (7) or "https://" (8) in any letter case of
// ASCII, else 0.
int32_t WebSchemeLength(std::string_view address);
// Whether the text begins with "http://" or "https://" in any letter case: what
// a double-click may hand to the shell.
inline bool HasWebScheme(std::string_view text) {
  return WebSchemeLength(text) != 0;
}
// Whether the address begins with "https://" in any letter case.
inline bool IsSecureAddress(std::string_view address) {
  return WebSchemeLength(address) == 8;
}

// Words for a front end that says why an address is not fetched.
std::string_view AddressFaultText(AddressFault fault);

}  // namespace tobrine
