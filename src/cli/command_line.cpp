#include "cli/command_line.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cli/download.h"
#include "cli/options.h"
#include "cli/output.h"
#include "lookup/lookup.h"
#include "platform/system.h"
#include "program_version.h"
#include "runtime/external.h"
#include "web/fetch_worker.h"

namespace tobrine::cli {
namespace {

// How long an ending process waits for the workers of fetches that timed out,
// so that they end and free what they hold before it exits.
constexpr uint32_t kAbandonedFetchGraceMs = 2000;

void Print(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Standard output, where the program's results go: a write that fails (a full
// disk, a closed output) is remembered, and the run ends with a message and
// its own status instead of pretending it told its results.
class Results {
 public:
  // Fills the standard descriptors that are closed with /dev/null, so that no
  // file or connection opened later takes their number (rows or messages would
  // go into it). A closed standard output still fails when written to.
  void GuardStandardDescriptors() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
      if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (fd == STDOUT_FILENO) error_ = EBADF;
    }
  }
  bool Write(std::string_view text) {
    if (error_ == 0 && !text.empty() &&
        (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
         std::fflush(stdout) != 0))
      error_ = errno != 0 ? errno : EIO;
    if (error_ != 0 && !told_) {
      told_ = true;
      Print(stderr, "tobrine: cannot write to standard output: " +
                        std::string(std::strerror(error_)) + "\n");
    }
    return error_ == 0;
  }
  // Whether the results can still be written; tells once when they cannot.
  bool Writable() { return Write({}); }

 private:
  int error_ = 0;
  bool told_ = false;
};

Results results;

std::string VersionText() {
  std::string text = "tobrine " TOBRINE_VERSION_TEXT " (build " TOBRINE_FILE_VERSION_TEXT
                     ", " TOBRINE_BUILD_TYPE ")\n";
  return text + platform::LibraryVersions();
}

// The addresses to look up, "-" replaced by the lines of standard input; the
// usage error of a line that cannot be an address.
std::string ExpandAddresses(const std::vector<std::string>& given,
                            std::vector<std::string>& addresses) {
  for (const std::string& a : given) {
    if (a != "-") {
      addresses.push_back(a);
      continue;
    }
    const std::string input((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
    StandardInputAddresses lines = AddressesFromLines(input);
    if (!lines.error.empty()) return lines.error;
    for (std::string& line : lines.addresses) addresses.push_back(std::move(line));
  }
  return {};
}

std::string AgentOf(const Options& o) {
  if (o.agent == AgentChoice::kIphone) return std::string(lookup::kIphoneAgent);
  if (o.agent == AgentChoice::kCustom) return platform::Utf8ToCp936(o.customAgent);
  return {};
}

// The terminal's width for the progress bar.
int TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string_view StageName(lookup::FetchStage stage) {
  switch (stage) {
    case lookup::FetchStage::kPage:
      return "page not fetched";
    case lookup::FetchStage::kIphonePage:
      return "page not fetched as an iPhone";
    case lookup::FetchStage::kManifest:
      return "manifest not fetched";
  }
  return "not fetched";
}

class Run {
 public:
  explicit Run(const Options& o) : o_(o) {
    lookup_.agent = AgentOf(o);
    if (o.timeoutSeconds) lookup_.timeoutSeconds = *o.timeoutSeconds;
    lookup_.fetchManifests = !o.manifestsOnly;
    lookup_.onFailure = [this](const lookup::LookupFailure& f) {
      fetchFailed_ = true;
      // The iPhone's second fetch of a page that failed the same way says
      // nothing new.
      const bool repeated = f.stage == lookup::FetchStage::kIphonePage && pageFailure_ &&
                            pageFailure_->failure == f.outcome.failure &&
                            pageFailure_->httpStatus == f.outcome.httpStatus;
      if (f.stage == lookup::FetchStage::kPage) pageFailure_ = f.outcome;
      if (!repeated)
        Report(DescribeFailure(f.address, StageName(f.stage), f.outcome, lookup_.timeoutSeconds));
    };
    if (o.downloadDir) {
      DownloadSettings settings;
      std::error_code error;
      settings.folder = std::filesystem::absolute(*o.downloadDir, error).lexically_normal();
      if (settings.folder.empty()) settings.folder = *o.downloadDir;
      while (settings.folder.size() > 1 && settings.folder.back() == '/')
        settings.folder.pop_back();
      if (!lookup_.agent.empty()) settings.agentLine = "User-Agent: " + lookup_.agent + "\r\n";
      settings.idleSeconds = lookup_.timeoutSeconds;
      settings.progress = isatty(STDERR_FILENO) == 1;
      settings.columns = TerminalColumns();
      downloader_.emplace(std::move(settings));
    }
  }

  ExitStatus LookUpAll(const std::vector<std::string>& addresses) {
    const bool prefixed = addresses.size() > 1;
    for (const std::string& given : addresses) {
      if (!results.Writable()) break;
      prefix_ = prefixed ? given : std::string();
      row_ = 0;
      pageFailure_.reset();
      std::vector<std::string> links;
      lookup::LookUpPackages(
          TextValue::FromBytes(platform::Utf8ToCp936(given)),
          [&](const lookup::PackageRow& p) {
            ListRow(p);
            if (downloader_) links.push_back(p.link);
          },
          lookup_);
      for (const std::string& link : links)
        if (results.Writable()) Download(link);
    }
    if (!results.Writable()) return ExitStatus::kOutputFailed;
    if (downloadFailed_) return ExitStatus::kDownloadFailed;
    if (listed_ > 0) return ExitStatus::kListed;
    return fetchFailed_ ? ExitStatus::kFetchFailed : ExitStatus::kNothingFound;
  }

 private:
  void ListRow(const lookup::PackageRow& p) {
    ++row_;
    ++listed_;
    if (o_.json) {
      results.Write(o_.manifestsOnly ? JsonManifest(p.page, p.manifest, row_)
                                     : JsonPackage(p, row_));
      return;
    }
    const std::string shown = o_.manifestsOnly ? AddressText(p.manifest) : ManifestText(p.link);
    results.Write(TextRow(prefix_, row_, shown));
  }

  void Download(const std::string& link) {
    const DownloadResult r = downloader_->Fetch(link);
    using Kind = DownloadResult::Kind;
    if (r.kind == Kind::kSkipped) return;
    if (r.kind == Kind::kFailed) {
      downloadFailed_ = true;
      Report(Failure{link, r.message, r.reason, r.httpStatus});
      return;
    }
    if (o_.json) {
      results.Write(
          JsonDownload(link, r.file, r.bytes, r.kind == Kind::kSaved ? "saved" : "resumed"));
    } else {
      Print(stderr, "tobrine: " + EscapeControls(r.message) + "\n");
    }
  }

  // A failure: in plain words on standard error, and as an object among the
  // JSON lines.
  void Report(const Failure& f) {
    Print(stderr, TextFailure(f));
    if (o_.json) results.Write(JsonFailure(f));
  }

  const Options& o_;
  lookup::LookupOptions lookup_;
  std::optional<Downloader> downloader_;
  std::string prefix_;
  int32_t row_ = 0;
  int32_t listed_ = 0;
  std::optional<FetchOutcome> pageFailure_;  // of the address being looked up
  bool fetchFailed_ = false;
  bool downloadFailed_ = false;
};

}  // namespace

int RunCommandLine(int argc, char** argv) {
  results.GuardStandardDescriptors();
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ParsedCommandLine parsed = ParseCommandLine(args);
  auto usageError = [](const std::string& error) {
    Print(stderr, "tobrine: " + EscapeControls(error) + "\n" + std::string(ShortUsage()));
    return static_cast<int>(ExitStatus::kUsage);
  };
  if (!parsed.error.empty()) return usageError(parsed.error);
  if (parsed.options.help || parsed.options.version) {
    const bool written = results.Write(parsed.options.help ? HelpText() : VersionText());
    return static_cast<int>(written ? ExitStatus::kListed : ExitStatus::kOutputFailed);
  }
  std::vector<std::string> addresses;
  if (const std::string error = ExpandAddresses(parsed.options.addresses, addresses);
      !error.empty())
    return usageError(error);
  Run run(parsed.options);
  // Of the runtime the lookup needs only the system functions it binds: no
  // window, and the working directory stays the caller's.
  SetExternalSearchDirectories("", platform::ProgramDirectory(), "");
  const ExitStatus status = run.LookUpAll(addresses);
  const bool workersEnded = WaitForAbandonedFetches(kAbandonedFetchGraceMs);
  ReleaseExternalModules();
  // Kept threads and their curl handles go before the TLS library's own exit;
  // a worker still stuck past the grace is not waited for twice.
  platform::ReleaseKeptThreads(workersEnded ? kAbandonedFetchGraceMs : 0);
  return static_cast<int>(status);
}

}  // namespace tobrine::cli
