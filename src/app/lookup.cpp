#include "app/lookup.h"

#include <optional>
#include <unordered_set>
#include <utility>

#include "app/install_links.h"
#include "app/manifest.h"
#include "runtime/commands.h"
#include "text/extraction.h"
#include "web/markers.h"
#include "web/url.h"
#include "web/web_access.h"

namespace tobrine::app {
namespace {

// The markers a distribution page is searched for. Every marker means its
// characters literally.
constexpr std::string_view kScriptTagMarker = "\" + tag +\"";
constexpr std::string_view kCodeLeft = "download('";
constexpr std::string_view kCodeRight = "'";
constexpr std::string_view kManifestLeft = "download-manifest&url=";
constexpr std::string_view kManifestSuffix = ".plist";
constexpr std::string_view kHrefHttpsLeft = "href=\"https://";
constexpr std::string_view kHttpsPrefix = "https://";
constexpr std::string_view kQuote = "\"";

void List(ArrayValue& links, std::string_view page, std::string_view left, std::string_view right,
          std::string_view prefix, bool includeRight) {
  text::ExtractOptions options;
  options.prefix = prefix;
  options.includeRight = includeRight;
  text::ExtractAllBetween(page, left, right, links, options);
}

class Lookup {
 public:
  Lookup(const PackageSink& sink, const LookupOptions& options) : sink_(sink), options_(options) {}

  void Run(TextValue address) {
    TextValue typed = TrimSpaces(address);
    if (HasInstallScheme(typed.view())) {
      std::string manifest = ManifestAddressOfLink(typed.view());
      if (!manifest.empty()) ReadManifestAt(manifest, PackageSource::kPastedLink, typed.view());
      return;
    }
    TextValue page = Fetch(address, options_.agent, FetchStage::kPage);
    if (ReadPage(address.view(), page) || typed.empty() || page.view() == TimeoutNotice() ||
        options_.agent == kIphoneAgent)
      return;
    iphone_ = true;
    page = Fetch(address, kIphoneAgent, FetchStage::kIphonePage);
    ReadPage(address.view(), page);
  }

 private:
  // The lookup's one way to the network: a GET with the default header set, and
  // the given agent string unless it is empty. `address` gets "http://" in
  // front when it has no scheme. The body ends at its first NUL. A failure is
  // told to the front end; the body is read all the same.
  TextValue Fetch(TextValue& address, std::string_view agent, FetchStage stage) {
    std::string agentLine;
    FetchOutcome outcome;
    FetchOptions options;
    options.timeoutSeconds = options_.timeoutSeconds;
    options.outcome = &outcome;
    if (!agent.empty()) {
      agentLine = "User-Agent: " + std::string(agent) + "\r\n";
      options.extraHeaders = agentLine;
    }
    TextValue body = ToText(Value::Bytes(WebAccess(address, options)));
    if (outcome.failure != FetchFailure::kNone && options_.onFailure)
      options_.onFailure(LookupFailure{std::string(address.view()), stage, outcome});
    return body;
  }

  // Lists the packages the page leads to. Returns whether it found any manifest
  // address to fetch.
  bool ReadPage(std::string_view pageAddress, TextValue& page) {
    // The address is kept as a copy: a nested lookup may run during a fetch.
    const std::string pageCopy(pageAddress);
    ArrayValue links = MarkerManifestLinks(page);
    const int32_t count = links.count();
    for (int32_t k = 1; k <= count; ++k)
      ReadManifestAt(links.TextAt(k), PackageSource::kMarkers, pageCopy);

    if (count == 0 && LooksLikePropertyList(page.view())) {
      ManifestContent content = ReadManifest(page.view());
      if (content.readable) {
        for (const ManifestPackage& p : content.packages)
          Report(p, PackageSource::kPageManifest, pageCopy, pageCopy);
        return true;
      }
    }

    const std::vector<std::string> addresses = InstallManifestAddresses(page.view());
    for (const std::string& address : addresses)
      if (!fetched_.contains(address))
        ReadManifestAt(address, PackageSource::kSecondReading, pageCopy);
    return count > 0 || !addresses.empty();
  }

  // Fetches one manifest and reports its packages. Bytes that cannot stand in a
  // request line are percent-encoded first.
  void ReadManifestAt(std::string_view manifestAddress, PackageSource source,
                      std::string_view pageAddress) {
    TextValue address = TextValue::FromBytes(PercentEncodeAddress(manifestAddress));
    if (!options_.fetchManifests) {
      if (!HasWebScheme(address)) address = JoinTexts(std::string_view("http://"), address);
      fetched_.insert(std::string(address.view()));
      sink_(PackageRow{
          std::string(pageAddress), std::string(address.view()), {}, {}, {}, {}, source, iphone_});
      return;
    }
    TextValue manifest = Fetch(address, options_.agent, FetchStage::kManifest);
    fetched_.insert(std::string(address.view()));
    const ManifestContent content = ReadManifest(manifest.view());
    for (const ManifestPackage& p : content.packages)
      Report(p, source, pageAddress, address.view());
  }

  void Report(const ManifestPackage& p, PackageSource source, std::string_view page,
              std::string_view manifest) {
    PackageRow row{std::string(page),
                   std::string(manifest),
                   p.link,
                   p.title,
                   p.bundleId,
                   p.version,
                   source,
                   iphone_};
    sink_(row);
  }

  const PackageSink& sink_;
  const LookupOptions& options_;
  // Every manifest address fetched in this lookup, as fetched.
  std::unordered_set<std::string> fetched_;
  bool iphone_ = false;
};

}  // namespace

ArrayValue MarkerManifestLinks(TextValue& page) {
  ArrayValue links(ValueKind::kText);
  int32_t p = FindText(page, kScriptTagMarker, std::nullopt, false);
  if (p > 1) {
    // The page builds each address from a script call: download('code').
    ArrayValue codes(ValueKind::kText);
    List(codes, page, kCodeLeft, kCodeRight, {}, false);
    TextValue left = TextValue::Literal(kManifestLeft);
    TextValue right = TextValue::Literal(kCodeRight);
    TextValue prefix = TextBetween(page, left, right);
    const int32_t count = codes.count();
    for (int32_t i = 1; i <= count; ++i)
      AppendElement(links, JoinTexts(prefix, codes.TextAt(i), kManifestSuffix));
  } else {
    List(links, page, kManifestLeft, kManifestSuffix, {}, true);
  }
  if (links.count() == 0) List(links, page, kHrefHttpsLeft, kManifestSuffix, kHttpsPrefix, true);
  if (links.count() == 0) List(links, page, kManifestLeft, kQuote, {}, false);
  return links;
}

void LookUpPackages(TextValue address, const PackageSink& sink, const LookupOptions& options) {
  Lookup(sink, options).Run(std::move(address));
}

}  // namespace tobrine::app
