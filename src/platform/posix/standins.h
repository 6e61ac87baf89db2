// The Linux stand-ins of the system functions in the external function table,
// with the signatures of platform/winapi.h. Each implements the contract the
// program relies on, not the whole of the Windows function.
#pragma once

#include "platform/winapi.h"

namespace tobrine::posix {

using namespace tobrine::winapi;

// kernel32: code pages on ICU (0 and 936: windows-936-2000; 950: windows-950-2000;
// 65001: UTF-8) and the simplified-Chinese mapping (codepage.cpp, lcmap.cpp).
int32_t MultiByteToWideChar(uint32_t codePage, Dword flags, const char* source,
                            int32_t sourceLength, WideChar* destination, int32_t capacity);
int32_t WideCharToMultiByte(uint32_t codePage, Dword flags, const WideChar* source,
                            int32_t sourceLength, char* destination, int32_t capacity,
                            const char* defaultChar, Bool* usedDefault);
int32_t LCMapStringA(Dword locale, Dword flags, const char* source, int32_t sourceLength,
                     char* destination, int32_t capacity);

// kernel32 / user32: threads and the message-aware wait (threads.cpp). A thread
// handle is closed with CloseHandle; TerminateThread cannot stop a running
// thread here and fails for one (it succeeds, doing nothing, for an ended one).
Handle CreateThread(void* security, std::size_t stackSize, ThreadStart start, void* parameter,
                    Dword flags, Dword* threadId);
Dword MsgWaitForMultipleObjects(Dword count, const Handle* handles, Bool waitAll,
                                Dword milliseconds, Dword wakeMask);
Bool CloseHandle(Handle handle);
Bool TerminateThread(Handle thread, Dword exitCode);
// Before the process ends: threads kept idle end at once and none is kept from
// now on; waits up to `milliseconds` for threads still running a routine, and
// for every ended thread's last steps (its thread-local state). True when no
// thread is left.
bool EndKeptThreads(uint32_t milliseconds);

// wininet on libcurl (wininet_curl.cpp): the proxies of the environment
// (preconfigured access, read as curl reads them), none (direct) or the given
// "http=host:port" (for http:// requests only); connections kept and shared by
// every request of the process, HTTP/2 where the TLS handshake offers it (a
// server that breaks it is asked again over HTTP/1.1); the request flags the program sets, the
// caller's header block sent as given, the body streamed through InternetReadFile, raw headers
// (level 22) and the status (level 19, as text or number) of the final response, one process-wide
// cookie store. A failed request or read sets WinINet's error code for the same failure (time-out,
// unknown host, refused or reset connection, each certificate fault). SSL_CERT_FILE, when set,
// names the trusted CA file.
Hinternet InternetOpenA(const char* agent, Dword accessType, const char* proxy,
                        const char* proxyBypass, Dword flags);
Hinternet InternetConnectA(Hinternet internet, const char* server, uint16_t port, const char* user,
                           const char* password, Dword service, Dword flags, uintptr_t context);
Hinternet HttpOpenRequestA(Hinternet connection, const char* verb, const char* object,
                           const char* version, const char* referrer, const char** acceptTypes,
                           Dword flags, uintptr_t context);
Bool HttpSendRequestA(Hinternet request, const char* headers, Dword headersLength, void* optional,
                      Dword optionalLength);
Bool InternetReadFile(Hinternet file, void* buffer, Dword bytesToRead, Dword* bytesRead);
Bool HttpQueryInfoA(Hinternet request, Dword infoLevel, void* buffer, Dword* bufferLength,
                    Dword* index);
Bool InternetCloseHandle(Hinternet handle);
Bool InternetSetCookieA(const char* url, const char* cookieName, const char* cookieData);

// ole32: the in-process automation host needs no per-thread set-up.
int32_t CoInitialize(void* reserved);
void CoUninitialize();

// The calling thread's last error, as GetLastError would give it.
Dword LastError();
void SetLastError(Dword error);

}  // namespace tobrine::posix
