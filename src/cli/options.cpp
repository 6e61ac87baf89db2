#include "cli/options.h"

#include <algorithm>
#include <charconv>

namespace tobrine::cli {
namespace {

constexpr std::string_view kShortUsage =
    "usage: tobrine [OPTIONS] URL...\n"
    "Try 'tobrine --help' for more information.\n";

constexpr std::string_view kHelpIntroduction =
    "usage: tobrine [OPTIONS] URL...\n"
    "\n"
    "Fetches each app distribution page, finds the install-manifest addresses in\n"
    "it, fetches every manifest and prints the package download links, one per\n"
    "line as \"number<TAB>link\", each as soon as it is found. With several\n"
    "addresses each row starts with its page's address and a TAB. URL '-' reads\n"
    "addresses from standard input, one per line.\n";

// The column where the help of an option begins.
constexpr std::size_t kHelpColumn = 27;

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// A whole number of seconds from 1 to a day.
std::optional<int32_t> ReadSeconds(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || p != end || value < 1 || value > kMaxTimeoutSeconds) return std::nullopt;
  return value;
}

enum class OptionId { kFlag, kUserAgent, kTimeout, kDownload };

struct OptionEntry {
  OptionId id;
  OptionDoc doc;
  bool Options::*flag = nullptr;  // what a flag (an option without value) sets
};

constexpr OptionEntry kOptions[] = {
    {OptionId::kFlag, {'h', "help", "", "", "show this help and exit"}, &Options::help},
    {OptionId::kFlag,
     {0, "version", "", "", "show the version and the libraries' versions"},
     &Options::version},
    {OptionId::kFlag,
     {0, "json", "", "", "one JSON object per package and per error (JSON Lines)"},
     &Options::json},
    {OptionId::kFlag,
     {0, "manifests", "", "", "list the manifest addresses only, fetch none"},
     &Options::manifestsOnly},
    {OptionId::kUserAgent,
     {'A', "user-agent", "AGENT", "ie ios",
      "ie (the default), ios (an iPhone's browser) or any text"}},
    {OptionId::kTimeout,
     {0, "timeout", "SECONDS", "",
      "time-out of each page and manifest fetch (default 60);\n"
      "a download fails when less than 1 KiB arrives in SECONDS"}},
    {OptionId::kDownload,
     {'o', "download", "DIR", "<folder>",
      "fetch each package into DIR, as NAME.part until it is\n"
      "complete; a part is continued only when the server\n"
      "shows the file unchanged, and no file is overwritten"}},
};

constexpr ExitStatusDoc kExitStatuses[] = {
    {ExitStatus::kListed, "links listed (and every download done)"},
    {ExitStatus::kNothingFound, "none found"},
    {ExitStatus::kUsage, "usage error"},
    {ExitStatus::kFetchFailed, "a page or manifest could not be fetched, nothing listed"},
    {ExitStatus::kDownloadFailed, "a download failed"},
    {ExitStatus::kOutputFailed, "standard output could not be written"},
};

// The help, made from the tables.
std::string MakeHelp() {
  std::string help = std::string(kHelpIntroduction) + "\nOptions:\n";
  for (const OptionEntry& entry : kOptions) {
    const OptionDoc& o = entry.doc;
    std::string names = o.shortName ? std::string("  -") + o.shortName + ", " : "      ";
    names += "--" + std::string(o.longName);
    if (!o.valueName.empty()) names += " " + std::string(o.valueName);
    names.resize(std::max(names.size() + 1, kHelpColumn), ' ');
    std::string_view text = o.help;
    for (std::size_t lf; (lf = text.find('\n')) != std::string_view::npos;) {
      names += std::string(text.substr(0, lf)) + "\n" + std::string(kHelpColumn, ' ');
      text.remove_prefix(lf + 1);
    }
    help += names + std::string(text) + "\n";
  }
  help += "\nExit status:\n";
  for (const ExitStatusDoc& e : kExitStatuses)
    help +=
        "  " + std::to_string(static_cast<int>(e.status)) + "  " + std::string(e.meaning) + "\n";
  return help;
}

bool TakesValue(const OptionEntry& option) {
  return option.id != OptionId::kFlag;
}

const OptionEntry* FindLong(std::string_view name) {
  for (const OptionEntry& o : kOptions)
    if (o.doc.longName == name) return &o;
  return nullptr;
}

const OptionEntry* FindShort(char name) {
  for (const OptionEntry& o : kOptions)
    if (o.doc.shortName == name) return &o;
  return nullptr;
}

// Applies one option; the error text, or empty.
std::string Apply(const OptionEntry& option, std::string_view shown, std::string_view value,
                  Options& o) {
  switch (option.id) {
    case OptionId::kFlag:
      o.*option.flag = true;
      break;
    case OptionId::kUserAgent:
      if (value.empty() || HasControlCharacter(value))
        return std::string(shown) +
               ": the agent must be ie, ios or a text without control characters";
      o.customAgent.clear();
      if (value == "ie") {
        o.agent = AgentChoice::kDefault;
      } else if (value == "ios") {
        o.agent = AgentChoice::kIphone;
      } else {
        o.agent = AgentChoice::kCustom;
        o.customAgent = std::string(value);
      }
      break;
    case OptionId::kTimeout:
      o.timeoutSeconds = ReadSeconds(value);
      if (!o.timeoutSeconds)
        return std::string(shown) + ": '" + std::string(value) +
               "' is not a whole number of seconds from 1 to " + std::to_string(kMaxTimeoutSeconds);
      break;
    case OptionId::kDownload:
      if (value.empty()) return std::string(shown) + ": the folder name is empty";
      o.downloadDir = std::string(value);
      break;
  }
  return {};
}

}  // namespace

ParsedCommandLine ParseCommandLine(std::span<const std::string> args) {
  ParsedCommandLine result;
  Options& o = result.options;
  auto fail = [&](std::string error) {
    result.error = std::move(error);
    return result;
  };
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      if (arg.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return fail("an empty address");
      o.addresses.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // The value of an option: after '=' or in the same word, or the next word.
    auto nextValue = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string_view(args[++i]);
    };
    if (arg.starts_with("--")) {
      std::string_view body = arg.substr(2);
      const std::size_t eq = body.find('=');
      std::string_view name = body.substr(0, eq);
      const OptionEntry* option = FindLong(name);
      const std::string shown = "--" + std::string(name);
      if (!option) return fail("unknown option '" + std::string(arg) + "'");
      std::string_view value;
      if (eq != std::string_view::npos) {
        if (!TakesValue(*option)) return fail(shown + " takes no value");
        value = body.substr(eq + 1);
      } else if (TakesValue(*option)) {
        std::optional<std::string_view> next = nextValue();
        if (!next) return fail(shown + " needs a value");
        value = *next;
      }
      if (std::string error = Apply(*option, shown, value, o); !error.empty()) return fail(error);
      continue;
    }
    // Short options, several in one word ("-hA ios"); one that takes a value
    // takes the rest of the word, or the next word.
    for (std::size_t k = 1; k < arg.size(); ++k) {
      const OptionEntry* option = FindShort(arg[k]);
      const std::string shown = std::string("-") + arg[k];
      if (!option) return fail("unknown option '" + shown + "'");
      std::string_view value;
      if (TakesValue(*option)) {
        if (k + 1 < arg.size()) {
          value = arg.substr(k + 1);
        } else {
          std::optional<std::string_view> next = nextValue();
          if (!next) return fail(shown + " needs a value");
          value = *next;
        }
        k = arg.size();
      }
      if (std::string error = Apply(*option, shown, value, o); !error.empty()) return fail(error);
    }
  }
  if (o.help || o.version) return result;
  if (o.addresses.empty()) return fail("no address given");
  if (o.manifestsOnly && o.downloadDir)
    return fail("--manifests and --download exclude each other");
  return result;
}

std::string_view ShortUsage() {
  return kShortUsage;
}

std::string_view HelpText() {
  static const std::string help = MakeHelp();
  return help;
}

std::span<const OptionDoc> OptionTable() {
  static const std::vector<OptionDoc> docs = [] {
    std::vector<OptionDoc> d;
    for (const OptionEntry& entry : kOptions) d.push_back(entry.doc);
    return d;
  }();
  return docs;
}

std::span<const ExitStatusDoc> ExitStatusTable() {
  return kExitStatuses;
}

StandardInputAddresses AddressesFromLines(std::string_view input) {
  StandardInputAddresses result;
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  for (int number = 1; !input.empty(); ++number) {
    const std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (line.find('\0') != std::string_view::npos) {
      result.error = "line " + std::to_string(number) + " of standard input holds a NUL byte";
      result.addresses.clear();
      return result;
    }
    const std::size_t first = line.find_first_not_of(kSpace);
    if (first == std::string_view::npos) continue;
    line = line.substr(first, line.find_last_not_of(kSpace) - first + 1);
    result.addresses.emplace_back(line);
  }
  return result;
}

}  // namespace tobrine::cli
