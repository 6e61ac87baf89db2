// The host's "VBScript.RegExp" component on PCRE2 (16-bit code units, so that
// FirstIndex counts UTF-16 units as the system component does).
//
// Pattern dialect: '.' matches anything but a line feed (a carriage return too),
// '^' and '$' see only line feeds as line ends. A pattern is compiled once per
// pattern and flags, with JIT where available; match, depth and heap limits keep
// any subject from making a search run away: a search that hits a limit ends the
// match list there.
#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation.h"
#include "platform/posix/automation_host.h"

namespace tobrine::posix {
namespace {

using platform::kAutomationBadParamCount;
using platform::kAutomationException;
using platform::kAutomationTypeMismatch;

constexpr uint32_t kMatchLimit = 10'000'000;
constexpr uint32_t kDepthLimit = 1'000'000;
constexpr uint32_t kHeapLimitKiB = 256 * 1024;

struct CodeFree {
  void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* m) const { pcre2_match_context_free(m); }
};
struct CompileContextFree {
  void operator()(pcre2_compile_context* c) const { pcre2_compile_context_free(c); }
};
struct JitStackFree {
  void operator()(pcre2_jit_stack* s) const { pcre2_jit_stack_free(s); }
};

using Span = std::pair<std::size_t, std::size_t>;  // start, length in UTF-16 units

struct MatchInfo {
  Span whole;
  std::vector<std::optional<Span>> groups;
};

// Every match of one search, over a subject shared by the objects handed out.
struct SearchResult {
  std::u16string subject;
  std::vector<MatchInfo> matches;
};

class Pattern {
 public:
  // Compiles `pattern`; false when it is refused.
  bool Compile(const std::u16string& pattern, bool ignoreCase, bool multiline) {
    code_.reset();
    std::unique_ptr<pcre2_compile_context, CompileContextFree> cc(
        pcre2_compile_context_create(nullptr));
    pcre2_set_newline(cc.get(), PCRE2_NEWLINE_LF);
    uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_ALT_BSUX |
                       PCRE2_MATCH_UNSET_BACKREF | PCRE2_ALLOW_EMPTY_CLASS;
    if (ignoreCase) options |= PCRE2_CASELESS;
    if (multiline) options |= PCRE2_MULTILINE;
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                              &error, &offset, cc.get()));
    if (!code_) return false;
    pcre2_jit_compile(code_.get(),
                      PCRE2_JIT_COMPLETE);  // the interpreter serves where JIT is missing
    return true;
  }

  // The matches from the start of `subject`: every one when `global`, else the first.
  std::vector<MatchInfo> Search(const std::u16string& subject, bool global) const {
    std::vector<MatchInfo> found;
    if (!code_) return found;
    std::unique_ptr<pcre2_match_data, MatchDataFree> md(
        pcre2_match_data_create_from_pattern(code_.get(), nullptr));
    std::unique_ptr<pcre2_match_context, MatchContextFree> mc(pcre2_match_context_create(nullptr));
    std::unique_ptr<pcre2_jit_stack, JitStackFree> stack(
        pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr));
    pcre2_set_match_limit(mc.get(), kMatchLimit);
    pcre2_set_depth_limit(mc.get(), kDepthLimit);
    pcre2_set_heap_limit(mc.get(), kHeapLimitKiB);
    if (stack) pcre2_jit_stack_assign(mc.get(), nullptr, stack.get());
    auto* units = reinterpret_cast<PCRE2_SPTR>(subject.data());
    const std::size_t length = subject.size();
    std::size_t start = 0;
    while (start <= length) {
      const int rc = pcre2_match(code_.get(), units, length, start, 0, md.get(), mc.get());
      if (rc < 0) break;  // no further match, or a limit was hit
      const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
      const uint32_t pairs = pcre2_get_ovector_count(md.get());
      MatchInfo m;
      m.whole = {ov[0], ov[1] - ov[0]};
      const uint32_t groups = CaptureCount();
      for (uint32_t g = 1; g <= groups; ++g) {
        if (g < pairs && static_cast<int>(g) < rc && ov[2 * g] != PCRE2_UNSET) {
          m.groups.emplace_back(Span{ov[2 * g], ov[2 * g + 1] - ov[2 * g]});
        } else {
          m.groups.emplace_back(std::nullopt);
        }
      }
      found.push_back(std::move(m));
      if (!global) break;
      start = ov[1];
      if (ov[1] == ov[0]) {  // an empty match: step over one character
        ++start;
        if (start < length && (subject[start] & 0xFC00) == 0xDC00 &&
            (subject[start - 1] & 0xFC00) == 0xD800) {
          ++start;
        }
      }
    }
    return found;
  }

  uint32_t CaptureCount() const {
    uint32_t n = 0;
    if (code_) pcre2_pattern_info(code_.get(), PCRE2_INFO_CAPTURECOUNT, &n);
    return n;
  }

 private:
  std::unique_ptr<pcre2_code, CodeFree> code_;
};

std::u16string Part(const std::u16string& s, const Span& span) {
  return s.substr(span.first, span.second);
}

// --- Sub-match collection, match, match collection ----------------------------

// A read-only collection: "Item" (0-based, the default member) and "Count".
class CollectionObject : public HostObject {
 public:
  std::span<const HostMember> Members() const override { return kMembers; }
  int32_t Invoke(int index, bool, std::vector<HostValue>& args, HostValue& result) override {
    if (index == 1) {
      result = HostValue::Int32(static_cast<int32_t>(Size()));
      return 0;
    }
    if (args.empty()) return kAutomationBadParamCount;
    int32_t i = 0;
    if (!ToInt32(args[0], i)) return kAutomationTypeMismatch;
    if (i < 0 || static_cast<std::size_t>(i) >= Size()) return kAutomationException;
    result = ItemAt(static_cast<std::size_t>(i));
    return 0;
  }

 protected:
  virtual std::size_t Size() const = 0;
  virtual HostValue ItemAt(std::size_t i) const = 0;

 private:
  static constexpr std::array<HostMember, 2> kMembers{{
      {u"Item", true, false, false, 1, true},
      {u"Count", true, false, false, 0, false},
  }};
};

class SubMatchesObject final : public CollectionObject {
 public:
  SubMatchesObject(std::shared_ptr<const SearchResult> r, std::size_t i)
      : r_(std::move(r)), i_(i) {}

 private:
  std::size_t Size() const override { return r_->matches[i_].groups.size(); }
  HostValue ItemAt(std::size_t k) const override {
    const auto& g = r_->matches[i_].groups[k];
    return g ? HostValue::Text(Part(r_->subject, *g)) : HostValue();  // an unmatched group is empty
  }
  std::shared_ptr<const SearchResult> r_;
  std::size_t i_;
};

class MatchObject final : public HostObject {
 public:
  MatchObject(std::shared_ptr<const SearchResult> r, std::size_t i) : r_(std::move(r)), i_(i) {}
  std::span<const HostMember> Members() const override { return kMembers; }
  int32_t Invoke(int index, bool, std::vector<HostValue>&, HostValue& result) override {
    const MatchInfo& m = r_->matches[i_];
    switch (index) {
      case 0:
        result = HostValue::Text(Part(r_->subject, m.whole));
        break;
      case 1:
        result = HostValue::Int32(static_cast<int32_t>(m.whole.first));
        break;
      case 2:
        result = HostValue::Int32(static_cast<int32_t>(m.whole.second));
        break;
      default:
        result = HostValue::Object(new SubMatchesObject(r_, i_));
        break;
    }
    return 0;
  }

 private:
  static constexpr std::array<HostMember, 4> kMembers{{
      {u"Value", true, false, false, 0, true},
      {u"FirstIndex", true, false, false, 0, false},
      {u"Length", true, false, false, 0, false},
      {u"SubMatches", true, false, false, 0, false},
  }};
  std::shared_ptr<const SearchResult> r_;
  std::size_t i_;
};

class MatchCollectionObject final : public CollectionObject {
 public:
  explicit MatchCollectionObject(std::shared_ptr<const SearchResult> r) : r_(std::move(r)) {}

 private:
  std::size_t Size() const override { return r_->matches.size(); }
  HostValue ItemAt(std::size_t i) const override {
    return HostValue::Object(new MatchObject(r_, i));
  }
  std::shared_ptr<const SearchResult> r_;
};

// --- The component --------------------------------------------------------------

// Expands the replacement text of one match: $$, $&, $`, $' and $1 ... $99.
void AppendReplacement(std::u16string& out, const std::u16string& replacement,
                       const std::u16string& subject, const MatchInfo& m) {
  for (std::size_t i = 0; i < replacement.size(); ++i) {
    const char16_t c = replacement[i];
    if (c != u'$' || i + 1 >= replacement.size()) {
      out.push_back(c);
      continue;
    }
    const char16_t n = replacement[i + 1];
    if (n == u'$') {
      out.push_back(u'$');
      ++i;
    } else if (n == u'&') {
      out += Part(subject, m.whole);
      ++i;
    } else if (n == u'`') {
      out += subject.substr(0, m.whole.first);
      ++i;
    } else if (n == u'\'') {
      out += subject.substr(m.whole.first + m.whole.second);
      ++i;
    } else if (n >= u'0' && n <= u'9') {
      std::size_t g = n - u'0';
      std::size_t used = 1;
      if (i + 2 < replacement.size() && replacement[i + 2] >= u'0' && replacement[i + 2] <= u'9') {
        const std::size_t two = g * 10 + (replacement[i + 2] - u'0');
        if (two >= 1 && two <= m.groups.size()) g = two, used = 2;
      }
      if (g >= 1 && g <= m.groups.size()) {
        if (m.groups[g - 1]) out += Part(subject, *m.groups[g - 1]);
        i += used;
      } else {
        out.push_back(c);
      }
    } else {
      out.push_back(c);
    }
  }
}

class RegExpObject final : public HostObject {
 public:
  std::span<const HostMember> Members() const override { return kMembers; }

  int32_t Invoke(int index, bool put, std::vector<HostValue>& args, HostValue& result) override {
    enum { kPattern, kIgnoreCase, kGlobal, kMultiline, kExecute, kReplace, kTest };
    if (index <= kMultiline) {
      if (!put) {
        result = index == kPattern ? HostValue::Text(pattern_) : HostValue::Boolean(*Flag(index));
        return 0;
      }
      if (index == kPattern) {
        std::u16string p;
        if (!ToText(args[0], p)) return kAutomationTypeMismatch;
        if (p != pattern_) dirty_ = true;
        pattern_ = std::move(p);
        return 0;
      }
      bool b = false;
      if (!ToBoolean(args[0], b)) return kAutomationTypeMismatch;
      if (index != kGlobal && b != *Flag(index)) dirty_ = true;
      *Flag(index) = b;
      return 0;
    }
    const std::size_t need = index == kReplace ? 2 : 1;
    if (args.size() < need) return kAutomationBadParamCount;
    std::u16string subject;
    if (!ToText(args[0], subject)) return kAutomationTypeMismatch;
    if (!Compiled()) return kAutomationException;  // a pattern the engine refuses
    auto search = std::make_shared<SearchResult>();
    search->matches = pattern_code_.Search(subject, index == kTest ? false : global_);
    search->subject = std::move(subject);
    if (index == kTest) {
      result = HostValue::Boolean(!search->matches.empty());
    } else if (index == kExecute) {
      result = HostValue::Object(new MatchCollectionObject(std::move(search)));
    } else {
      std::u16string replacement;
      if (!ToText(args[1], replacement)) return kAutomationTypeMismatch;
      result = HostValue::Text(Replace(*search, replacement));
    }
    return 0;
  }

 private:
  bool* Flag(int index) { return index == 1 ? &ignore_case_ : index == 2 ? &global_ : &multiline_; }

  bool Compiled() {
    if (dirty_) {
      compiled_ok_ = pattern_code_.Compile(pattern_, ignore_case_, multiline_);
      dirty_ = false;
    }
    return compiled_ok_;
  }

  static std::u16string Replace(const SearchResult& s, const std::u16string& replacement) {
    std::u16string out;
    std::size_t at = 0;
    for (const MatchInfo& m : s.matches) {
      out.append(s.subject, at, m.whole.first - at);
      AppendReplacement(out, replacement, s.subject, m);
      at = m.whole.first + m.whole.second;
    }
    out.append(s.subject, at, std::u16string::npos);
    return out;
  }

  static constexpr std::array<HostMember, 7> kMembers{{
      {u"Pattern", true, true, false, 0, true},
      {u"IgnoreCase", true, true, false, 0, false},
      {u"Global", true, true, false, 0, false},
      {u"Multiline", true, true, false, 0, false},
      {u"Execute", false, false, true, 1, false},
      {u"Replace", false, false, true, 2, false},
      {u"Test", false, false, true, 1, false},
  }};
  std::u16string pattern_;
  bool ignore_case_ = false;
  bool global_ = false;
  bool multiline_ = false;
  bool dirty_ = true;
  bool compiled_ok_ = false;
  Pattern pattern_code_;
};

}  // namespace

HostObject* CreateRegExpComponent() {
  return new RegExpObject();
}

}  // namespace tobrine::posix
