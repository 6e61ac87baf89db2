// Cutting a piece out of a text by the markers around it.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/value.h"

namespace tobrine {

// The text between the first `left` marker (from `start`, or the beginning) and
// the first `right` marker after it; empty when either is missing. Markers are
// matched ignoring the case of ASCII letters unless `caseSensitive`. A "#引号"
// in a marker stands for a double quote; the marker variable is rewritten with
// the quotes in place. With a start position the right marker is searched from
// the same position, counted within the text after the left marker.
TextValue TextBetween(TextValue& text, TextValue& left, TextValue& right,
                      std::optional<int32_t> start = std::nullopt,
                      std::optional<bool> caseSensitive = std::nullopt);

// Everything before the first `marker` at or after `start` (position 1 when
// absent or not above 0), including the part before `start`; empty when the
// marker is missing. Exact match unless `ignoreCase`.
TextValue TextBefore(TextValue& text, TextValue& marker,
                     std::optional<int32_t> start = std::nullopt,
                     std::optional<bool> ignoreCase = std::nullopt);

}  // namespace tobrine
