// One lookup, from the address a user typed to the package links, told to a
// front end one package at a time. The window's LinkExtractor turns each into a
// numbered row; other front ends may use every field.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "runtime/value.h"
#include "web/fetch_outcome.h"

namespace tobrine::lookup {

// The agent string of an iPhone's browser: many distribution sites show their
// install link to iPhones only.
inline constexpr std::string_view kIphoneAgent =
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 "
    "(KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1";

// How a package was found.
enum class PackageSource {
  kMarkers,        // a manifest address found by the markers' reading of the page
  kSecondReading,  // an install link read from the page as a browser reads it
  kPageManifest,   // the page itself is a manifest
  kPastedLink,     // the address typed is an install link
};

// One package, as found. Texts are the bytes the servers sent.
struct PackageRow {
  std::string page;      // the page address as fetched ("http://" put in front when
                         // it had no scheme); for a pasted install link, the link
  std::string manifest;  // the manifest address as fetched
  std::string link;      // the package link: the row's text
  std::string title;     // from the manifest's metadata, empty when absent
  std::string bundleId;
  std::string version;
  PackageSource source = PackageSource::kMarkers;
  bool iphonePage = false;  // the page came from the second fetch, as an iPhone
};

using PackageSink = std::function<void(const PackageRow&)>;

// Which fetch of a lookup failed.
enum class FetchStage {
  kPage,        // the page
  kIphonePage,  // the page, fetched again as an iPhone
  kManifest,    // a manifest
};

// A fetch of a lookup that failed, for a front end that says why nothing (or
// less) came. The lookup goes on as it always does.
struct LookupFailure {
  std::string address;  // as fetched
  FetchStage stage = FetchStage::kPage;
  FetchOutcome outcome;
};

using FailureSink = std::function<void(const LookupFailure&)>;

// How a lookup fetches. The defaults are the window's: the default header set
// and the fetch's own time-out.
struct LookupOptions {
  // The agent string of every fetch; empty: the default one. The iPhone's
  // second fetch of a page always sends kIphoneAgent.
  std::string agent;
  int32_t timeoutSeconds = 60;  // of each fetch
  // false: a dry run. Each manifest address is told as a package with an empty
  // link instead of being fetched.
  bool fetchManifests = true;
  // Told of every fetch that failed; the window tells nobody.
  FailureSink onFailure;
};

// Runs one lookup of `address` and tells `sink` each package the moment its
// manifest has been read:
//   1. An install link (itms-services:…) typed as the address: its manifest.
//   2. Otherwise the page is fetched, and
//      a. the markers' manifest addresses, in order, duplicates kept, but
//         not one that is only a part of an address a script builds at run
//         time (a template's "${…}", or the second reading's cut of such a
//         link);
//      b. a page that is itself a manifest: its packages;
//      c. otherwise the second reading's install links, each manifest address
//         not fetched before in this lookup (nor one whose cut at ".plist" the
//         markers fetched with packages).
//   3. When 2 finds no manifest address at all, the page is fetched once more
//      with kIphoneAgent and read again as in 2 (not after a time-out).
// Every manifest gives one package per software-package asset. Runs on the GUI
// thread; the fetches dispatch window messages while they wait, so `sink` may
// be called after a nested lookup has run.
void LookUpPackages(TextValue address, const PackageSink& sink, const LookupOptions& options = {});

// The manifest addresses of the markers' reading, in the order found,
// duplicates kept. A page that builds its addresses in a script keeps only the
// prefix and the codes, and each address is built when asked for: a long
// prefix times many codes never sits in memory at once.
class ManifestLinks {
 public:
  ManifestLinks() : listed_(ValueKind::kText), codes_(ValueKind::kText) {}
  static ManifestLinks Listed(ArrayValue links);
  static ManifestLinks Built(TextValue prefix, ArrayValue codes);

  int32_t count() const;
  // Address k, from 1 (fatal beyond the count, as an array index is).
  TextValue At(int32_t k) const;
  // Whether address k holds a template's substitution or placeholder ("${",
  // "{{", "<%"), told without building it.
  bool HoldsSubstitution(int32_t k) const;
  bool built() const { return built_; }

 private:
  ArrayValue listed_;
  TextValue prefix_;
  bool prefixSubstitution_ = false;
  ArrayValue codes_;
  bool built_ = false;
};

// The markers' reading of a page.
ManifestLinks MarkerManifestLinks(TextValue& page);

}  // namespace tobrine::lookup
