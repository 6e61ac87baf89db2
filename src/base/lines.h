// Splitting a text into lines and trimming them, as header texts are read on
// both sides of the seam (the exchange, the cookie collection, the command
// line's downloads and the Linux WinINet stand-in).
#pragma once

#include <string_view>

namespace tobrine::base {

// Calls `visit` with each line of `text`, in order: lines end at line feeds, a
// carriage return just before a line feed is not part of its line (every other
// byte is), and the text after the last line feed is a last line of its own
// (empty when the text ends with a line feed).
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  for (std::size_t pos = 0;;) {
    const std::size_t lf = text.find('\n', pos);
    std::string_view line = text.substr(pos, lf == std::string_view::npos ? lf : lf - pos);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    visit(line);
    if (lf == std::string_view::npos) return;
    pos = lf + 1;
  }
}

// `s` without the spaces and tabs around it.
inline std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace tobrine::base
