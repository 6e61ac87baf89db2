// The download folder and the partial files in it. Every name is opened
// relative to the folder held open, never through a link, and a file is
// written only when this program made it: a new part is created exclusively, an
// old one is continued only when its info (NAME.part.info) names the same link,
// and both must be regular files with no other name. A finished part takes its
// final name only when no file has that name.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/download_steps.h"

namespace tobrine::cli {

// A file descriptor, closed when it goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd();
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release();
  // Closes now; the error text of a failed close, else empty.
  std::string Close();

 private:
  int fd_ = -1;
};

// Which file a name stood for when it was opened.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

class DownloadFolder {
 public:
  // The folder `path`, made with its parents when missing; nothing, with the
  // reason in `error`, when it cannot be used.
  static std::optional<DownloadFolder> Open(const std::string& path, std::string& error);
  const std::string& path() const { return path_; }
  std::string PathOf(std::string_view name) const { return path_ + "/" + std::string(name); }
  int fd() const { return fd_.get(); }
  // Whether anything has this name: a file, a folder, a link (a dangling one too).
  bool Exists(const std::string& name) const;
  // The info of the part of NAME when NAME.part.info is an info this program
  // wrote; nothing otherwise.
  std::optional<PartInfo> PartInfoOf(const std::string& name) const;
  // Whether `name` in the folder is still the file `id`.
  bool IsStill(const std::string& name, const FileIdentity& id) const;

 private:
  DownloadFolder(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

// One package on its way: NAME.part and NAME.part.info in a folder (which must
// outlive it).
class PartFile {
 public:
  // Makes both files anew for `info`; neither name may exist.
  static std::optional<PartFile> Create(const DownloadFolder& folder, const std::string& name,
                                        const PartInfo& info, std::string& error);
  // Opens both to continue the part `info` describes.
  static std::optional<PartFile> Continue(const DownloadFolder& folder, const std::string& name,
                                          const PartInfo& info, std::string& error);

  const std::string& name() const { return name_; }
  std::string PartName() const;
  uint64_t size() const { return size_; }  // when it was opened
  const PartInfo& info() const { return info_; }

  // The writes of the transfer; each gives the error text, empty on success.
  std::string Truncate();
  // Adds to `written` what reached the file, also when the write fails.
  std::string Append(std::string_view bytes, uint64_t& written);
  std::string SaveInfo(const PartInfo& info);
  // Closes the part's data; a late write error shows here.
  std::string Close();

  enum class Publish { kDone, kTaken, kFailed };
  // Gives the part the name `final` (or keeps it at NAME when `final` is NAME
  // itself), when no file has that name, and removes its info.
  Publish PublishAs(const std::string& final, std::string& error);
  // Removes both files, when they are still this part's.
  void Remove();

 private:
  PartFile(const DownloadFolder& folder, std::string name) : folder_(&folder), name_(name) {}
  std::string OpenInfo(bool create);
  const DownloadFolder* folder_;
  std::string name_;
  UniqueFd data_;
  UniqueFd infoFd_;
  FileIdentity dataId_;
  FileIdentity infoId_;
  uint64_t size_ = 0;
  PartInfo info_;
};

}  // namespace tobrine::cli
