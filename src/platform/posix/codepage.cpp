// MultiByteToWideChar and WideCharToMultiByte on ICU converters, and the code
// page 936 <-> UTF-8 conversions of platform/system.h.
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/standins.h"
#include "platform/system.h"

namespace tobrine::posix {
namespace {

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

enum Charset { kGbk, kBig5, kUtf8, kCharsets };
constexpr const char* kConverterNames[kCharsets] = {"windows-936-2000", "windows-950-2000",
                                                    "UTF-8"};

// The calling thread's converter for a charset, opened on first use and kept
// (opening one costs more than most conversions; one converter serves one
// thread at a time). Nothing when ICU cannot open it.
UConverter* CachedConverter(Charset charset) {
  thread_local std::array<Converter, kCharsets> converters;
  Converter& c = converters[charset];
  if (!c) {
    UErrorCode status = U_ZERO_ERROR;
    c.reset(ucnv_open(kConverterNames[charset], &status));
    if (U_FAILURE(status)) c.reset();
  }
  return c.get();
}

UConverter* ConverterFor(uint32_t codePage) {
  switch (codePage) {
    case 0:
    case 936:
      return CachedConverter(kGbk);
    case 950:
      return CachedConverter(kBig5);
    case 65001:
      return CachedConverter(kUtf8);
    default:
      return nullptr;
  }
}

// The checks both conversions make before converting: the converter, or nothing
// with ERROR_INVALID_PARAMETER.
UConverter* Prepare(uint32_t codePage, const void* source, int32_t sourceLength, int32_t capacity) {
  UConverter* cnv = nullptr;
  if (source && sourceLength != 0 && sourceLength >= -1 && capacity >= 0)
    cnv = ConverterFor(codePage);
  if (!cnv) SetLastError(kErrorInvalidParameter);
  return cnv;
}

// What both conversions do with a measured result: the size alone when the
// caller asked for it (capacity 0), else as much as fits, and failure with
// ERROR_INSUFFICIENT_BUFFER when that is not all.
template <typename Unit, typename Convert>
int32_t Deliver(int32_t needed, Unit* destination, int32_t capacity, Convert convert) {
  if (capacity == 0) return needed;
  std::vector<Unit> out(static_cast<std::size_t>(needed) + 1);
  convert(out.data(), needed + 1);
  const int32_t written = needed < capacity ? needed : capacity;
  std::memcpy(destination, out.data(), static_cast<std::size_t>(written) * sizeof(Unit));
  if (needed > capacity) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  return needed;
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

// ICU's own substitution for characters the target lacks.
void SetDefaultSubstitution(UConverter* cnv) {
  UErrorCode status = U_ZERO_ERROR;
  ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &status);
}

// `text` from one charset to the other with ICU's substitutions; the text itself
// when it does not convert.
std::string Recode(Charset to, Charset from, std::string_view text) {
  UConverter* target = CachedConverter(to);
  UConverter* source = CachedConverter(from);
  if (text.empty() || !target || !source) return std::string(text);
  SetDefaultSubstitution(target);
  std::string out(text.size() * 3 + 4, '\0');
  char* t = out.data();
  const char* s = text.data();
  UErrorCode status = U_ZERO_ERROR;
  ucnv_convertEx(target, source, &t, out.data() + out.size(), &s, text.data() + text.size(),
                 nullptr, nullptr, nullptr, nullptr, true, true, &status);
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<std::size_t>(t - out.data()));
  return out;
}

}  // namespace

int32_t MultiByteToWideChar(uint32_t codePage, Dword /*flags*/, const char* source,
                            int32_t sourceLength, WideChar* destination, int32_t capacity) {
  UConverter* cnv = Prepare(codePage, source, sourceLength, capacity);
  if (!cnv) return 0;
  const int32_t length =
      sourceLength == -1 ? static_cast<int32_t>(std::strlen(source)) + 1 : sourceLength;
  UErrorCode status = U_ZERO_ERROR;
  const int32_t needed = ucnv_toUChars(cnv, nullptr, 0, source, length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    SetLastError(kErrorNoUnicodeTranslation);
    return 0;
  }
  return Deliver(needed, destination, capacity, [&](WideChar* out, int32_t room) {
    UErrorCode s = U_ZERO_ERROR;
    ucnv_toUChars(cnv, reinterpret_cast<UChar*>(out), room, source, length, &s);
  });
}

int32_t WideCharToMultiByte(uint32_t codePage, Dword /*flags*/, const WideChar* source,
                            int32_t sourceLength, char* destination, int32_t capacity,
                            const char* defaultChar, Bool* usedDefault) {
  UConverter* cnv = Prepare(codePage, source, sourceLength, capacity);
  if (!cnv) return 0;
  int32_t length = sourceLength;
  if (length == -1) {
    length = 0;
    while (source[length] != 0) ++length;
    ++length;  // the terminator is converted too
  }
  // The default character: the caller's (its first byte; the empty text gives a
  // zero byte), or the code page's own '?'. UTF-8 has none.
  Substitute sub{"?", 1};
  if (defaultChar && codePage != 65001) sub = Substitute{defaultChar, 1};
  UErrorCode status = U_ZERO_ERROR;
  if (codePage != 65001)
    ucnv_setFromUCallBack(cnv, SubstituteCallback, &sub, nullptr, nullptr, &status);
  // The kept converter must not keep a pointer to `sub`.
  struct Restore {
    UConverter* cnv;
    ~Restore() { SetDefaultSubstitution(cnv); }
  } restore{cnv};
  status = U_ZERO_ERROR;
  auto* units = reinterpret_cast<const UChar*>(source);
  const int32_t needed = ucnv_fromUChars(cnv, nullptr, 0, units, length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    SetLastError(kErrorNoUnicodeTranslation);
    return 0;
  }
  if (usedDefault) *usedDefault = sub.used ? 1 : 0;
  return Deliver(needed, destination, capacity, [&](char* out, int32_t room) {
    UErrorCode s = U_ZERO_ERROR;
    ucnv_fromUChars(cnv, out, room, units, length, &s);
  });
}

}  // namespace tobrine::posix

namespace tobrine::platform {

std::string Cp936ToUtf8(std::string_view text) {
  return posix::Recode(posix::kUtf8, posix::kGbk, text);
}

std::string Utf8ToCp936(std::string_view text) {
  return posix::Recode(posix::kGbk, posix::kUtf8, text);
}

}  // namespace tobrine::platform
