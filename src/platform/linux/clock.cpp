// Provides: GetSystemTime, QueryPerformanceCounter.
// Both read the real clock (UTC wall time; a monotonic counter in nanoseconds) unless the
// machine file's `clock` pins them, in which case every call returns the pinned values so that
// runs are reproducible.
#include "platform/win32.h"

#include <ctime>

#include "simbook/machine.h"

extern "C" VOID WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (lpSystemTime == nullptr) {
        return;
    }
    const simbook::Machine* machine = simbook::CurrentMachine();
    if (machine != nullptr && machine->clock.pinned) {
        const simbook::SystemTime& t = machine->clock.systemTime;
        *lpSystemTime = SYSTEMTIME{t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7]};
        return;
    }
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts {};
    gmtime_r(&now.tv_sec, &parts);
    lpSystemTime->wYear = static_cast<WORD>(parts.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(parts.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(parts.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(parts.tm_min);
    lpSystemTime->wSecond = static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

extern "C" BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const simbook::Machine* machine = simbook::CurrentMachine();
    if (machine != nullptr && machine->clock.pinned) {
        lpPerformanceCount->QuadPart = machine->clock.performanceCounter;
        return TRUE;
    }
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    lpPerformanceCount->QuadPart =
        static_cast<LONGLONG>(now.tv_sec) * 1000000000LL + static_cast<LONGLONG>(now.tv_nsec);
    return TRUE;
}
