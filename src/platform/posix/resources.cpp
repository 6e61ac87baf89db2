// Stored data on Linux: compiled into the program from src/window/resources.
#include "platform/resources.h"

#include <cstddef>

// Generated at build time from src/window/resources/form_description.bin.
extern "C" const unsigned char tobrine_stored_form[];
extern "C" const std::size_t tobrine_stored_form_size;

namespace tobrine::platform {

std::string_view StoredFormBytes() {
  return {reinterpret_cast<const char*>(tobrine_stored_form), tobrine_stored_form_size};
}

}  // namespace tobrine::platform
