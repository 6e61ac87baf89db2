#include "text/property_list.h"

#include <cstdint>

#include "base/ascii.h"
#include "text/utf8.h"

namespace tobrine::text {

const PropertyListValue* PropertyListValue::Find(std::string_view key) const {
  if (kind != Kind::kDict) return nullptr;
  for (std::size_t i = 0; i < keys.size() && i < items.size(); ++i)
    if (keys[i] == key) return &items[i];
  return nullptr;
}

std::string_view PropertyListValue::StringAt(std::string_view key) const {
  const PropertyListValue* v = Find(key);
  return v && v->kind == Kind::kString ? std::string_view(v->text) : std::string_view();
}

namespace {

using Kind = PropertyListValue::Kind;

// How deep dicts and arrays may nest: a hostile document cannot exhaust the
// stack, here or in the tree's destructor. Real manifests nest 5 deep.
constexpr std::size_t kDeepestNesting = 256;

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}
std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsXmlSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsXmlSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Decodes the reference at `text[i]` ('&') into `out`. Returns the length read,
// or 0 when no reference an XML reader knows stands there.
std::size_t DecodeReference(std::string_view text, std::size_t i, std::string& out) {
  // The longest reference ("&#x10FFFF;") is 10 bytes: look no further.
  const std::size_t semicolon = text.substr(0, i + 13).find(';', i + 1);
  if (semicolon == std::string_view::npos) return 0;
  const std::string_view name = text.substr(i + 1, semicolon - i - 1);
  const std::size_t length = semicolon - i + 1;
  static constexpr struct {
    std::string_view name;
    char c;
  } kPredefined[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& p : kPredefined) {
    if (name == p.name) {
      out += p.c;
      return length;
    }
  }
  if (name.size() < 2 || name[0] != '#') return 0;
  const bool hex = name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty()) return 0;
  uint32_t v = 0;
  for (char c : digits) {
    const int d = hex ? base::HexValue(c) : base::IsAsciiDigit(c) ? c - '0' : -1;
    if (d < 0) return 0;
    v = v * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    if (v > 0x10FFFF) return 0;
  }
  const bool allowed = v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) ||
                       (v >= 0xE000 && v <= 0xFFFD) || v >= 0x10000;
  if (!allowed) return 0;
  AppendUtf8(v, out);
  return length;
}

// Text with the references an XML reader knows decoded, any other '&' kept.
void AppendWithReferences(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t amp = text.find('&', i);
    out.append(text.substr(i, amp == std::string_view::npos ? text.npos : amp - i));
    if (amp == std::string_view::npos) return;
    const std::size_t length = DecodeReference(text, amp, out);
    if (length == 0) out += '&';
    i = amp + (length == 0 ? 1 : length);
  }
}

// The strict reading: a well-formed document or nothing.
class StrictReader {
 public:
  explicit StrictReader(std::string_view document) : s_(document), budget_(document.size()) {}

  std::optional<PropertyListValue> Run() {
    SkipByteOrderMark();
    bool utf8 = true;
    if (s_.substr(k_, 5) == "<?xml" && k_ + 5 < s_.size() && IsXmlSpace(s_[k_ + 5])) {
      const std::size_t end = s_.find("?>", k_);
      if (end == std::string_view::npos) return std::nullopt;
      const std::string_view declaration = s_.substr(k_, end - k_);
      const std::size_t at = declaration.find("encoding");
      if (at != std::string_view::npos) {
        const std::size_t open = declaration.find_first_of("\"'", at);
        const std::size_t close =
            open == std::string_view::npos ? open : declaration.find(declaration[open], open + 1);
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view name = declaration.substr(open + 1, close - open - 1);
        utf8 = base::EqualsIgnoringAsciiCase(name, "utf-8") ||
               base::EqualsIgnoringAsciiCase(name, "utf8");
      }
      k_ = end + 2;
    }
    if (utf8 && !IsValidUtf8(s_)) return std::nullopt;
    if (!StrictMisc(true)) return std::nullopt;
    if (!StartTagNamed("plist")) return std::nullopt;
    if (selfClosing_) return std::nullopt;
    if (!StrictMisc(false)) return std::nullopt;
    std::optional<PropertyListValue> root = StrictValue();
    if (!root || !StrictMisc(false) || !EndTagNamed("plist") || !StrictMisc(false) ||
        k_ != s_.size())
      return std::nullopt;
    return root;
  }

 private:
  void SkipByteOrderMark() {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") k_ = 3;
  }

  // White space, comments and processing instructions; a DOCTYPE too when
  // `prolog`. False on a malformed one.
  bool StrictMisc(bool prolog) {
    bool doctypeSeen = false;
    while (k_ < s_.size()) {
      if (IsXmlSpace(s_[k_])) {
        ++k_;
      } else if (s_.substr(k_, 4) == "<!--" || s_.substr(k_, 2) == "<?") {
        if (!SkipCommentOrInstruction()) return false;
      } else if (prolog && !doctypeSeen && s_.substr(k_, 9) == "<!DOCTYPE") {
        doctypeSeen = true;
        if (!SkipDoctype()) return false;
      } else {
        return true;
      }
    }
    return true;
  }

  // One comment ("--" only at its end) or processing instruction (not "xml").
  bool SkipCommentOrInstruction() {
    if (s_.substr(k_, 4) == "<!--") {
      const std::size_t end = s_.find("--", k_ + 4);
      if (end == std::string_view::npos || s_.substr(end, 3) != "-->") return false;
      k_ = end + 3;
      return true;
    }
    const std::size_t end = s_.find("?>", k_ + 2);
    if (end == std::string_view::npos || base::EqualsIgnoringAsciiCase(s_.substr(k_ + 2, 3), "xml"))
      return false;
    k_ = end + 2;
    return true;
  }

  // From "<!DOCTYPE" past its '>', quoted literals and an internal subset included.
  bool SkipDoctype() {
    std::size_t k = k_ + 9;
    bool inSubset = false;
    while (k < s_.size()) {
      const char c = s_[k];
      if (c == '"' || c == '\'') {
        const std::size_t close = s_.find(c, k + 1);
        if (close == std::string_view::npos) return false;
        k = close + 1;
      } else if (c == '[') {
        inSubset = true;
        ++k;
      } else if (c == ']') {
        inSubset = false;
        ++k;
      } else if (c == '>' && !inSubset) {
        k_ = k + 1;
        return true;
      } else {
        ++k;
      }
    }
    return false;
  }

  // Reads a start tag at k_: its name into name_, whether it ends in "/>".
  bool StartTag() {
    if (k_ >= s_.size() || s_[k_] != '<') return false;
    std::size_t k = k_ + 1;
    const std::size_t start = k;
    while (k < s_.size() && IsNameChar(s_[k])) ++k;
    if (k == start) return false;
    name_ = s_.substr(start, k - start);
    // Attributes: name = "value" or 'value'.
    while (true) {
      const std::size_t before = k;
      while (k < s_.size() && IsXmlSpace(s_[k])) ++k;
      if (k >= s_.size()) return false;
      if (s_[k] == '>' || s_.substr(k, 2) == "/>") {
        selfClosing_ = s_[k] == '/';
        k_ = k + (selfClosing_ ? 2 : 1);
        return true;
      }
      if (k == before) return false;
      const std::size_t nameStart = k;
      while (k < s_.size() && IsNameChar(s_[k])) ++k;
      if (k == nameStart) return false;
      while (k < s_.size() && IsXmlSpace(s_[k])) ++k;
      if (k >= s_.size() || s_[k] != '=') return false;
      ++k;
      while (k < s_.size() && IsXmlSpace(s_[k])) ++k;
      if (k >= s_.size() || (s_[k] != '"' && s_[k] != '\'')) return false;
      const std::size_t close = s_.find(s_[k], k + 1);
      if (close == std::string_view::npos) return false;
      if (s_.substr(k + 1, close - k - 1).find('<') != std::string_view::npos) return false;
      k = close + 1;
    }
  }

  bool StartTagNamed(std::string_view name) { return StartTag() && name_ == name; }

  bool EndTagNamed(std::string_view name) {
    if (s_.substr(k_, 2) != "</" || s_.substr(k_ + 2, name.size()) != name) return false;
    std::size_t k = k_ + 2 + name.size();
    while (k < s_.size() && IsXmlSpace(s_[k])) ++k;
    if (k >= s_.size() || s_[k] != '>') return false;
    k_ = k + 1;
    return true;
  }

  // Character data up to the end tag of `name`: references and CDATA decoded,
  // comments and processing instructions dropped. Fails on any element inside.
  bool StrictText(std::string_view name, std::string& out) {
    while (k_ < s_.size()) {
      const char c = s_[k_];
      if (c == '<') {
        if (s_.substr(k_, 9) == "<![CDATA[") {
          const std::size_t end = s_.find("]]>", k_ + 9);
          if (end == std::string_view::npos) return false;
          out.append(s_.substr(k_ + 9, end - k_ - 9));
          k_ = end + 3;
        } else if (s_.substr(k_, 4) == "<!--" || s_.substr(k_, 2) == "<?") {
          if (!SkipCommentOrInstruction()) return false;
        } else {
          return EndTagNamed(name);
        }
      } else if (c == '&') {
        const std::size_t length = DecodeReference(s_, k_, out);
        if (length == 0) return false;
        k_ += length;
      } else {
        if (c == '>' && k_ >= 2 && s_.substr(k_ - 2, 2) == "]]") return false;
        out += c;
        ++k_;
      }
    }
    return false;
  }

  std::optional<PropertyListValue> StrictValue() {
    if (depth_ >= kDeepestNesting || !budget_.Charge(detail::TreeBudget::kNodeCost) || !StartTag())
      return std::nullopt;
    ++depth_;
    std::optional<PropertyListValue> v = StrictValueInside();
    --depth_;
    return v;
  }

  // The value whose start tag was just read.
  std::optional<PropertyListValue> StrictValueInside() {
    const std::string_view name = name_;
    const bool empty = selfClosing_;
    PropertyListValue v;
    if (name == "dict") {
      v.kind = Kind::kDict;
      if (empty) return v;
      while (true) {
        if (!StrictMisc(false)) return std::nullopt;
        if (EndTagNamed("dict")) return v;
        if (!StartTagNamed("key")) return std::nullopt;
        std::string key;
        if (!selfClosing_ && !StrictText("key", key)) return std::nullopt;
        if (!budget_.Charge(detail::TreeBudget::kKeyCost + key.size())) return std::nullopt;
        if (!StrictMisc(false)) return std::nullopt;
        std::optional<PropertyListValue> item = StrictValue();
        if (!item) return std::nullopt;
        v.keys.push_back(std::move(key));
        v.items.push_back(std::move(*item));
      }
    }
    if (name == "array") {
      v.kind = Kind::kArray;
      if (empty) return v;
      while (true) {
        if (!StrictMisc(false)) return std::nullopt;
        if (EndTagNamed("array")) return v;
        std::optional<PropertyListValue> item = StrictValue();
        if (!item) return std::nullopt;
        v.items.push_back(std::move(*item));
      }
    }
    if (name == "true" || name == "false") {
      v.kind = Kind::kBoolean;
      v.text = name;
      if (empty) return v;
      std::string inside;
      if (!StrictText(name, inside) || !Trimmed(inside).empty()) return std::nullopt;
      return v;
    }
    static constexpr struct {
      std::string_view name;
      Kind kind;
    } kScalars[] = {{"string", Kind::kString},
                    {"integer", Kind::kInteger},
                    {"real", Kind::kReal},
                    {"date", Kind::kDate},
                    {"data", Kind::kData}};
    for (const auto& scalar : kScalars) {
      if (name != scalar.name) continue;
      v.kind = scalar.kind;
      if (!empty && !StrictText(name, v.text)) return std::nullopt;
      if (v.kind != Kind::kString) v.text = std::string(Trimmed(v.text));
      if (!budget_.Charge(v.text.size())) return std::nullopt;
      return v;
    }
    return std::nullopt;
  }

  std::string_view s_;
  detail::TreeBudget budget_;
  std::size_t k_ = 0;
  std::string_view name_;
  bool selfClosing_ = false;
  std::size_t depth_ = 0;
};

// The tolerant reading: a forgiving scan of tags and text that builds whatever
// structure the document shows.
class TolerantBuilder {
 public:
  explicit TolerantBuilder(std::string_view s) : s_(s), budget_(s.size()) {}

  std::optional<PropertyListValue> Run() {
    std::size_t k = s_.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    const std::size_t n = s_.size();
    while (k < n && !finished_) {
      const std::size_t lt = s_.find('<', k);
      if (lt == std::string_view::npos) {
        Text(s_.substr(k));
        break;
      }
      Text(s_.substr(k, lt - k));
      k = lt;
      if (s_.substr(k, 4) == "<!--") {
        const std::size_t end = s_.find("-->", k + 4);
        k = end == std::string_view::npos ? n : end + 3;
      } else if (s_.substr(k, 9) == "<![CDATA[") {
        const std::size_t end = s_.find("]]>", k + 9);
        if (scalar_) scalarText_.append(s_.substr(k + 9, (end == s_.npos ? n : end) - k - 9));
        k = end == std::string_view::npos ? n : end + 3;
      } else if (s_.substr(k, 2) == "<?") {
        const std::size_t end = s_.find("?>", k + 2);
        k = end == std::string_view::npos ? n : end + 2;
      } else if (s_.substr(k, 2) == "<!") {
        const std::size_t end = s_.find('>', k + 2);
        k = end == std::string_view::npos ? n : end + 1;
      } else if (s_.substr(k, 2) == "</" || (k + 1 < n && IsNameChar(s_[k + 1]))) {
        k = Tag(k);
      } else {
        Text(s_.substr(k, 1));
        ++k;
      }
    }
    FinishScalar();
    if (!root_ || spent_) return std::nullopt;
    return std::move(*root_);
  }

 private:
  void Text(std::string_view text) {
    if (scalar_) AppendWithReferences(text, scalarText_);
  }

  // Reads the tag at `k` and returns where reading goes on.
  std::size_t Tag(std::size_t k) {
    const bool end = s_[k + 1] == '/';
    std::size_t at = k + (end ? 2 : 1);
    std::string name;
    while (at < s_.size() && IsNameChar(s_[at])) name += base::AsciiLower(s_[at++]);
    // Past the tag's '>', over quoted attribute values.
    bool selfClosing = false;
    while (at < s_.size() && s_[at] != '>') {
      if (s_[at] == '"' || s_[at] == '\'') {
        const std::size_t close = s_.find(s_[at], at + 1);
        if (close == std::string_view::npos) break;
        at = close;
      }
      ++at;
    }
    selfClosing = at > k && at < s_.size() && s_[at - 1] == '/';
    const std::size_t next = at < s_.size() ? at + 1 : s_.size();
    if (end)
      EndTag(name);
    else
      StartTag(name, selfClosing);
    return next;
  }

  static bool IsContainer(std::string_view name) { return name == "dict" || name == "array"; }
  static bool IsScalar(std::string_view name) {
    return name == "key" || name == "string" || name == "integer" || name == "real" ||
           name == "date" || name == "data" || name == "true" || name == "false";
  }

  void StartTag(const std::string& name, bool selfClosing) {
    if (IsContainer(name)) {
      FinishScalar();
      PropertyListValue v;
      v.kind = name == "dict" ? Kind::kDict : Kind::kArray;
      // Past the deepest nesting a container is looked through, like an unknown tag.
      if (open_.size() >= kDeepestNesting) return;
      PropertyListValue* added = Add(std::move(v));
      if (added && !selfClosing) open_.push_back(added);
    } else if (IsScalar(name)) {
      FinishScalar();
      scalar_ = true;
      scalarName_ = name;
      scalarText_.clear();
      if (selfClosing || name == "true" || name == "false") FinishScalar();
    }
    // Any other tag (plist, markup around the document) is looked through.
  }

  void EndTag(const std::string& name) {
    if (scalar_ && (name == scalarName_ || IsContainer(name) || IsScalar(name) || name == "plist"))
      FinishScalar();
    if (name == "plist" && root_) {
      finished_ = true;
      return;
    }
    if (!IsContainer(name)) return;
    const Kind kind = name == "dict" ? Kind::kDict : Kind::kArray;
    for (std::size_t i = open_.size(); i-- > 0;) {
      if (open_[i]->kind == kind) {
        open_.resize(i);
        pendingKey_.reset();
        if (open_.empty()) finished_ = true;
        return;
      }
    }
  }

  void FinishScalar() {
    if (!scalar_) return;
    scalar_ = false;
    if (scalarName_ == "key") {
      if (!open_.empty() && open_.back()->kind == Kind::kDict) {
        pendingKey_ = std::string(Trimmed(scalarText_));
        Spend(detail::TreeBudget::kKeyCost + pendingKey_->size());
      }
      return;
    }
    PropertyListValue v;
    if (scalarName_ == "true" || scalarName_ == "false") {
      v.kind = Kind::kBoolean;
      v.text = scalarName_;
    } else {
      v.kind = scalarName_ == "string"    ? Kind::kString
               : scalarName_ == "integer" ? Kind::kInteger
               : scalarName_ == "real"    ? Kind::kReal
               : scalarName_ == "date"    ? Kind::kDate
                                          : Kind::kData;
      v.text = v.kind == Kind::kString ? scalarText_ : std::string(Trimmed(scalarText_));
    }
    Add(std::move(v));
  }

  // Adds a value where the structure says; a dict's value needs its key. Returns
  // the value's place, or nullptr when it was dropped.
  PropertyListValue* Add(PropertyListValue v) {
    if (!Spend(detail::TreeBudget::kNodeCost + v.text.size())) return nullptr;
    if (open_.empty()) {
      if (root_ || (v.kind != Kind::kDict && v.kind != Kind::kArray)) return nullptr;
      root_ = std::move(v);
      return &*root_;
    }
    PropertyListValue& parent = *open_.back();
    if (parent.kind == Kind::kDict) {
      if (!pendingKey_) return nullptr;
      parent.keys.push_back(std::move(*pendingKey_));
      pendingKey_.reset();
    }
    parent.items.push_back(std::move(v));
    return &parent.items.back();
  }

  // Takes `bytes` from the budget; once it is spent, reading stops and the
  // document is not read at all.
  bool Spend(std::size_t bytes) {
    if (!spent_ && budget_.Charge(bytes)) return true;
    spent_ = finished_ = true;
    return false;
  }

  std::string_view s_;
  detail::TreeBudget budget_;
  bool spent_ = false;
  std::optional<PropertyListValue> root_;
  // The open containers, outermost first. Only the last one grows, so the
  // places of the others stay put.
  std::vector<PropertyListValue*> open_;
  std::optional<std::string> pendingKey_;
  bool scalar_ = false;
  std::string scalarName_;
  std::string scalarText_;
  bool finished_ = false;
};

}  // namespace

std::optional<std::string> Utf16DocumentAsUtf8(std::string_view document) {
  const std::string_view head = document.substr(0, 2);
  if (head == "\xFF\xFE" || head == "\xFE\xFF")
    return Utf16AsUtf8(document.substr(2), head[0] == '\xFE');
  if (head == std::string_view("<\0", 2) || head == std::string_view("\0<", 2))
    return Utf16AsUtf8(document, head[0] == '\0');
  return std::nullopt;
}

std::optional<PropertyListValue> ReadPropertyList(std::string_view document,
                                                  PropertyListReading reading) {
  if (IsBinaryPropertyList(document)) return ReadBinaryPropertyList(document);
  const std::optional<std::string> utf8 = Utf16DocumentAsUtf8(document);
  const std::string_view text = utf8 ? std::string_view(*utf8) : document;
  if (reading == PropertyListReading::kStrict) return StrictReader(text).Run();
  return TolerantBuilder(text).Run();
}

std::string DecodeXmlText(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, 9) == "<![CDATA[") {
      const std::size_t end = text.find("]]>", i + 9);
      const std::size_t stop = end == std::string_view::npos ? text.size() : end;
      out.append(text.substr(i + 9, stop - i - 9));
      i = end == std::string_view::npos ? text.size() : end + 3;
      continue;
    }
    std::size_t next = text.find("<![CDATA[", i);
    if (next == std::string_view::npos) next = text.size();
    AppendWithReferences(text.substr(i, next - i), out);
    i = next;
  }
  return out;
}

}  // namespace tobrine::text
