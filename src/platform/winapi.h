// The signatures of the system functions the program declares and calls through
// the external function table, in fixed-width types. On Windows these are the
// real kernel32 / wininet / ole32 functions; on Linux the loader resolves the same
// names to the stand-ins of platform/posix.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define TOBRINE_WINAPI __attribute__((stdcall))
#else
#define TOBRINE_WINAPI
#endif

namespace tobrine::winapi {

using Bool = int32_t;
using Dword = uint32_t;
using Handle = void*;
using Hinternet = void*;
using WideChar = uint16_t;  // UTF-16 code unit

using ThreadStart = Dword(TOBRINE_WINAPI*)(void* parameter);

using MsgWaitForMultipleObjectsFn = Dword(TOBRINE_WINAPI*)(Dword count, const Handle* handles,
                                                           Bool waitAll, Dword milliseconds,
                                                           Dword wakeMask);
using CloseHandleFn = Bool(TOBRINE_WINAPI*)(Handle handle);
using CreateThreadFn = Handle(TOBRINE_WINAPI*)(void* security, std::size_t stackSize,
                                               ThreadStart start, void* parameter, Dword flags,
                                               Dword* threadId);
using TerminateThreadFn = Bool(TOBRINE_WINAPI*)(Handle thread, Dword exitCode);
using MultiByteToWideCharFn = int32_t(TOBRINE_WINAPI*)(uint32_t codePage, Dword flags,
                                                       const char* source, int32_t sourceLength,
                                                       WideChar* destination, int32_t capacity);
using WideCharToMultiByteFn = int32_t(TOBRINE_WINAPI*)(uint32_t codePage, Dword flags,
                                                       const WideChar* source, int32_t sourceLength,
                                                       char* destination, int32_t capacity,
                                                       const char* defaultChar, Bool* usedDefault);
using LCMapStringAFn = int32_t(TOBRINE_WINAPI*)(Dword locale, Dword flags, const char* source,
                                                int32_t sourceLength, char* destination,
                                                int32_t capacity);
using InternetOpenAFn = Hinternet(TOBRINE_WINAPI*)(const char* agent, Dword accessType,
                                                   const char* proxy, const char* proxyBypass,
                                                   Dword flags);
using InternetConnectAFn = Hinternet(TOBRINE_WINAPI*)(Hinternet internet, const char* server,
                                                      uint16_t port, const char* user,
                                                      const char* password, Dword service,
                                                      Dword flags, uintptr_t context);
using HttpOpenRequestAFn = Hinternet(TOBRINE_WINAPI*)(Hinternet connection, const char* verb,
                                                      const char* object, const char* version,
                                                      const char* referrer,
                                                      const char** acceptTypes, Dword flags,
                                                      uintptr_t context);
using HttpSendRequestAFn = Bool(TOBRINE_WINAPI*)(Hinternet request, const char* headers,
                                                 Dword headersLength, void* optional,
                                                 Dword optionalLength);
using InternetReadFileFn = Bool(TOBRINE_WINAPI*)(Hinternet file, void* buffer, Dword bytesToRead,
                                                 Dword* bytesRead);
using HttpQueryInfoAFn = Bool(TOBRINE_WINAPI*)(Hinternet request, Dword infoLevel, void* buffer,
                                               Dword* bufferLength, Dword* index);
using InternetCloseHandleFn = Bool(TOBRINE_WINAPI*)(Hinternet handle);
using InternetSetCookieAFn = Bool(TOBRINE_WINAPI*)(const char* url, const char* cookieName,
                                                   const char* cookieData);
using CoInitializeFn = int32_t(TOBRINE_WINAPI*)(void* reserved);
using CoUninitializeFn = void(TOBRINE_WINAPI*)();

// The external function table: one row per entry, in index order, and the one
// list the entry indexes, the stored names, the typed calls and the Linux
// loader's exports are generated from.
//   X(index name, library as declared, function, module that exports it)
// An empty library name has the default libraries searched. The function's
// signature is winapi::<function>Fn above.
#define TOBRINE_EXTERNAL_FUNCTIONS(X)                                          \
  X(kExtMsgWaitForMultipleObjects, "", MsgWaitForMultipleObjects, user32)      \
  X(kExtCloseHandle, "kernel32", CloseHandle, kernel32)                        \
  X(kExtCreateThread, "", CreateThread, kernel32)                              \
  X(kExtTerminateThread, "", TerminateThread, kernel32)                        \
  X(kExtMultiByteToWideChar, "", MultiByteToWideChar, kernel32)                \
  X(kExtWideCharToMultiByteDll, "kernel32.dll", WideCharToMultiByte, kernel32) \
  X(kExtWideCharToMultiByte, "kernel32", WideCharToMultiByte, kernel32)        \
  X(kExtLCMapStringA, "kernel32", LCMapStringA, kernel32)                      \
  X(kExtInternetOpenA, "wininet.dll", InternetOpenA, wininet)                  \
  X(kExtInternetConnectA, "wininet.dll", InternetConnectA, wininet)            \
  X(kExtHttpOpenRequestA, "wininet.dll", HttpOpenRequestA, wininet)            \
  X(kExtHttpSendRequestA, "wininet.dll", HttpSendRequestA, wininet)            \
  X(kExtInternetReadFile, "wininet.dll", InternetReadFile, wininet)            \
  X(kExtHttpQueryInfoA, "wininet.dll", HttpQueryInfoA, wininet)                \
  X(kExtInternetCloseHandle, "wininet.dll", InternetCloseHandle, wininet)      \
  X(kExtInternetSetCookieA, "wininet.dll", InternetSetCookieA, wininet)        \
  X(kExtCoInitialize, "ole32.dll", CoInitialize, ole32)                        \
  X(kExtCoUninitialize, "ole32.dll", CoUninitialize, ole32)

// The Windows numbers that code outside platform/win32 needs (the window layer,
// the Linux stand-ins, the tests), defined here only.

// Waits.
inline constexpr Dword kWaitObject0 = 0;
inline constexpr Dword kWaitTimeout = 0x102;
inline constexpr Dword kWaitFailed = 0xFFFFFFFF;
inline constexpr Dword kInfinite = 0xFFFFFFFF;
inline constexpr Dword kQsAllEvents = 0x04BF;

// Window messages.
inline constexpr uint32_t kWmSetFocus = 0x0007;
inline constexpr uint32_t kWmKillFocus = 0x0008;
inline constexpr uint32_t kWmClose = 0x0010;
inline constexpr uint32_t kWmQuit = 0x0012;
inline constexpr uint32_t kWmKeyDown = 0x0100;  // the first key message
inline constexpr uint32_t kWmKeyUp = 0x0101;
inline constexpr uint32_t kWmChar = 0x0102;
inline constexpr uint32_t kWmSysKeyDown = 0x0104;
inline constexpr uint32_t kWmSysKeyUp = 0x0105;  // the last key message
inline constexpr uint32_t kBmClick = 0x00F5;
inline constexpr uint32_t kWmMouseMove = 0x0200;
inline constexpr uint32_t kWmLButtonDown = 0x0201;
inline constexpr uint32_t kWmLButtonUp = 0x0202;
inline constexpr uint32_t kWmLButtonDblClk = 0x0203;
inline constexpr uint32_t kWmRButtonDown = 0x0204;
inline constexpr uint32_t kWmRButtonUp = 0x0205;
inline constexpr uint32_t kWmRButtonDblClk = 0x0206;
inline constexpr uint32_t kWmMButtonDown = 0x0207;
inline constexpr uint32_t kWmMouseWheel = 0x020A;
inline constexpr uint32_t kWmApp = 0x8000;
inline constexpr int32_t kWheelDelta = 120;

// Last-error codes.
inline constexpr Dword kErrorAccessDenied = 5;
inline constexpr Dword kErrorInvalidHandle = 6;
inline constexpr Dword kErrorNotEnoughMemory = 8;
inline constexpr Dword kErrorInvalidParameter = 87;
inline constexpr Dword kErrorInsufficientBuffer = 122;
inline constexpr Dword kErrorInvalidFlags = 1004;
inline constexpr Dword kErrorNoUnicodeTranslation = 1113;
inline constexpr Dword kErrorInternetTimeout = 12002;
inline constexpr Dword kErrorInternetInvalidUrl = 12005;
inline constexpr Dword kErrorInternetNameNotResolved = 12007;
inline constexpr Dword kErrorInternetIncorrectHandleState = 12019;
inline constexpr Dword kErrorInternetCannotConnect = 12029;
inline constexpr Dword kErrorInternetConnectionAborted = 12030;
inline constexpr Dword kErrorInternetConnectionReset = 12031;
inline constexpr Dword kErrorInternetSecCertDateInvalid = 12037;
inline constexpr Dword kErrorInternetSecCertCnInvalid = 12038;
inline constexpr Dword kErrorInternetClientAuthCertNeeded = 12044;
inline constexpr Dword kErrorInternetInvalidCa = 12045;
inline constexpr Dword kErrorInternetSecCertErrors = 12055;
inline constexpr Dword kErrorInternetSecCertNoRev = 12056;
inline constexpr Dword kErrorInternetSecCertRevFailed = 12057;
inline constexpr Dword kErrorHttpHeaderNotFound = 12150;
inline constexpr Dword kErrorHttpInvalidServerResponse = 12152;
inline constexpr Dword kErrorInternetSecurityChannelError = 12157;
inline constexpr Dword kErrorInternetServerUnreachable = 12164;
inline constexpr Dword kErrorInternetProxyServerUnreachable = 12165;
inline constexpr Dword kErrorInternetSecInvalidCert = 12169;
inline constexpr Dword kErrorInternetSecCertRevoked = 12170;

// WinINet.

inline constexpr Dword kInternetOpenTypePreconfig = 0;  // the system's proxy settings
inline constexpr Dword kInternetOpenTypeDirect = 1;
inline constexpr Dword kInternetOpenTypeProxy = 3;
inline constexpr Dword kInternetServiceHttp = 3;
inline constexpr Dword kInternetFlagReload = 0x80000000;
inline constexpr Dword kInternetFlagNeedFile = 0x00000010;
inline constexpr Dword kInternetFlagNoCookies = 0x00080000;
inline constexpr Dword kInternetFlagNoAutoRedirect = 0x00200000;
inline constexpr Dword kInternetFlagSecure = 0x00800000;
inline constexpr Dword kInternetFlagIgnoreRedirectToHttps = 0x00004000;
inline constexpr Dword kInternetFlagNoCacheWrite = 0x04000000;
inline constexpr Dword kHttpQueryRawHeadersCrlf = 22;
inline constexpr Dword kHttpQueryStatusCode = 19;
inline constexpr Dword kHttpQueryFlagNumber = 0x20000000;

// Code pages and the simplified-Chinese mapping.
inline constexpr Dword kLocaleZhCn = 0x0804;
inline constexpr Dword kLcmapSimplifiedChinese = 0x02000000;

}  // namespace tobrine::winapi
