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

// ole32: the in-process automation host needs no per-thread set-up.
int32_t CoInitialize(void* reserved);
void CoUninitialize();

// The calling thread's last error, as GetLastError would give it.
Dword LastError();
void SetLastError(Dword error);

}  // namespace tobrine::posix
