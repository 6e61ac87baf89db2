// Code-page conversion of received pages: UTF-8 or Big5 to code page 936, through
// the bound MultiByteToWideChar / WideCharToMultiByte / LCMapStringA.
//
// Every routine reads its input up to the first NUL, returns a new value the
// caller owns, and turns an empty input into an empty result. Nothing is reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/value.h"

namespace tobrine::text {

// A multibyte text in `codePage` (default 65001) to UTF-16: a block that ends with
// a zero unit and may carry spare zero bytes after it (its size is asked in the
// system's default code page).
ByteBlock CodePageToUtf16(std::string_view text, std::optional<uint32_t> codePage = std::nullopt);
// A UTF-16 block, read up to its first zero unit, to a text in `codePage`
// (default 0, the system's ANSI code page).
TextValue Utf16ToCodePage(const ByteBlock& block, std::optional<uint32_t> codePage = std::nullopt);

// UTF-8 bytes to code page 936.
TextValue Utf8ToGbk(std::string_view text);
// Big5 (code page 950) bytes to code page 936; a character that code page 936 lacks
// becomes the system's default character, and the rest of the text is kept.
TextValue Big5ToGbk(std::string_view text);
// Maps traditional characters of a code page 936 text to their simplified forms;
// the result has the input's byte length.
TextValue TraditionalToSimplified(std::string_view text);
// Big5 bytes to code page 936 with traditional characters simplified.
TextValue Big5ToSimplifiedGbk(std::string_view text);

}  // namespace tobrine::text
