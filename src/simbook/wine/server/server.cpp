// simbook_server: the user-mode half of the system-management driver under Wine. A Winelib
// program: Wine's API on one side (the relay driver's control device, the Setup API and the
// registry), simbook's device host on the other (the Linux driver and firmware models, over the
// machine file, with the trace), exactly as the Linux stand-in's device calls use it.
//
// It stays up for the whole Wine session and serves one run after another. At start it claims
// the relay's control device with no interface published and prints "ready" on standard output.
// A run begins with the launcher's BEGIN, which carries the run's SIMBOOK, SIMBOOK_TRACE and the
// variables that locate the default machine: the server takes them over, reads that machine
// afresh (a machine file that cannot be read is reported by simbook, and then no interface is
// published), writes or deletes "DriverVersion" in the driver key of every device node, has the
// relay publish as many interfaces as the machine has, has Wine refuse the Wi-Fi libraries the
// machine hides (Wine's DLL overrides in the registry, which every program reads when it
// starts), and answers with the machine file's path. It then answers the program's opens, I/O
// controls and closes. The launcher's DRAIN ends the run: every handle still open is closed, and
// the drain is answered with what simbook wrote to standard error meanwhile, for the launcher to
// pass on to the run's own standard error. Meanwhile a program's Wi-Fi library may ask for its
// run's step of a fault list (STEP), which the server takes on the run's machine file.
#include <windows.h>
#include <setupapi.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "relay/relay_protocol.h"
#include "server/run_scope.h"
#include "server/run_step.h"
#include "server/wlan_choice.h"
#include "simbook/driver/device_host.h"

namespace {

static_assert(sizeof(WCHAR) == 2, "Wine's wide characters are 16-bit");

constexpr char kControlPath[] = "\\\\.\\SimbookRelay";
constexpr char kServiceName[] = "simbook_relay";
constexpr DWORD kOpenWaitMs = 15000;

struct OpenFile {
    uint64_t handle = 0;
    DWORD lastError = 0; // the client thread's last error as its calls left it
};

void Fail(const char* what, DWORD error) {
    std::fprintf(stderr, "simbook_server: %s (error %lu)\n", what,
                 static_cast<unsigned long>(error));
}

// The NTSTATUS that completes a client's request so that Wine hands the caller `error` as its
// last error. `withData`: a warning status, so the returned bytes still reach the caller.
NTSTATUS StatusFor(DWORD error, bool withData) {
    if (error == 0) {
        return 0;
    }
    const NTSTATUS candidates[] = {
        static_cast<NTSTATUS>((withData ? 0x80070000u : 0xC0070000u) | (error & 0xFFFFu)),
        static_cast<NTSTATUS>(0xC0070000u | (error & 0xFFFFu)),
        static_cast<NTSTATUS>(0xC0010000u | (error & 0xFFFFu)),
    };
    for (NTSTATUS status : candidates) {
        if (error <= 0xFFFF && RtlNtStatusToDosError(status) == error) {
            return status;
        }
    }
    return static_cast<NTSTATUS>(0xC0000001u); // STATUS_UNSUCCESSFUL
}

// "\??\root#system#0000#{...}" as the program names it, "\\?\root#...", as a JSON literal.
std::string TracedPath(const uint8_t* utf16, uint32_t bytes) {
    std::string path;
    for (uint32_t i = 0; i + 1 < bytes; i += 2) {
        unsigned c = utf16[i] | (utf16[i + 1] << 8);
        path += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    if (path.rfind("\\??\\", 0) == 0) {
        path[1] = '\\';
    }
    std::string literal = "\"";
    for (char c : path) {
        if (c == '\\' || c == '"') {
            literal += '\\';
        }
        literal += c;
    }
    return literal + "\"";
}

std::vector<WCHAR> Utf16(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::vector<WCHAR> out(static_cast<size_t>(n) + 1, 0);
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    }
    return out;
}

std::string Utf8(const std::vector<WCHAR>& utf16) {
    if (utf16.empty()) {
        return {};
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr,
                                0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n,
                            nullptr, nullptr);
    }
    return out;
}

// Puts the machine's "DriverVersion" (or its absence) into each device node's driver key.
bool WriteDriverVersion(const simbook::DevicePublication& device) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        Fail("SetupDiCreateDeviceInfoList failed", GetLastError());
        return false;
    }
    bool ok = true;
    for (unsigned i = 0; i < RELAY_MAX_INTERFACES; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "ROOT\\SYSTEM\\%04u", i);
        SP_DEVINFO_DATA node{};
        node.cbSize = sizeof node;
        if (!SetupDiOpenDeviceInfoA(set, id, nullptr, 0, &node)) {
            continue; // fewer nodes than the most: those interfaces never exist
        }
        HKEY key = SetupDiOpenDevRegKey(set, &node, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                        KEY_SET_VALUE | KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE) {
            Fail("the device node has no driver key", GetLastError());
            ok = false;
            continue;
        }
        LSTATUS status = ERROR_SUCCESS;
        if (device.driverVersion) {
            std::vector<WCHAR> text = Utf16(*device.driverVersion);
            status = RegSetValueExW(key, L"DriverVersion", 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(text.data()),
                                    static_cast<DWORD>(text.size() * sizeof(WCHAR)));
        } else {
            status = RegDeleteValueA(key, "DriverVersion");
            if (status == ERROR_FILE_NOT_FOUND) {
                status = ERROR_SUCCESS;
            }
        }
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) {
            Fail("cannot write DriverVersion", static_cast<DWORD>(status));
            ok = false;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// Starts the driver's service. Wine returns from StartService for a PnP kernel driver only
// after the service manager's time-out, though the driver is up at once, so this runs on a
// thread of its own while the main thread waits for the control device.
DWORD WINAPI StartDriver(void*) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = scm ? OpenServiceA(scm, kServiceName, SERVICE_START) : nullptr;
    if (service != nullptr) {
        StartServiceA(service, 0, nullptr);
        CloseServiceHandle(service);
    }
    if (scm != nullptr) {
        CloseServiceHandle(scm);
    }
    return 0;
}

// Opens the relay's control device once the driver is up.
HANDLE OpenControl() {
    HANDLE starter = CreateThread(nullptr, 0, StartDriver, nullptr, 0, nullptr);
    if (starter != nullptr) {
        CloseHandle(starter);
    }
    DWORD started = GetTickCount();
    for (;;) {
        HANDLE h = CreateFileA(kControlPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            return h;
        }
        if (GetTickCount() - started > kOpenWaitMs) {
            Fail("the relay driver's control device does not appear", GetLastError());
            return INVALID_HANDLE_VALUE;
        }
        Sleep(5);
    }
}

// A buffer for the control device's transfers. Wine checks I/O buffers against the memory it
// manages, which the Linux heap of a Winelib program is not, so these come from Wine's heap.
class WineBuffer {
public:
    explicit WineBuffer(size_t size)
        : data_(static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, size))), size_(size) {}
    ~WineBuffer() { HeapFree(GetProcessHeap(), 0, data_); }
    WineBuffer(const WineBuffer&) = delete;
    WineBuffer& operator=(const WineBuffer&) = delete;
    uint8_t* data() const { return data_; }
    size_t size() const { return data_ != nullptr ? size_ : 0; }

private:
    uint8_t* data_;
    size_t size_;
};

// Has Wine refuse a library (the override "disabled", an empty text) or load it as usual (no
// override), in the per-user overrides every program of the prefix reads as it starts. Written
// only when it changes.
bool SetLibraryRefused(const WCHAR* name, bool refused) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr,
                                     0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        Fail("cannot open Wine's DLL overrides", static_cast<DWORD>(status));
        return false;
    }
    DWORD type = 0;
    WCHAR value[8] = {};
    DWORD size = sizeof value;
    bool present = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value),
                                    &size) == ERROR_SUCCESS;
    bool refusedNow = present && type == REG_SZ && value[0] == 0;
    status = ERROR_SUCCESS;
    if (refused && !refusedNow) {
        status =
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(WCHAR));
    } else if (!refused && present) {
        status = RegDeleteValueW(key, name);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        Fail("cannot change Wine's DLL overrides", static_cast<DWORD>(status));
        return false;
    }
    return true;
}

// Has the relay publish the machine's interfaces (none when it has no readable driver); the
// first call also claims the control device for this server.
bool Publish(HANDLE control, const simbook::DevicePublication& device) {
    WineBuffer count(sizeof(uint32_t));
    uint32_t interfaces =
        device.readable && device.present ? static_cast<uint32_t>(device.interfaces) : 0;
    std::memcpy(count.data(), &interfaces, sizeof interfaces);
    DWORD got = 0;
    if (!DeviceIoControl(control, RELAY_IOCTL_SERVE, count.data(), sizeof interfaces, nullptr, 0,
                         &got, nullptr)) {
        Fail("the relay refused to be served", GetLastError());
        return false;
    }
    return true;
}

class Server {
public:
    explicit Server(HANDLE control)
        : control_(control), record_(RELAY_RECORD_ROOM),
          answer_(sizeof(relay_answer) + RELAY_RECORD_ROOM) {}

    // Answers events until the control device fails (the session ends). Returns the exit
    // status.
    int Run() {
        for (;;) {
            DWORD got = 0;
            if (!DeviceIoControl(control_, RELAY_IOCTL_GET, nullptr, 0, record_.data(),
                                 static_cast<DWORD>(record_.size()), &got, nullptr)) {
                Fail("GET failed", GetLastError());
                return 1;
            }
            relay_request request{};
            if (got < sizeof request) {
                Fail("short request record", 0);
                return 1;
            }
            std::memcpy(&request, record_.data(), sizeof request);
            if (request.in_length > got - sizeof request) {
                Fail("request record longer than its transfer", 0);
                return 1;
            }
            const uint8_t* in = record_.data() + sizeof request;
            switch (request.kind) {
            case RELAY_OPEN:
                OnOpen(request, in);
                break;
            case RELAY_CONTROL:
                OnControl(request, in);
                break;
            case RELAY_CLOSE:
                OnClose(request.file);
                break;
            case RELAY_BEGIN:
                OnBegin(request, in);
                break;
            case RELAY_DRAIN:
                OnDrain(request);
                break;
            case RELAY_STEP:
                OnStep(request, in);
                break;
            default:
                Fail("unknown request kind", request.kind);
                return 1;
            }
        }
    }

private:
    bool Put(uint32_t id, NTSTATUS status, const uint8_t* out, uint32_t count) {
        if (sizeof(relay_answer) + count > answer_.size()) {
            count = 0;
            status = static_cast<NTSTATUS>(0xC000009Au); // STATUS_INSUFFICIENT_RESOURCES
        }
        relay_answer header{id, static_cast<uint32_t>(status), count, 0};
        std::memcpy(answer_.data(), &header, sizeof header);
        if (count > 0) {
            std::memcpy(answer_.data() + sizeof header, out, count);
        }
        DWORD got = 0;
        return DeviceIoControl(control_, RELAY_IOCTL_PUT, answer_.data(),
                               static_cast<DWORD>(sizeof header + count), nullptr, 0, &got,
                               nullptr) != FALSE;
    }

    void OnOpen(const relay_request& request, const uint8_t* in) {
        std::string traced = TracedPath(in, request.in_length);
        uint32_t error = 0;
        uint64_t handle = simbook::device::Open(traced, request.share == 0, error);
        if (handle == 0) {
            Put(request.id, StatusFor(error, false), nullptr, 0);
            return;
        }
        if (!Put(request.id, 0, nullptr, 0)) {
            simbook::device::Close(handle); // the caller went before it got the handle
            return;
        }
        files_[request.file] = OpenFile{handle, 0};
    }

    void OnControl(const relay_request& request, const uint8_t* in) {
        auto it = files_.find(request.file);
        simbook::DeviceAnswer answer;
        if (it == files_.end()) {
            answer.error = ERROR_INVALID_HANDLE;
        } else {
            answer = simbook::device::Control(it->second.handle, request.code, in,
                                              request.in_length, request.out_room);
        }
        auto returned = static_cast<uint32_t>(answer.out.size());
        NTSTATUS status = answer.ok ? 0 : StatusFor(answer.error, returned > 0);
        // What the caller sees: Wine passes the bytes back unless the status is an error one.
        bool bytesReach = (static_cast<uint32_t>(status) >> 30) != 3;
        uint32_t seenCount = bytesReach ? returned : 0;
        DWORD seenError = answer.ok ? 0 : RtlNtStatusToDosError(status);
        if (it != files_.end() && !answer.ok) {
            it->second.lastError = seenError;
        }
        DWORD lastError = it != files_.end() ? it->second.lastError : seenError;
        simbook::device::TraceControl(request.code, in, request.in_length, answer.out.data(),
                                      seenCount, answer.ok, lastError);
        Put(request.id, status, answer.out.data(), seenCount);
    }

    // The run's environment from BEGIN's input: "NAME=value" or "NAME" entries, each ending in
    // a null unit. Only the variables the server knows are taken.
    static std::vector<simbook_wine::RunVariable> RunVariables(const uint8_t* in, uint32_t size) {
        std::vector<simbook_wine::RunVariable> variables;
        std::vector<WCHAR> entry;
        for (uint32_t i = 0; i + 1 < size; i += 2) {
            WCHAR c = static_cast<WCHAR>(in[i] | (in[i + 1] << 8));
            if (c != 0) {
                entry.push_back(c);
                continue;
            }
            std::string text = Utf8(entry);
            entry.clear();
            size_t equals = text.find('=');
            std::string name = text.substr(0, equals);
            if (name != "SIMBOOK" && name != "SIMBOOK_TRACE" && name != "XDG_STATE_HOME" &&
                name != "HOME") {
                continue;
            }
            if (equals == std::string::npos) {
                variables.emplace_back(name, std::nullopt);
            } else {
                variables.emplace_back(name, text.substr(equals + 1));
            }
        }
        return variables;
    }

    void OnBegin(const relay_request& request, const uint8_t* in) {
        CloseAll(); // a run that never drained leaves nothing open for this one
        inRun_ = false;
        simbook_wine::EndRun(0);
        simbook_wine::BeginRun(RunVariables(in, request.in_length));
        simbook::DevicePublication device = simbook::PublishedDevice();
        simbook_wine::HiddenLibraries hidden = simbook_wine::HiddenWlanLibraries();
        std::string answer = simbook_wine::RunMachinePath() + "\n";
        // The nodes' "DriverVersion" is the server's alone: rewritten only when it changes.
        if (!versionWritten_ || *versionWritten_ != device.driverVersion) {
            versionWritten_.reset();
            if (WriteDriverVersion(device)) {
                versionWritten_ = device.driverVersion;
            }
        }
        bool published = versionWritten_ && Publish(control_, device) &&
                         SetLibraryRefused(L"wlanapi", hidden.wlanapi) &&
                         SetLibraryRefused(L"wlanui", hidden.wlanui);
        if (!published || answer.size() > request.out_room) {
            Put(request.id, static_cast<NTSTATUS>(0xC0000001u), nullptr, 0);
            return;
        }
        inRun_ = true;
        Put(request.id, 0, reinterpret_cast<const uint8_t*>(answer.data()),
            static_cast<uint32_t>(answer.size()));
    }

    // A program's step of a fault list: the index it takes, or ERROR_IO_DEVICE when the step is
    // not stored (the run's standard error says why), as the Linux store fails it.
    void OnStep(const relay_request& request, const uint8_t* in) {
        std::optional<uint32_t> taken;
        if (!inRun_) {
            // Outside a run no machine file is the program's to step.
            std::fprintf(stderr, "simbook_server: step request refused: no run has begun\n");
        } else if (request.out_room >= sizeof(uint32_t)) {
            taken = simbook_wine::TakeRunStep(in, request.in_length);
        }
        if (!taken) {
            Put(request.id, StatusFor(ERROR_IO_DEVICE, false), nullptr, 0);
            return;
        }
        const uint8_t out[4] = {static_cast<uint8_t>(*taken), static_cast<uint8_t>(*taken >> 8),
                                static_cast<uint8_t>(*taken >> 16),
                                static_cast<uint8_t>(*taken >> 24)};
        Put(request.id, 0, out, sizeof out);
    }

    void OnDrain(const relay_request& request) {
        CloseAll();
        inRun_ = false;
        std::string messages = simbook_wine::EndRun(request.out_room);
        Put(request.id, 0, reinterpret_cast<const uint8_t*>(messages.data()),
            static_cast<uint32_t>(messages.size()));
    }

    void OnClose(uint32_t file) {
        auto it = files_.find(file);
        if (it != files_.end()) {
            simbook::device::Close(it->second.handle);
            files_.erase(it);
        }
    }

    void CloseAll() {
        for (auto& entry : files_) {
            simbook::device::Close(entry.second.handle);
        }
        files_.clear();
    }

    HANDLE control_;
    // The "DriverVersion" the nodes hold (the inner nullopt: none), once written.
    std::optional<std::optional<std::string>> versionWritten_;
    bool inRun_ = false; // between a BEGIN answered with success and the DRAIN
    WineBuffer record_;
    WineBuffer answer_;
    std::map<uint32_t, OpenFile> files_;
};

} // namespace

int main() {
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return 1;
    }
    if (!Publish(control, simbook::DevicePublication{})) {
        CloseHandle(control);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int status = Server(control).Run();
    CloseHandle(control);
    return status;
}
