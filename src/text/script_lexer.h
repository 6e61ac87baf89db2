// The tokens of a script or a JSON text, read the way a JavaScript engine reads
// them: string and template literals with their escapes decoded, names,
// numbers and punctuators; comments and regular expressions skipped. Used by
// the script string reader (text/script_strings.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "text/script_strings.h"  // ByteLayout

namespace tobrine::text::detail {

enum class TokenKind {
  kEnd,
  kString,          // a quoted literal
  kTemplate,        // a template literal without a substitution
  kTemplateHead,    // a template's text up to its first "${"
  kTemplateMiddle,  // from the "}" of a substitution up to the next "${"
  kTemplateTail,    // from the "}" of the last substitution to the closing "`"
  kName,            // a word: a name or a keyword
  kNumber,
  kPunct,  // a punctuator: ( ) [ ] { } . ?. , ; : = == => + += ++ and the rest
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string_view text;         // a name, number or punctuator as written
  bool lineBreakBefore = false;  // a line break stands between it and the token before
};

class ScriptLexer {
 public:
  ScriptLexer(std::string_view script, ByteLayout layout)
      : s_(script), doubleByte_(layout == ByteLayout::kDoubleByte) {}

  Token Next();

  // The value of the last string or template token, escapes decoded (code
  // points as UTF-8), and whether it is well-formed: a malformed escape or a
  // literal cut off by the end of its line (or text) is not.
  const std::string& value() const { return value_; }
  bool constant() const { return constant_; }
  // Moves the value into `into`, which hands its room on to the next one.
  void TakeValue(std::string& into) { into.swap(value_); }

 private:
  void StepCharacter() { k_ += DoubleByteAt(k_) ? 2 : 1; }
  bool DoubleByteAt(std::size_t k) const;
  bool LineBreakAt(std::size_t k) const { return s_[k] == '\n' || s_[k] == '\r'; }
  void SkipLine();
  bool SkipSpaceAndComments();
  bool QuotedString(char quote);
  void LiteralCharacter();
  TokenKind TemplateString(bool first);
  bool RegularExpression();
  long Hex4(std::size_t k) const;
  void Escape();
  void UnicodeEscape();
  std::string_view Punctuator();

  std::string_view s_;
  bool doubleByte_;
  std::size_t k_ = 0;
  bool regexAllowed_ = true;
  std::size_t brokenUntil_ = 0;  // a regular expression cannot start before here
  bool lineStart_ = true;
  int depth_ = 0;
  std::vector<int> templates_;  // brace depth at each open substitution
  std::string value_;
  bool constant_ = true;
};

}  // namespace tobrine::text::detail
