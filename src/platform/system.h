// The small system services the runtime needs on every OS. Each port
// (win32/system.cpp, posix/system.cpp) implements every function declared here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tobrine::platform {

// The process heap. Allocate and Resize return nullptr on failure and never
// report; Resize keeps the first min(old, new) bytes. Release ignores nullptr.
void* HeapAllocate(std::size_t size);
void* HeapResize(void* block, std::size_t size);
void HeapRelease(void* block);

// Milliseconds since the system started; wraps after about 49.7 days.
uint32_t TickCount();

// The calling thread's last system error code (GetLastError): read it right
// after the call that failed.
uint32_t LastSystemError();

// Ends the process at once with the given exit code, without running any
// registered exit routine. Standard output and error are flushed first.
[[noreturn]] void ExitImmediately(int code);

// Shows a modal message box. Texts are code page 936 bytes. `flags` are the
// system message-box flags; `owner` is a system window handle or 0. Returns the
// system's id of the pressed button (IDOK = 1 ...). Where there is no desktop
// (Linux), writes caption and text to standard error as UTF-8 and returns 1.
int ShowSystemMessageBox(std::string_view text, std::string_view caption, uint32_t flags,
                         intptr_t owner);

// Code page 936 bytes to UTF-8, for output on a terminal or log (bytes that do
// not convert become U+FFFD), and UTF-8 to code page 936, for text typed on a
// command line (characters code page 936 lacks become a substitute byte). A
// text that does not convert at all comes back as it is.
std::string Cp936ToUtf8(std::string_view text);
std::string Utf8ToCp936(std::string_view text);

// The libraries the port is built on and their versions, one "name version"
// line each (Linux: libcurl with its TLS library, ICU, PCRE2). Empty where the
// system's own interfaces are used (Windows).
std::string LibraryVersions();

// Before the process ends: lets every thread the port keeps for later work
// (Linux: idle threads, and the thread that drives every transfer with its
// connections and curl handles) end and release what it holds, waiting up to
// `milliseconds` for threads still at work; no fetch starts afterwards. True
// when none is left. Nothing is kept on Windows.
bool ReleaseKeptThreads(uint32_t milliseconds);

// Full path of the folder that holds the program file, without a trailing separator.
std::string ProgramDirectory();

// Makes `dir` the current directory; false on failure.
bool ChangeDirectory(const std::string& dir);

}  // namespace tobrine::platform
