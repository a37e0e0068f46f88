// The one platform header that product code includes.
//
// On Windows it brings in the SDK headers (Setup API, registry, kernel32, ole32 and the Native
// Wi-Fi declarations) and adds the few declarations MinGW-w64's headers lack. Elsewhere it
// declares the Win32 subset the programs use, with Windows names, types and record layouts;
// the Linux stand-in in src/platform/linux implements it over simbook, the simulated notebook.
//
// The contract, entry by entry (every function behaves as the Windows documentation says for
// the cases the programs meet, last-error codes included):
//   Setup API     SetupDiGetClassDevsW, SetupDiEnumDeviceInterfaces,
//                 SetupDiGetDeviceInterfaceDetailW (two-call size negotiation),
//                 SetupDiOpenDevRegKey, SetupDiDestroyDeviceInfoList
//   registry      RegQueryValueExW, RegCloseKey
//   kernel32      CreateFileW (share mode 0 is exclusive), DeviceIoControl (METHOD_BUFFERED),
//                 CloseHandle (INVALID_HANDLE_VALUE is the current-process pseudo-handle),
//                 GetProcessHeap, HeapAlloc (HEAP_ZERO_MEMORY), HeapFree,
//                 GetLastError, SetLastError (per thread), Sleep, CreateEventW, SetEvent,
//                 WaitForSingleObject, LoadLibraryW, GetProcAddress, FreeLibrary,
//                 MultiByteToWideChar, GetSystemTime, QueryPerformanceCounter, RaiseException
//   ole32         IIDFromString (braced 38-character form, Windows' partial results)
//   wlanapi       the twenty Native Wi-Fi entry points, reached only through
//                 LoadLibraryW/GetProcAddress ("WlanApi.dll", "WlanUi.dll"); declared here so
//                 that their types can be named, never linked
//   ConsolePrintW the platform layer's formatted wide print (not a Win32 function): formats with
//                 vswprintf ("%ls" for wide strings) and writes the text to standard output,
//                 with WriteConsoleW on a real Windows console and as UTF-8 bytes everywhere
//                 else, without newline translation. The only writer of standard output.
//
// On Linux the declarations are kept by area under platform/win32/: types.h (types, records,
// error codes), kernel.h (kernel32 and ole32), setupapi.h (Setup API and registry) and wlan.h
// (Native Wi-Fi, partly shared with Windows). Product code includes only this header.
#pragma once

// The declarations keep the SDK's own layout (typedef lists, aligned macros).
// clang-format off

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>
#include <wlanapi.h>

#include "windows/win32_extra.h"

#else // the Linux stand-in, by area

#include "platform/win32/types.h"
#include "platform/win32/kernel.h"
#include "platform/win32/setupapi.h"

#endif

#include "platform/win32/wlan.h"

// The platform layer's formatted wide print, both builds (see the contract above). Returns the
// number of wide characters written, or -1 when formatting or writing failed.
int ConsolePrintW(const wchar_t* format, ...);
// clang-format on
