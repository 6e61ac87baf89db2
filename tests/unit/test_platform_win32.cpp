#include <windows.h>
// After windows.h:
#include <psapi.h>
#include <tlhelp32.h>
#include <wincrypt.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "test_platform.h"

namespace tobrine::test {
namespace {

std::string WindowsPath(const std::string& hostPath) {
  return "Z:" + hostPath;
}

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  return p.substr(0, p.find_last_of("\\/"));
}

// Starts `command`; with `exitCode`, waits (a minute at most) for its end and
// reports its exit code.
bool Launch(std::string command, DWORD* exitCode = nullptr) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    return false;
  if (exitCode) {
    WaitForSingleObject(pi.hProcess, 60000);
    GetExitCodeProcess(pi.hProcess, exitCode);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

// Whether the current user's Root store holds this DER certificate.
bool IsTrusted(const std::string& der) {
  PCCERT_CONTEXT cert = CertCreateCertificateContext(
      X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
  if (!cert) return false;
  bool found = false;
  if (HCERTSTORE store =
          CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root")) {
    if (PCCERT_CONTEXT same = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                         CERT_FIND_EXISTING, cert, nullptr)) {
      found = true;
      CertFreeCertificateContext(same);
    }
    CertCloseStore(store, 0);
  }
  CertFreeCertificateContext(cert);
  return found;
}

}  // namespace

// Wine starts a Linux program when CreateProcess is given one.
bool StartHostProgram(const std::vector<std::string>& argv) {
  std::string command;
  for (const auto& a : argv) command += (command.empty() ? "" : " ") + ("\"" + a + "\"");
  return Launch(command);
}

std::optional<std::string> ReadHostFile(const std::string& path) {
  FILE* f = std::fopen(WindowsPath(path).c_str(), "rb");
  if (!f) return std::nullopt;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

// The helper next to the test program adds the certificate to the Wine
// prefix's Root store (never to the machine's own store), unless an earlier
// test program already did: the fixture server keeps its CA for a week.
bool TrustTestCa(const std::string& /*pemPath*/, const std::string& derPath) {
  if (const std::optional<std::string> der = ReadHostFile(derPath); der && IsTrusted(*der))
    return true;
  DWORD code = 1;
  return Launch(
             "\"" + ProgramFolder() + "\\wine_addroot.exe\" \"" + WindowsPath(derPath) + "\" user",
             &code) &&
         code == 0;
}

void SleepMilliseconds(int ms) {
  Sleep(static_cast<DWORD>(ms));
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
}

uint64_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

void SetEnvironment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableA(name.c_str(), value.c_str());
  _putenv((name + "=" + value).c_str());
}

void SetSystemProxy(const std::string& hostPort, const std::string& bypass) {
  // Wine reads http_proxy when the registry names no proxy, and no_proxy
  // before the registry's exemptions.
  for (const char* name : {"http_proxy", "no_proxy"}) {
    SetEnvironmentVariableA(name, nullptr);
    _putenv((std::string(name) + "=").c_str());
  }
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER,
                      "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0, nullptr,
                      0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  const DWORD enable = hostPort.empty() ? 0 : 1;
  RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                 sizeof enable);
  for (const auto& [name, value] :
       {std::pair<const char*, const std::string&>{"ProxyServer", hostPort},
        {"ProxyOverride", bypass}}) {
    if (value.empty())
      RegDeleteValueA(key, name);
    else
      RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  }
  RegCloseKey(key);
}

std::string ClipboardUtf8() {
  std::string text;
  if (!OpenClipboard(nullptr)) return "(clipboard busy)";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* w = static_cast<const wchar_t*>(GlobalLock(data))) {
      const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
      text.resize(n > 0 ? n : 1);
      WideCharToMultiByte(CP_UTF8, 0, w, -1, text.data(), n, nullptr, nullptr);
      text.pop_back();  // the NUL
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

ProcessCounts CurrentProcessCounts() {
  ProcessCounts counts;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
      if (entry.th32OwnerProcessID == self) ++counts.threads;
    CloseHandle(snapshot);
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0) {
    counts.handles = static_cast<int>(handles);
  } else {
    // Wine reports no count: the handle values in use are probed instead
    // (multiples of 4, handed out lowest first).
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
      DWORD flags = 0;
      if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++counts.handles;
    }
  }
  return counts;
}

uint64_t PeakMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

struct MessageProbe::Impl {
  std::function<void()> handler;
  HWND window = nullptr;
  std::atomic<int> count{0};

  static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_APP) {
      auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrA(w, GWLP_USERDATA));
      ++self->count;
      self->handler();
      return 0;
    }
    return DefWindowProcA(w, m, wp, lp);
  }
};

MessageProbe::MessageProbe(std::function<void()> handler) : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &Impl::Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TobrineTestProbe";
    return RegisterClassA(&wc) != 0;
  }();
  (void)registered;
  // A hidden top-level window of this thread.
  impl_->window = CreateWindowExA(0, "TobrineTestProbe", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                  nullptr, GetModuleHandleA(nullptr), nullptr);
  SetWindowLongPtrA(impl_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_.get()));
}

MessageProbe::~MessageProbe() {
  if (impl_->window) DestroyWindow(impl_->window);
}

void MessageProbe::Post() {
  PostMessageA(impl_->window, WM_APP, 0, 0);
}

int MessageProbe::dispatched() const {
  return impl_->count.load();
}

}  // namespace tobrine::test
