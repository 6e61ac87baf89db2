// ASCII work on bytes, done the same way everywhere: only the letters A-Z fold
// (bytes of code page 936 and UTF-8 stay as they are), hex digits, and the
// percent-encoding of addresses.
#pragma once

#include <string>
#include <string_view>

namespace tobrine::base {

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

inline std::string AsciiLowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

inline bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
  return true;
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoringAsciiCase(a, b);
}

inline bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

// The value of a hex digit, -1 for any other byte.
inline int HexValue(char c) {
  if (IsAsciiDigit(c)) return c - '0';
  c = AsciiLower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

inline bool IsHexDigit(char c) {
  return HexValue(c) >= 0;
}

// "%41" becomes "A"; a '%' without two hex digits after it stays as it is.
inline std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// Appends byte `b` as "%XX", the digits in upper case as browsers write them.
inline void AppendPercentEncoded(std::string& out, unsigned char b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += '%';
  out += kDigits[b >> 4];
  out += kDigits[b & 15];
}

}  // namespace tobrine::base
