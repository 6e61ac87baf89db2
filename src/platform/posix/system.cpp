// The system services on Linux: the C heap, a monotonic clock, standard error
// in place of a desktop message box.
#include "platform/system.h"

#include <curl/curl.h>
#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>
#include <unicode/uversion.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/posix/standins.h"

namespace tobrine::platform {

void* HeapAllocate(std::size_t size) {
  return std::malloc(size ? size : 1);
}
void* HeapResize(void* block, std::size_t size) {
  return std::realloc(block, size ? size : 1);
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
