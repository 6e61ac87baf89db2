#include "lookup/manifest.h"

#include <optional>

#include "base/ascii.h"
#include "runtime/value.h"
#include "text/markers.h"
#include "text/property_list.h"

namespace tobrine::lookup {
namespace {

using text::PropertyListValue;
using Kind = PropertyListValue::Kind;

// The markers of the first package link of a manifest that cannot be read.
constexpr std::string_view kPackageLeft = "<string>http";
constexpr std::string_view kPackageRight = "</string>";
constexpr std::string_view kPackageScheme = "http";
constexpr std::string_view kSoftwarePackage = "software-package";
// "http" alone, or "https://" alone, is no link.
constexpr std::size_t kShortestLink = 8;

bool IsPackageLink(std::string_view link) {
  if (link.size() <= kShortestLink) return false;
  for (std::size_t i = 0; i < kPackageScheme.size(); ++i)
    if (base::AsciiLower(link[i]) != kPackageScheme[i]) return false;
  for (char c : link) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
  }
  return true;
}

// Every array a dict holds under `key`, in document order: a manifest may hold
// `items` twice (a normal and a push build), an item `assets` twice.
std::vector<const PropertyListValue*> ArraysAt(const PropertyListValue& dict,
                                               std::string_view key) {
  std::vector<const PropertyListValue*> arrays;
  if (dict.kind != Kind::kDict) return arrays;
  for (std::size_t i = 0; i < dict.keys.size() && i < dict.items.size(); ++i)
    if (dict.keys[i] == key && dict.items[i].kind == Kind::kArray) arrays.push_back(&dict.items[i]);
  return arrays;
}

std::vector<const PropertyListValue*> ItemArrays(const std::optional<PropertyListValue>& root) {
  return root ? ArraysAt(*root, "items") : std::vector<const PropertyListValue*>();
}

}  // namespace

ManifestContent ReadManifest(std::string_view manifest) {
  ManifestContent content;
  std::optional<PropertyListValue> root =
      text::ReadPropertyList(manifest, text::PropertyListReading::kStrict);
  std::vector<const PropertyListValue*> arrays = ItemArrays(root);
  if (arrays.empty()) {
    root = text::ReadPropertyList(manifest, text::PropertyListReading::kTolerant);
    arrays = ItemArrays(root);
  }
  if (!arrays.empty()) content.readable = true;
  for (const PropertyListValue* items : arrays) {
    for (const PropertyListValue& item : items->items) {
      const PropertyListValue* metadata = item.Find("metadata");
      for (const PropertyListValue* assets : ArraysAt(item, "assets")) {
        for (const PropertyListValue& asset : assets->items) {
          if (asset.StringAt("kind") != kSoftwarePackage) continue;
          std::string_view link = asset.StringAt("url");
          if (!IsPackageLink(link)) continue;
          ManifestPackage package{std::string(link), {}, {}, {}};
          if (metadata) {
            package.title = metadata->StringAt("title");
            package.bundleId = metadata->StringAt("bundle-identifier");
            package.version = metadata->StringAt("bundle-version");
          }
          content.packages.push_back(std::move(package));
        }
      }
    }
  }
  if (content.readable) return content;

  TextValue text = TextValue::FromBytes(manifest);
  TextValue left = TextValue::Literal(kPackageLeft);
  TextValue right = TextValue::Literal(kPackageRight);
  std::string link =
      std::string(kPackageScheme) + text::DecodeXmlText(TextBetween(text, left, right).view());
  if (IsPackageLink(link)) content.packages.push_back({std::move(link), {}, {}, {}});
  return content;
}

bool LooksLikePropertyList(std::string_view document) {
  if (text::IsBinaryPropertyList(document)) return true;
  const std::optional<std::string> utf8 = text::Utf16DocumentAsUtf8(document);
  const std::string_view page = utf8 ? std::string_view(*utf8) : document;
  std::size_t k = page.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (k < page.size()) {
    const char c = page[k];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++k;
      continue;
    }
    std::string_view rest = page.substr(k);
    std::size_t end = std::string_view::npos;
    if (rest.substr(0, 4) == "<!--") {
      end = rest.find("-->");
      if (end != std::string_view::npos) end += 2;
    } else if (rest.substr(0, 2) == "<?" || rest.substr(0, 2) == "<!") {
      end = rest.find('>');
    } else {
      std::string head;
      for (char h : rest.substr(0, 6)) head += base::AsciiLower(h);
      return head == "<plist" || head.substr(0, 5) == "<dict";
    }
    if (end == std::string_view::npos) return false;
    k += end + 1;
  }
  return false;
}

}  // namespace tobrine::lookup
