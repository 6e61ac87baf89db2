// LCMapStringA for the traditional-to-simplified mapping (locale 0x0804,
// LCMAP_SIMPLIFIED_CHINESE) on ICU's Traditional-Simplified transliterator. Each
// double-byte character is mapped on its own and kept only when its simplified
// form is again one double-byte character, so the byte length never changes.
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/standins.h"

namespace tobrine::posix {
namespace {

icu::Transliterator* Simplifier() {
  static std::once_flag once;
  static icu::Transliterator* t = nullptr;
  std::call_once(once, [] {
    UErrorCode status = U_ZERO_ERROR;
    t = icu::Transliterator::createInstance("Traditional-Simplified", UTRANS_FORWARD, status);
    if (U_FAILURE(status)) t = nullptr;
  });
  return t;
}

std::mutex g_mutex;  // a Transliterator instance is not safe for concurrent use
// The mapped form of each double-byte code (lead * 256 + trail), filled as the
// codes are met: 0 = not known yet. Guarded by g_mutex.
uint16_t g_mapped[65536];

// Maps one GBK character (two bytes); returns false to keep it unchanged.
bool MapCharacter(const char* in, char* out) {
  WideChar wide[4] = {};
  if (MultiByteToWideChar(936, 0, in, 2, wide, 4) != 1) return false;
  icu::UnicodeString s(static_cast<UChar>(wide[0]));
  icu::Transliterator* t = Simplifier();
  if (!t) return false;
  t->transliterate(s);
  if (s.length() != 1) return false;
  WideChar mapped = static_cast<WideChar>(s.charAt(0));
  char bytes[4] = {};
  Bool usedDefault = 0;
  int32_t n = WideCharToMultiByte(936, 0, &mapped, 1, bytes, 4, nullptr, &usedDefault);
  if (n != 2 || usedDefault) return false;
  out[0] = bytes[0];
  out[1] = bytes[1];
  return true;
}

// Code page 936 lead bytes.
bool IsLeadByte(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

}  // namespace

int32_t LCMapStringA(Dword locale, Dword flags, const char* source, int32_t sourceLength,
                     char* destination, int32_t capacity) {
  if (!source || sourceLength == 0 || capacity < 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  if ((locale & 0xFFFF) != kLocaleZhCn || flags != kLcmapSimplifiedChinese) {
    SetLastError(kErrorInvalidFlags);
    return 0;
  }
  int32_t length = sourceLength < 0 ? static_cast<int32_t>(std::strlen(source)) + 1 : sourceLength;
  if (capacity == 0) return length;
  if (capacity < length) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  std::string out(source, static_cast<std::size_t>(length));
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int32_t i = 0; i < length;) {
    auto c = static_cast<unsigned char>(out[static_cast<std::size_t>(i)]);
    if (!IsLeadByte(c) || i + 1 >= length) {
      ++i;
      continue;
    }
    const auto code = static_cast<uint16_t>(c << 8 | static_cast<unsigned char>(source[i + 1]));
    uint16_t& mapped = g_mapped[code];
    if (mapped == 0) {
      char bytes[2];
      mapped = MapCharacter(source + i, bytes)
                   ? static_cast<uint16_t>(static_cast<unsigned char>(bytes[0]) << 8 |
                                           static_cast<unsigned char>(bytes[1]))
                   : code;
    }
    out[static_cast<std::size_t>(i)] = static_cast<char>(mapped >> 8);
    out[static_cast<std::size_t>(i) + 1] = static_cast<char>(mapped & 0xFF);
    i += 2;
  }
  std::memcpy(destination, out.data(), static_cast<std::size_t>(length));
  return length;
}

}  // namespace tobrine::posix
