// The Linux front end: `tobrine [OPTIONS] URL...` runs the program's lookup on
// each address in turn and prints each package the moment it is found.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "app/cli_output.h"
#include "app/lookup.h"
#include "app/startup.h"
#include "app/version.h"
#include "platform/system.h"

namespace {

using namespace tobrine;
using namespace tobrine::app::cli;

void Print(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::string VersionText() {
  std::string text = "tobrine " TOBRINE_VERSION_TEXT " (build " TOBRINE_FILE_VERSION_TEXT
                     ", " TOBRINE_BUILD_TYPE ")\n";
  return text + platform::LibraryVersions();
}

// The addresses to look up, "-" replaced by the lines of standard input.
std::vector<std::string> ExpandAddresses(const std::vector<std::string>& given) {
  std::vector<std::string> addresses;
  for (const std::string& a : given) {
    if (a != "-") {
      addresses.push_back(a);
      continue;
    }
    const std::string input((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
    for (std::string& line : AddressesFromLines(input)) addresses.push_back(std::move(line));
  }
  return addresses;
}

app::LookupOptions LookupOptionsOf(const Options& o) {
  app::LookupOptions lookup;
  if (o.agent == AgentChoice::kIphone) lookup.agent = std::string(app::kIphoneAgent);
  if (o.agent == AgentChoice::kCustom) lookup.agent = platform::Utf8ToCp936(o.customAgent);
  if (o.timeoutSeconds) lookup.timeoutSeconds = *o.timeoutSeconds;
  lookup.fetchManifests = !o.manifestsOnly;
  return lookup;
}

ExitStatus Run(const Options& o) {
  const std::vector<std::string> addresses = ExpandAddresses(o.addresses);
  const bool prefixed = addresses.size() > 1;
  const app::LookupOptions lookupOptions = LookupOptionsOf(o);
  app::StartRuntime();
  int32_t listed = 0;
  for (const std::string& given : addresses) {
    const std::string address = platform::Utf8ToCp936(given);
    int32_t row = 0;
    app::LookUpPackages(
        TextValue::FromBytes(address),
        [&](const app::PackageRow& p) {
          ++row;
          ++listed;
          const std::string shown =
              o.manifestsOnly ? AddressText(p.manifest) : ManifestText(p.link);
          if (o.json)
            Print(stdout,
                  o.manifestsOnly ? JsonManifest(p.page, p.manifest, row) : JsonPackage(p, row));
          else
            Print(stdout, TextRow(prefixed ? std::string_view(given) : "", row, shown));
        },
        lookupOptions);
  }
  app::EndRuntime();
  return listed > 0 ? ExitStatus::kListed : ExitStatus::kNothingFound;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ParsedCommandLine parsed = ParseCommandLine(args);
  if (!parsed.error.empty()) {
    Print(stderr, "tobrine: " + EscapeControls(parsed.error) + "\n" + std::string(ShortUsage()));
    return static_cast<int>(ExitStatus::kUsage);
  }
  if (parsed.options.help) {
    Print(stdout, HelpText());
    return 0;
  }
  if (parsed.options.version) {
    Print(stdout, VersionText());
    return 0;
  }
  return static_cast<int>(Run(parsed.options));
}
