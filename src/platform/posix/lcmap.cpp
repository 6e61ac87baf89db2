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

constexpr Dword kErrorInvalidParameter = 87;
constexpr Dword kErrorInvalidFlags = 1004;

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

// Maps one GBK character (two bytes); returns false to keep it unchanged.
bool MapCharacter(const char* in, char* out) {
  WideChar wide[4] = {};
  if (MultiByteToWideChar(936, 0, in, 2, wide, 4) != 1) return false;
  icu::UnicodeString s(static_cast<UChar>(wide[0]));
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    icu::Transliterator* t = Simplifier();
    if (!t) return false;
    t->transliterate(s);
  }
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
  for (int32_t i = 0; i < length;) {
    auto c = static_cast<unsigned char>(out[static_cast<std::size_t>(i)]);
    if (c >= 0x80 && i + 1 < length) {
      MapCharacter(source + i, &out[static_cast<std::size_t>(i)]);
      i += 2;
    } else {
      ++i;
    }
  }
  std::memcpy(destination, out.data(), static_cast<std::size_t>(length));
  return length;
}

}  // namespace tobrine::posix
