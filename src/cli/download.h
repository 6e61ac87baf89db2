// `tobrine -o DIR`: each package fetched into DIR, streamed to NAME.part chunk
// by chunk and renamed to NAME when complete. A part is continued only when the
// server proves with If-Range that its file is still the one the part began,
// and never a file this program did not make; names never collide within a run
// or with a file already there.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "cli/download_steps.h"
#include "cli/package_file.h"

namespace tobrine::cli {

struct DownloadSettings {
  std::string folder;        // absolute, UTF-8; made when missing
  std::string agentLine;     // "User-Agent: ..." + CR LF, or empty for the default
  int32_t idleSeconds = 60;  // a download fails after this long without data
  bool progress = false;     // draw a progress bar on standard error
  int columns = 80;          // of the terminal
};

// The downloads of one run. A link fetched before in the run is skipped.
class Downloader {
 public:
  explicit Downloader(DownloadSettings settings) : settings_(std::move(settings)) {}
  // Fetches `link` (bytes as the manifest gave them) into the folder.
  DownloadResult Fetch(std::string_view link);

 private:
  std::optional<PartFile> PartFor(const std::string& link, const std::string& name,
                                  std::string& error);
  TransferFacts Transfer(std::string_view link, PartFile& part, const std::string& validator);
  // `linkName` is the name the link gave the part (before numbering).
  DownloadResult Publish(PartFile& part, const std::string& linkName, DownloadResult result);
  DownloadSettings settings_;
  std::optional<DownloadFolder> folder_;
  std::string folderError_;
  std::set<std::string, std::less<>> links_;
  std::set<std::string, std::less<>> names_;  // taken in this run
  // The number a name's next numbered variant is looked for from, so that many
  // links of one name do not try every number taken before them.
  std::map<std::string, int, std::less<>> nextNumber_;
};

}  // namespace tobrine::cli
