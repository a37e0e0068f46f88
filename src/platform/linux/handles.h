// Kernel-object handles of the stand-in. Every object a HANDLE, HKEY, HDEVINFO or HMODULE names
// lives in one process-wide table; handle values are small multiples of 4 as on Windows, never
// null and never INVALID_HANDLE_VALUE. Objects are shared, so a thread still waiting on an
// event keeps it alive while another thread closes the handle.
#pragma once

#include <memory>

#include "platform/win32.h"

namespace platform {

struct KernelObject {
    virtual ~KernelObject() = default;
    // Registry keys, device-information sets and modules have close functions of their own;
    // CloseHandle refuses them, as Windows does.
    virtual bool ClosedByCloseHandle() const { return true; }
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);
// Removes the handle from the table; false when it named nothing.
bool EraseHandle(HANDLE handle);

template <class T> std::shared_ptr<T> FindHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

} // namespace platform
