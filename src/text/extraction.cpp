#include "text/extraction.h"

#include "runtime/commands.h"
#include "text/regex_object.h"

namespace tobrine::text {

int32_t ExtractAllBetween(std::string_view source, std::string_view left, std::string_view right,
                          ArrayValue& results, const ExtractOptions& options) {
  RegexObject regex;
  results.Clear();
  TextValue pattern =
      JoinTexts(EscapePatternText(left), std::string_view("(.*?)"), EscapePatternText(right));
  regex.Create(pattern.view(), source);  // a refusal shows as no matches
  const int32_t n = regex.GetMatchCount();
  for (int32_t i = 1; i <= n; ++i) {
    TextValue piece = regex.GetSubMatchText(i, 1);
    if (options.lengthLimit != 0 && piece.size() > options.lengthLimit) continue;
    piece = JoinTexts(options.prefix, piece, options.suffix);
    if (options.includeLeft) piece = JoinTexts(left, piece);
    if (options.includeRight) piece = JoinTexts(piece, right);
    AppendElement(results, piece);
  }
  return ElementCount(results.block());
}

TextValue EscapePatternText(std::string_view text) {
  // Every marker means its characters literally. The backslash goes first so
  // that the escapes added later are not escaped again.
  TextValue once = ReplaceMany(text, std::nullopt, 1, false, {"\\", "\\\\"}, {".", "\\."},
                               {"^", "\\^"}, {"$", "\\$"}, {"|", "\\|"});
  TextValue twice = ReplaceMany(once.view(), std::nullopt, 1, false, {"?", "\\?"}, {"*", "\\*"},
                                {"+", "\\+"}, {"[", "\\["}, {"]", "\\]"});
  return ReplaceMany(twice.view(), std::nullopt, 1, false, {"(", "\\("}, {")", "\\)"}, {"{", "\\{"},
                     {"}", "\\}"});
}

TextValue ReplaceMany(std::string_view text, std::optional<int32_t> count,
                      std::optional<int32_t> start, std::optional<bool> caseSensitive,
                      const ReplacePair& first, const ReplacePair& second, const ReplacePair& third,
                      const ReplacePair& fourth, const ReplacePair& fifth) {
  const int32_t from = start.value_or(0) == 0 ? 1 : *start;
  TextValue running = TextValue::FromBytes(text);
  for (const ReplacePair* pair : {&first, &second, &third, &fourth, &fifth}) {
    if (pair->find.empty()) continue;
    running = ReplaceSubtext(running.view(), pair->find, pair->replacement, from, count,
                             caseSensitive.value_or(false));
  }
  return running;
}

}  // namespace tobrine::text
