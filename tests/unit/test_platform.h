// What the web tests need from the system they run on, one file per OS
// (test_platform_posix.cpp, test_platform_win32.cpp). The Windows build runs
// under Wine, on the same Linux machine as the fixture server.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tobrine::test {

// The Windows build of the tests runs under Wine.
#ifdef _WIN32
inline constexpr bool kUnderWine = true;
#else
inline constexpr bool kUnderWine = false;
#endif

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
// The proxy this system names for programs that take the system's settings,
// and the hosts reached directly (Linux: http_proxy, https_proxy and no_proxy,
// every other proxy variable cleared; Windows: the Internet settings of the
// Wine prefix's registry). An empty proxy: none.
void SetSystemProxy(const std::string& hostPort, const std::string& bypass);
// CPU seconds this process has used, every thread included.
double ProcessCpuSeconds();
// The bytes of this process's memory resident now.
uint64_t ResidentBytes();

// The most resident memory above the level at its start, sampled every few
// milliseconds from a thread of its own while the object lives.
class ResidentPeak {
 public:
  ResidentPeak() : base_(ResidentBytes()), peak_(base_) {
    sampler_ = std::thread([this] {
      while (!stop_.load()) {
        Note();
        SleepMilliseconds(2);
      }
    });
  }
  ~ResidentPeak() { Stop(); }
  ResidentPeak(const ResidentPeak&) = delete;
  ResidentPeak& operator=(const ResidentPeak&) = delete;

  // Bytes above the start, at the highest sample so far.
  uint64_t Growth() {
    Note();
    return peak_.load() - base_;
  }
  void Stop() {
    stop_.store(true);
    if (sampler_.joinable()) sampler_.join();
  }

 private:
  void Note() {
    const uint64_t now = ResidentBytes();
    uint64_t seen = peak_.load();
    while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
    }
  }
  const uint64_t base_;
  std::atomic<uint64_t> peak_;
  std::atomic<bool> stop_{false};
  std::thread sampler_;
};

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
