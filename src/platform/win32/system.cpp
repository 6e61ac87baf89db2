// The system services on Windows: the process heap, GetTickCount, MessageBoxW.
#include "platform/system.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/win32/wide_text.h"

namespace tobrine::platform {

void* HeapAllocate(std::size_t size) {
  return HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
}
void* HeapResize(void* block, std::size_t size) {
  return HeapReAlloc(GetProcessHeap(), 0, block, size ? size : 1);
}
void HeapRelease(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

uint32_t TickCount() {
  return GetTickCount();
}

void ExitImmediately(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  ExitProcess(static_cast<UINT>(code));
}

// Each worker is a thread of its own that ends with its routine.
bool ReleaseKeptThreads(uint32_t /*milliseconds*/) {
  return true;
}

int ShowSystemMessageBox(std::string_view text, std::string_view caption, uint32_t flags,
                         intptr_t owner) {
  return MessageBoxW(reinterpret_cast<HWND>(owner), Widen(text).c_str(), Widen(caption).c_str(),
                     flags);
}

std::string Cp936ToUtf8(std::string_view text) {
  const std::wstring w = Widen(text);
  return BytesFrom(CP_UTF8, w.data(), static_cast<int>(w.size()));
}

std::string Utf8ToCp936(std::string_view text) {
  const std::wstring w = WideFrom(CP_UTF8, text);
  return Narrow(w.data(), static_cast<int>(w.size()));
}

uint32_t LastSystemError() {
  return GetLastError();
}

std::string LibraryVersions() {
  return {};  // WinINet, COM and the code pages are the system's own
}

std::string ProgramDirectory() {
  char path[MAX_PATH * 2] = "";
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string s(path, n);
  auto slash = s.find_last_of("\\/");
  return slash == std::string::npos ? s : s.substr(0, slash);
}

bool ChangeDirectory(const std::string& dir) {
  return SetCurrentDirectoryA(dir.c_str()) != 0;
}

}  // namespace tobrine::platform
