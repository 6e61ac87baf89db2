// Fuzz target: collecting the cookies of a raw header block and storing them
// through InternetSetCookieA (the stand-in's real cookie store).
//
// The first line is the host, the rest the header text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "web/cookies.h"

using namespace tobrine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t lf = input.find('\n');
  const std::string_view host = input.substr(0, lf == std::string_view::npos ? 0 : lf);
  const std::string_view header = lf == std::string_view::npos ? input : input.substr(lf + 1);
  TextValue cookies = CollectCookies(header, host);
  // The collected text holds one "name=value;" per cookie line: never more
  // bytes than the header had.
  if (cookies.view().size() > header.size()) __builtin_trap();
  return 0;
}
