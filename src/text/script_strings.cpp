#include "text/script_strings.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "text/script_lexer.h"
#include "text/utf8.h"

namespace tobrine::text {

using detail::ScriptLexer;
using detail::Token;
using detail::TokenKind;

namespace {

// How deep values, calls and substitutions are read inside one another: a
// hostile script cannot exhaust the stack.
constexpr int kDeepest = 32;
// What a page's constants may cost (their values, a name's text copied where
// it is used, an encoding's output, what is noted of each name): this many
// bytes per byte of the page, and a fixed allowance besides. A dense object
// literal costs some 15 bytes per byte of script.
constexpr std::size_t kValueBytesPerByte = 8;
constexpr std::size_t kValueAllowance = std::size_t{1} << 20;
// A value, a member or a name noted, besides its text.
constexpr std::size_t kEntryBytes = 96;

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using NameSet = std::unordered_set<std::string, NameHash, std::equal_to<>>;
template <typename T>
using NameMap = std::unordered_map<std::string, T, NameHash, std::equal_to<>>;

// A value a script builds from constants; an unknown one stands for anything
// else (a number, a function, a value only known at run time).
struct JsValue;
using JsRef = std::shared_ptr<const JsValue>;
struct JsValue {
  enum class Kind { kUnknown, kString, kObject, kArray };
  Kind kind = Kind::kUnknown;
  std::string text;             // a string
  NameMap<JsRef> members;       // an object's; a key written twice keeps its last value
  std::vector<JsRef> elements;  // an array's
};

const JsRef& Unknown() {
  static const JsRef unknown = std::make_shared<const JsValue>();
  return unknown;
}

JsRef StringValue(std::string text) {
  auto v = std::make_shared<JsValue>();
  v->kind = JsValue::Kind::kString;
  v->text = std::move(text);
  return v;
}

bool IsReserved(std::string_view word) {
  static constexpr std::string_view kReserved[] = {
      "break",  "case",   "catch",  "class",      "const",   "continue", "debugger", "default",
      "delete", "do",     "else",   "export",     "extends", "finally",  "for",      "function",
      "if",     "import", "in",     "instanceof", "let",     "new",      "return",   "super",
      "switch", "throw",  "try",    "typeof",     "var",     "void",     "while",    "with",
      "yield",  "await",  "static", "of"};
  // Most names begin with a capital, '_', '$' or run longer: no search.
  if (word.size() < 2 || word.size() > 10 || word[0] < 'a' || word[0] > 'y') return false;
  for (std::string_view r : kReserved)
    if (r.size() == word.size() && r == word) return true;
  return false;
}

bool IsPunct(const Token& t, std::string_view p) {
  if (t.kind != TokenKind::kPunct || t.text.size() != p.size()) return false;
  for (std::size_t i = 0; i < p.size(); ++i)
    if (t.text[i] != p[i]) return false;
  return true;
}

bool IsAssignment(const Token& t) {
  if (t.kind != TokenKind::kPunct) return false;
  for (std::string_view op : {"=", "+=", "-=", "*=", "/=", "%=", "**=", "<<=", ">>=", ">>>=", "&=",
                              "|=", "^=", "&&=", "||=", "?\?="})
    if (t.text == op) return true;
  return false;
}

// Methods that change the array or object they are called on, and the
// functions that change the object given to them first.
bool IsChangingMethod(std::string_view name) {
  for (std::string_view m :
       {"push", "pop", "shift", "unshift", "splice", "sort", "reverse", "fill", "copyWithin"})
    if (name == m) return true;
  return false;
}
// What a page's global bindings are members of.
bool IsGlobalObject(std::string_view name) {
  for (std::string_view g : {"window", "self", "globalThis", "top", "parent", "frames", "this"})
    if (name == g) return true;
  return false;
}

bool IsObjectChanger(std::string_view name) {
  for (std::string_view m : {"assign", "defineProperty", "defineProperties", "setPrototypeOf"})
    if (name == m) return true;
  return false;
}

bool IsOpener(const Token& t) {
  return IsPunct(t, "(") || IsPunct(t, "[") || IsPunct(t, "{") ||
         t.kind == TokenKind::kTemplateHead;
}
bool IsCloser(const Token& t) {
  return IsPunct(t, ")") || IsPunct(t, "]") || IsPunct(t, "}") ||
         t.kind == TokenKind::kTemplateTail;
}

// Whether a value's expression ends before `t`: an initializer followed by
// anything else (an operator, a call, a member) is more than a constant. A
// line break ends it before a token that cannot go on with it.
bool EndsValue(const Token& t) {
  switch (t.kind) {
    case TokenKind::kEnd:
    case TokenKind::kTemplateMiddle:
    case TokenKind::kTemplateTail:
      return true;
    case TokenKind::kPunct:
      return t.text == "," || t.text == ";" || t.text == ")" || t.text == "]" || t.text == "}" ||
             (t.lineBreakBefore && (t.text == "++" || t.text == "--" || t.text == "{"));
    case TokenKind::kName:
    case TokenKind::kString:
    case TokenKind::kNumber:
      return t.lineBreakBefore;
    default:
      return false;
  }
}

// An array index as JavaScript writes it: digits, no leading zero.
bool IsIndex(std::string_view key) {
  if (key.empty() || key.size() > 9 || (key.size() > 1 && key[0] == '0')) return false;
  for (char c : key)
    if (c < '0' || c > '9') return false;
  return true;
}

// encodeURIComponent (`component`) or encodeURI of a string; nothing for one
// that is not well-formed UTF-8, or not ASCII in a double-byte page (whose
// bytes are not the characters the browser encodes).
std::optional<std::string> EncodeUri(std::string_view s, bool component, ByteLayout layout) {
  if (!IsValidUtf8(s)) return std::nullopt;
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80 && layout == ByteLayout::kDoubleByte) return std::nullopt;
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::strchr("-_.!~*'()", c) || (!component && std::strchr(";,/?:@&=+$#", c));
    if (keep && c != '\0') {
      out += c;
    } else {
      base::AppendPercentEncoded(out, u);
    }
  }
  return out;
}

// decodeURIComponent of a string; nothing where it throws (a '%' without two
// hex digits, bytes that are not UTF-8).
std::optional<std::string> DecodeUriComponent(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    const int high = i + 2 < s.size() ? base::HexValue(s[i + 1]) : -1;
    const int low = i + 2 < s.size() ? base::HexValue(s[i + 2]) : -1;
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (!IsValidUtf8(out)) return std::nullopt;
  return out;
}

}  // namespace

// What a page's scripts bind, across its scripts.
struct ScriptScope::State {
  struct Name {
    // Bound twice, without a value, assigned, changed, a parameter.
    bool unsure = false;
    int scope = 0;                  // the function it is bound in (0: the page's scope)
    std::size_t position = 0;       // where it is bound, in tokens from the page's start
    JsRef value;                    // its one binding's value, when that is known
    std::vector<std::string> uses;  // the names that value was built from
    bool Bound() const { return value && !unsure; }
  };

  ByteLayout layout;
  std::size_t budget;
  std::size_t left;
  bool settled = false;
  bool spent = false;        // too much noted: no name is known
  int scopes = 0;            // the functions' scopes so far, numbered in reading order
  std::size_t position = 0;  // tokens read so far, in reading order
  NameMap<Name> names;       // every name declared or made unsure
  // The names that values told depend on while bound; the names not (yet)
  // bound that left a value with a literal unknown.
  NameSet toldFrom, waiting;
  // Where a binding's value (a name, or a name and members: "C.base") is used:
  // alone, or joined to more. One only ever joined is a piece of the values
  // built from it, not a value of its own: when it holds the beginning of a
  // link, the link is the one built, and its beginning is only told as such.
  NameSet alone, joined;
  NameSet toldWhole;  // the bindings whose values were told whole
  NameSet pieces;     // once settled

  // Takes `bytes` from what values may cost; false (nothing taken) when too
  // few are left: that value is not known.
  bool Charge(std::size_t bytes) {
    if (bytes > left) return false;
    left -= bytes;
    return true;
  }

  // Takes `bytes` for what is noted of the names; once too few are left,
  // nothing more is noted and no name is known.
  bool Keep(std::size_t bytes) {
    spent = spent || !Charge(bytes);
    return !spent;
  }

  // Notes `name` in `set` (costing what it holds).
  void Note(NameSet& set, std::string_view name) {
    if (!settled && set.find(name) == set.end() && Keep(name.size() + kEntryBytes))
      set.emplace(name);
  }

  // A function's scope; the same numbers each time the page is read.
  int NewScope() { return ++scopes; }

  // The value of a name where it is used, inside the functions `open` (their
  // scopes in order, the page's first): a binding in a function counts in that
  // function only. `uses` collects the names a binding is built from.
  // `isBound` tells (before the scope is settled) whether the name has a
  // binding so far, or has none yet.
  JsRef Lookup(std::string_view name, const std::vector<int>& open, std::vector<std::string>* uses,
               std::optional<bool>& isBound) {
    isBound.reset();
    if (spent) return Unknown();
    const auto it = names.find(name);
    if (it == names.end()) {
      if (!settled) isBound = false;
      return Unknown();
    }
    // Bound in a function that is open here; used directly in that function,
    // only after the binding (a function inside it runs later).
    const Name& n = it->second;
    if (!n.Bound() || !std::binary_search(open.begin(), open.end(), n.scope) ||
        (n.scope == open.back() && position < n.position))
      return Unknown();
    if (!settled) {
      isBound = true;
      if (uses) uses->emplace_back(name);
    }
    return it->second.value;
  }

  void Declare(std::string_view name, const JsRef& value, std::vector<std::string> uses,
               int scope) {
    if (settled || !Keep(name.size() + kEntryBytes)) return;
    const auto [it, fresh] = names.try_emplace(std::string(name));
    if (!fresh || value->kind == JsValue::Kind::kUnknown) {
      it->second.unsure = true;
      return;
    }
    it->second.scope = scope;
    it->second.position = position;
    it->second.value = value;
    it->second.uses = std::move(uses);
  }

  void Unsure(std::string_view name) {
    if (settled) return;
    const auto it = names.find(name);
    if (it != names.end())
      it->second.unsure = true;
    else if (Keep(name.size() + kEntryBytes))
      names.try_emplace(std::string(name)).first->second.unsure = true;
  }

  bool Bound(std::string_view name) const {
    const auto it = names.find(name);
    return it != names.end() && it->second.Bound();
  }

  bool Settle() {
    if (settled) return false;
    settled = true;
    if (spent) {
      // Not all that was needed was noted: no name is known, and what was told
      // is told again without them.
      names = {};
      spent = false;
      left = budget;
      scopes = 0;
      position = 0;
      return true;
    }
    // A binding built from one that is not settled is not settled either.
    NameMap<std::vector<std::string_view>> dependents;
    std::vector<std::string_view> gone;
    for (const auto& [name, n] : names) {
      if (!n.value) continue;
      for (const std::string& use : n.uses) dependents[use].push_back(name);
      if (n.unsure) gone.push_back(name);
    }
    NameSet removed;
    for (std::string_view name : gone) removed.emplace(name);
    for (std::size_t i = 0; i < gone.size(); ++i) {
      const auto it = dependents.find(gone[i]);
      if (it == dependents.end()) continue;
      for (std::string_view d : it->second)
        if (removed.emplace(d).second) gone.push_back(d);
    }
    // A value told from a binding undone, or left unknown by a name bound
    // later, is told otherwise when read again.
    bool again = false;
    for (const std::string& name : toldFrom) again = again || removed.contains(name);
    for (const std::string& name : removed) names.find(name)->second.unsure = true;
    for (const std::string& name : waiting) again = again || Bound(name);
    for (const std::string& path : joined) {
      // Not a piece when it, or a shorter path it is read through ("C" for
      // "C.base"), is used alone, or when its name is not one binding.
      // No binding is read deeper than kDeepest members: a longer path names
      // none, and looking up each of its beginnings would cost its length squared.
      const std::string_view p = path;
      bool piece = !alone.contains(p) && Bound(p.substr(0, p.find('.')));
      int depth = 0;
      for (std::size_t dot = p.find('.'); piece && dot != std::string_view::npos;
           dot = p.find('.', dot + 1))
        piece = ++depth <= kDeepest && !alone.contains(p.substr(0, dot));
      if (piece) {
        pieces.insert(path);
        again = again || toldWhole.contains(path);
      }
    }
    toldFrom = {};
    waiting = {};
    alone = {};
    joined = {};
    toldWhole = {};
    left = budget;
    scopes = 0;
    position = 0;
    return again;
  }
};

namespace {

using State = ScriptScope::State;

// One script read against its page's scope.
class Reader {
 public:
  Reader(std::string_view script, State& scope, const ScriptStringSink& sink, bool runsLater)
      : lexer_(script, scope.layout), scope_(scope), sink_(sink) {
    if (runsLater) scopes_.push_back(scope.NewScope());
    Advance();
  }

  void Run() { Scan(Until::kEnd); }

 private:
  enum class Until { kEnd, kCloser };

  // A bracket open in a scan; for a parenthesis, whether a name stood before
  // it (a function's parameters may follow) and the names alone inside it.
  struct Frame {
    char closer;
    bool afterName = false;
    std::vector<std::string_view> names;
    bool function = false;  // a function's body: a scope of its own
  };

  // One operand of a '+' chain.
  struct Operand {
    enum class Kind { kNone, kUnknown, kString, kStructured };
    Kind kind = Kind::kNone;
    std::string text;      // a string; for an unknown template, its known beginning
    JsRef value;           // an object or array
    bool literal = false;  // a string or template written here
    bool reference = false;
    std::string_view root, lastMember;  // of a reference: its name, its last member
    int members = 0;
    std::string path;  // of a reference read with known members only: "C.hosts.1"
  };

  // Operands joined with '+'.
  struct Chain {
    int count = 0;
    bool known = true;
    bool literal = false;
    bool tainted = false;  // itself joined to what stands before it
    std::string text;      // the value; when not known, its known beginning
    bool textOpen = true;  // every operand so far a known string
    JsRef structured;      // a lone object or array
    bool reference = false;
    std::string_view root, lastMember;
    int members = 0;
    std::string path;  // of its first operand, when a reference
  };

  void Advance() {
    prev_ = cur_;
    cur_ = lexer_.Next();
    ++scope_.position;
    if (cur_.kind != TokenKind::kName && cur_.kind != TokenKind::kPunct &&
        cur_.kind != TokenKind::kNumber && cur_.kind != TokenKind::kEnd) {
      lexer_.TakeValue(value_);
      constant_ = lexer_.constant();
    }
  }

  // Reads tokens to the end, or (kCloser) to a closing bracket or template
  // part that this scan did not open, which is left for the caller.
  void Scan(Until until) {
    ++depth_;
    std::vector<Frame> frames;
    while (cur_.kind != TokenKind::kEnd) {
      const bool body = std::exchange(bodyNext_, false);
      if (IsCloser(cur_) || cur_.kind == TokenKind::kTemplateMiddle) {
        const bool template_ = cur_.kind != TokenKind::kPunct;
        if (frames.empty() || (frames.back().closer == '`') != template_) {
          if (until == Until::kCloser) break;
          Advance();
          continue;
        }
        if (cur_.kind == TokenKind::kTemplateMiddle) {
          Advance();
          continue;
        }
        Frame f = std::move(frames.back());
        frames.pop_back();
        if (f.function) scopes_.pop_back();
        Advance();
        // A function's parameters: an arrow's, or a method's, whose body follows.
        if (f.closer == ')' && (IsPunct(cur_, "=>") || (f.afterName && IsPunct(cur_, "{")))) {
          for (std::string_view n : f.names) scope_.Unsure(n);
          bodyNext_ = IsPunct(cur_, "{");
        }
        if (f.closer != ')' && IsPunct(cur_, "="))
          for (std::string_view n : f.names) scope_.Unsure(n);
        continue;
      }
      if (IsOpener(cur_) && cur_.kind == TokenKind::kPunct) {
        const char closer = cur_.text == "(" ? ')' : cur_.text == "[" ? ']' : '}';
        frames.push_back(
            {closer, prev_.kind == TokenKind::kName && !IsReserved(prev_.text), {}, body});
        if (body) scopes_.push_back(scope_.NewScope());
        Advance();
        continue;
      }
      if (IsPunct(cur_, "=>")) {
        Advance();
        bodyNext_ = true;
        continue;
      }
      if (IsPunct(cur_, "++") || IsPunct(cur_, "--")) {
        Advance();
        if (cur_.kind == TokenKind::kName) scope_.Unsure(cur_.text);
        continue;
      }
      if (cur_.kind == TokenKind::kName && IsReserved(cur_.text)) {
        Keyword();
        continue;
      }
      if (cur_.kind == TokenKind::kName || cur_.kind == TokenKind::kString ||
          cur_.kind == TokenKind::kTemplate || cur_.kind == TokenKind::kTemplateHead) {
        const Chain c = ReadChain();
        if (c.count == 0) {
          // A template too deep to read: its parts are brackets here.
          frames.push_back({'`', false, {}, false});
          Advance();
          continue;
        }
        AfterChain(c, frames);
        continue;
      }
      Advance();
    }
    --depth_;
  }

  // What a chain tells about its names: a name assigned or changed, a
  // function's parameter.
  void AfterChain(const Chain& c, std::vector<Frame>& frames) {
    if (!c.reference || c.count != 1) return;
    if (IsAssignment(cur_) ||
        ((IsPunct(cur_, "++") || IsPunct(cur_, "--")) && !cur_.lineBreakBefore) ||
        (cur_.kind == TokenKind::kName && (cur_.text == "in" || cur_.text == "of"))) {
      scope_.Unsure(c.root);
      // The page's bindings are the global object's members too.
      if (c.members > 0 && IsGlobalObject(c.root)) {
        const std::string_view member = std::string_view(c.path).substr(c.root.size() + 1);
        scope_.Unsure(member.substr(0, member.find('.')));
      }
      return;
    }
    if (c.members == 0 && IsPunct(cur_, "=>")) scope_.Unsure(c.root);
    // Names alone in brackets: a function's parameters when "=>" or a body
    // follows, the names a destructuring assigns when "=" does.
    if (c.members == 0 && !frames.empty()) frames.back().names.push_back(c.root);
    if (!IsPunct(cur_, "(")) return;
    if (c.members > 0 && IsChangingMethod(c.lastMember)) scope_.Unsure(c.root);
    if (c.root == "Object" && c.members == 1 && IsObjectChanger(c.lastMember)) {
      frames.push_back({')', true, {}});
      Advance();
      if (cur_.kind == TokenKind::kName) scope_.Unsure(cur_.text);
    }
  }

  void Keyword() {
    const std::string_view k = cur_.text;
    if (k == "const" || k == "let" || k == "var") {
      Declarations();
      return;
    }
    Advance();
    const bool named = cur_.kind == TokenKind::kName && !IsReserved(cur_.text);
    if (k == "function") {
      if (IsPunct(cur_, "*")) Advance();
      if (cur_.kind == TokenKind::kName && !IsReserved(cur_.text)) {
        scope_.Unsure(cur_.text);
        Advance();
      }
      if (IsPunct(cur_, "(")) Parameters();
    } else if (k == "catch") {
      if (IsPunct(cur_, "(")) Parameters();
    } else if ((k == "class" || k == "delete") && named) {
      scope_.Unsure(cur_.text);
    }
  }

  // A parameter list from its '(': every name in it is the function's own.
  // Default values are read past, not read.
  void Parameters() {
    Advance();
    int depth = 0;
    bool defaultValue = false;
    while (cur_.kind != TokenKind::kEnd) {
      if (IsOpener(cur_)) {
        ++depth;
      } else if (IsCloser(cur_)) {
        if (depth-- == 0) {
          Advance();
          bodyNext_ = true;  // a function's body, when a brace follows
          return;
        }
      } else if (depth == 0 && IsPunct(cur_, ",")) {
        defaultValue = false;
      } else if (depth == 0 && IsPunct(cur_, "=")) {
        defaultValue = true;
      } else if (cur_.kind == TokenKind::kName && !defaultValue && !IsPunct(prev_, ".")) {
        scope_.Unsure(cur_.text);
      }
      Advance();
    }
  }

  // const, let or var and its declarations.
  void Declarations() {
    Advance();
    while (true) {
      if (IsPunct(cur_, "{") || IsPunct(cur_, "[")) {
        Parameters();  // a pattern binds each name in it to a part of a value
        bodyNext_ = false;
        if (IsPunct(cur_, "=")) {
          Advance();
          ReadValue();
        }
      } else if (cur_.kind == TokenKind::kName && !IsReserved(cur_.text)) {
        const std::string_view name = cur_.text;
        Advance();
        if (IsPunct(cur_, "=")) {
          Advance();
          std::vector<std::string> uses;
          std::vector<std::string>* outer = std::exchange(uses_, &uses);
          const JsRef value = ReadValue(name);
          uses_ = outer;
          scope_.Declare(name, EndsValue(cur_) ? value : Unknown(), std::move(uses),
                         scopes_.back());
        } else {
          scope_.Declare(name, Unknown(), {}, scopes_.back());
        }
      } else {
        return;
      }
      if (!IsPunct(cur_, ",")) return;
      Advance();
    }
  }

  // An initializer or a member's value, of the binding `binding` ("C.base"):
  // an object or array literal, or a chain.
  JsRef ReadValue(std::string_view binding = {}) {
    if (depth_ >= kDeepest) return Unknown();
    if (IsPunct(cur_, "{")) return ReadObject(binding);
    if (IsPunct(cur_, "[")) return ReadArray(binding);
    Chain c = ReadChain(binding);
    if (c.count == 0 || !c.known) return Unknown();
    if (c.structured) return c.structured;
    return scope_.Charge(c.text.size() + kEntryBytes) ? StringValue(std::move(c.text)) : Unknown();
  }

  JsRef ReadObject(std::string_view binding) {
    auto object = std::make_shared<JsValue>();
    object->kind = JsValue::Kind::kObject;
    const bool known = ReadItems("}", [&] { return ReadMember(*object, binding); });
    return known && scope_.Charge(kEntryBytes) ? object : Unknown();
  }

  JsRef ReadArray(std::string_view binding) {
    auto array = std::make_shared<JsValue>();
    array->kind = JsValue::Kind::kArray;
    const bool known = ReadItems("]", [&] {
      const std::string element =
          binding.empty() ? ""
                          : std::string(binding) + "." + std::to_string(array->elements.size());
      // A hole is an element too.
      JsRef value = IsPunct(cur_, ",") ? Unknown() : ReadValue(element);
      if (!scope_.Charge(sizeof(JsRef))) return false;
      array->elements.push_back(std::move(value));
      return true;
    });
    return known && scope_.Charge(kEntryBytes) ? array : Unknown();
  }

  // The members or elements of a literal, from its opening bracket past
  // `closer`, each read by `item`; false when the literal cannot be known (an
  // item that cannot, a spread, a malformed one).
  bool ReadItems(std::string_view closer, const std::function<bool()>& item) {
    Advance();
    ++depth_;
    bool known = true;
    while (!IsPunct(cur_, closer)) {
      if (cur_.kind == TokenKind::kEnd) {
        known = false;
        break;
      }
      if (IsPunct(cur_, "...")) {
        Advance();
        ReadValue();
        known = false;
      } else if (!item()) {
        known = false;
      }
      if (IsPunct(cur_, ",")) {
        Advance();
      } else if (!IsPunct(cur_, closer)) {
        known = false;
        Scan(Until::kCloser);
        break;
      }
    }
    if (IsPunct(cur_, closer)) Advance();
    --depth_;
    return known;
  }

  // One member of an object literal; false when the object can no longer be
  // known (a computed key could name any member).
  bool ReadMember(JsValue& object, std::string_view binding) {
    const std::string_view first = cur_.kind == TokenKind::kName ? cur_.text : std::string_view();
    bool method = IsPunct(cur_, "*");
    if (method) Advance();
    std::string key;
    bool shorthand = false;
    if (!ReadKey(key, shorthand)) return false;
    if (!method && (first == "get" || first == "set" || first == "async") &&
        (cur_.kind == TokenKind::kName || cur_.kind == TokenKind::kString ||
         cur_.kind == TokenKind::kNumber || IsPunct(cur_, "[") || IsPunct(cur_, "*"))) {
      method = true;
      if (IsPunct(cur_, "*")) Advance();
      if (!ReadKey(key, shorthand)) return false;
    }
    if (IsPunct(cur_, "(")) {
      Parameters();
      bodyNext_ = false;
      if (IsPunct(cur_, "{")) {
        Advance();
        scopes_.push_back(scope_.NewScope());
        Scan(Until::kCloser);
        scopes_.pop_back();
        if (IsPunct(cur_, "}")) Advance();
      }
      return SetMember(object, std::move(key), Unknown());
    }
    if (method) return false;
    if (IsPunct(cur_, ":")) {
      Advance();
      JsRef value = ReadValue(binding.empty() ? "" : std::string(binding) + "." + key);
      return SetMember(object, std::move(key), std::move(value));
    }
    if (shorthand && (IsPunct(cur_, ",") || IsPunct(cur_, "}"))) {
      JsRef value = Look(key);
      return SetMember(object, std::move(key), std::move(value));
    }
    return false;
  }

  // A member of an object literal; false when it costs more than is left.
  bool SetMember(JsValue& object, std::string key, JsRef value) {
    if (!scope_.Charge(key.size() + kEntryBytes)) return false;
    object.members[std::move(key)] = std::move(value);
    return true;
  }

  // A member's key; false for a computed one. A quoted key is a string value
  // written in the script like any other.
  bool ReadKey(std::string& key, bool& shorthand) {
    shorthand = false;
    if (cur_.kind == TokenKind::kName || cur_.kind == TokenKind::kNumber) {
      key = cur_.text;
      shorthand = cur_.kind == TokenKind::kName && !IsReserved(cur_.text);
      Advance();
      return true;
    }
    if (cur_.kind == TokenKind::kString) {
      const bool constant = constant_;
      key = value_;
      if (constant && sink_.whole) sink_.whole(key);  // as any literal
      Advance();
      return constant;
    }
    if (IsPunct(cur_, "[")) {
      Advance();
      ReadChain();
      if (!IsPunct(cur_, "]")) Scan(Until::kCloser);
      if (IsPunct(cur_, "]")) Advance();
    }
    return false;
  }

  // The value of a name, noted for the scope: see ReadChain.
  JsRef Look(std::string_view name) {
    std::optional<bool> isBound;
    JsRef v = scope_.Lookup(name, scopes_, uses_, isBound);
    if (isBound) (*isBound ? boundNames_ : unboundNames_).push_back(name);
    return v;
  }

  // Operands joined with '+', told to the sink: a whole value when it has a
  // literal of its own and every part is known, else its known beginning.
  // `binding` names the binding whose value this is, if any; `joined`: the
  // chain is itself joined to more (a template's substitution), a piece of a
  // value rather than one: the template tells what it knows of it.
  Chain ReadChain(std::string_view binding = {}, bool joined = false) {
    Chain c;
    c.tainted = IsPunct(prev_, "+") || IsPunct(prev_, "+=");
    std::vector<std::string> paths;
    const std::size_t boundAt = boundNames_.size(), unboundAt = unboundNames_.size();
    ++depth_;
    ++chains_;
    while (true) {
      Operand o = ReadOperand();
      if (o.kind == Operand::Kind::kNone) {
        if (c.count > 0) c.known = c.textOpen = false;  // a '+' before something else
        break;
      }
      if (c.count == 0) c.path = o.path;
      if (!o.path.empty()) paths.push_back(std::move(o.path));
      Add(c, std::move(o));
      if (!IsPunct(cur_, "+")) break;
      Advance();
    }
    --depth_;
    --chains_;
    const bool told = !joined && Tell(c, binding);
    if (!scope_.settled) {
      NameSet& uses = c.count == 1 && !joined && !c.tainted ? scope_.alone : scope_.joined;
      for (const std::string& path : paths) scope_.Note(uses, path);
      // What a told value was built from (its parts' parts included), and the
      // names that kept a value with a literal unknown.
      if (told)
        for (std::size_t i = boundAt; i < boundNames_.size(); ++i)
          scope_.Note(scope_.toldFrom, boundNames_[i]);
      if (c.literal && !c.known)
        for (std::size_t i = unboundAt; i < unboundNames_.size(); ++i)
          scope_.Note(scope_.waiting, unboundNames_[i]);
    }
    // Names not yet accounted for stay for the chain around this one.
    if (told || chains_ == 0) boundNames_.resize(boundAt);
    if (c.literal || chains_ == 0) unboundNames_.resize(unboundAt);
    return c;
  }

  // Tells a chain's value, whole or its known beginning; whether that
  // mattered to the sink.
  bool Tell(const Chain& c, std::string_view binding) {
    if (c.tainted || c.count == 0) return false;
    if (c.known && c.literal && !c.structured) {
      if (scope_.settled && scope_.pieces.contains(binding))
        return sink_.partial && sink_.partial(c.text);
      const bool mattered = sink_.whole && sink_.whole(c.text);
      if (mattered && !binding.empty()) scope_.Note(scope_.toldWhole, binding);
      return mattered;
    }
    if (c.known || c.text.empty()) return false;
    return sink_.partial && sink_.partial(c.text);
  }

  static void Add(Chain& c, Operand o) {
    if (c.count++ == 0) {
      c.reference = o.reference;
      c.root = o.root;
      c.lastMember = o.lastMember;
      c.members = o.members;
    }
    c.literal = c.literal || o.literal;
    if (o.kind == Operand::Kind::kString) {
      if (c.textOpen) c.text += o.text;
      c.known = c.known && c.textOpen;
      return;
    }
    if (o.kind == Operand::Kind::kStructured && c.count == 1) {
      c.structured = std::move(o.value);
      c.textOpen = false;
      return;
    }
    if (c.textOpen) c.text += o.text;  // an unknown template's known beginning
    c.known = c.textOpen = false;
  }

  Operand ReadOperand() {
    Operand o;
    switch (cur_.kind) {
      case TokenKind::kString:
      case TokenKind::kTemplate:
        o.kind = constant_ ? Operand::Kind::kString : Operand::Kind::kUnknown;
        o.text = constant_ ? std::move(value_) : std::string();
        o.literal = true;
        Advance();
        break;
      case TokenKind::kTemplateHead:
        if (depth_ >= kDeepest) return o;
        o = ReadTemplate();
        break;
      case TokenKind::kNumber:
        o.kind = Operand::Kind::kUnknown;
        Advance();
        break;
      case TokenKind::kName: {
        if (IsReserved(cur_.text)) return o;
        const std::string_view name = cur_.text;
        Advance();
        if ((name == "encodeURIComponent" || name == "encodeURI" || name == "decodeURIComponent") &&
            IsPunct(cur_, "(") && depth_ < kDeepest) {
          o = ReadCall(name);
          break;
        }
        o.reference = true;
        o.root = name;
        o.path = name;
        Set(o, Look(name));
        break;
      }
      default:
        return o;
    }
    ReadMembers(o);
    // A call, a tagged template, or an operator that takes the operand before
    // '+' does: run at run time.
    if (IsPunct(cur_, "(") || cur_.kind == TokenKind::kTemplate ||
        cur_.kind == TokenKind::kTemplateHead || IsPunct(cur_, "*") || IsPunct(cur_, "/") ||
        IsPunct(cur_, "%") || IsPunct(cur_, "**"))
      SetUnknown(o);
    return o;
  }

  // Sets an operand to a value; a string is copied from where it is bound, and
  // costs what it holds.
  void Set(Operand& o, const JsRef& v) {
    SetUnknown(o);
    if (v->kind == JsValue::Kind::kString && scope_.Charge(v->text.size())) {
      o.kind = Operand::Kind::kString;
      o.text = v->text;
    } else if (v->kind == JsValue::Kind::kObject || v->kind == JsValue::Kind::kArray) {
      o.kind = Operand::Kind::kStructured;
      o.value = v;
    }
  }

  // .name, ?.name, [key] after an operand.
  void ReadMembers(Operand& o) {
    while (true) {
      if (IsPunct(cur_, ".") || IsPunct(cur_, "?.")) {
        Advance();
        if (cur_.kind != TokenKind::kName) {
          SetUnknown(o);
          return;
        }
        o.lastMember = cur_.text;
        ++o.members;
        if (!o.path.empty()) o.path.append(".").append(cur_.text);
        Member(o, cur_.text);
        Advance();
        continue;
      }
      if (!IsPunct(cur_, "[")) return;
      if (depth_ >= kDeepest) {
        SetUnknown(o);
        return;
      }
      Advance();
      ++o.members;
      o.lastMember = {};
      std::string key;
      bool known = false;
      if (cur_.kind == TokenKind::kNumber) {
        key = cur_.text;
        known = IsIndex(key);
        Advance();
      } else {
        Chain k = ReadChain();
        known = k.count > 0 && k.known && !k.structured;
        key = std::move(k.text);
      }
      if (!IsPunct(cur_, "]")) {
        known = false;
        Scan(Until::kCloser);
      }
      if (IsPunct(cur_, "]")) Advance();
      if (!known) o.path.clear();
      if (!o.path.empty()) o.path.append(".").append(key);
      if (known)
        Member(o, key);
      else
        SetUnknown(o);
    }
  }

  // An operand's member `key`: of an object or array literal; anything else
  // (a string's length, a method) is not known.
  void Member(Operand& o, std::string_view key) {
    if (o.kind != Operand::Kind::kStructured) {
      SetUnknown(o);
      return;
    }
    const JsRef v = o.value;
    if (v->kind == JsValue::Kind::kObject) {
      const auto it = v->members.find(key);
      Set(o, it == v->members.end() ? Unknown() : it->second);
      return;
    }
    std::size_t index = 0;
    for (char c : key) index = index * 10 + static_cast<std::size_t>(c - '0');
    Set(o, IsIndex(key) && index < v->elements.size() ? v->elements[index] : Unknown());
  }

  // An operand whose value only the run time knows.
  static void SetUnknown(Operand& o) {
    o.kind = Operand::Kind::kUnknown;
    o.text.clear();
    o.value = nullptr;
  }

  // encodeURIComponent, encodeURI or decodeURIComponent of one argument, from
  // the '('.
  Operand ReadCall(std::string_view name) {
    Advance();
    Chain argument = ReadChain();
    bool known = argument.count > 0 && argument.known && !argument.structured;
    if (!IsPunct(cur_, ")")) {
      known = false;
      Scan(Until::kCloser);
    }
    if (IsPunct(cur_, ")")) Advance();
    Operand o;
    o.kind = Operand::Kind::kUnknown;
    if (!known) return o;
    std::optional<std::string> result =
        name == "decodeURIComponent"
            ? DecodeUriComponent(argument.text)
            : EncodeUri(argument.text, name == "encodeURIComponent", scope_.layout);
    if (result && scope_.Charge(result->size())) {
      o.kind = Operand::Kind::kString;
      o.text = std::move(*result);
    }
    return o;
  }

  // A template with substitutions, from its head; unknown past the first
  // substitution that is not a known string, its beginning kept.
  Operand ReadTemplate() {
    Operand o;
    o.literal = true;
    bool known = constant_;
    o.text = std::move(value_);
    Advance();
    while (true) {
      Chain part = ReadChain({}, true);
      if (known && part.count > 0 && part.known && !part.structured)
        o.text += part.text;
      else
        known = false;
      if (cur_.kind != TokenKind::kTemplateMiddle && cur_.kind != TokenKind::kTemplateTail) {
        known = false;
        Scan(Until::kCloser);
      }
      const bool middle = cur_.kind == TokenKind::kTemplateMiddle;
      if (!middle && cur_.kind != TokenKind::kTemplateTail) {
        known = false;  // cut off
        break;
      }
      if (known && constant_) o.text += value_;
      known = known && constant_;
      Advance();
      if (!middle) break;
    }
    o.kind = known ? Operand::Kind::kString : Operand::Kind::kUnknown;
    return o;
  }

  ScriptLexer lexer_;
  State& scope_;
  const ScriptStringSink& sink_;
  Token cur_, prev_;
  std::string value_;  // of the current string or template token
  bool constant_ = true;
  int depth_ = 0;
  int chains_ = 0;  // chains being read, one inside another
  // The functions being read, one inside another: the page's scope (0) first.
  std::vector<int> scopes_{0};
  bool bodyNext_ = false;                     // a '{' now opens a function's body
  std::vector<std::string>* uses_ = nullptr;  // the names a binding's value uses
  // Names read by the chains being read, bound so far or not yet bound.
  std::vector<std::string_view> boundNames_, unboundNames_;
};

}  // namespace

ScriptScope::ScriptScope(ByteLayout layout, std::size_t pageBytes)
    : state_(std::make_unique<State>()) {
  state_->layout = layout;
  state_->budget = state_->left = pageBytes * kValueBytesPerByte + kValueAllowance;
}

ScriptScope::~ScriptScope() = default;

void ScriptScope::Read(std::string_view script, const ScriptStringSink& sink, bool runsLater) {
  Reader(script, *state_, sink, runsLater).Run();
}

bool ScriptScope::Settle() {
  return state_->Settle();
}

void ForEachScriptString(std::string_view script, ByteLayout layout,
                         const std::function<void(std::string_view)>& found) {
  ScriptScope scope(layout, script.size());
  std::vector<std::string> told;
  const ScriptStringSink sink{[&told](std::string_view s) {
                                told.emplace_back(s);
                                return true;
                              },
                              {}};
  scope.Read(script, sink);
  if (scope.Settle()) {
    told.clear();
    scope.Read(script, sink);
  }
  for (const std::string& s : told) found(s);
}

ByteLayout GuessByteLayout(std::string_view page) {
  std::size_t valid = 0, invalid = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(page.data());
  const std::size_t n = page.size();
  std::size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time.
    if (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(p + i, n - i);
    if (length != 0) {
      ++valid;
      i += length;
    } else {
      ++invalid;
      ++i;
    }
  }
  return invalid * 8 > valid ? ByteLayout::kDoubleByte : ByteLayout::kUtf8;
}

}  // namespace tobrine::text
