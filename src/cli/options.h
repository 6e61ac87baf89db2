// The command line's options: `tobrine [OPTIONS] URL...`, read the way curl,
// wget and ripgrep read theirs (`-A ios`, `-Aios`, `--timeout 5`,
// `--timeout=5`, `--` before addresses that begin with a dash).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tobrine::cli {

// The exit status, one value per outcome.
enum class ExitStatus : int {
  kListed = 0,          // at least one link listed (or downloaded)
  kNothingFound = 1,    // the lookup ran but found none
  kUsage = 2,           // the command line could not be read
  kFetchFailed = 3,     // a page could not be fetched
  kDownloadFailed = 4,  // a download failed
  kOutputFailed = 5,    // standard output could not be written
};

// The command line's surface, one row per option: --help is made from it, and
// a test holds the manual page, the bash completion and the README to it.
struct OptionDoc {
  char shortName;              // 0: none
  std::string_view longName;   // without the dashes
  std::string_view valueName;  // of an option that takes a value; empty for a flag
  // What completes the value: the words it may be, "<folder>", or empty (any text).
  std::string_view completion;
  std::string_view help;  // for --help, lines separated by '\n'
};
std::span<const OptionDoc> OptionTable();

struct ExitStatusDoc {
  ExitStatus status;
  std::string_view meaning;
};
std::span<const ExitStatusDoc> ExitStatusTable();

// Which agent string the fetches send.
enum class AgentChoice {
  kDefault,  // `ie`: the request as the window sends it
  kIphone,   // `ios`: an iPhone's browser
  kCustom,   // any other text, sent as it stands
};

struct Options {
  bool help = false;
  bool version = false;
  bool json = false;
  bool manifestsOnly = false;  // --manifests: list the manifest addresses, fetch none
  AgentChoice agent = AgentChoice::kDefault;
  std::string customAgent;                // for kCustom, UTF-8 as given
  std::optional<int32_t> timeoutSeconds;  // absent: the window's own time-out
  std::optional<std::string> downloadDir;
  // In the order given; "-" stands for the lines of standard input.
  std::vector<std::string> addresses;
};

// The options, or what is wrong with the command line (one line, no newline).
struct ParsedCommandLine {
  Options options;
  std::string error;  // empty when the command line could be read
};

// Reads the arguments after the program name. -h/--help and --version need no
// address; everything else needs at least one. An agent text holding a control
// character is refused: it would become a header line of its own.
ParsedCommandLine ParseCommandLine(std::span<const std::string> args);

// The longest time-out accepted, in seconds (a day).
inline constexpr int32_t kMaxTimeoutSeconds = 86400;

// The short usage shown after a usage error, and the full help.
std::string_view ShortUsage();
std::string_view HelpText();

// The lines of standard input as addresses: white space around each line is
// dropped, and so are empty lines. A line holding a NUL byte is a usage error:
// the address would be cut there.
struct StandardInputAddresses {
  std::vector<std::string> addresses;
  std::string error;  // empty when every line could be read
};
StandardInputAddresses AddressesFromLines(std::string_view input);

}  // namespace tobrine::cli
