#include "lookup/install_links.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "text/markup.h"
#include "text/script_strings.h"
#include "web/url.h"

namespace tobrine::lookup {
namespace {

constexpr std::string_view kInstallScheme = "itms-services:";
constexpr std::string_view kScriptScheme = "javascript:";
// How deep markup held in a string, and strings held in that markup, are read.
constexpr int kDeepestNesting = 4;

char Lower(char c) {
  return static_cast<char>(c | (static_cast<unsigned char>(c - 'A') < 26 ? 0x20 : 0));
}

// `word` in lower case.
bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (Lower(text[i]) != word[i]) return false;
  return true;
}

// `word` in lower case.
bool StartsWithIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (Lower(text[i]) != word[i]) return false;
  return true;
}

bool IsControlOrSpace(char c) {
  auto u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  if (text.find('%') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    int high = -1, low = -1;
    if (text[i] == '%' && i + 2 < text.size() && (high = HexValue(text[i + 1])) >= 0 &&
        (low = HexValue(text[i + 2])) >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
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
    if (EqualsIgnoringCase(text.substr(colon - prefix, prefix), kInstallScheme.substr(0, prefix)))
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
      if (StartsWithIgnoringCase(page.substr(at), tag)) return false;
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
  Collector(std::string_view page, std::vector<std::string>& addresses)
      : page_(page), addresses_(addresses) {}

  void Markup(std::string_view markup, int depth) {
    MarkupReader reader(*this, depth);
    text::TokenizeMarkup(markup, reader);
  }

  void Script(std::string_view script, int depth) {
    text::ForEachScriptString(script, Layout(), [&](std::string_view s) { Value(s, depth); });
  }

  // An attribute value or a string's value.
  void Value(std::string_view value, int depth) {
    const std::string_view v = TrimControlsAndSpaces(value);
    if (StartsWithIgnoringCase(v, kInstallScheme)) {
      Link(v);
    } else if (StartsWithIgnoringCase(v, kScriptScheme)) {
      // A javascript: address is percent-decoded before it runs.
      if (depth < kDeepestNesting) Script(PercentDecode(v.substr(kScriptScheme.size())), depth + 1);
    } else if (v.find(':') == std::string_view::npos) {
      // No scheme anywhere: no link, and no markup or JSON that could hold one.
    } else if (v.find('<') != std::string_view::npos) {
      if (depth < kDeepestNesting) Markup(v, depth + 1);
    } else if (v.front() == '{' || v.front() == '[') {
      if (depth < kDeepestNesting) Script(v, depth + 1);
    } else {
      // A link inside other text (a refresh's "0;url=…"): up to the first byte
      // that cannot stand in an address.
      ForEachInstallScheme(v, [&](std::size_t at) {
        std::size_t end = at;
        while (end < v.size() && !IsControlOrSpace(v[end]) &&
               std::strchr("\"'<>`", v[end]) == nullptr)
          ++end;
        Link(v.substr(at, end - at));
      });
    }
  }

  // `text` has no C0 controls or spaces around it.
  void Link(std::string_view text) {
    std::string manifest = HasLineBreakOrTab(text) ? ManifestAddressOfLink(CleanUpLink(text))
                                                   : ManifestAddressOfLink(text);
    if (!manifest.empty()) addresses_.push_back(std::move(manifest));
  }

 private:
  text::ByteLayout Layout() {
    if (!layout_) layout_ = text::GuessByteLayout(page_);
    return *layout_;
  }

  std::string_view page_;
  std::vector<std::string>& addresses_;
  std::optional<text::ByteLayout> layout_;
};

void MarkupReader::StartTag(std::string_view name,
                            std::span<const text::MarkupAttribute> attributes, bool) {
  if (name == "script") scriptType_ = ScriptType::kScript;
  for (const auto& a : attributes) {
    if (name == "script" && a.name == "type") {
      const std::string type = [&] {
        std::string t;
        for (char c : a.value) t += Lower(c);
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
      collector_.Script(a.value, depth_);
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
  return StartsWithIgnoringCase(text, kInstallScheme);
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
    if (EqualsIgnoringCase(name, "action") && EqualsIgnoringCase(value, "download-manifest"))
      download = true;
    else if (EqualsIgnoringCase(name, "url") && !url)
      url = value;
  }
  if (!download || !url) return {};

  std::string address = PercentDecode(*url);
  std::size_t schemeLength = 0;
  if (StartsWithIgnoringCase(address, "http://"))
    schemeLength = 4;
  else if (StartsWithIgnoringCase(address, "https://"))
    schemeLength = 5;
  // An absolute address names a host right after "//".
  if (schemeLength == 0 || address.size() <= schemeLength + 3 || address[schemeLength + 3] == '/' ||
      IsControlOrSpace(address[schemeLength + 3]))
    return {};
  for (std::size_t i = 0; i < schemeLength; ++i) address[i] = Lower(address[i]);
  return PercentEncodeAddress(address);
}

std::vector<std::string> InstallManifestAddresses(std::string_view page) {
  std::vector<std::string> addresses;
  Collector collector(page, addresses);
  if (IsScriptPage(page))
    collector.Script(page, 0);
  else
    collector.Markup(page, 0);
  return addresses;
}

}  // namespace tobrine::lookup
