// Reading a web page's markup the way a browser's tokenizer does: tags with their
// attributes (character references decoded), comments, and the raw text of
// script-like elements. Pure work over bytes: no encoding is assumed beyond
// ASCII for the markup itself, so UTF-8, GBK and Big5 pages read alike.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tobrine::text {

struct MarkupAttribute {
  std::string name;   // lower-case ASCII
  std::string value;  // character references decoded (as UTF-8), CR LF read as LF
};

// What the tokenizer reports, in document order. Views and spans are valid only
// during the call.
class MarkupVisitor {
 public:
  // A start tag; a repeated attribute name keeps its first value only, and a
  // tag keeps its first 65,536 attributes.
  virtual void StartTag(std::string_view name, std::span<const MarkupAttribute> attributes,
                        bool selfClosing);
  virtual void EndTag(std::string_view name);
  // A comment's text, also of `<!…>`, `<?…>` and `</…>` that are not tags.
  virtual void Comment(std::string_view text);
  // The text inside script, style, xmp, iframe, noembed, noframes, plaintext
  // (raw text) and textarea, title (character references left as written).
  // `element` is the lower-case name of the element that holds it.
  virtual void RawText(std::string_view element, std::string_view text);

 protected:
  ~MarkupVisitor() = default;
};

// Reads `page` from start to end and reports every token to `visitor`. Never
// fails: text that is not markup is skipped, as a browser shows it as text.
void TokenizeMarkup(std::string_view page, MarkupVisitor& visitor);

// Character references of `text` decoded into `out` (appended), as in an
// attribute value when `inAttribute` (a legacy reference without ';' before
// '=' or a letter or digit stays as written).
void AppendDecodedReferences(std::string_view text, bool inAttribute, std::string& out);

}  // namespace tobrine::text
