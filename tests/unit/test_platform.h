// What the web tests need from the system they run on, one file per OS
// (test_platform_posix.cpp, test_platform_win32.cpp). The Windows build runs
// under Wine, on the same Linux machine as the fixture server.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tobrine::test {

// The Linux folder for the tests' temporary files: $TMPDIR, else /tmp. (Wine
// hands the variable on to the Windows build unchanged, as a Linux path.)
inline std::string HostTempFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

// Starts a Linux program in the background (from the Windows build too). Its
// standard input stays open until the test program ends (Linux only).
bool StartHostProgram(const std::vector<std::string>& argv);
// The content of a Linux file, by its Linux path; nothing when it is missing.
std::optional<std::string> ReadHostFile(const std::string& path);
// Makes the HTTPS client trust the test CA (Linux: SSL_CERT_FILE names the PEM
// file; Windows: the DER certificate goes into the Wine prefix's Root store).
bool TrustTestCa(const std::string& pemPath, const std::string& derPath);
void SleepMilliseconds(int ms);
// Sets an environment variable of this process (inherited by child processes).
void SetEnvironment(const std::string& name, const std::string& value);
// The clipboard's text in UTF-8: its Unicode text on Windows, the headless
// backend's clipboard on Linux.
std::string ClipboardUtf8();

// What this process holds now: its threads, and its open descriptors (Linux) or
// handles (Windows).
struct ProcessCounts {
  int threads = 0;
  int handles = 0;
};
ProcessCounts CurrentProcessCounts();
// The most memory this process has held so far: its peak resident set (Linux)
// or peak working set (Windows), in bytes.
uint64_t PeakMemoryBytes();

// A window (Windows) or message target (Linux) of the calling thread. Post()
// may be called from any thread; the handler runs when the owning thread
// dispatches the message.
class MessageProbe {
 public:
  explicit MessageProbe(std::function<void()> handler);
  ~MessageProbe();
  MessageProbe(const MessageProbe&) = delete;
  MessageProbe& operator=(const MessageProbe&) = delete;
  void Post();
  int dispatched() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tobrine::test
