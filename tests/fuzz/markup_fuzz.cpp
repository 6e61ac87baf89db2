// Fuzz target: the markup tokenizer, the script string reader and the second
// reading of a page over arbitrary bytes must never crash, hang or leak, and
// what they report must keep its promises.
//
// The first byte picks the byte layout for the script reading; the rest is the
// page. Build with clang: -fsanitize=fuzzer,address against tobrine_lib.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/ascii.h"
#include "lookup/install_links.h"
#include "text/markup.h"
#include "text/script_strings.h"
#include "web/url.h"

using namespace tobrine;

namespace {

class Checker final : public text::MarkupVisitor {
 public:
  void StartTag(std::string_view name, std::span<const text::MarkupAttribute> attributes,
                bool) override {
    CheckName(name);
    for (std::size_t i = 0; i < attributes.size(); ++i) {
      CheckName(attributes[i].name);
      // A repeated name keeps its first value only.
      for (std::size_t k = 0; k < i; ++k)
        if (attributes[k].name == attributes[i].name) __builtin_trap();
      // NUL, raw or as a reference, comes as U+FFFD.
      if (attributes[i].value.find('\0') != std::string::npos) __builtin_trap();
    }
  }
  void EndTag(std::string_view name) override { CheckName(name); }

 private:
  static void CheckName(std::string_view name) {
    for (char c : name)
      if (c >= 'A' && c <= 'Z') __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto layout = (data[0] & 1) ? text::ByteLayout::kDoubleByte : text::ByteLayout::kUtf8;
  const std::string_view page(reinterpret_cast<const char*>(data + 1), size - 1);

  Checker checker;
  text::TokenizeMarkup(page, checker);

  text::ForEachScriptString(page, layout, [](std::string_view) {});
  (void)text::GuessByteLayout(page);

  std::string decoded;
  text::AppendDecodedReferences(page, (data[0] & 2) != 0, decoded);

  // Every address is printable, names http or https, and is either what is
  // fetched for it (parsing it again gives it back) or refused when fetched.
  for (const std::string& address : lookup::InstallManifestAddresses(page)) {
    for (char c : address)
      if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        __builtin_trap();
    if (!base::StartsWithIgnoringAsciiCase(address, "http:") &&
        !base::StartsWithIgnoringAsciiCase(address, "https:"))
      __builtin_trap();
    const ParsedAddress parsed = ParseFetchAddress(address);
    if (parsed && parsed.address.RequestAddress() != address) __builtin_trap();
  }
  return 0;
}
