// UTF-8 byte sequences: writing a code point, and telling a well-formed
// sequence (or text) from stray bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tobrine::text {

// The code point as UTF-8, appended to `out`.
inline void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The length of the well-formed multi-byte sequence at `p` (of `left` bytes),
// or 0: no overlong form, no surrogate, nothing past U+10FFFF.
inline std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left) {
  const unsigned char c = p[0];
  const std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || length > left) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((p[k] & 0xC0) != 0x80) return 0;
  if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0) || (c == 0xF0 && p[1] < 0x90) ||
      (c == 0xF4 && p[1] >= 0x90))
    return 0;
  return length;
}

// Whether every byte of `s` belongs to a well-formed UTF-8 sequence.
inline bool IsValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t i = 0; i < s.size();) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(p + i, s.size() - i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// UTF-16 text (`bigEndian` or little-endian units; an odd last byte ignored) as
// UTF-8. A surrogate without its partner becomes U+FFFD.
inline std::string Utf16AsUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size() / 2 * 3 / 2);
  const auto unit = [&](std::size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[i]),
               b = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? char32_t(a << 8 | b) : char32_t(b << 8 | a);
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(c >= 0xD800 && c <= 0xDFFF ? char32_t{0xFFFD} : c, out);
  }
  return out;
}

}  // namespace tobrine::text
