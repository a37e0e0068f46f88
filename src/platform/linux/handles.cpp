// Provides: CloseHandle, GetLastError, SetLastError, and the handle table of handles.h.
// CloseHandle closes devices and events; registry keys, device-information sets and modules have
// their own close functions, and CloseHandle refuses them with ERROR_INVALID_HANDLE.
// INVALID_HANDLE_VALUE is the value of the current process's pseudo-handle: closing it succeeds,
// does nothing and leaves the last error alone, as on Windows, so a cleanup path that closes a
// failed CreateFileW result keeps the error its caller reports.
#include "handles.h"

#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

std::mutex g_mutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> g_table;
uintptr_t g_next = 0x100;

} // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(g_mutex);
    uintptr_t value = g_next;
    g_next += 4;
    g_table.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    return it == g_table.end() ? nullptr : it->second;
}

bool EraseHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> doomed; // destroyed outside the lock
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_table.end()) {
        return false;
    }
    doomed = std::move(it->second);
    g_table.erase(it);
    return true;
}

} // namespace platform

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

extern "C" VOID WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == INVALID_HANDLE_VALUE) {
        return TRUE;
    }
    auto object = platform::FindHandle(hObject);
    if (!object || !object->ClosedByCloseHandle() || !platform::EraseHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
