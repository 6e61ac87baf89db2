// The system services on Windows: the process heap, GetTickCount, MessageBoxW.
#include "platform/system.h"

#include <windows.h>

#include <cstdio>
#include <string>

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

namespace {
std::wstring Widen936(std::string_view text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(936, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(936, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
  return w;
}
}  // namespace

int ShowSystemMessageBox(std::string_view text, std::string_view caption, uint32_t flags,
                         intptr_t owner) {
  return MessageBoxW(reinterpret_cast<HWND>(owner), Widen936(text).c_str(),
                     Widen936(caption).c_str(), flags);
}

std::string Cp936ToUtf8(std::string_view text) {
  std::wstring w = Widen936(text);
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
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
