#include "lookup/install_links.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "base/ascii.h"
#include "text/markup.h"
#include "text/script_strings.h"
#include "web/url.h"

namespace tobrine::lookup {
namespace {

constexpr std::string_view kInstallScheme = "itms-services:";
constexpr std::string_view kScriptScheme = "javascript:";
// How deep markup held in a string, and strings held in that markup, are read.
constexpr int kDeepestNesting = 4;

bool IsControlOrSpace(char c) {
  auto u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F;
}

bool HasLineBreakOrTab(std::string_view text) {
  if (text.empty()) return false;
  for (char c : {'\t', '\n', '\r'})
    if (std::memchr(text.data(), c, text.size())) return true;
  return false;
}

// The URL parser's clean-up: C0 controls and spaces around the text trimmed,
// tabs and line breaks inside it dropped.
std::string CleanUpLink(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '\t' && c != '\n' && c != '\r') out += c;
  return out;
}

std::string_view TrimControlsAndSpaces(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  return text;
}

// Where each "itms-services:" inside `text` starts (any case).
template <typename Found>
void ForEachInstallScheme(std::string_view text, Found found) {
  const std::size_t prefix = kInstallScheme.size() - 1;  // the letters before ':'
  for (std::size_t colon = text.find(':', prefix); colon != std::string_view::npos;
       colon = text.find(':', colon + 1))
    if (base::EqualsIgnoringAsciiCase(text.substr(colon - prefix, prefix),
                                      kInstallScheme.substr(0, prefix)))
      found(colon - prefix);
}

// Whether the page is a script or JSON text rather than markup.
bool IsScriptPage(std::string_view page) {
  if (page.substr(0, 3) == "\xEF\xBB\xBF") page.remove_prefix(3);
  const std::size_t first = page.find_first_not_of(" \t\r\n\f");
  if (first == std::string_view::npos || page[first] == '<') return false;
  if (page[first] == '{' || page[first] == '[') return true;
  // Text before the markup (a server's warning, say) still makes a markup page.
  for (std::string_view tag : {"<html", "<head", "<body", "<!doctype"}) {
    for (std::size_t at = page.find('<'); at != std::string_view::npos; at = page.find('<', at + 1))
      if (base::StartsWithIgnoringAsciiCase(page.substr(at), tag)) return false;
  }
  return true;
}

class Collector;

// Reads markup and hands its attribute values and script texts on.
class MarkupReader final : public text::MarkupVisitor {
 public:
  MarkupReader(Collector& collector, int depth) : collector_(collector), depth_(depth) {}

  void StartTag(std::string_view name, std::span<const text::MarkupAttribute> attributes,
                bool) override;
  void RawText(std::string_view element, std::string_view text) override;

 private:
  enum class ScriptType { kScript, kMarkup, kOther };
  Collector& collector_;
  int depth_;
  ScriptType scriptType_ = ScriptType::kScript;
};

class Collector {
 public:
  Collector(std::string_view page, InstallLinks& links) : page_(page), links_(links) {}

  // Reads the page; again when its scripts' constants, once every script has
  // been read, would change what the first reading told.
  void Page() {
    Read();
    if (scope_ && scope_->Settle()) {
      links_.addresses.clear();
      links_.partial.clear();
      Read();
    }
  }

  void Markup(std::string_view markup, int depth) {
    MarkupReader reader(*this, depth);
    text::TokenizeMarkup(markup, reader);
  }

  // A script of the page; one that `runsLater` is an event handler's or a
  // javascript: address's.
  void Script(std::string_view script, int depth, bool runsLater = false) {
    // A value matters when it gave an address, or the beginning of one.
    const auto told = [this] { return links_.addresses.size() + links_.partial.size(); };
    const text::ScriptStringSink sink{[&](std::string_view s) {
                                        const std::size_t before = told();
                                        Value(s, depth);
                                        return told() != before;
                                      },
                                      [&](std::string_view s) {
                                        const std::size_t before = told();
                                        Partial(s);
                                        return told() != before;
                                      }};
    Scope().Read(script, sink, runsLater);
  }

  // An attribute value or a string's value.
  void Value(std::string_view value, int depth) {
    const std::string_view v = TrimControlsAndSpaces(value);
    if (base::StartsWithIgnoringAsciiCase(v, kInstallScheme)) {
      Link(v);
    } else if (base::StartsWithIgnoringAsciiCase(v, kScriptScheme)) {
      // A javascript: address is percent-decoded before it runs.
      if (depth < kDeepestNesting)
        Script(base::PercentDecode(v.substr(kScriptScheme.size())), depth + 1, true);
    } else if (v.find(':') == std::string_view::npos) {
      // No scheme anywhere: no link, and no markup or JSON that could hold one.
    } else if (v.find('<') != std::string_view::npos) {
      if (depth < kDeepestNesting) Markup(v, depth + 1);
    } else if (v.front() == '{' || v.front() == '[') {
      if (depth < kDeepestNesting) Script(v, depth + 1);
    } else {
      // A link inside other text (a refresh's "0;url=…"): up to the first byte
      // that cannot stand in an address. Links do not overlap: a scheme inside
      // one is part of it, so that a run of schemes is read once. A quoted link
      // is a script's string (a framework's binding, "'itms-services:…' + id"):
      // the text is read as a script.
      std::size_t taken = 0;
      bool first = true, quoted = false;
      ForEachInstallScheme(v, [&](std::size_t at) {
        if (std::exchange(first, false))
          quoted = at > 0 && std::strchr("\"'`", v[at - 1]) != nullptr;
        if (quoted || at < taken) return;
        std::size_t end = at;
        while (end < v.size() && !IsControlOrSpace(v[end]) &&
               std::strchr("\"'<>`", v[end]) == nullptr)
          ++end;
        Link(v.substr(at, end - at));
        taken = end;
      });
      if (quoted && depth < kDeepestNesting) Script(v, depth + 1);
    }
  }

  // `text` has no C0 controls or spaces around it.
  void Link(std::string_view text) {
    std::string manifest = ManifestAddress(text);
    if (!manifest.empty()) links_.addresses.push_back(std::move(manifest));
  }

  // The known beginning of a string a script builds at run time: when it is an
  // install link, its manifest address as far as it goes.
  void Partial(std::string_view text) {
    const std::string_view v = TrimControlsAndSpaces(text);
    if (!base::StartsWithIgnoringAsciiCase(v, kInstallScheme)) return;
    std::string manifest = ManifestAddress(v);
    if (!manifest.empty()) links_.partial.push_back(std::move(manifest));
  }

 private:
  static std::string ManifestAddress(std::string_view link) {
    return HasLineBreakOrTab(link) ? ManifestAddressOfLink(CleanUpLink(link))
                                   : ManifestAddressOfLink(link);
  }

  void Read() {
    if (IsScriptPage(page_))
      Script(page_, 0);
    else
      Markup(page_, 0);
  }

  // The scope of the page's scripts, made when the first one is read.
  text::ScriptScope& Scope() {
    if (!scope_) scope_.emplace(text::GuessByteLayout(page_), page_.size());
    return *scope_;
  }

  std::string_view page_;
  InstallLinks& links_;
  std::optional<text::ScriptScope> scope_;
};

void MarkupReader::StartTag(std::string_view name,
                            std::span<const text::MarkupAttribute> attributes, bool) {
  if (name == "script") scriptType_ = ScriptType::kScript;
  for (const auto& a : attributes) {
    if (name == "script" && a.name == "type") {
      const std::string type = [&] {
        std::string t;
        for (char c : a.value) t += base::AsciiLower(c);
        return t;
      }();
      const std::string_view t = TrimControlsAndSpaces(type);
      if (t.empty() || t.find("javascript") != std::string::npos ||
          t.find("ecmascript") != std::string::npos || t.find("json") != std::string::npos ||
          t == "module" || t == "importmap")
        scriptType_ = ScriptType::kScript;
      else if (t.find("html") != std::string::npos || t.find("templ") != std::string::npos ||
               t.find("tmpl") != std::string::npos)
        scriptType_ = ScriptType::kMarkup;
      else
        scriptType_ = ScriptType::kOther;
    }
    // Event handlers are script; every other value is read as an address or text.
    if (a.name.size() > 2 && a.name[0] == 'o' && a.name[1] == 'n')
      collector_.Script(a.value, depth_, true);
    else
      collector_.Value(a.value, depth_);
  }
}

void MarkupReader::RawText(std::string_view element, std::string_view text) {
  if (element != "script") return;
  if (scriptType_ == ScriptType::kScript)
    collector_.Script(text, depth_);
  else if (scriptType_ == ScriptType::kMarkup && depth_ < kDeepestNesting)
    collector_.Markup(text, depth_ + 1);
}

}  // namespace

bool HasInstallScheme(std::string_view text) {
  return base::StartsWithIgnoringAsciiCase(text, kInstallScheme);
}

bool HoldsPlaceholder(std::string_view text) {
  for (std::string_view opener : {"${", "{{", "<%"})
    if (text.find(opener) != std::string_view::npos) return true;
  return false;
}

std::string ManifestAddressOfLink(std::string_view link) {
  if (!HasInstallScheme(link)) return {};
  std::string_view rest = link.substr(kInstallScheme.size());
  const std::size_t slashes = rest.find_first_not_of('/');
  if (slashes != 2 && slashes != 3) return {};
  const std::size_t question = rest.find('?');
  if (question == std::string_view::npos) return {};
  std::string_view query = rest.substr(question + 1);
  query = query.substr(0, query.find('#'));

  bool download = false;
  std::optional<std::string_view> url;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view name = pair.substr(0, eq), value = pair.substr(eq + 1);
    if (base::EqualsIgnoringAsciiCase(name, "action") &&
        base::EqualsIgnoringAsciiCase(value, "download-manifest"))
      download = true;
    else if (base::EqualsIgnoringAsciiCase(name, "url") && !url)
      url = value;
  }
  if (!download || !url) return {};

  // Only an absolute http or https address, as the browser's parser reads it.
  const std::string address = base::PercentDecode(*url);
  if (HoldsPlaceholder(address)) return {};
  const ParsedAddress parsed = ParseWebAddress(address);
  if (parsed.fault == AddressFault::kNoScheme || parsed.fault == AddressFault::kOtherScheme)
    return {};
  return AddressAsFetched(address);
}

InstallLinks ReadInstallLinks(std::string_view page) {
  InstallLinks links;
  Collector(page, links).Page();
  return links;
}

std::vector<std::string> InstallManifestAddresses(std::string_view page) {
  return ReadInstallLinks(page).addresses;
}

}  // namespace tobrine::lookup
