// The system services on Linux: the C heap, a monotonic clock, standard error
// in place of a desktop message box.
#include "platform/system.h"

#include <curl/curl.h>
#include <malloc.h>
#include <sys/mman.h>
#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>
#include <unicode/uversion.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/posix/curl_engine.h"
#include "platform/posix/standins.h"

namespace tobrine::platform {
namespace {

// A block of 32 MiB or more (a large page body) has a mapping of its own from
// the C heap whatever its moving threshold, and grows by remapping. That
// mapping asks for huge pages: on some virtual machines faulting a fresh block
// in 4 KiB at a time costs far more than all the work done on it (60 MB: 250 ms
// against 15 ms).
constexpr std::size_t kOwnMappingFrom = std::size_t{32} << 20;

void* AdvisedHugePages(void* block, std::size_t size) {
  if (!block || size < kOwnMappingFrom) return block;
  // The block ends where its mapping ends; advising from the mapping's first
  // page covers it whole (a part would split it, and it could no longer be
  // remapped). Advice only: nothing changes if it is refused.
  const auto begin = reinterpret_cast<uintptr_t>(block) & ~uintptr_t{4095};
  const uintptr_t end = reinterpret_cast<uintptr_t>(block) + malloc_usable_size(block);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  return block;
}

}  // namespace

void* HeapAllocate(std::size_t size) {
  return AdvisedHugePages(std::malloc(size ? size : 1), size);
}
void* HeapResize(void* block, std::size_t size) {
  return AdvisedHugePages(std::realloc(block, size ? size : 1), size);
}
void HeapRelease(void* block) {
  std::free(block);
}

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void ExitImmediately(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code & 0xFF);
}

int ShowSystemMessageBox(std::string_view text, std::string_view caption, uint32_t /*flags*/,
                         intptr_t /*owner*/) {
  std::string out = "[" + Cp936ToUtf8(caption) + "] " + Cp936ToUtf8(text);
  if (out.empty() || out.back() != '\n') out += '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
  return 1;  // IDOK
}

bool ReleaseKeptThreads(uint32_t milliseconds) {
  const bool ended = posix::EndKeptThreads(milliseconds);
  // The transfer engine's thread, its connections and TLS sessions go too; a
  // worker still waiting on one of its transfers is told it was aborted.
  posix::EndTransfers();
  return ended || posix::EndKeptThreads(milliseconds);
}

uint32_t LastSystemError() {
  return posix::LastError();
}

std::string LibraryVersions() {
  std::string lines;
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  lines += std::string("libcurl ") + curl->version;
  if (curl->ssl_version) lines += std::string(" (") + curl->ssl_version + ")";
  lines += "\n";

  UVersionInfo icu{};
  u_getVersion(icu);
  char icuText[U_MAX_VERSION_STRING_LENGTH] = {};
  u_versionToString(icu, icuText);
  lines += std::string("ICU ") + icuText + "\n";

  // The 16-bit library reports its version in 16-bit code units (ASCII).
  PCRE2_UCHAR16 pcre[64] = {};
  lines += "PCRE2 ";
  if (pcre2_config(PCRE2_CONFIG_VERSION, pcre) > 0)
    for (const PCRE2_UCHAR16* c = pcre; *c; ++c) lines += static_cast<char>(*c);
  lines += "\n";
  return lines;
}

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string s(path, static_cast<std::size_t>(n));
  auto slash = s.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : s.substr(0, slash));
}

bool ChangeDirectory(const std::string& dir) {
  return chdir(dir.c_str()) == 0;
}

}  // namespace tobrine::platform
