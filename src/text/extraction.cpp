#include "text/extraction.h"

#include <cstring>
#include <deque>
#include <vector>

#include "runtime/commands.h"

namespace tobrine::text {
namespace {

// The search works on the bytes of code page 936 as the system reads them: a
// byte 0x81-0xFE followed by 0x40-0x7E or 0x80-0xFE is one character, and every
// other byte (0x80 and 0xFF too) stands alone, so an invalid pair never swallows
// a line feed or the first byte of a marker.
bool IsLead(uint8_t b) {
  return b >= 0x81 && b <= 0xFE;
}
bool IsTrail(uint8_t b) {
  return b >= 0x40 && b <= 0xFE && b != 0x7F;
}

// Letters of code page 936 that have a case partner in it, folded to one form.
// Folding keeps every character's length and lead byte.
uint8_t FoldSingle(uint8_t b) {
  return b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b + 0x20) : b;
}
uint8_t FoldTrail(uint8_t lead, uint8_t trail) {
  switch (lead) {
    case 0xA2:  // Roman numerals one to ten: A2F1-A2FA, small A2A1-A2AA
      return trail >= 0xF1 && trail <= 0xFA ? static_cast<uint8_t>(trail - 0x50) : trail;
    case 0xA3:  // full-width Latin letters
      return trail >= 0xC1 && trail <= 0xDA ? static_cast<uint8_t>(trail + 0x20) : trail;
    case 0xA6:  // Greek
      return trail >= 0xA1 && trail <= 0xB8 ? static_cast<uint8_t>(trail + 0x20) : trail;
    case 0xA7:  // Cyrillic
      return trail >= 0xA1 && trail <= 0xC1 ? static_cast<uint8_t>(trail + 0x30) : trail;
    default:
      return trail;
  }
}

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The first `b` in s[from, n), or kNone. Eight bytes a step, so that the search
// costs the same on every C runtime (some look at one byte at a time).
std::size_t FindByte(const uint8_t* s, std::size_t from, std::size_t n, uint8_t b) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  const uint64_t pattern = kOnes * b;
  std::size_t i = from;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    w ^= pattern;  // a zero byte where s has b
    if (((w - kOnes) & ~w & kHighs) != 0) break;
  }
  for (; i < n; ++i)
    if (s[i] == b) return i;
  return kNone;
}

class Page {
 public:
  explicit Page(std::string_view bytes)
      : s_(reinterpret_cast<const uint8_t*>(bytes.data())), n_(bytes.size()) {}

  std::size_t size() const { return n_; }
  const uint8_t* bytes() const { return s_; }
  uint8_t operator[](std::size_t i) const { return s_[i]; }

  // Length of the character that starts at `p` (< size()).
  std::size_t CharLength(std::size_t p) const {
    return IsLead(s_[p]) && p + 1 < n_ && IsTrail(s_[p + 1]) ? 2 : 1;
  }

 private:
  const uint8_t* s_;
  std::size_t n_;
};

// Character boundaries of a page. A byte outside 0x81-0xFE ends a character
// (it stands alone or is a trail byte), and a run of bytes inside that range
// pairs up from its start, so a boundary is found by looking back over that run
// only, never further back than the last answer: queries must not go backwards.
class Boundaries {
 public:
  explicit Boundaries(const Page& page) : page_(page) {}

  // The first boundary at or after `p` (p <= size()).
  std::size_t AtOrAfter(std::size_t p) {
    if (p <= at_) return at_;
    std::size_t q = p;
    while (q > at_ && IsLead(page_[q - 1])) --q;
    // q is a boundary; the bytes from q to p pair up, the last one perhaps with p.
    at_ = (p - q) % 2 == 0 || p == page_.size() || !IsTrail(page_[p]) ? p : p + 1;
    return at_;
  }

 private:
  const Page& page_;
  std::size_t at_ = 0;  // a boundary
};

// Where a byte is looked for first: rare bytes make few candidates. A letter has
// two forms and is never preferred; lead bytes and common markup come next.
int Rarity(uint8_t b) {
  if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z')) return 100;
  if (b >= 0x80) return 50;
  if (std::string_view(" <>\"=/.\t\r\n").find(static_cast<char>(b)) != std::string_view::npos) {
    return 40;
  }
  if (b >= '0' && b <= '9') return 30;
  if (b == '-' || b == '_' || b == ':') return 20;
  return 10;
}

// Every occurrence of one marker, at character boundaries and ignoring case, in
// increasing order of the positions asked for.
class MarkerSearch {
 public:
  MarkerSearch(const Page& page, std::string_view marker) : page_(page), boundaries_(page) {
    const Page m(marker);
    folded_.resize(m.size());
    for (std::size_t k = 0; k < m.size();) {
      const std::size_t len = m.CharLength(k);
      lengths_.push_back(static_cast<uint8_t>(len));
      if (len == 1) {
        folded_[k] = FoldSingle(m[k]);
      } else {
        folded_[k] = m[k];
        folded_[k + 1] = FoldTrail(m[k], m[k + 1]);
      }
      if (Rarity(folded_[k]) < Rarity(folded_[anchor_])) anchor_ = k;
      k += len;
    }
  }

  std::size_t size() const { return folded_.size(); }

  // The first position at or after `from` where the marker stands; kNone if none.
  std::size_t Next(std::size_t from) {
    const std::size_t m = folded_.size();
    const std::size_t n = page_.size();
    if (m == 0) return boundaries_.AtOrAfter(from);
    for (std::size_t a = from + anchor_; a + m - anchor_ <= n; ++a) {
      a = FindAnchor(a);
      if (a == kNone || a + m - anchor_ > n) break;
      const std::size_t i = a - anchor_;
      if (boundaries_.AtOrAfter(i) == i && MatchesAt(i)) return i;
    }
    return kNone;
  }

 private:
  // The first byte at or after `a` that the anchor character may start with.
  std::size_t FindAnchor(std::size_t a) const {
    const uint8_t want = folded_[anchor_];
    const std::size_t n = page_.size();
    if (want >= 'a' && want <= 'z') {
      for (; a < n; ++a)
        if ((page_[a] | 0x20) == want) return a;
      return kNone;
    }
    return FindByte(page_.bytes(), a, n, want);
  }

  // Whether the marker's characters stand at boundary `i`, character by character.
  bool MatchesAt(std::size_t i) const {
    std::size_t k = 0;
    for (uint8_t len : lengths_) {
      const std::size_t p = i + k;
      if (page_.CharLength(p) != len) return false;
      if (len == 1) {
        if (FoldSingle(page_[p]) != folded_[k]) return false;
      } else if (page_[p] != folded_[k] || FoldTrail(page_[p], page_[p + 1]) != folded_[k + 1]) {
        return false;
      }
      k += len;
    }
    return true;
  }

  const Page& page_;
  Boundaries boundaries_;
  std::vector<uint8_t> folded_;
  std::vector<uint8_t> lengths_;  // per character of the marker
  std::size_t anchor_ = 0;        // offset of the character looked for first
};

// What the pattern left(.*?)right finds, ignoring case, globally: at the leftmost
// start, the shortest piece up to the next right marker on the same line ('.'
// takes anything but a line feed); the next search starts after the right
// marker. One pass: every search only moves forward. Calls onPiece(start, end)
// for each piece in order.
template <typename OnPiece>
void FindPieces(const Page& page, std::string_view left, std::string_view right, OnPiece onPiece) {
  MarkerSearch lefts(page, left);
  MarkerSearch rights(page, right);
  const std::size_t n = page.size();
  std::size_t from = 0;
  // The first right marker at or after some earlier start, and the first line
  // feed (or n) at or after it: still right for a later start they do not precede.
  std::size_t rightAt = kNone;
  std::size_t lineEnd = 0;
  bool rightKnown = false, lineKnown = false;
  while (from <= n) {
    const std::size_t i = lefts.Next(from);
    if (i == kNone) break;
    const std::size_t start = i + lefts.size();
    if (!rightKnown || rightAt < start) {
      rightAt = rights.Next(start);
      rightKnown = true;
    }
    if (rightAt == kNone) break;  // no right marker after this point: nothing more matches
    if (!lineKnown || lineEnd < start) {
      lineKnown = true;
      lineEnd = FindByte(page.bytes(), start, n, '\n');
      if (lineEnd == kNone) lineEnd = n;
    }
    if (rightAt <= lineEnd) {
      onPiece(start, rightAt);
      const std::size_t end = rightAt + rights.size();
      if (end > i) {
        from = end;
      } else {  // both markers empty: an empty match, then the next character
        if (i == n) break;
        from = i + page.CharLength(i);
      }
    } else {
      // The line ends before the next right marker: so does every start whose
      // left marker ends on this line.
      from = lineEnd + 1 - lefts.size();  // > i, as lineEnd >= start
    }
  }
}

std::string_view UpToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

}  // namespace

int32_t ExtractAllBetween(std::string_view source, std::string_view left, std::string_view right,
                          ArrayValue& results, const ExtractOptions& options) {
  // Texts end at their first NUL, as the runtime's texts do.
  source = UpToNul(source);
  left = UpToNul(left);
  right = UpToNul(right);
  const std::string_view prefix = UpToNul(options.prefix);
  const std::string_view suffix = UpToNul(options.suffix);
  const std::string_view head = options.includeLeft ? left : std::string_view();
  const std::string_view tail = options.includeRight ? right : std::string_view();

  results.Clear();
  // The kept pieces, wrapped; a deque grows without moving what it holds.
  std::deque<TextValue> kept;
  const Page page(source);
  FindPieces(page, left, right, [&](std::size_t start, std::size_t end) {
    const int32_t limit = options.lengthLimit;
    if (limit != 0 && (limit < 0 || end - start > static_cast<std::size_t>(limit))) return;
    kept.push_back(JoinTexts(head, prefix, source.substr(start, end - start), suffix, tail));
  });
  char** slots = AppendTextSlots(results, static_cast<int32_t>(kept.size()));
  for (TextValue& piece : kept) *slots++ = piece.release();
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
