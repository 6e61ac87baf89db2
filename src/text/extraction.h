// Extraction of every text between two markers, and the marker escaping and
// multi-pair replacement it rests on.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/value.h"

namespace tobrine::text {

struct ExtractOptions {
  int32_t lengthLimit = 0;    // pieces longer than this many bytes are dropped; 0 keeps all
  std::string_view prefix;    // put before each piece
  std::string_view suffix;    // put after each piece
  bool includeLeft = false;   // the left marker before each result
  bool includeRight = false;  // the right marker after each result
};

// Empties `results`, then appends every piece that stands between `left` and
// `right`, wrapped as the options say: what the pattern left(.*?)right finds
// with case ignored, every marker character taken literally. Pieces start at
// the leftmost left marker, stop at the first right marker after it, stay on
// one line, do not overlap, and keep the page's bytes. Works in characters of
// code page 936 in one pass over `source`. All texts end at their first NUL.
// Returns the element count of `results`.
int32_t ExtractAllBetween(std::string_view source, std::string_view left, std::string_view right,
                          ArrayValue& results, const ExtractOptions& options = {});

// The text with a backslash before every character that has a meaning in a
// pattern; double-byte characters are walked whole.
TextValue EscapePatternText(std::string_view text);

// One find text and its replacement; an empty find text leaves the text unchanged.
struct ReplacePair {
  std::string_view find;
  std::string_view replacement;
};

// Applies up to five pairs in order, each from `start` (0 or absent: 1), `count`
// times (absent: every occurrence), with or without regard to case.
TextValue ReplaceMany(std::string_view text, std::optional<int32_t> count,
                      std::optional<int32_t> start, std::optional<bool> caseSensitive,
                      const ReplacePair& first, const ReplacePair& second = {},
                      const ReplacePair& third = {}, const ReplacePair& fourth = {},
                      const ReplacePair& fifth = {});

}  // namespace tobrine::text
