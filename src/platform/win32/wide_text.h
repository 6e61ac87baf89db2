// Texts across to the system's wide (W) functions: code page 936 (or another
// code page) to UTF-16 and back, with the system's own conversion.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tobrine::platform {

inline std::wstring WideFrom(UINT codePage, std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, w.data(), n);
  return w;
}

inline std::string BytesFrom(UINT codePage, const wchar_t* text, int length) {
  if (length <= 0) return std::string();
  const int n = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text, length, s.data(), n, nullptr, nullptr);
  return s;
}

// Every text of the program is code page 936.
inline std::wstring Widen(std::string_view text) {
  return WideFrom(936, text);
}
inline std::string Narrow(const wchar_t* text, int length) {
  return BytesFrom(936, text, length);
}

}  // namespace tobrine::platform
