#include "lookup/lookup.h"

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "lookup/install_links.h"
#include "lookup/manifest.h"
#include "platform/winapi.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "text/extraction.h"
#include "text/markers.h"
#include "web/fetch_worker.h"
#include "web/url.h"
#include "web/web_access.h"

namespace tobrine::lookup {
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

// From this size on, a page's second reading is done on a worker while the
// markers read it: on a page of many megabytes each reading takes about as long
// as the fetch did. A smaller page is read in turn, as it costs less than a
// thread.
constexpr std::size_t kReadAsideFrom = std::size_t{1} << 20;

// The second reading of a page on a worker thread. The page is shared with the
// worker, so that it stays whole for as long as the worker reads it.
class AsideReading {
 public:
  AsideReading(std::shared_ptr<const TextValue> page, std::string_view text)
      : job_(std::make_shared<Job>(Job{std::move(page), text, {}})) {
    thread_ = StartFetchWorker([job = job_] { job->links = ReadInstallLinks(job->text); });
  }
  AsideReading(const AsideReading&) = delete;
  AsideReading& operator=(const AsideReading&) = delete;
  // A reading nobody took is waited for all the same: nothing is left running.
  ~AsideReading() {
    if (thread_)
      CallExternal<kExtMsgWaitForMultipleObjects>(1u, thread_.address(), 0, winapi::kInfinite, 0u);
  }

  // Whether this is the reading of `text` (and a worker took it).
  bool Reads(std::string_view text) const {
    return thread_ && text.data() == job_->text.data() && text.size() == job_->text.size();
  }

  // Waits for the reading, the window live meanwhile, and moves the links it
  // found into `links`. False, and nothing moved, when the wait fails: the
  // worker is then left to end by itself.
  bool Take(InstallLinks& links) {
    winapi::Dword woke;
    while ((woke = CallExternal<kExtMsgWaitForMultipleObjects>(
                1u, thread_.address(), 0, winapi::kInfinite, winapi::kQsAllEvents)) ==
           winapi::kWaitObject0 + 1)
      ProcessEvents();
    thread_ = ThreadHandle();
    if (woke != winapi::kWaitObject0) return false;
    links = std::move(job_->links);
    return true;
  }

 private:
  struct Job {
    std::shared_ptr<const TextValue> page;
    std::string_view text;
    InstallLinks links;
  };
  std::shared_ptr<Job> job_;
  ThreadHandle thread_;
};

// The request header line of an agent string; none for the empty one.
std::string AgentLine(std::string_view agent) {
  return agent.empty() ? std::string() : "User-Agent: " + std::string(agent) + "\r\n";
}

// A manifest address as it is fetched (or told, in a dry run): parsed as a
// browser parses it. An empty address is not fetched, so it stays empty then.
TextValue AsFetched(std::string_view manifestAddress, bool dryRun) {
  if (manifestAddress.empty() && !dryRun) return {};
  return TextValue::FromBytes(AddressAsFetched(manifestAddress));
}

class Lookup {
 public:
  Lookup(const PackageSink& sink, const LookupOptions& options)
      : sink_(sink), options_(options), agentLine_(AgentLine(options.agent)) {}

  void Run(TextValue address) {
    TextValue typed = TrimSpaces(address);
    if (HasInstallScheme(typed.view())) {
      std::string manifest = ManifestAddressOfLink(typed.view());
      if (!manifest.empty())
        ReadManifests({manifest}, PackageSource::kPastedLink, std::string(typed.view()));
      return;
    }
    // Shared: the iPhone's fetch below checks its page against this one.
    auto page = std::make_shared<TextValue>(FetchPage(address));
    // The address is kept as a copy: a nested lookup may run during a fetch.
    const std::string pageAddress(address.view());
    const std::string_view text = page->view();  // measured once: a page can be large
    ReadAsideWhenLarge(page, text);
    const int32_t marked = ReadMarkers(pageAddress, *page);
    if (marked == 0 && ReadAsManifest(pageAddress, text)) return;
    // When neither the markers nor the page as a manifest give anything, the
    // page an iPhone is shown is likely needed (not after a time-out): it is
    // fetched while this one is read the second way, and given up unseen if
    // that reading finds an address after all. A page that is this one byte for
    // byte is never held: read the same way, it has nothing more to give.
    std::optional<StartedFetch> iphone;
    FetchOutcome iphoneOutcome;
    bool sameAsThisOne = false;
    static const std::string kIphoneAgentLine = AgentLine(kIphoneAgent);
    if (marked == 0 && !typed.empty() && text != TimeoutNotice() &&
        options_.agent != kIphoneAgent) {
      TextValue again = address.Copy();
      FetchOptions options = OptionsFor(kIphoneAgentLine, &iphoneOutcome);
      options.expectedText = page;
      options.sameAsExpected = &sameAsThisOne;
      iphone.emplace(again, options);
    }
    if (ReadSecond(pageAddress, text, [&] { iphone.reset(); }) || !iphone) return;
    ByteBlock shownBytes = iphone->Result();
    Tell(pageAddress, FetchStage::kIphonePage, iphoneOutcome);
    if (sameAsThisOne) return;
    iphone_ = true;
    aside_.reset();
    page.reset();
    auto shown = std::make_shared<TextValue>(TakeText(std::move(shownBytes)));
    const std::string_view shownText = shown->view();
    ReadAsideWhenLarge(shown, shownText);
    if (ReadMarkers(pageAddress, *shown) == 0 && ReadAsManifest(pageAddress, shownText)) return;
    ReadSecond(pageAddress, shownText, [] {});
  }

 private:
  // The lookup's fetches: a GET with the default header set and the given
  // agent line, within the lookup's time-out.
  FetchOptions OptionsFor(std::string_view agentLine, FetchOutcome* outcome) const {
    FetchOptions options;
    options.timeoutSeconds = options_.timeoutSeconds;
    options.extraHeaders = agentLine;
    options.outcome = outcome;
    return options;
  }

  // A failed fetch is told to the front end; the lookup goes on all the same.
  void Tell(std::string_view address, FetchStage stage, const FetchOutcome& outcome) {
    if (outcome.failure != FetchFailure::kNone && options_.onFailure)
      options_.onFailure(LookupFailure{std::string(address), stage, outcome});
  }

  // The page, with the lookup's agent string. `address` gets "http://" in front
  // when it has no scheme. The body ends at its first NUL and is not copied
  // again.
  TextValue FetchPage(TextValue& address) {
    FetchOutcome outcome;
    TextValue body = TakeText(WebAccess(address, OptionsFor(agentLine_, &outcome)));
    Tell(address.view(), FetchStage::kPage, outcome);
    return body;
  }

  // The markers' reading: fetches the manifests and lists their packages.
  // Returns how many manifest addresses it fetched.
  int32_t ReadMarkers(const std::string& pageAddress, TextValue& page) {
    const ManifestLinks links = MarkerManifestLinks(page);
    const int32_t count = links.count();
    // The second reading is done first: only the addresses it names need to be
    // remembered as fetched, and it knows the links a script builds.
    if (count > 0) SecondReadingOf(page.view());
    std::vector<int32_t> kept;
    for (int32_t k = 1; k <= count; ++k)
      if (!BuiltAtRunTime(links, k)) kept.push_back(k);
    ReadManifests(
        static_cast<int32_t>(kept.size()),
        [&](int32_t k) { return links.At(kept[static_cast<std::size_t>(k)]); },
        PackageSource::kMarkers, pageAddress);
    return static_cast<int32_t>(kept.size());
  }

  // Whether the markers' address k is only a part of one that a script builds
  // at run time: it holds a template's substitution ("${"), or it is where the
  // second reading saw an install link joined to a run-time part. Such a part
  // is never fetched.
  bool BuiltAtRunTime(const ManifestLinks& links, int32_t k) const {
    if (links.HoldsSubstitution(k)) return true;
    if (partial_.empty() || links.built()) return false;
    const TextValue fetched = AsFetched(links.At(k).view(), false);
    const std::string_view address = fetched.view();
    if (partial_.contains(std::string(address))) return true;
    // The markers read on past the quote that ends such a beginning, into the
    // script that joins it to more ("…/m/\" + name + \".plist").
    const std::size_t quote = FirstQuote(address);
    return quote != std::string_view::npos &&
           partial_.contains(std::string(address.substr(0, quote)));
  }

  // Where the first quote of a script stands in an address as fetched (a quote
  // itself or percent-encoded); npos when none does.
  static std::size_t FirstQuote(std::string_view address) {
    for (std::size_t i = 0; i < address.size(); ++i) {
      if (address[i] == '\'' || address[i] == '`') return i;
      const std::string_view hex = address.substr(i + 1, 2);
      if (address[i] == '%' && (hex == "22" || hex == "27" || hex == "60")) return i;
    }
    return std::string_view::npos;
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
    SecondReadingOf(page);
    const std::vector<std::string> addresses = std::move(second_.addresses);
    second_ = {};
    secondRead_ = false;  // the next page is read afresh
    if (addresses.empty()) return false;
    found();
    // An address is looked up as typed among those fetched as fetched, one
    // after another: one fetched earlier, or earlier in this list, is left out.
    std::vector<std::string> fresh;
    for (const std::string& address : addresses) {
      if (fetched_.contains(address)) continue;
      Remember(AsFetched(address, !options_.fetchManifests).view());
      fresh.push_back(address);
    }
    named_.clear();
    partial_.clear();
    cuts_.clear();
    ReadManifests(fresh, PackageSource::kSecondReading, pageAddress);
    return true;
  }

  // Starts the second reading of a large page on a worker (when one starts).
  void ReadAsideWhenLarge(const std::shared_ptr<TextValue>& page, std::string_view text) {
    if (text.size() >= kReadAsideFrom) aside_.emplace(page, text);
  }

  // The second reading's addresses of the page being read, read once.
  void SecondReadingOf(std::string_view page) {
    if (secondRead_) return;
    secondRead_ = true;
    if (!(aside_ && aside_->Reads(page) && aside_->Take(second_))) second_ = ReadInstallLinks(page);
    aside_.reset();
    named_.insert(second_.addresses.begin(), second_.addresses.end());
    for (const std::string& p : second_.partial) partial_.emplace(AsFetched(p, false).view());
    // The markers end an address at its first ".plist": what follows it (a
    // query) is left out there.
    for (const std::string& address : second_.addresses) {
      std::string lower(address);
      for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      const std::size_t plist = lower.find(kManifestSuffix);
      if (plist != std::string::npos && plist + kManifestSuffix.size() < address.size())
        cuts_[std::string(
                  AsFetched(address.substr(0, plist + kManifestSuffix.size()), false).view())]
            .push_back(address);
    }
  }

  // Notes a manifest address as fetched. Only the second reading ever asks,
  // and only for the addresses it names: any other is left out, so that many
  // long addresses (a script-built page's) are not all held until the end. The
  // second reading of an iPhone's page asks too, but that page is read only
  // when nothing was fetched before.
  void Remember(std::string_view address) {
    if (named_.empty()) return;
    std::string a(address);
    if (named_.contains(a)) fetched_.insert(std::move(a));
  }

  // Notes the second reading's addresses that the markers cut to `address` as
  // fetched, once that gave packages: a page's "a.plist?sig=…" is listed once.
  void RememberCut(std::string_view address) {
    if (cuts_.empty()) return;
    const auto it = cuts_.find(std::string(address));
    if (it != cuts_.end()) fetched_.insert(it->second.begin(), it->second.end());
  }

  void ReadManifests(const std::vector<std::string>& addresses, PackageSource source,
                     const std::string& pageAddress) {
    ReadManifests(
        static_cast<int32_t>(addresses.size()),
        [&](int32_t k) { return TextValue::FromBytes(addresses[static_cast<std::size_t>(k)]); },
        source, pageAddress);
  }

  // Fetches `count` manifests, several at a time, and reports their packages
  // (and failed fetches) in the order of the addresses, each as soon as it and
  // every earlier one are read. A dry run tells each address instead.
  void ReadManifests(int32_t count, const std::function<TextValue(int32_t)>& addressOf,
                     PackageSource source, const std::string& pageAddress) {
    if (!options_.fetchManifests) {
      for (int32_t k = 0; k < count; ++k) {
        const TextValue address = AsFetched(addressOf(k).view(), true);
        Remember(address.view());
        RememberCut(address.view());
        sink_(
            PackageRow{pageAddress, std::string(address.view()), {}, {}, {}, {}, source, iphone_});
      }
      return;
    }
    WebAccessEach(
        count, [&](int32_t k) { return AsFetched(addressOf(k).view(), false); },
        [&](int32_t, FetchResult& fetched) {
          Remember(fetched.address.view());
          Tell(fetched.address.view(), FetchStage::kManifest, fetched.outcome);
          // Read as the bytes fetched: a manifest in UTF-16 or the binary form
          // holds NUL bytes.
          const ManifestContent content = ReadManifest(fetched.body.bytes());
          if (!content.packages.empty()) RememberCut(fetched.address.view());
          for (const ManifestPackage& p : content.packages)
            Report(p, source, pageAddress, fetched.address.view());
        },
        OptionsFor(agentLine_, nullptr));
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
  const std::string agentLine_;
  // The manifest addresses fetched in this lookup, as fetched, that the second
  // reading names.
  std::unordered_set<std::string> fetched_;
  // The second reading of the page being read: its addresses, in order and as a
  // set, once read (and until that reading is done).
  bool secondRead_ = false;
  InstallLinks second_;
  std::unordered_set<std::string> named_;
  // Of that reading too: the beginnings of links built at run time, and its
  // addresses by their cut at ".plist" (as fetched).
  std::unordered_set<std::string> partial_;
  std::unordered_map<std::string, std::vector<std::string>> cuts_;
  // The second reading of the page being read, when a worker does it.
  std::optional<AsideReading> aside_;
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
  m.prefixSubstitution_ = prefix.view().find("${") != std::string_view::npos;
  m.prefix_ = std::move(prefix);
  m.codes_ = std::move(codes);
  m.built_ = true;
  return m;
}

int32_t ManifestLinks::count() const {
  return built_ ? codes_.count() : listed_.count();
}

bool ManifestLinks::HoldsSubstitution(int32_t k) const {
  if (!built_) return HoldsPlaceholder(listed_.TextAt(k));
  const std::string_view code = codes_.TextAt(k);
  return prefixSubstitution_ || code.find("${") != std::string_view::npos ||
         (prefix_.view().ends_with('$') && code.starts_with('{'));
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

void LookUpPackages(TextValue address, const PackageSink& sink, const LookupOptions& options) {
  Lookup(sink, options).Run(std::move(address));
}

}  // namespace tobrine::lookup
