// Text measurement, extraction, searching, replacing and comparing.
//
// Texts are the bytes before their first NUL. Walking commands step over a
// double-byte character (lead byte 0x80 or above + trail byte) as one unit, so
// a match or a cut never starts on a trail byte.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "runtime/commands.h"
#include "runtime/heap.h"

namespace tobrine {
namespace {

inline unsigned char Byte(std::string_view t, std::size_t i) {
  return static_cast<unsigned char>(t[i]);
}
inline bool IsLead(unsigned char c) {
  return c >= 0x80;
}
inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Length of the character at `i`: 1 or 2; 0 when a lead byte is the last byte
// (the walk stops there).
inline std::size_t CharLength(std::string_view t, std::size_t i) {
  if (!IsLead(Byte(t, i))) return 1;
  return i + 1 < t.size() ? 2 : 0;
}

bool MatchesAt(std::string_view text, std::size_t at, std::string_view sought, bool ignoreCase) {
  if (!ignoreCase) return std::memcmp(text.data() + at, sought.data(), sought.size()) == 0;
  for (std::size_t k = 0; k < sought.size(); ++k)
    if (FoldAscii(Byte(text, at + k)) != FoldAscii(Byte(sought, k))) return false;
  return true;
}

// The first position at or after `i` whose byte is `a`, `b`, or 0x80 and above
// (a character of two bytes); the text's size when there is none. Eight bytes
// a step: every byte passed over is a character of its own.
std::size_t NextCandidate(std::string_view t, std::size_t i, unsigned char a, unsigned char b) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  const uint64_t pa = kOnes * a, pb = kOnes * b;
  const auto* s = reinterpret_cast<const unsigned char*>(t.data());
  const std::size_t n = t.size();
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    const uint64_t xa = w ^ pa, xb = w ^ pb;  // a zero byte where w has a or b
    if (((w | ((xa - kOnes) & ~xa) | ((xb - kOnes) & ~xb)) & kHighs) != 0) break;
  }
  for (; i < n; ++i)
    if (s[i] >= 0x80 || s[i] == a || s[i] == b) return i;
  return n;
}

// A start argument as a 0-based offset: start - 1, never negative.
std::size_t StartOffset(std::optional<int32_t> start) {
  if (!start) return 0;
  int64_t s = static_cast<int64_t>(*start) - 1;
  return s < 0 ? 0 : static_cast<std::size_t>(s);
}

// One growing heap block that becomes the result text: no copy at the end.
class TextBuilder {
 public:
  explicit TextBuilder(std::size_t expected) : capacity_(expected + 1) {
    block_ = static_cast<char*>(RuntimeHeap::Allocate(capacity_));
  }
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;
  ~TextBuilder() { RuntimeHeap::Free(block_); }

  void Append(std::string_view bytes) {
    if (bytes.empty()) return;
    Reserve(bytes.size());
    std::memcpy(block_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  // The text built so far; the absent reference when nothing was appended.
  TextValue Finish() {
    if (size_ == 0) return TextValue();
    block_[size_] = '\0';
    return TextValue::Adopt(std::exchange(block_, nullptr));
  }

 private:
  void Reserve(std::size_t more) {
    if (size_ + more + 1 <= capacity_) return;
    std::size_t want = std::max(capacity_ * 2, size_ + more + 1);
    block_ = static_cast<char*>(RuntimeHeap::Reallocate(block_, want));
    capacity_ = want;
  }
  char* block_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace

// --- Measurement and extraction ----------------------------------------------

int32_t TextLength(std::string_view text) {
  return static_cast<int32_t>(TextUpToNul(text).size());
}

TextValue LeftText(std::string_view text, int32_t n) {
  text = TextUpToNul(text);
  if (n <= 0) return TextValue();
  return TextValue::FromBytes(text.substr(0, static_cast<std::size_t>(n)));
}

TextValue RightText(std::string_view text, int32_t n) {
  text = TextUpToNul(text);
  if (n <= 0) return TextValue();
  std::size_t m = std::min(static_cast<std::size_t>(n), text.size());
  return TextValue::FromBytes(text.substr(text.size() - m));
}

TextValue MidText(std::string_view text, int32_t start, int32_t n) {
  text = TextUpToNul(text);
  int64_t p = static_cast<int64_t>(start) - 1;
  if (p < 0 || p >= static_cast<int64_t>(text.size()) || n <= 0) return TextValue();
  return TextValue::FromBytes(
      text.substr(static_cast<std::size_t>(p), static_cast<std::size_t>(n)));
}

TextValue SpaceText(int32_t n) {
  if (n < 1) return TextValue();
  auto* block = static_cast<char*>(RuntimeHeap::Allocate(static_cast<std::size_t>(n) + 1));
  std::memset(block, ' ', static_cast<std::size_t>(n));
  block[n] = '\0';
  return TextValue::Adopt(block);
}

TextValue ToLowerCase(std::string_view text) {
  TextValue result = TextValue::FromBytes(TextUpToNul(text));
  std::string_view t = result.view();
  char* out = result.get();
  for (std::size_t i = 0; i < t.size();) {
    std::size_t step = CharLength(t, i);
    if (step == 0) break;
    if (step == 1) out[i] = static_cast<char>(FoldAscii(Byte(t, i)));
    i += step;
  }
  return result;
}

namespace {

// The length of the space at `i` (ASCII or the full-width one), or 0.
std::size_t SpaceLength(std::string_view text, std::size_t i) {
  if (Byte(text, i) == ' ') return 1;
  if (Byte(text, i) == 0xA1 && i + 1 < text.size() && Byte(text, i + 1) == 0xA1) return 2;
  return 0;
}

// Where the leading spaces end.
std::size_t LeadingSpacesEnd(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t s = SpaceLength(text, i);
    if (s == 0) break;
    i += s;
  }
  return i;
}

}  // namespace

TextValue TrimSpaces(std::string_view text) {
  text = TextUpToNul(text);
  const std::size_t n = text.size();
  std::size_t i = LeadingSpacesEnd(text);
  const std::size_t begin = i;
  std::size_t end = n;
  std::size_t runStart = n;  // where the current run of spaces began; n = no run
  while (i < n) {
    if (std::size_t s = SpaceLength(text, i)) {
      if (runStart == n) runStart = i;
      i += s;
      continue;
    }
    runStart = n;
    std::size_t step = CharLength(text, i);
    if (step == 0) {  // a lead byte with nothing after it is cut as well
      end = i;
      break;
    }
    i += step;
  }
  if (runStart != n && end == n) end = runStart;
  return TextValue::FromBytes(text.substr(begin, end - begin));
}

bool IsBlank(std::string_view text) {
  text = TextUpToNul(text);
  const std::size_t i = LeadingSpacesEnd(text);
  // A lead byte with nothing after it is cut as well.
  return i == text.size() || CharLength(text, i) == 0;
}

// --- Searching and replacing ---------------------------------------------------

int32_t FindText(std::string_view text, std::string_view sought, std::optional<int32_t> start,
                 std::optional<bool> ignoreCase) {
  text = TextUpToNul(text);
  sought = TextUpToNul(sought);
  const std::size_t s = StartOffset(start);
  if (s > 0 && s >= text.size()) return -1;
  if (sought.empty()) return text.size() > s ? 1 : -1;
  const bool fold = ignoreCase.value_or(false);
  // Only a character that begins like the sought text can start a match, and
  // every double-byte character is walked: single-byte characters in between
  // are passed over many at a time.
  const unsigned char first = fold ? FoldAscii(Byte(sought, 0)) : Byte(sought, 0);
  const unsigned char other =
      fold && first >= 'a' && first <= 'z' ? static_cast<unsigned char>(first - 0x20) : first;
  for (std::size_t i = s; text.size() - i >= sought.size();) {
    i = NextCandidate(text, i, first, other);
    if (text.size() - i < sought.size()) break;
    if (MatchesAt(text, i, sought, fold)) return static_cast<int32_t>(i + 1);
    std::size_t step = CharLength(text, i);
    if (step == 0) break;
    i += step;
  }
  return -1;
}

TextValue ReplaceSubtext(std::string_view text, std::string_view sought,
                         std::optional<std::string_view> replacement, std::optional<int32_t> start,
                         std::optional<int32_t> count, bool caseSensitive) {
  text = TextUpToNul(text);
  sought = TextUpToNul(sought);
  const std::string_view with = replacement ? TextUpToNul(*replacement) : std::string_view();
  const std::size_t s = StartOffset(start);
  // Any negative count means no limit (-1 is the documented default).
  int64_t left = count ? *count : -1;
  if (text.empty() || sought.empty() || s >= text.size() || left == 0)
    return TextValue::FromBytes(text);

  TextBuilder out(text.size());
  out.Append(text.substr(0, s));
  std::size_t i = s;
  while (left != 0 && text.size() - i >= sought.size()) {
    if (MatchesAt(text, i, sought, !caseSensitive)) {
      out.Append(with);
      i += sought.size();
      if (left > 0) --left;
      continue;
    }
    std::size_t step = CharLength(text, i);
    if (step == 0) {  // a lead byte that ends the text is dropped
      i = text.size();
      break;
    }
    out.Append(text.substr(i, step));
    i += step;
  }
  out.Append(text.substr(i));
  return out.Finish();
}

TextValue ReplaceRange(std::string_view text, int32_t start, int32_t n,
                       std::optional<std::string_view> replacement) {
  text = TextUpToNul(text);
  const std::size_t p = std::min(StartOffset(start), text.size());
  const std::size_t removed = std::min(static_cast<std::size_t>(std::max(n, 0)), text.size() - p);
  const std::string_view with = replacement ? TextUpToNul(*replacement) : std::string_view();
  if (text.size() - removed + with.size() == 0) return TextValue();
  return JoinTextList({text.substr(0, p), with, text.substr(p + removed)});
}

int32_t CompareText(std::string_view a, std::string_view b, bool caseSensitive) {
  a = TextUpToNul(a);
  b = TextUpToNul(b);
  // Compare character by character: a double-byte character as lead * 256 +
  // trail, a single byte (folded when case does not matter) as itself.
  auto next = [&](std::string_view t, std::size_t& i) -> int32_t {
    unsigned char c = Byte(t, i);
    if (CharLength(t, i) == 2) {
      int32_t v = c * 256 + Byte(t, i + 1);
      i += 2;
      return v;
    }
    ++i;
    return caseSensitive ? c : FoldAscii(c);
  };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    int32_t x = next(a, i), y = next(b, j);
    if (x != y) return x < y ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

// --- Full-width folding -----------------------------------------------------------

TextValue FullWidthFolding(std::string_view text) {
  text = TextUpToNul(text);
  if (text.empty()) return TextValue();
  auto* block = static_cast<char*>(RuntimeHeap::Allocate(text.size() + 1));
  std::size_t o = 0;
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = Byte(text, i);
    if (CharLength(text, i) != 2) {
      block[o++] = static_cast<char>(c);
      ++i;
      continue;
    }
    unsigned char t = Byte(text, i + 1);
    int folded = -1;
    if (c == 0xA3 && t >= 0xA1 && t <= 0xFE)
      folded = t - 0x80;
    else if (c == 0xA1 && t == 0xA1)
      folded = ' ';
    else if (c == 0xA1 && t == 0xAB)
      folded = '~';
    else if (c == 0xA1 && (t == 0xEE || t == 0xEF))
      folded = '*';
    if (folded >= 0) {
      block[o++] = static_cast<char>(folded);
    } else {
      block[o++] = static_cast<char>(c);
      block[o++] = static_cast<char>(t);
    }
    i += 2;
  }
  block[o] = '\0';
  return TextValue::Adopt(block);
}

}  // namespace tobrine
