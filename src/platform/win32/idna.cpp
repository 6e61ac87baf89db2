// Domain names to ASCII on Windows: the system's IdnToAscii (IDNA2008 with the
// UTS #46 mapping from Windows 8 on, IDNA2003 before). ICU is not at hand for
// the Windows builds, and the system's own mapping is what WinINet expects.
#include "platform/idna.h"

#include <windows.h>

namespace tobrine::platform {

std::optional<std::string> DomainToAscii(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > 0x10000) return std::nullopt;
  const int size = static_cast<int>(utf8.size());
  const int units =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (units <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), units);
  const int n = IdnToAscii(0, wide.data(), units, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring ascii(static_cast<std::size_t>(n), L'\0');
  if (IdnToAscii(0, wide.data(), units, ascii.data(), n) != n) return std::nullopt;
  std::string out;
  out.reserve(ascii.size());
  for (wchar_t c : ascii) {
    if (c == 0 || c > 0x7F) return std::nullopt;
    out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  }
  return out;
}

}  // namespace tobrine::platform
