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

}  // namespace tobrine::test
