// Fuzz target: the stored form description reader over arbitrary bytes. It
// must refuse or accept without reading outside the bytes, and what it accepts
// must write back to a description that reads the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/form_description.h"
#include "window/handlers.h"

using namespace tobrine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto form = ParseFormDescription(bytes, window::kEventHandlerCount);
  if (!form) return 0;
  const std::string written = SerializeFormDescription(*form);
  const auto again = ParseFormDescription(written, window::kEventHandlerCount);
  if (!again || !(*again == *form)) __builtin_trap();
  return 0;
}
