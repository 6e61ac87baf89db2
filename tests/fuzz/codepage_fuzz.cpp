// Fuzz target: the code-page conversions over arbitrary bytes. Byte 0 picks the
// routine and the code page; the rest is the text (or the UTF-16 block). Every
// conversion must stay inside its buffers, and a valid code page 936 text must
// come back unchanged through UTF-16.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/codepage.h"

using namespace tobrine;

namespace {

constexpr uint32_t kCodePages[] = {0, 936, 950, 65001, 12345};

// Every character a lead byte 0x81-0xFE with its trail byte, or one byte below 0x80.
bool IsValidGbk(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) continue;
    if (b == 0x80 || b == 0xFF || i + 1 == text.size()) return false;
    const auto t = static_cast<unsigned char>(text[++i]);
    if (t < 0x40 || t == 0x7F || t == 0xFF) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint32_t codePage = kCodePages[(data[0] >> 3) % 5];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] & 7) {
    case 0:
      (void)text::Utf8ToGbk(text).view();
      break;
    case 1:
      (void)text::Big5ToSimplifiedGbk(text).view();
      break;
    case 2:
      (void)text::Big5ToGbk(text).view();
      break;
    case 3:
      (void)text::TraditionalToSimplified(text).view();
      break;
    case 4:
      (void)text::CodePageToUtf16(text, codePage).bytes();
      break;
    case 5:
      (void)text::Utf16ToCodePage(ByteBlock::FromBytes(text), codePage).view();
      break;
    default: {
      text = text.substr(0, text.find('\0'));
      const TextValue back = text::Utf16ToCodePage(text::CodePageToUtf16(text, 936), 936);
      if (IsValidGbk(text) && back.view() != text) __builtin_trap();
      break;
    }
  }
  return 0;
}
