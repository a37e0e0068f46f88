// Provides: Sleep, CreateEventW, SetEvent, ResetEvent, WaitForSingleObject.
//
// Events are unnamed kernel objects in the handle table, auto-reset or manual-reset. A waiter
// holds its own reference to the event, so closing the handle meanwhile (CloseHandle) does not
// pull the object from under it. INVALID_HANDLE_VALUE is the current process's pseudo-handle: a
// wait on it is a wait for this process to end, so it times out (an INFINITE one never returns),
// as on Windows. Not supported: named events (ERROR_NOT_SUPPORTED), waiting on anything else but
// an event (WAIT_FAILED, ERROR_INVALID_HANDLE), abandoned-wait semantics.
//
// The machine file's `wlan.wait_limit_ms`, when set, caps every finite timeout of
// WaitForSingleObject, so that a test of a service that never answers need not wait out the
// caller's full timeout. INFINITE waits are never capped.
//
// With a trace on, each Sleep and each wait gets a line with the time the caller asked for
// ({"op":"Sleep","ms":100}, {"op":"WaitForSingleObject","ms":15000,"capped_ms":200,
// "result":258}), so that the waits a program's behaviour depends on can be seen and checked.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "handles.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace {

struct Event : platform::KernelObject {
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset = false;
    bool signalled = false;
};

std::shared_ptr<Event> FindEvent(HANDLE handle) {
    return platform::FindHandleAs<Event>(handle);
}

} // namespace

namespace {

void SleepFor(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(24));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD Waited(DWORD requested, DWORD timeout, DWORD result) {
    nlohmann::ordered_json line = {{"op", "WaitForSingleObject"}, {"ms", requested}};
    if (timeout != requested) {
        line["capped_ms"] = timeout;
    }
    line["result"] = result;
    simbook::TraceLine(line);
    return result;
}

} // namespace

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds) {
    simbook::TraceLine({{"op", "Sleep"}, {"ms", dwMilliseconds}});
    SleepFor(dwMilliseconds);
}

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCWSTR lpName) {
    (void)lpEventAttributes; // handles are not inherited by anything here
    if (lpName != nullptr && *lpName != L'\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    try {
        auto event = std::make_shared<Event>();
        event->manualReset = bManualReset != FALSE;
        event->signalled = bInitialState != FALSE;
        HANDLE handle = platform::InsertHandle(std::move(event));
        SetLastError(ERROR_SUCCESS); // a new, unnamed event never "already exists"
        return handle;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = FindEvent(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    // A manual-reset event releases every waiter; of an auto-reset one's waiters, the first to
    // take the lock consumes the signal and the others wait on.
    event->changed.notify_all();
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = FindEvent(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = false;
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto event = FindEvent(hHandle);
    if (!event && hHandle != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    DWORD timeout = dwMilliseconds;
    if (timeout != INFINITE) {
        const simbook::Machine* machine = simbook::CurrentMachine();
        if (machine != nullptr && machine->wlan.waitLimitMs &&
            *machine->wlan.waitLimitMs < timeout) {
            timeout = *machine->wlan.waitLimitMs;
        }
    }
    if (!event) { // the running process never becomes signalled
        SleepFor(timeout);
        return Waited(dwMilliseconds, timeout, WAIT_TIMEOUT);
    }
    {
        std::unique_lock<std::mutex> lock(event->mutex);
        auto ready = [&] { return event->signalled; };
        if (timeout == INFINITE) {
            event->changed.wait(lock, ready);
        } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(timeout), ready)) {
            lock.unlock();
            return Waited(dwMilliseconds, timeout, WAIT_TIMEOUT);
        }
        if (!event->manualReset) {
            event->signalled = false;
        }
    }
    return Waited(dwMilliseconds, timeout, WAIT_OBJECT_0);
}
