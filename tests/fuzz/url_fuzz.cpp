// Fuzz target: taking an address apart (host, object path, port, scheme) must
// never crash, leak or read outside the address, whatever its bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "web/url.h"

using namespace tobrine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view address(reinterpret_cast<const char*>(data), size);
  TextValue host = UrlHost(address);
  TextValue path = UrlObjectPath(address);
  const int32_t port = UrlPort(address);
  const bool secure = IsSecureAddress(address);
  (void)host.view();
  (void)path.view();
  (void)port;
  (void)secure;
  return 0;
}
