// The device host: one driver model per process and machine (as a kernel driver is one per
// system), a table of open handles with their machine-file locks, and the trace lines of opens,
// refusals, closes and I/O controls.
#include "simbook/driver/device_host.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "simbook/bytes.h"
#include "simbook/driver/driver.h"
#include "simbook/driver/store.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace simbook {
namespace {

struct Handle {
    uint64_t number = 0;
    std::shared_ptr<Driver> driver;
    MachineLock lock;
};

std::mutex g_mutex;
const Machine* g_driverMachine = nullptr;
std::shared_ptr<Driver> g_driver;
std::map<uint64_t, std::shared_ptr<Handle>> g_handles;
std::atomic<uint64_t> g_nextHandle{1};

std::shared_ptr<Driver> DriverFor(const Machine& machine) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_driverMachine != &machine || !g_driver) {
        g_driver = std::make_shared<Driver>(machine);
        g_driverMachine = &machine;
    }
    return g_driver;
}

// `path` is already a JSON string literal (see device::Open); it goes into the line as the
// value it spells.
void TraceOpen(const char* op, const std::string& path, uint32_t error, uint64_t handle) {
    if (!TraceEnabled()) {
        return;
    }
    nlohmann::ordered_json line = {{"op", op}};
    line["path"] = nlohmann::ordered_json::parse(path, nullptr, false);
    if (line["path"].is_discarded()) {
        line["path"] = path;
    }
    if (handle != 0) {
        line["handle"] = handle;
    }
    line["last_error"] = error;
    TraceLine(line);
}

} // namespace

DevicePublication PublishedDevice() {
    DevicePublication p;
    const Machine* machine = CurrentMachine();
    if (machine == nullptr) {
        return p;
    }
    p.readable = true;
    p.present = machine->driver.present;
    p.interfaces = machine->driver.present ? machine->driver.interfaces : 0;
    p.driverVersion = machine->driver.driverVersion;
    p.machinePath = machine->path;
    return p;
}

namespace device {

uint64_t Open(const std::string& tracedPath, bool exclusive, uint32_t& error) {
    const Machine* machine = CurrentMachine();
    if (machine == nullptr || !machine->driver.present) {
        error = win32::kFileNotFound;
        TraceOpen("refused", tracedPath, error, 0);
        return 0;
    }
    if (machine->driver.heldByOtherProgram) {
        // Another program keeps the device open exclusively: whatever share mode this open
        // asks for, it conflicts, as it does on Windows.
        error = win32::kSharingViolation;
        TraceOpen("refused", tracedPath, error, 0);
        return 0;
    }
    auto handle = std::make_shared<Handle>();
    error = win32::kSuccess;
    if (!handle->lock.Acquire(machine->path, exclusive, error)) {
        TraceOpen("refused", tracedPath, error, 0);
        return 0;
    }
    handle->number = g_nextHandle.fetch_add(1);
    handle->driver = DriverFor(*machine);
    handle->driver->Opened(handle->number, machine->path, &handle->lock);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_handles[handle->number] = handle;
    }
    TraceOpen("open", tracedPath, win32::kSuccess, handle->number);
    return handle->number;
}

DeviceAnswer Control(uint64_t number, uint32_t code, const uint8_t* in, uint32_t inSize,
                     uint32_t outRoom) {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_handles.find(number);
        if (it != g_handles.end()) {
            handle = it->second;
        }
    }
    DeviceAnswer answer;
    if (!handle) {
        answer.error = win32::kInvalidHandle;
        return answer;
    }
    std::vector<uint8_t> input(in, in + inSize); // the driver never works on the caller's memory
    answer.out.assign(outRoom, 0);
    IoResult result = handle->driver->Control(handle->number, &handle->lock, code, input.data(),
                                              inSize, answer.out.data(), outRoom);
    answer.out.resize(result.returned);
    answer.ok = result.ok;
    answer.error = result.ok ? win32::kSuccess : result.error;
    return answer;
}

void Close(uint64_t number) {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_handles.find(number);
        if (it == g_handles.end()) {
            return;
        }
        handle = it->second;
        g_handles.erase(it);
    }
    handle->driver->Closed(handle->number);
    TraceLine({{"op", "close"}, {"handle", handle->number}});
}

void TraceRefused(const std::string& tracedPath, uint32_t error) {
    TraceOpen("refused", tracedPath, error, 0);
}

void TraceControl(uint32_t code, const uint8_t* in, uint32_t inSize, const uint8_t* out,
                  uint32_t returned, bool ok, uint32_t lastError) {
    if (!TraceEnabled()) {
        return;
    }
    TraceLine({{"op", "DeviceIoControl"},
               {"code", code},
               {"in", in != nullptr ? HexText(in, inSize) : ""},
               {"out", returned > 0 ? HexText(out, returned) : ""},
               {"result", ok},
               {"last_error", lastError}});
}

} // namespace device
} // namespace simbook
