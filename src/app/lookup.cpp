#include "app/lookup.h"

#include <functional>
#include <optional>
#include <unordered_set>
#include <utility>

#include "app/install_links.h"
#include "app/manifest.h"
#include "runtime/commands.h"
#include "text/extraction.h"
#include "web/markers.h"
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

enum class Agent { kDefault, kIphone };

FetchOptions OptionsFor(Agent agent) {
  static const std::string kIphoneAgentLine = "User-Agent: " + std::string(kIphoneAgent) + "\r\n";
  FetchOptions options;
  if (agent == Agent::kIphone) options.extraHeaders = kIphoneAgentLine;
  return options;
}

// The lookup's one way to a page: a GET with the default header set, or with an
// iPhone's agent string. `address` gets "http://" in front when it has no
// scheme. The body ends at its first NUL and is not copied again.
TextValue Fetch(TextValue& address, Agent agent) {
  return TakeText(WebAccess(address, OptionsFor(agent)));
}

class Lookup {
 public:
  explicit Lookup(const PackageSink& sink) : sink_(sink) {}

  void Run(TextValue address) {
    TextValue typed = TrimSpaces(address);
    if (HasInstallScheme(typed.view())) {
      std::string manifest = ManifestAddressOfLink(typed.view());
      if (!manifest.empty())
        ReadManifests({manifest}, PackageSource::kPastedLink, std::string(typed.view()));
      return;
    }
    TextValue page = Fetch(address, Agent::kDefault);
    // The address is kept as a copy: a nested lookup may run during a fetch.
    const std::string pageAddress(address.view());
    const int32_t marked = ReadMarkers(pageAddress, page);
    if (marked == 0 && ReadAsManifest(pageAddress, page.view())) return;
    // When neither the markers nor the page as a manifest give anything, the
    // page an iPhone is shown is likely needed (not after a time-out): it is
    // fetched while this one is read the second way, and given up if that
    // reading finds an address after all.
    std::optional<StartedFetch> iphone;
    if (marked == 0 && !typed.empty() && page.view() != TimeoutNotice()) {
      TextValue again = address.Copy();
      iphone.emplace(again, OptionsFor(Agent::kIphone));
    }
    if (ReadSecond(pageAddress, page.view(), [&] { iphone.reset(); }) || !iphone) return;
    TextValue shown = TakeText(iphone->Result());
    // The same bytes read the same way: nothing more to find.
    if (shown.view() == page.view()) return;
    iphone_ = true;
    page.reset();
    if (ReadMarkers(pageAddress, shown) == 0 && ReadAsManifest(pageAddress, shown.view())) return;
    ReadSecond(pageAddress, shown.view(), [] {});
  }

 private:
  // The markers' reading: fetches the manifests and lists their packages.
  // Returns how many manifest addresses it found.
  int32_t ReadMarkers(const std::string& pageAddress, TextValue& page) {
    const ManifestLinks links = MarkerManifestLinks(page);
    const int32_t count = links.count();
    ReadManifests(
        count, [&](int32_t k) { return links.At(k + 1); }, PackageSource::kMarkers, pageAddress);
    return count;
  }

  // A page that is itself a manifest: its packages. Returns whether it is one.
  bool ReadAsManifest(const std::string& pageAddress, std::string_view page) {
    if (!LooksLikePropertyList(page)) return false;
    const ManifestContent content = ReadManifest(page);
    if (!content.readable) return false;
    for (const ManifestPackage& p : content.packages)
      Report(p, PackageSource::kPageManifest, pageAddress, pageAddress);
    return true;
  }

  // The second reading: the install links' manifests, each address not fetched
  // before in this lookup. Returns whether it found any address; `found` is
  // called before their manifests are fetched.
  bool ReadSecond(const std::string& pageAddress, std::string_view page,
                  const std::function<void()>& found) {
    const std::vector<std::string> addresses = InstallManifestAddresses(page);
    if (addresses.empty()) return false;
    found();
    // Each manifest address once in this lookup: one fetched earlier, or
    // earlier in this list, is left out.
    std::vector<std::string> fresh;
    for (const std::string& address : addresses) {
      if (fetched_.contains(address)) continue;
      fetched_.insert(PercentEncodeAddress(address));
      fresh.push_back(address);
    }
    ReadManifests(fresh, PackageSource::kSecondReading, pageAddress);
    return true;
  }

  void ReadManifests(const std::vector<std::string>& addresses, PackageSource source,
                     const std::string& pageAddress) {
    ReadManifests(
        static_cast<int32_t>(addresses.size()),
        [&](int32_t k) { return TextValue::FromBytes(addresses[static_cast<std::size_t>(k)]); },
        source, pageAddress);
  }

  // Fetches `count` manifests, several at a time, and reports their packages in
  // the order of the addresses, each as soon as it and every earlier one are
  // read. Bytes that cannot stand in a request line are percent-encoded first.
  void ReadManifests(int32_t count, const std::function<TextValue(int32_t)>& addressOf,
                     PackageSource source, const std::string& pageAddress) {
    WebAccessEach(
        count,
        [&](int32_t k) { return TextValue::FromBytes(PercentEncodeAddress(addressOf(k).view())); },
        [&](int32_t, FetchResult& fetched) {
          fetched_.insert(std::string(fetched.address.view()));
          const TextValue manifest = TakeText(std::move(fetched.body));
          const ManifestContent content = ReadManifest(manifest.view());
          for (const ManifestPackage& p : content.packages)
            Report(p, source, pageAddress, fetched.address.view());
        },
        OptionsFor(Agent::kDefault));
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
  // Every manifest address fetched in this lookup, as fetched.
  std::unordered_set<std::string> fetched_;
  bool iphone_ = false;
};

}  // namespace

ManifestLinks ManifestLinks::Listed(ArrayValue links) {
  ManifestLinks m;
  m.listed_ = std::move(links);
  return m;
}

ManifestLinks ManifestLinks::Built(TextValue prefix, ArrayValue codes) {
  ManifestLinks m;
  m.prefix_ = std::move(prefix);
  m.codes_ = std::move(codes);
  m.built_ = true;
  return m;
}

int32_t ManifestLinks::count() const {
  return built_ ? codes_.count() : listed_.count();
}

TextValue ManifestLinks::At(int32_t k) const {
  if (built_) return JoinTexts(prefix_, codes_.TextAt(k), kManifestSuffix);
  return TextValue::FromBytes(listed_.TextAt(k));
}

ManifestLinks MarkerManifestLinks(TextValue& page) {
  const std::string_view text = page.view();  // measured once: a page can be large
  int32_t p = FindText(text, kScriptTagMarker, std::nullopt, false);
  if (p > 1) {
    // The page builds each address from a script call: download('code'), after
    // the prefix.
    ArrayValue codes(ValueKind::kText);
    List(codes, text, kCodeLeft, kCodeRight, {}, false);
    TextValue left = TextValue::Literal(kManifestLeft);
    TextValue right = TextValue::Literal(kCodeRight);
    TextValue prefix = TextBetween(page, left, right);
    if (codes.count() > 0) return ManifestLinks::Built(std::move(prefix), std::move(codes));
  }
  ArrayValue links(ValueKind::kText);
  if (p <= 1) List(links, text, kManifestLeft, kManifestSuffix, {}, true);
  if (links.count() == 0) List(links, text, kHrefHttpsLeft, kManifestSuffix, kHttpsPrefix, true);
  if (links.count() == 0) List(links, text, kManifestLeft, kQuote, {}, false);
  return ManifestLinks::Listed(std::move(links));
}

void LookUpPackages(TextValue address, const PackageSink& sink) {
  Lookup(sink).Run(std::move(address));
}

}  // namespace tobrine::app
