// Provides, for unit tests of the product's libraries on Linux: GetSystemTime,
// QueryPerformanceCounter, RaiseException, GetLastError and SetLastError, with no simulated
// notebook behind them. The clock is the real one; RaiseException ends the process with a
// failure status, as an unhandled exception ends a Windows process. Tests that need the
// stand-in's pinned clock or devices link the stand-in instead.
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
} // namespace

extern "C" DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

extern "C" VOID WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

extern "C" VOID WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts {};
    gmtime_r(&now.tv_sec, &parts);
    *lpSystemTime = SYSTEMTIME{static_cast<WORD>(parts.tm_year + 1900),
                               static_cast<WORD>(parts.tm_mon + 1),
                               static_cast<WORD>(parts.tm_wday),
                               static_cast<WORD>(parts.tm_mday),
                               static_cast<WORD>(parts.tm_hour),
                               static_cast<WORD>(parts.tm_min),
                               static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec),
                               static_cast<WORD>(now.tv_nsec / 1000000)};
}

extern "C" BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    lpPerformanceCount->QuadPart =
        static_cast<LONGLONG>(now.tv_sec) * 1000000000LL + static_cast<LONGLONG>(now.tv_nsec);
    return TRUE;
}

extern "C" VOID WINAPI RaiseException(DWORD dwExceptionCode, DWORD, DWORD, const ULONG_PTR*) {
    std::fprintf(stderr, "unhandled exception 0x%08X: process ended\n",
                 static_cast<unsigned>(dwExceptionCode));
    _exit(EXIT_FAILURE);
}
