#include "text/markers.h"

#include "runtime/commands.h"

namespace tobrine {
namespace {

constexpr std::string_view kQuotePlaceholder = "#引号";

void ExpandQuotes(TextValue& marker) {
  if (FindText(marker, kQuotePlaceholder) == -1) return;
  marker = ReplaceSubtext(marker, kQuotePlaceholder, "\"", std::nullopt, std::nullopt, true);
}

}  // namespace

TextValue TextBetween(TextValue& text, TextValue& left, TextValue& right,
                      std::optional<int32_t> start, std::optional<bool> caseSensitive) {
  ExpandQuotes(left);
  ExpandQuotes(right);
  const bool ignoreCase = !caseSensitive.value_or(false);
  int32_t p = FindText(text, left, start, ignoreCase);
  if (p == -1) return {};
  TextValue rest = RightText(text, TextLength(text) - p - TextLength(left) + 1);
  int32_t q = FindText(rest, right, start, ignoreCase);
  if (q == -1) return {};
  return LeftText(rest, q - 1);
}

TextValue TextBefore(TextValue& text, TextValue& marker, std::optional<int32_t> start,
                     std::optional<bool> ignoreCase) {
  int32_t from = start && *start > 0 ? *start : 1;
  int32_t p = FindText(text, marker, from, ignoreCase.value_or(false));
  if (p == -1) return {};
  return LeftText(text, p - 1);
}

}  // namespace tobrine
