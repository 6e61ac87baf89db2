#include "text/codepage.h"

#include <cstring>

#include "runtime/commands.h"
#include "runtime/external.h"

namespace tobrine::text {
namespace {

using winapi::WideChar;

int32_t ToWide(uint32_t codePage, const char* text, WideChar* destination, int32_t capacity) {
  return CallExternal<kExtMultiByteToWideChar>(codePage, 0u, text, -1, destination, capacity);
}

// Through either of the two declarations of WideCharToMultiByte.
template <ExternalIndex Entry>
int32_t FromWide(uint32_t codePage, const WideChar* source, int32_t units, char* destination,
                 int32_t capacity) {
  return CallExternal<Entry>(codePage, 0u, source, units, destination, capacity, nullptr, nullptr);
}

// n × 2, formed in floating point and truncated as the runtime does.
int32_t Twice(int32_t n) {
  return static_cast<int32_t>(TruncateToInteger(n * 2.0));
}

WideChar* Units(ByteBlock& block) {
  return reinterpret_cast<WideChar*>(block.data());
}

// The block itself when it holds a zero unit; otherwise a copy with one appended,
// so that a reader of "up to the terminator" never runs past the block.
ByteBlock Terminated(const ByteBlock& block) {
  const int32_t units = block.size() / 2;
  for (int32_t i = 0; i < units; ++i) {
    if (block.data()[2 * i] == 0 && block.data()[2 * i + 1] == 0) return ByteBlock();
  }
  ByteBlock copy = ZeroBytes(units * 2 + 2);
  if (units > 0) std::memcpy(copy.data(), block.data(), static_cast<std::size_t>(units) * 2);
  return copy;
}

}  // namespace

ByteBlock CodePageToUtf16(std::string_view text, std::optional<uint32_t> codePage) {
  const uint32_t cp = codePage.value_or(65001);
  TextValue source = TextValue::FromBytes(text);
  // The size is asked in the default code page, whatever code page converts.
  const int32_t n = source.empty() ? 0 : ToWide(0, source.get(), nullptr, 0);
  ByteBlock block = ZeroBytes(Twice(n));
  if (!block.empty()) ToWide(cp, source.get(), Units(block), n);
  return block.Copy();
}

TextValue Utf16ToCodePage(const ByteBlock& block, std::optional<uint32_t> codePage) {
  const uint32_t cp = codePage.value_or(0);
  ByteBlock patched = block.empty() ? ByteBlock() : Terminated(block);
  const ByteBlock& source = patched.absent() ? block : patched;
  auto* units = reinterpret_cast<const WideChar*>(source.data());
  static char emptyText[1] = {0};
  const int32_t n = FromWide<kExtWideCharToMultiByteDll>(0, units, -1, emptyText, 0);
  TextValue out = SpaceText(Twice(n));
  if (!out.empty()) FromWide<kExtWideCharToMultiByteDll>(cp, units, -1, out.get(), Twice(n));
  return out.Copy();  // up to its first NUL
}

TextValue Utf8ToGbk(std::string_view text) {
  ByteBlock wide = CodePageToUtf16(text);
  return Utf16ToCodePage(wide, 936);
}

TextValue Big5ToGbk(std::string_view text) {
  TextValue source = TextValue::FromBytes(text);
  if (source.empty()) return TextValue();
  const int32_t n = ToWide(950, source.get(), nullptr, 0);
  ByteBlock wide = ZeroBytes(Twice(n));
  if (wide.empty()) return TextValue();
  ToWide(950, source.get(), Units(wide), n);
  const auto w = static_cast<int32_t>(TruncateToInteger(ByteBlockLength(wide) / 2.0));
  // No default character of our own: the system's replacement keeps everything
  // after a character that code page 936 lacks.
  const int32_t m = FromWide<kExtWideCharToMultiByte>(936, Units(wide), w, nullptr, 0);
  TextValue out = SpaceText(m);
  if (!out.empty()) FromWide<kExtWideCharToMultiByte>(936, Units(wide), w, out.get(), m);
  return out.Copy();  // up to its first NUL
}

TextValue TraditionalToSimplified(std::string_view text) {
  TextValue source = TextValue::FromBytes(text);
  const int32_t len = TextLength(source.view());
  TextValue out = SpaceText(len);
  if (out.empty()) return TextValue();
  CallExternal<kExtLCMapStringA>(winapi::kLocaleZhCn, winapi::kLcmapSimplifiedChinese, source.get(),
                                 len, out.get(), len);
  return out.Copy();  // up to its first NUL
}

TextValue Big5ToSimplifiedGbk(std::string_view text) {
  TextValue gbk = Big5ToGbk(text);
  return TraditionalToSimplified(gbk.view());
}

}  // namespace tobrine::text
