#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/posix/headless_window.h"
#include "platform/posix/message_queue.h"
#include "platform/system.h"
#include "platform/winapi.h"
#include "test_platform.h"

extern char** environ;

namespace tobrine::test {

bool StartHostProgram(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  // The write end stays open (and is not inherited) until this process ends;
  // the server ends when it sees its input close.
  return rc == 0;
}

std::string ClipboardUtf8() {
  return platform::Cp936ToUtf8(headless::ClipboardText());
}

std::optional<std::string> ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TrustTestCa(const std::string& pemPath, const std::string& /*derPath*/) {
  return setenv("SSL_CERT_FILE", pemPath.c_str(), 1) == 0;
}

void SleepMilliseconds(int ms) {
  usleep(static_cast<useconds_t>(ms) * 1000);
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

void SetEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void SetSystemProxy(const std::string& hostPort, const std::string& bypass) {
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                           "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"})
    unsetenv(name);
  if (!hostPort.empty()) {
    setenv("http_proxy", ("http://" + hostPort).c_str(), 1);
    setenv("https_proxy", ("http://" + hostPort).c_str(), 1);
  }
  if (!bypass.empty()) setenv("no_proxy", bypass.c_str(), 1);
}

namespace {
int EntriesIn(const char* folder) {
  DIR* dir = opendir(folder);
  if (!dir) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}
}  // namespace

ProcessCounts CurrentProcessCounts() {
  // The listing of /proc/self/fd holds its own descriptor while it runs.
  return {EntriesIn("/proc/self/task"), EntriesIn("/proc/self/fd") - 1};
}

uint64_t PeakMemoryBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  return 0;
}

struct MessageProbe::Impl : posix::MessageTarget {
  std::function<void()> handler;
  posix::ThreadKey owner = posix::CurrentThreadKey();
  std::atomic<int> count{0};
  void HandleMessage(const posix::QueuedMessage&) override {
    ++count;
    handler();
  }
};

MessageProbe::MessageProbe(std::function<void()> handler) : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
}
MessageProbe::~MessageProbe() = default;

void MessageProbe::Post() {
  posix::QueuedMessage m;
  m.target = impl_.get();
  m.message = winapi::kWmApp;
  posix::PostToThread(impl_->owner, m);
}

int MessageProbe::dispatched() const {
  return impl_->count.load();
}

}  // namespace tobrine::test
