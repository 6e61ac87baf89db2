// MultiByteToWideChar and WideCharToMultiByte on ICU converters.
#include "platform/posix/codepage.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/standins.h"

namespace tobrine::posix {
namespace {

const char* ConverterName(uint32_t codePage) {
  switch (codePage) {
    case 0:
    case 936:
      return "windows-936-2000";
    case 950:
      return "windows-950-2000";
    case 65001:
      return "UTF-8";
    default:
      return nullptr;
  }
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter Open(uint32_t codePage) {
  const char* name = ConverterName(codePage);
  if (!name) return nullptr;
  UErrorCode status = U_ZERO_ERROR;
  Converter c(ucnv_open(name, &status));
  if (U_FAILURE(status)) return nullptr;
  return c;
}

// The replacement for characters the target code page lacks.
struct Substitute {
  const char* bytes;
  int32_t length;
  bool used = false;
};

void SubstituteCallback(const void* context, UConverterFromUnicodeArgs* args,
                        const UChar* /*codeUnits*/, int32_t /*length*/, UChar32 /*codePoint*/,
                        UConverterCallbackReason reason, UErrorCode* status) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone
  auto* sub = static_cast<Substitute*>(const_cast<void*>(context));
  sub->used = true;
  *status = U_ZERO_ERROR;
  ucnv_cbFromUWriteBytes(args, sub->bytes, sub->length, 0, status);
}

}  // namespace

int32_t MultiByteToWideChar(uint32_t codePage, Dword /*flags*/, const char* source,
                            int32_t sourceLength, WideChar* destination, int32_t capacity) {
  if (!source || sourceLength == 0 || sourceLength < -1 || capacity < 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  Converter cnv = Open(codePage);
  if (!cnv) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  int32_t length =
      sourceLength == -1 ? static_cast<int32_t>(std::strlen(source)) + 1 : sourceLength;
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = ucnv_toUChars(cnv.get(), nullptr, 0, source, length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    SetLastError(kErrorNoUnicodeTranslation);
    return 0;
  }
  if (capacity == 0) return needed;
  std::vector<UChar> out(static_cast<std::size_t>(needed) + 1);
  status = U_ZERO_ERROR;
  ucnv_resetToUnicode(cnv.get());
  ucnv_toUChars(cnv.get(), out.data(), needed + 1, source, length, &status);
  int32_t written = needed < capacity ? needed : capacity;
  std::memcpy(destination, out.data(), static_cast<std::size_t>(written) * sizeof(WideChar));
  if (needed > capacity) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  return needed;
}

int32_t WideCharToMultiByte(uint32_t codePage, Dword /*flags*/, const WideChar* source,
                            int32_t sourceLength, char* destination, int32_t capacity,
                            const char* defaultChar, Bool* usedDefault) {
  if (!source || sourceLength == 0 || sourceLength < -1 || capacity < 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  Converter cnv = Open(codePage);
  if (!cnv) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  int32_t length = sourceLength;
  if (length == -1) {
    length = 0;
    while (source[length] != 0) ++length;
    ++length;  // the terminator is converted too
  }
  // The default character: the caller's (its first byte; the empty text gives a
  // zero byte), or the code page's own '?'.
  Substitute sub{"?", 1};
  if (defaultChar && codePage != 65001) sub = Substitute{defaultChar, 1};
  UErrorCode status = U_ZERO_ERROR;
  if (codePage != 65001) {
    ucnv_setFromUCallBack(cnv.get(), SubstituteCallback, &sub, nullptr, nullptr, &status);
  }
  status = U_ZERO_ERROR;
  auto* units = reinterpret_cast<const UChar*>(source);
  int32_t needed = ucnv_fromUChars(cnv.get(), nullptr, 0, units, length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    SetLastError(kErrorNoUnicodeTranslation);
    return 0;
  }
  if (usedDefault) *usedDefault = sub.used ? 1 : 0;
  if (capacity == 0) return needed;
  std::vector<char> out(static_cast<std::size_t>(needed) + 1);
  ucnv_resetFromUnicode(cnv.get());
  status = U_ZERO_ERROR;
  ucnv_fromUChars(cnv.get(), out.data(), needed + 1, units, length, &status);
  int32_t written = needed < capacity ? needed : capacity;
  std::memcpy(destination, out.data(), static_cast<std::size_t>(written));
  if (needed > capacity) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  return needed;
}

std::string ConvertCp936ToUtf8(std::string_view text) {
  if (text.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::string out(text.size() * 3 + 4, '\0');
  int32_t n =
      ucnv_convert("UTF-8", "windows-936-2000", out.data(), static_cast<int32_t>(out.size()),
                   text.data(), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string ConvertUtf8ToCp936(std::string_view text) {
  if (text.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::string out(text.size() * 2 + 4, '\0');
  int32_t n =
      ucnv_convert("windows-936-2000", "UTF-8", out.data(), static_cast<int32_t>(out.size()),
                   text.data(), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace tobrine::posix
