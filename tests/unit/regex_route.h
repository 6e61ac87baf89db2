// The regular-expression route of the extraction: the pattern
// escaped-left(.*?)escaped-right run by the regular-expression object, ignoring
// case, globally. ExtractAllBetween must find what this finds; the unit tests
// and the extraction fuzz target compare the two.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/value.h"
#include "text/extraction.h"
#include "text/regex_object.h"

namespace tobrine::test {

// The group text of every match, in order. COM must be initialised on the thread.
inline std::vector<std::string> RegexRoutePieces(std::string_view source, std::string_view left,
                                                 std::string_view right) {
  text::RegexObject regex;
  TextValue pattern = JoinTexts(text::EscapePatternText(left), std::string_view("(.*?)"),
                                text::EscapePatternText(right));
  regex.Create(pattern.view(), source);
  std::vector<std::string> pieces;
  const int32_t n = regex.GetMatchCount();
  for (int32_t i = 1; i <= n; ++i) pieces.emplace_back(regex.GetSubMatchText(i, 1).view());
  return pieces;
}

// The pieces ExtractAllBetween finds, without prefix, suffix or markers.
inline std::vector<std::string> ExtractedPieces(std::string_view source, std::string_view left,
                                                std::string_view right) {
  ArrayValue results(ValueKind::kText);
  const int32_t n = text::ExtractAllBetween(source, left, right, results);
  std::vector<std::string> pieces;
  for (int32_t i = 1; i <= n; ++i) pieces.emplace_back(results.TextAt(i));
  return pieces;
}

// The regular-expression route reads a lead byte that nothing pairs with as one
// character and gives it back as '?'; ExtractAllBetween keeps the page's byte.
// This turns a piece of ExtractAllBetween into what the route gives.
inline std::string LoneLeadsAsQuestionMarks(std::string_view piece) {
  std::string out;
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const auto b = static_cast<unsigned char>(piece[i]);
    const bool lead = b >= 0x81 && b <= 0xFE;
    const auto next = i + 1 < piece.size() ? static_cast<unsigned char>(piece[i + 1]) : 0;
    if (lead && next >= 0x40 && next <= 0xFE && next != 0x7F) {
      out += piece.substr(i, 2);
      ++i;
    } else {
      out += lead ? '?' : static_cast<char>(b);
    }
  }
  return out;
}

// Whether the regular-expression route escapes `marker` character by character as
// code page 936 reads it: its escaping takes every byte from 0x80 on for a lead
// byte, so 0x80, 0xFF and lead bytes without a trail byte would change meaning.
inline bool EscapesAsRead(std::string_view marker) {
  for (std::size_t i = 0; i < marker.size(); ++i) {
    const auto b = static_cast<unsigned char>(marker[i]);
    if (b < 0x80) continue;
    const auto next = i + 1 < marker.size() ? static_cast<unsigned char>(marker[i + 1]) : 0;
    if (b == 0x80 || b == 0xFF || next < 0x40 || next == 0x7F || next == 0xFF) return false;
    ++i;
  }
  return true;
}

}  // namespace tobrine::test
