#include "text/script_lexer.h"

#include <algorithm>

#include "base/ascii.h"
#include "text/utf8.h"

namespace tobrine::text::detail {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsWordByte(char c) {
  auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_' || c == '$' ||
         c == '\\' || u >= 0x80;
}

// Keywords after which a '/' starts a regular expression, not a division.
bool KeywordBeforeExpression(std::string_view word) {
  for (std::string_view k : {"return", "typeof", "case", "do", "else", "in", "of", "new", "delete",
                             "void", "throw", "instanceof", "yield", "await"})
    if (word == k) return true;
  return false;
}

// The punctuators of more than one byte, longest first.
constexpr std::string_view kLongPunctuators[] = {
    ">>>=", "...", "===", "!==", "**=", "<<=", ">>=", ">>>", "&&=", "||=", "?\?=",
    "=>",   "==",  "!=",  "<=",  ">=",  "&&",  "||",  "?\?", "?.",  "++",  "--",
    "+=",   "-=",  "*=",  "/=",  "%=",  "&=",  "|=",  "^=",  "**",  "<<",  ">>"};

}  // namespace

bool ScriptLexer::DoubleByteAt(std::size_t k) const {
  if (!doubleByte_ || k + 1 >= s_.size()) return false;
  auto lead = static_cast<unsigned char>(s_[k]);
  auto trail = static_cast<unsigned char>(s_[k + 1]);
  return lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

Token ScriptLexer::Next() {
  Token t;
  t.lineBreakBefore = SkipSpaceAndComments();
  if (k_ >= s_.size()) return t;
  const std::size_t start = k_;
  const char c = s_[k_];
  bool regexNext = true;
  if (c == '"' || c == '\'') {
    t.kind = TokenKind::kString;
    if (!QuotedString(c)) constant_ = false;
    regexNext = false;
  } else if (c == '`') {
    ++k_;
    t.kind = TemplateString(true);
    regexNext = false;
  } else if (c == '}' && !templates_.empty() && templates_.back() == depth_) {
    // The end of a substitution: the template goes on.
    templates_.pop_back();
    ++k_;
    t.kind = TemplateString(false);
    regexNext = false;
  } else if (c == '/' && regexAllowed_ && RegularExpression()) {
    // A regular expression stands where a value does; it is no string.
    t.kind = TokenKind::kNumber;
    regexNext = false;
  } else if (IsWordByte(c) || (c == '.' && k_ + 1 < s_.size() && IsDigit(s_[k_ + 1]))) {
    // A word, or a number (with its fraction).
    StepCharacter();
    while (k_ < s_.size() && (IsWordByte(s_[k_]) || (IsDigit(s_[start]) && s_[k_] == '.')))
      StepCharacter();
    t.kind = IsDigit(c) || c == '.' ? TokenKind::kNumber : TokenKind::kName;
    regexNext = t.kind == TokenKind::kName && KeywordBeforeExpression(s_.substr(start, k_ - start));
  } else {
    t.kind = TokenKind::kPunct;
    const std::string_view p = Punctuator();
    if (p == "{") ++depth_;
    if (p == "}") --depth_;
    regexNext = p != ")" && p != "]" && p != "}" && p != "++" && p != "--";
  }
  t.text = s_.substr(start, k_ - start);
  regexAllowed_ = regexNext;
  return t;
}

std::string_view ScriptLexer::Punctuator() {
  const std::string_view rest = s_.substr(k_);
  // Brackets and the like stand alone; only these begin longer ones.
  if (rest.size() < 2 ||
      std::string_view(">.=!*<&|?+-/%^").find(rest[0]) == std::string_view::npos) {
    ++k_;
    return rest.substr(0, 1);
  }
  for (std::string_view p : kLongPunctuators) {
    if (p[0] != rest[0]) continue;
    // "?." before a digit is a conditional and a number.
    if (rest.starts_with(p) && !(p == "?." && rest.size() > 2 && IsDigit(rest[2]))) {
      k_ += p.size();
      return p;
    }
  }
  ++k_;
  return rest.substr(0, 1);
}

void ScriptLexer::SkipLine() {
  while (k_ < s_.size() && !LineBreakAt(k_)) StepCharacter();
}

// Returns whether a line break was skipped.
bool ScriptLexer::SkipSpaceAndComments() {
  bool lineBreak = false;
  while (k_ < s_.size()) {
    const char c = s_[k_];
    if (c == '\n' || c == '\r') {
      lineStart_ = lineBreak = true;
      ++k_;
    } else if (c == ' ' || c == '\t' || c == '\f' || c == '\v') {
      ++k_;
    } else if (c == '/' && k_ + 1 < s_.size() && s_[k_ + 1] == '/') {
      SkipLine();
    } else if (c == '/' && k_ + 1 < s_.size() && s_[k_ + 1] == '*') {
      std::size_t end = s_.find("*/", k_ + 2);
      if (s_.substr(k_, end == std::string_view::npos ? s_.npos : end - k_).find_first_of("\r\n") !=
          std::string_view::npos)
        lineStart_ = lineBreak = true;
      k_ = end == std::string_view::npos ? s_.size() : end + 2;
    } else if (s_.substr(k_, 4) == "<!--" || (lineStart_ && s_.substr(k_, 3) == "-->")) {
      // The HTML-like comments of classic scripts run to the end of the line.
      SkipLine();
    } else {
      lineStart_ = false;
      return lineBreak;
    }
  }
  return lineBreak;
}

// Reads a quoted literal from its opening quote. False when it is cut by a
// line break or the end of the text, or holds a malformed escape.
bool ScriptLexer::QuotedString(char quote) {
  value_.clear();
  constant_ = true;
  ++k_;
  while (k_ < s_.size()) {
    const char c = s_[k_];
    if (c == quote) {
      ++k_;
      return constant_;
    }
    if (LineBreakAt(k_)) return false;
    LiteralCharacter();
  }
  return false;
}

// One character of a literal's text into value_: an escape, a double-byte
// character or a byte.
void ScriptLexer::LiteralCharacter() {
  if (s_[k_] == '\\') {
    Escape();
  } else if (DoubleByteAt(k_)) {
    value_.append(s_.substr(k_, 2));
    k_ += 2;
  } else {
    value_ += s_[k_++];
  }
}

// Reads template text up to its end or its next substitution, from the '`'
// (`first`) or the '}' of a substitution.
TokenKind ScriptLexer::TemplateString(bool first) {
  value_.clear();
  constant_ = true;
  while (k_ < s_.size()) {
    const char c = s_[k_];
    if (c == '`') {
      ++k_;
      return first ? TokenKind::kTemplate : TokenKind::kTemplateTail;
    }
    if (c == '$' && k_ + 1 < s_.size() && s_[k_ + 1] == '{') {
      k_ += 2;
      templates_.push_back(depth_);
      return first ? TokenKind::kTemplateHead : TokenKind::kTemplateMiddle;
    }
    if (c == '\r') {
      // A template reads CR and CR LF as LF.
      value_ += '\n';
      k_ += k_ + 1 < s_.size() && s_[k_ + 1] == '\n' ? 2 : 1;
    } else {
      LiteralCharacter();
    }
  }
  constant_ = false;
  return first ? TokenKind::kTemplate : TokenKind::kTemplateTail;
}

// Reads /…/flags from the '/'. False (nothing read) when no regular
// expression ends on this line; the rest of that line is then not tried
// again (it is broken script, and trying each '/' would cost quadratic time).
bool ScriptLexer::RegularExpression() {
  if (k_ < brokenUntil_) return false;
  std::size_t k = k_ + 1;
  bool inClass = false;
  while (k < s_.size() && !LineBreakAt(k)) {
    const char c = s_[k];
    if (DoubleByteAt(k)) {
      k += 2;
      continue;
    }
    if (c == '\\') {
      k += 2;
      continue;
    }
    if (c == '[') inClass = true;
    if (c == ']') inClass = false;
    if (c == '/' && !inClass) {
      k_ = k + 1;
      while (k_ < s_.size() && IsWordByte(s_[k_])) ++k_;
      return true;
    }
    ++k;
  }
  brokenUntil_ = k;
  return false;
}

// Four hex digits at `k`, or -1.
long ScriptLexer::Hex4(std::size_t k) const {
  if (k + 4 > s_.size()) return -1;
  long v = 0;
  for (std::size_t i = k; i < k + 4; ++i) {
    if (!base::IsHexDigit(s_[i])) return -1;
    v = v * 16 + base::HexValue(s_[i]);
  }
  return v;
}

// Decodes the escape at k_ (a backslash) into value_.
void ScriptLexer::Escape() {
  ++k_;
  if (k_ >= s_.size()) return;
  const char c = s_[k_];
  switch (c) {
    case '\r':
      k_ += k_ + 1 < s_.size() && s_[k_ + 1] == '\n' ? 2 : 1;
      return;
    case '\n':
      ++k_;
      return;
    case 'n':
      value_ += '\n';
      break;
    case 't':
      value_ += '\t';
      break;
    case 'r':
      value_ += '\r';
      break;
    case 'b':
      value_ += '\b';
      break;
    case 'f':
      value_ += '\f';
      break;
    case 'v':
      value_ += '\v';
      break;
    case 'x': {
      if (k_ + 2 >= s_.size() || !base::IsHexDigit(s_[k_ + 1]) || !base::IsHexDigit(s_[k_ + 2])) {
        constant_ = false;
        break;
      }
      AppendUtf8(
          static_cast<char32_t>(base::HexValue(s_[k_ + 1]) * 16 + base::HexValue(s_[k_ + 2])),
          value_);
      k_ += 3;
      return;
    }
    case 'u':
      UnicodeEscape();
      return;
    default:
      if (c >= '0' && c <= '7') {
        // Legacy octal: up to three digits, at most 0377.
        unsigned v = 0;
        std::size_t k = k_;
        while (k < s_.size() && k < k_ + 3 && s_[k] >= '0' && s_[k] <= '7' &&
               v * 8 + static_cast<unsigned>(s_[k] - '0') <= 0377)
          v = v * 8 + static_cast<unsigned>(s_[k++] - '0');
        AppendUtf8(v, value_);
        k_ = k;
        return;
      }
      if (DoubleByteAt(k_)) {
        value_.append(s_.substr(k_, 2));
        k_ += 2;
        return;
      }
      // "\/", "\"", "\\" and any other character stand for themselves.
      value_ += c;
      break;
  }
  ++k_;
}

// "\uXXXX" (a surrogate pair joined) or "\u{X…}", from the 'u'.
void ScriptLexer::UnicodeEscape() {
  long v = -1;
  std::size_t next = k_ + 1;
  if (next < s_.size() && s_[next] == '{') {
    // Hex digits up to the '}', leading zeros and all; nothing else may stand
    // there, so the search ends at the first byte that is no digit.
    std::size_t k = next + 1;
    long digits = 0;
    while (k < s_.size() && base::IsHexDigit(s_[k])) {
      digits = std::min(digits * 16 + base::HexValue(s_[k]), 0x110000L);
      ++k;
    }
    if (k > next + 1 && k < s_.size() && s_[k] == '}') {
      v = digits;
      next = k + 1;
    }
  } else {
    v = Hex4(next);
    next += 4;
    if (v >= 0xD800 && v <= 0xDBFF && s_.substr(next, 2) == "\\u") {
      long low = Hex4(next + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
        next += 6;
      }
    }
  }
  if (v < 0 || v > 0x10FFFF) {
    constant_ = false;
    k_ = k_ + 1;
    return;
  }
  if (v >= 0xD800 && v <= 0xDFFF) v = 0xFFFD;
  AppendUtf8(static_cast<char32_t>(v), value_);
  k_ = next;
}

}  // namespace tobrine::text::detail
