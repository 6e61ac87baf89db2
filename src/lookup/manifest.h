// Reading an install manifest: the package links it lists, with the app's
// title, bundle identifier and version.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tobrine::lookup {

struct ManifestPackage {
  std::string link;   // the package's url
  std::string title;  // the item's metadata, empty when absent
  std::string bundleId;
  std::string version;
};

struct ManifestContent {
  // Whether the manifest reads as a property list with `items` (strictly, or
  // else tolerantly).
  bool readable = false;
  std::vector<ManifestPackage> packages;
};

// The url of every asset of kind software-package, in every item, in document
// order; `items` or an item's `assets` held twice count twice. A manifest that does not read as a
// property list with `items` gives its first "<string>http…</string>" instead, decoded as XML text.
// Only a link of more than 8 bytes that begins with "http" (any case) and holds no white space or
// control character counts.
ManifestContent ReadManifest(std::string_view manifest);

// Whether a page is a binary property list, or its first element (after a
// byte-order mark, an XML declaration, comments and a DOCTYPE; UTF-8 or UTF-16)
// is <plist> or <dict>: a cheap test before reading a page as a manifest.
bool LooksLikePropertyList(std::string_view page);

}  // namespace tobrine::lookup
