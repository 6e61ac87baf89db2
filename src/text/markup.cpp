#include "text/markup.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/ascii.h"
#include "text/utf8.h"

namespace tobrine::text {

void MarkupVisitor::StartTag(std::string_view, std::span<const MarkupAttribute>, bool) {}
void MarkupVisitor::EndTag(std::string_view) {}
void MarkupVisitor::Comment(std::string_view) {}
void MarkupVisitor::RawText(std::string_view, std::string_view) {}

namespace {

struct NamedReference {
  std::string_view name;
  std::string_view text;
};

constexpr NamedReference kNamedReferences[] = {
#include "text/named_references.inc"
};

constexpr std::size_t LongestLegacyName() {
  std::size_t longest = 0;
  for (const auto& r : kNamedReferences)
    if (r.name.back() != ';') longest = std::max(longest, r.name.size());
  return longest;
}
constexpr std::size_t kLongestLegacyName = LongestLegacyName();

// Where the names beginning with each byte start in the table (it is sorted
// bytewise), so that a search looks at one letter's names only.
constexpr std::array<uint16_t, 257> FirstByteIndex() {
  std::array<uint16_t, 257> index{};
  std::size_t k = 0;
  for (std::size_t c = 0; c <= 256; ++c) {
    while (k < std::size(kNamedReferences) &&
           static_cast<unsigned char>(kNamedReferences[k].name[0]) < c)
      ++k;
    index[c] = static_cast<uint16_t>(k);
  }
  return index;
}
constexpr std::array<uint16_t, 257> kFirstByteIndex = FirstByteIndex();

// The legacy names (without ';'), in the table's order.
constexpr std::size_t kLegacyCount = [] {
  std::size_t n = 0;
  for (const auto& r : kNamedReferences) n += r.name.back() != ';';
  return n;
}();
constexpr std::array<NamedReference, kLegacyCount> kLegacyReferences = [] {
  std::array<NamedReference, kLegacyCount> legacy{};
  std::size_t k = 0;
  for (const auto& r : kNamedReferences)
    if (r.name.back() != ';') legacy[k++] = r;
  return legacy;
}();

// Which two-letter beginnings a legacy name has: most runs after '&' ("&url=",
// "&id=") begin with none, and need no search.
constexpr std::array<uint64_t, 128 * 128 / 64> kLegacyBeginnings = [] {
  std::array<uint64_t, 128 * 128 / 64> bits{};
  for (const auto& r : kLegacyReferences) {
    const std::size_t pair =
        static_cast<std::size_t>(r.name[0]) * 128 + static_cast<std::size_t>(r.name[1]);
    bits[pair / 64] |= uint64_t{1} << (pair % 64);
  }
  return bits;
}();

bool MayBeginLegacyName(char a, char b) {
  if (static_cast<unsigned char>(a) >= 128 || static_cast<unsigned char>(b) >= 128) return false;
  const std::size_t pair = static_cast<std::size_t>(a) * 128 + static_cast<std::size_t>(b);
  return (kLegacyBeginnings[pair / 64] >> (pair % 64)) & 1;
}

const NamedReference* FindLegacyReference(std::string_view name) {
  auto it =
      std::lower_bound(kLegacyReferences.begin(), kLegacyReferences.end(), name,
                       [](const NamedReference& r, std::string_view n) { return r.name < n; });
  return it != kLegacyReferences.end() && it->name == name ? &*it : nullptr;
}

const NamedReference* FindNamedReference(std::string_view name) {
  const auto c = static_cast<unsigned char>(name[0]);
  const NamedReference* first = kNamedReferences + kFirstByteIndex[c];
  const NamedReference* last = kNamedReferences + kFirstByteIndex[c + 1];
  auto it = std::lower_bound(
      first, last, name, [](const NamedReference& r, std::string_view n) { return r.name < n; });
  return it != last && it->name == name ? it : nullptr;
}

// What a numeric reference to 0x80-0x9F stands for (the windows-1252 reading).
constexpr std::array<char16_t, 32> kC1Replacements = {
    0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsAlnum(char c) {
  return IsAlpha(c) || IsDigit(c);
}
// Tab, line feed, form feed, carriage return, space.
bool IsSpace(char c) {
  return c == ' ' || c == '\n' || c == '\t' || c == '\f' || c == '\r';
}

// Appends a name character as the tokenizer keeps it: lower case, NUL replaced.
void AppendNameChar(char c, std::string& out) {
  if (c == '\0')
    AppendUtf8(kReplacementCharacter, out);
  else
    out += base::AsciiLower(c);
}

// The next CR, NUL or (when `ampersand`) '&' of a text, asked for from
// positions that never go back. Each byte is looked for once: where a byte was
// found (or that it is nowhere) is kept, so that a text full of one of them
// and without another is not searched to its end again and again.
class SpecialBytes {
 public:
  SpecialBytes(std::string_view text, bool ampersand) : text_(text), ampersand_(ampersand) {}

  // The first such byte at or after `from`, or the text's size.
  std::size_t From(std::size_t from) {
    std::size_t first = text_.size();
    for (std::size_t i = ampersand_ ? 0 : 1; i < std::size(kBytes); ++i) {
      if (next_[i] == kUnknown || next_[i] < from) {
        const void* hit = from < text_.size()
                              ? std::memchr(text_.data() + from, kBytes[i], text_.size() - from)
                              : nullptr;
        next_[i] = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data())
                       : text_.size();
      }
      first = std::min(first, next_[i]);
    }
    return first;
  }

 private:
  static constexpr char kBytes[] = {'&', '\r', '\0'};
  static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);
  std::string_view text_;
  bool ampersand_;
  std::size_t next_[std::size(kBytes)] = {kUnknown, kUnknown, kUnknown};
};

// Whether `text` holds a CR, a NUL or (when `ampersand`) a '&'.
bool HasSpecial(std::string_view text, bool ampersand) {
  return SpecialBytes(text, ampersand).From(0) != text.size();
}

// Sets a tag or attribute name as the tokenizer keeps it.
void SetName(std::string_view raw, std::string& name) {
  bool plain = true;
  for (char c : raw) plain = plain && c != '\0' && !(c >= 'A' && c <= 'Z');
  if (plain) {
    name.assign(raw);
    return;
  }
  name.clear();
  for (char c : raw) AppendNameChar(c, name);
}

// The text with line breaks read as LF and NUL as U+FFFD; `buffer` holds it
// when anything had to change.
std::string_view Normalized(std::string_view text, std::string& buffer) {
  if (!HasSpecial(text, false)) return text;
  buffer.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      buffer += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\0') {
      AppendUtf8(kReplacementCharacter, buffer);
    } else {
      buffer += c;
    }
  }
  return buffer;
}

bool StartsWithIgnoringCase(std::string_view text, std::size_t at, std::string_view word) {
  return at <= text.size() && base::StartsWithIgnoringAsciiCase(text.substr(at), word);
}

// The attributes a tag keeps: a page of one tag with millions of them (eight
// bytes of page each, a hundred and fifty of memory) would take gigabytes.
constexpr std::size_t kMostAttributes = std::size_t{1} << 16;

enum class TextKind { kMarkup, kRawText, kScript, kReplaceableText, kPlainText };

TextKind KindOfContent(std::string_view element) {
  // Every such name has 3 to 9 letters and begins with one of these.
  if (element.size() < 3 || element.size() > 9 ||
      std::string_view("stxinp").find(element[0]) == std::string_view::npos)
    return TextKind::kMarkup;
  if (element == "script") return TextKind::kScript;
  if (element == "style" || element == "xmp" || element == "iframe" || element == "noembed" ||
      element == "noframes")
    return TextKind::kRawText;
  if (element == "textarea" || element == "title") return TextKind::kReplaceableText;
  if (element == "plaintext") return TextKind::kPlainText;
  return TextKind::kMarkup;
}

class Tokenizer {
 public:
  Tokenizer(std::string_view page, MarkupVisitor& visitor) : p_(page), visitor_(visitor) {}

  void Run() {
    std::size_t i = 0;
    const std::size_t n = p_.size();
    while (i < n) {
      const void* lt = std::memchr(p_.data() + i, '<', n - i);
      if (!lt) return;
      i = static_cast<std::size_t>(static_cast<const char*>(lt) - p_.data());
      if (i + 1 >= n) return;
      const char c = p_[i + 1];
      if (IsAlpha(c)) {
        i = Tag(i + 1, false);
      } else if (c == '/') {
        if (i + 2 >= n) return;
        if (IsAlpha(p_[i + 2]))
          i = Tag(i + 2, true);
        else if (p_[i + 2] == '>')
          i += 3;
        else
          i = BogusComment(i + 2);
      } else if (c == '!') {
        i = Declaration(i + 2);
      } else if (c == '?') {
        i = BogusComment(i + 1);
      } else {
        ++i;
      }
    }
  }

 private:
  // From `from` (after "<!").
  std::size_t Declaration(std::size_t from) {
    if (p_.substr(from, 2) == "--") return Comment(from + 2);
    if (StartsWithIgnoringCase(p_, from, "doctype")) {
      std::size_t end = p_.find('>', from);
      return end == std::string_view::npos ? p_.size() : end + 1;
    }
    return BogusComment(from);
  }

  // From `from` (after "<!--"): up to "-->" or "--!>"; "<!-->" and "<!--->" are
  // empty comments; an unclosed comment runs to the end.
  std::size_t Comment(std::size_t from) {
    if (from < p_.size() && p_[from] == '>') return EmitComment(from, from, from + 1);
    if (p_.substr(from, 2) == "->") return EmitComment(from, from, from + 2);
    for (std::size_t k = p_.find("--", from); k != std::string_view::npos;
         k = p_.find("--", k + 1)) {
      if (k + 2 < p_.size() && p_[k + 2] == '>') return EmitComment(from, k, k + 3);
      if (p_.substr(k + 2, 2) == "!>") return EmitComment(from, k, k + 4);
    }
    return EmitComment(from, p_.size(), p_.size());
  }

  // From `from` up to the next '>' (or the end).
  std::size_t BogusComment(std::size_t from) {
    std::size_t end = p_.find('>', from);
    if (end == std::string_view::npos) return EmitComment(from, p_.size(), p_.size());
    return EmitComment(from, end, end + 1);
  }

  std::size_t EmitComment(std::size_t from, std::size_t to, std::size_t next) {
    visitor_.Comment(Normalized(p_.substr(from, to - from), text_));
    return next;
  }

  // From the tag name's first byte. Returns where reading goes on; a tag cut off
  // by the end of the page is dropped.
  std::size_t Tag(std::size_t k, bool endTag) {
    const std::size_t n = p_.size();
    const std::size_t nameStart = k;
    while (k < n && !IsSpace(p_[k]) && p_[k] != '/' && p_[k] != '>') ++k;
    SetName(p_.substr(nameStart, k - nameStart), name_);
    count_ = 0;
    if (!seen_.empty()) seen_.clear();
    bool selfClosing = false;
    enum class State { kBeforeName, kName, kAfterName, kBeforeValue, kAfterQuoted, kSelfClosing };
    State state = State::kBeforeName;
    while (true) {
      if (k >= n) return n;
      const char c = p_[k];
      switch (state) {
        case State::kBeforeName:
          if (IsSpace(c)) {
            ++k;
          } else if (c == '/') {
            ++k;
            state = State::kSelfClosing;
          } else if (c == '>') {
            return Emit(k + 1, endTag, selfClosing);
          } else {
            // The name runs to a space, '/', '>' or '='; its first byte may be '='.
            std::size_t end = k + 1;
            while (end < n && !IsSpace(p_[end]) && p_[end] != '/' && p_[end] != '>' &&
                   p_[end] != '=')
              ++end;
            SetName(p_.substr(k, end - k), Attribute().name);
            k = end;
            state = State::kName;
          }
          break;
        case State::kName:
          if (c == '=') {
            ++k;
            state = State::kBeforeValue;
          } else {
            state = State::kAfterName;
          }
          break;
        case State::kAfterName:
          if (IsSpace(c)) {
            ++k;
          } else if (c == '/') {
            ++k;
            FinishAttribute({});
            state = State::kSelfClosing;
          } else if (c == '=') {
            ++k;
            state = State::kBeforeValue;
          } else if (c == '>') {
            FinishAttribute({});
            return Emit(k + 1, endTag, selfClosing);
          } else {
            FinishAttribute({});
            state = State::kBeforeName;
          }
          break;
        case State::kBeforeValue:
          if (IsSpace(c)) {
            ++k;
          } else if (c == '"' || c == '\'') {
            std::size_t end = p_.find(c, k + 1);
            if (end == std::string_view::npos) return n;
            FinishAttribute(p_.substr(k + 1, end - k - 1));
            k = end + 1;
            state = State::kAfterQuoted;
          } else if (c == '>') {
            FinishAttribute({});
            return Emit(k + 1, endTag, selfClosing);
          } else {
            std::size_t end = k;
            while (end < n && !IsSpace(p_[end]) && p_[end] != '>') ++end;
            if (end >= n) return n;
            FinishAttribute(p_.substr(k, end - k));
            k = end;
            state = State::kBeforeName;
          }
          break;
        case State::kAfterQuoted:
          if (IsSpace(c)) {
            ++k;
            state = State::kBeforeName;
          } else if (c == '/') {
            ++k;
            state = State::kSelfClosing;
          } else if (c == '>') {
            return Emit(k + 1, endTag, selfClosing);
          } else {
            state = State::kBeforeName;
          }
          break;
        case State::kSelfClosing:
          if (c == '>') {
            selfClosing = true;
            return Emit(k + 1, endTag, selfClosing);
          }
          state = State::kBeforeName;
          break;
      }
    }
  }

  // A new attribute slot; the vector keeps its strings' capacity from tag to tag.
  MarkupAttribute& Attribute() {
    if (count_ == attributes_.size()) attributes_.emplace_back();
    return attributes_[count_++];
  }

  // Sets the value of the attribute being read, or drops it when its name came
  // earlier in the same tag or the tag has all the attributes it keeps.
  void FinishAttribute(std::string_view raw) {
    MarkupAttribute& a = attributes_[count_ - 1];
    if (count_ > kMostAttributes || Repeated(a.name)) {
      --count_;
      return;
    }
    a.value.clear();
    if (!HasSpecial(raw, true))
      a.value.assign(raw);
    else
      AppendDecodedReferences(raw, true, a.value);
  }

  // Whether the last attribute's name came earlier in the tag. A tag with many
  // attributes is checked through a set, so that a hostile one costs linear time.
  bool Repeated(const std::string& name) {
    const std::size_t earlier = count_ - 1;
    if (earlier <= 16) {
      for (std::size_t i = 0; i < earlier; ++i)
        if (attributes_[i].name == name) return true;
      return false;
    }
    if (seen_.empty())
      for (std::size_t i = 0; i < earlier; ++i) seen_.insert(attributes_[i].name);
    return !seen_.insert(name).second;
  }

  std::size_t Emit(std::size_t next, bool endTag, bool selfClosing) {
    if (endTag) {
      visitor_.EndTag(name_);
      return next;
    }
    visitor_.StartTag(name_, std::span<const MarkupAttribute>(attributes_.data(), count_),
                      selfClosing);
    const TextKind kind = KindOfContent(name_);
    if (kind == TextKind::kMarkup) return next;
    std::size_t end = p_.size();
    if (kind == TextKind::kScript)
      end = ScriptEnd(next);
    else if (kind != TextKind::kPlainText)
      end = TextEnd(next, name_);
    visitor_.RawText(name_, Normalized(p_.substr(next, end - next), text_));
    return end;
  }

  // Whether an end tag for `name` ("</name" then space, '/' or '>') starts at `k`.
  bool EndTagAt(std::size_t k, std::string_view name) const {
    if (p_.size() - k < name.size() + 3 || p_[k] != '<' || p_[k + 1] != '/') return false;
    if (!StartsWithIgnoringCase(p_, k + 2, name)) return false;
    const char after = p_[k + 2 + name.size()];
    return IsSpace(after) || after == '/' || after == '>';
  }

  // Where the text of a raw-text or replaceable-text element ends.
  std::size_t TextEnd(std::size_t from, std::string_view name) const {
    for (std::size_t k = p_.find("</", from); k != std::string_view::npos; k = p_.find("</", k + 1))
      if (EndTagAt(k, name)) return k;
    return p_.size();
  }

  // Where a script's text ends. Inside "<!--" a "<script" opens a part that its
  // own "</script" closes, and that part does not end the script; "-->" ends
  // either part.
  std::size_t ScriptEnd(std::size_t from) const {
    enum class Part { kData, kEscaped, kDoubleEscaped };
    Part part = Part::kData;
    int dashes = 0;  // '-' just read, up to two
    const std::size_t n = p_.size();
    // The word after "<" or "</" at `at`, when it is "script" followed by a delimiter.
    auto scriptWordAt = [&](std::size_t at) {
      if (!StartsWithIgnoringCase(p_, at, "script") || at + 6 >= n) return false;
      const char after = p_[at + 6];
      return IsSpace(after) || after == '/' || after == '>';
    };
    std::size_t k = from;
    while (k < n) {
      if (part == Part::kData) {
        const void* lt = std::memchr(p_.data() + k, '<', n - k);
        if (!lt) return n;
        k = static_cast<std::size_t>(static_cast<const char*>(lt) - p_.data());
        if (EndTagAt(k, "script")) return k;
        if (p_.substr(k, 4) == "<!--") {
          // As if after "--": "<!-->" ends the escape at once.
          part = Part::kEscaped;
          dashes = 2;
          k += 4;
        } else {
          ++k;
        }
        continue;
      }
      const char c = p_[k];
      if (c == '-') {
        dashes = std::min(dashes + 1, 2);
        ++k;
        continue;
      }
      if (c == '>' && dashes == 2) {
        part = Part::kData;
        ++k;
        continue;
      }
      dashes = 0;
      if (c == '<' && part == Part::kEscaped) {
        if (EndTagAt(k, "script")) return k;
        if (scriptWordAt(k + 1)) {
          part = Part::kDoubleEscaped;
          k += 7;
          continue;
        }
      } else if (c == '<' && p_.substr(k + 1, 1) == "/" && scriptWordAt(k + 2)) {
        part = Part::kEscaped;
        k += 8;
        continue;
      }
      ++k;
    }
    return n;
  }

  std::string_view p_;
  MarkupVisitor& visitor_;
  std::string name_;
  std::vector<MarkupAttribute> attributes_;
  std::size_t count_ = 0;
  std::unordered_set<std::string> seen_;
  std::string text_;
};

}  // namespace

namespace {

// "&#…" at `i` (text[i + 1] is '#'): appends what it stands for, returns where
// the text goes on.
std::size_t AppendNumericReference(std::string_view text, std::size_t i, std::string& out) {
  const std::size_t n = text.size();
  std::size_t k = i + 2;
  const bool hex = k < n && (text[k] == 'x' || text[k] == 'X');
  if (hex) ++k;
  const std::size_t digits = k;
  char32_t value = 0;
  while (k < n && (hex ? base::IsHexDigit(text[k]) : IsDigit(text[k]))) {
    // Anything past the last code point reads as past it.
    if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + base::HexValue(text[k]);
    ++k;
  }
  if (k == digits) {
    // No digits: "&#" or "&#x" stays as written.
    out.append(text.substr(i, k - i));
    return k;
  }
  if (k < n && text[k] == ';') ++k;
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    value = kReplacementCharacter;
  else if (value >= 0x80 && value <= 0x9F)
    value = kC1Replacements[value - 0x80];
  AppendUtf8(value, out);
  return k;
}

// "&name" at `i`: appends what it stands for (or the '&' alone when no name
// matches), returns where the text goes on.
std::size_t AppendNamedReference(std::string_view text, std::size_t i, bool inAttribute,
                                 std::string& out) {
  const std::size_t n = text.size(), j = i + 1;
  std::size_t run = j;
  while (run < n && IsAlnum(text[run])) ++run;
  const NamedReference* found = nullptr;
  std::size_t length = 0;
  // A name ending in ';' matches only the whole run; a legacy name (no ';') is
  // short and may match the run's beginning.
  if (run < n && text[run] == ';' && run - j < 40) {
    found = FindNamedReference(text.substr(j, run - j + 1));
    length = run - j + 1;
  }
  const bool legacy = run - j >= 2 && MayBeginLegacyName(text[j], text[j + 1]);
  for (std::size_t len = std::min(run - j, kLongestLegacyName); legacy && !found && len >= 2;
       --len) {
    found = FindLegacyReference(text.substr(j, len));
    length = len;
  }
  if (!found) {
    out += '&';
    return i + 1;
  }
  const std::size_t end = j + length;
  // In an attribute a legacy name followed by '=' or a letter or digit is text.
  if (inAttribute && found->name.back() != ';' && end < n &&
      (text[end] == '=' || IsAlnum(text[end])))
    out.append(text.substr(i, end - i));
  else
    out.append(found->text);
  return end;
}

}  // namespace

void AppendDecodedReferences(std::string_view text, bool inAttribute, std::string& out) {
  const std::size_t n = text.size();
  SpecialBytes special(text, true);
  std::size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '\r') {
      out += '\n';
      i += i + 1 < n && text[i + 1] == '\n' ? 2 : 1;
    } else if (c == '\0') {
      AppendUtf8(kReplacementCharacter, out);
      ++i;
    } else if (c != '&') {
      // The plain run up to the next byte that needs work, in one piece.
      const std::size_t end = special.From(i);
      out.append(text.substr(i, end - i));
      i = end;
    } else if (i + 1 < n && text[i + 1] == '#') {
      i = AppendNumericReference(text, i, out);
    } else {
      i = AppendNamedReference(text, i, inAttribute, out);
    }
  }
}

void TokenizeMarkup(std::string_view page, MarkupVisitor& visitor) {
  Tokenizer(page, visitor).Run();
}

}  // namespace tobrine::text
