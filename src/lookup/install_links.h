// The second reading of a distribution page: its install links read the way a
// browser on an iPhone reads them, through the markup tokenizer and the script
// string reader, and the manifest address each one names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/url.h"  // AddressAsFetched

namespace tobrine::lookup {

// Whether `text` begins with the "itms-services:" scheme (any case).
bool HasInstallScheme(std::string_view text);

// The manifest address of an install link: the `url` parameter of a link
// Whether `text` holds a template's placeholder that was never filled in
// ("${", "{{" or "<%"): a part only the run time knows.
bool HoldsPlaceholder(std::string_view text);

// "itms-services:" + two or three slashes + …?action=download-manifest&url=…
// (scheme, names and action in any case), percent-decoded once, as it is
// fetched (AddressAsFetched). Empty when `link` is no install link, its
// address names no http or https scheme or holds a placeholder.
std::string ManifestAddressOfLink(std::string_view link);

// The install links of a page, as manifest addresses.
struct InstallLinks {
  // Every install link's, in document order, duplicates kept (only those
  // ManifestAddressOfLink gives). Links count in attribute values, in script
  // text and in a page that is itself a script or JSON; not in comments (of the
  // markup or of a script), not in visible text. A script's link counts when
  // every part of it is known on the page (text::ScriptScope: literals and the
  // constants bound to them), not when a part is only known at run time. Before
  // its address is taken a link is decoded as a browser hands it on: character
  // references in markup, escapes in script strings, then tabs and line breaks
  // dropped and C0 controls and spaces around it trimmed.
  std::vector<std::string> addresses;
  // The address as far as it is written, of each link a script joins at run
  // time to a part not known ("itms-services:…&url=https://h/" + name): the
  // page's text holds it, but it is no manifest's address.
  std::vector<std::string> partial;
};

InstallLinks ReadInstallLinks(std::string_view page);

// ReadInstallLinks(page).addresses.
std::vector<std::string> InstallManifestAddresses(std::string_view page);

}  // namespace tobrine::lookup
