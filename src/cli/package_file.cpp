#include "cli/package_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli/file_names.h"

namespace tobrine::cli {
namespace {

// The longest info read: a link is at most 8 KiB, escaped at most three times that.
constexpr std::size_t kInfoReadMax = 64 * 1024;

std::string ErrorText(int error) {
  return std::strerror(error);
}

// Opens `name` in the folder `dir`, never through a link, and never waiting on
// a FIFO or device that stands there: the open file must be a regular file with
// no other name (a hard link could lead out of the folder).
UniqueFd OpenChecked(int dir, const std::string& name, int flags, FileIdentity& id, uint64_t& size,
                     std::string& error) {
  UniqueFd fd(
      openat(dir, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd) {
    error = name + ": " + ErrorText(errno);
    return {};
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    error = name + ": " + ErrorText(errno);
    return {};
  }
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    error = name + " is not a regular file of its own";
    return {};
  }
  // Another run writing this part holds its lock: the part is not this run's.
  if ((flags & O_ACCMODE) != O_RDONLY && flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    error = name + " is being written by another run";
    return {};
  }
  const int status = fcntl(fd.get(), F_GETFL);
  if (status == -1 || fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) == -1) {
    error = name + ": " + ErrorText(errno);
    return {};
  }
  id = {st.st_dev, st.st_ino};
  size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// Up to `max` + 1 bytes from the start of `fd`.
std::optional<std::string> ReadUpTo(int fd, std::size_t max) {
  std::string text(max + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

// Writes all of `bytes`, counting in `written` what reached the file also when
// a write fails part of the way (a full disk): the part stays exact.
std::string WriteAll(int fd, std::string_view bytes, uint64_t& written) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorText(errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
    written += static_cast<uint64_t>(n);
  }
  return {};
}

// The info in `fd`, when this program wrote it.
std::optional<PartInfo> ReadInfo(int fd) {
  const std::optional<std::string> text = ReadUpTo(fd, kInfoReadMax);
  if (!text || text->size() > kInfoReadMax) return std::nullopt;
  return ReadPartInfo(*text);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  Close();
}

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::string UniqueFd::Close() {
  if (fd_ < 0) return {};
  // A failed close has closed the descriptor all the same: never retried.
  const int result = close(Release());
  return result == 0 || errno == EINTR ? std::string() : ErrorText(errno);
}

std::optional<DownloadFolder> DownloadFolder::Open(const std::string& path, std::string& error) {
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    error = "cannot use " + path + " as the download folder: " + ErrorText(errno);
    return std::nullopt;
  }
  return DownloadFolder(std::move(fd), path);
}

bool DownloadFolder::Exists(const std::string& name) const {
  struct stat st {};
  return fstatat(fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

std::optional<PartInfo> DownloadFolder::PartInfoOf(const std::string& name) const {
  FileIdentity id;
  uint64_t size = 0;
  std::string error;
  const UniqueFd info =
      OpenChecked(fd(), name + std::string(kInfoSuffix), O_RDONLY, id, size, error);
  if (!info || size > kInfoReadMax) return std::nullopt;
  return ReadInfo(info.get());
}

bool DownloadFolder::IsStill(const std::string& name, const FileIdentity& id) const {
  struct stat st {};
  return fstatat(fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == id.device &&
         st.st_ino == id.inode;
}

std::string PartFile::PartName() const {
  return name_ + std::string(kPartSuffix);
}

std::optional<PartFile> PartFile::Create(const DownloadFolder& folder, const std::string& name,
                                         const PartInfo& info, std::string& error) {
  PartFile part(folder, name);
  uint64_t size = 0;
  part.data_ = OpenChecked(folder.fd(), part.PartName(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL,
                           part.dataId_, size, error);
  if (!part.data_) return std::nullopt;
  part.infoFd_ = OpenChecked(folder.fd(), name + std::string(kInfoSuffix),
                             O_RDWR | O_CREAT | O_EXCL, part.infoId_, size, error);
  if (part.infoFd_) error = part.SaveInfo(info);
  if (!part.infoFd_ || !error.empty()) {
    part.Remove();
    return std::nullopt;
  }
  return part;
}

std::optional<PartFile> PartFile::Continue(const DownloadFolder& folder, const std::string& name,
                                           const PartInfo& info, std::string& error) {
  PartFile part(folder, name);
  uint64_t infoSize = 0;
  part.infoFd_ = OpenChecked(folder.fd(), name + std::string(kInfoSuffix), O_RDWR, part.infoId_,
                             infoSize, error);
  if (!part.infoFd_) return std::nullopt;
  // Read again from the file now open: it must still be the part of this link.
  const std::optional<PartInfo> read = ReadInfo(part.infoFd_.get());
  if (!read || read->link != info.link) {
    error = part.PartName() + " is no longer the part of this link";
    return std::nullopt;
  }
  part.info_ = *read;
  part.data_ = OpenChecked(folder.fd(), part.PartName(), O_WRONLY | O_APPEND, part.dataId_,
                           part.size_, error);
  if (!part.data_) return std::nullopt;
  return part;
}

std::string PartFile::Truncate() {
  return ftruncate(data_.get(), 0) == 0 ? std::string() : ErrorText(errno);
}

std::string PartFile::Append(std::string_view bytes, uint64_t& written) {
  return WriteAll(data_.get(), bytes, written);
}

std::string PartFile::SaveInfo(const PartInfo& info) {
  const std::string text = WritePartInfo(info);
  if (ftruncate(infoFd_.get(), 0) != 0 || lseek(infoFd_.get(), 0, SEEK_SET) != 0)
    return ErrorText(errno);
  uint64_t written = 0;
  if (std::string error = WriteAll(infoFd_.get(), text, written); !error.empty()) return error;
  info_ = info;
  return {};
}

std::string PartFile::Close() {
  return data_.Close();
}

PartFile::Publish PartFile::PublishAs(const std::string& final, std::string& error) {
  const DownloadFolder& folder = *folder_;
  const std::string part = PartName();
  if (!folder.IsStill(part, dataId_)) {
    error = folder.PathOf(part) + " is no longer the file this program wrote";
    return Publish::kFailed;
  }
  // Never over a file of that name, also one that appeared meanwhile.
  int result = renameat2(folder.fd(), part.c_str(), folder.fd(), final.c_str(), RENAME_NOREPLACE);
  if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
    // A file system without that rename: a second name, then the first goes.
    result = linkat(folder.fd(), part.c_str(), folder.fd(), final.c_str(), 0);
    if (result == 0) unlinkat(folder.fd(), part.c_str(), 0);
  }
  if (result != 0) {
    if (errno == EEXIST) return Publish::kTaken;
    error = "cannot name " + folder.PathOf(part) + " " + final + ": " + ErrorText(errno);
    return Publish::kFailed;
  }
  const std::string info = name_ + std::string(kInfoSuffix);
  if (folder.IsStill(info, infoId_)) unlinkat(folder.fd(), info.c_str(), 0);
  infoFd_.Close();
  return Publish::kDone;
}

void PartFile::Remove() {
  const DownloadFolder& folder = *folder_;
  // An identity is known only for a file this part opened.
  if (dataId_.inode != 0 && folder.IsStill(PartName(), dataId_))
    unlinkat(folder.fd(), PartName().c_str(), 0);
  const std::string info = name_ + std::string(kInfoSuffix);
  if (infoId_.inode != 0 && folder.IsStill(info, infoId_)) unlinkat(folder.fd(), info.c_str(), 0);
}

}  // namespace tobrine::cli
