// Fuzz target: addresses as browsers parse them. Whatever the bytes, parsing
// must not crash, leak or read outside the input; what is fetched is printable
// ASCII without spaces, and parsing it again gives it back unchanged; what is
// refused stays refused.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/url.h"

using namespace tobrine;

namespace {

void Check(const ParsedAddress& parsed) {
  if (!parsed) return;
  const std::string fetched = parsed.address.RequestAddress();
  for (char c : fetched)
    if (c <= 0x20 || c >= 0x7F) __builtin_trap();
  const ParsedAddress again = ParseWebAddress(fetched);
  if (!again || again.address.RequestAddress() != fetched) __builtin_trap();
  const std::string href = parsed.address.Href();
  const ParsedAddress whole = ParseWebAddress(href);
  if (!whole || whole.address.Href() != href) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view address(reinterpret_cast<const char*>(data), size);
  const ParsedAddress fetched = ParseFetchAddress(address);
  Check(fetched);
  // A refused address stays refused in the printable form it is told in.
  if (!fetched && ParseFetchAddress(AddressAsFetched(address))) __builtin_trap();
  Check(ParseWebAddress(address));
  Check(ResolveLocation("http://a.example:81/b/c?d#e", address));
  (void)UrlHost(address).view();
  (void)UrlObjectPath(address).view();
  (void)UrlPort(address);
  return 0;
}
