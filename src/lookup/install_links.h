// The second reading of a distribution page: its install links read the way a
// browser on an iPhone reads them, through the markup tokenizer and the script
// string reader, and the manifest address each one names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/url.h"  // PercentEncodeAddress

namespace tobrine::lookup {

// Whether `text` begins with the "itms-services:" scheme (any case).
bool HasInstallScheme(std::string_view text);

// The manifest address of an install link: the `url` parameter of a link
// "itms-services:" + two or three slashes + …?action=download-manifest&url=…
// (scheme, names and action in any case), percent-decoded once, with a
// lower-case scheme and PercentEncodeAddress applied. Empty when `link` is no
// install link or its address is not an absolute http:// or https:// one.
std::string ManifestAddressOfLink(std::string_view link);

// The manifest address of every install link of a page, in document order,
// duplicates kept (only those ManifestAddressOfLink gives). Links count in
// attribute values, in script text and in a page that is itself a script or
// JSON; not in comments (of the markup or of a script), not in visible text,
// not when the script builds them at run time. Before its address is taken a
// link is decoded as a browser hands it on: character references in markup,
// escapes in script strings, then tabs and line breaks dropped and C0 controls
// and spaces around it trimmed.
std::vector<std::string> InstallManifestAddresses(std::string_view page);

}  // namespace tobrine::lookup
