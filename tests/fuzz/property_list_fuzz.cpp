// Fuzz target: the property-list reader (both readings) and the manifest
// reading over arbitrary bytes must never crash, hang or leak, and every
// package link they give must be one the list can show.
//
// The whole input is the document. Build with clang: -fsanitize=fuzzer,address
// against tobrine_lib.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lookup/manifest.h"
#include "text/property_list.h"

using namespace tobrine;

namespace {

// A dict has as many keys as values, at every depth.
void CheckTree(const text::PropertyListValue& v, int depth) {
  using Kind = text::PropertyListValue::Kind;
  if (depth > 100000) __builtin_trap();
  if (v.kind == Kind::kDict && v.keys.size() != v.items.size()) __builtin_trap();
  if (v.kind != Kind::kDict && !v.keys.empty()) __builtin_trap();
  for (const auto& item : v.items) CheckTree(item, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);

  for (auto reading : {text::PropertyListReading::kStrict, text::PropertyListReading::kTolerant})
    if (auto root = text::ReadPropertyList(document, reading)) CheckTree(*root, 0);

  (void)text::DecodeXmlText(document);
  (void)lookup::LooksLikePropertyList(document);

  // More than 8 bytes, beginning with "http", no white space or control byte.
  for (const lookup::ManifestPackage& p : lookup::ReadManifest(document).packages) {
    if (p.link.size() <= 8) __builtin_trap();
    if ((p.link[0] | 0x20) != 'h' || (p.link[1] | 0x20) != 't' || (p.link[2] | 0x20) != 't' ||
        (p.link[3] | 0x20) != 'p')
      __builtin_trap();
    for (char c : p.link)
      if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) __builtin_trap();
  }
  return 0;
}
