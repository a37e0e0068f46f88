// conformance_probe: calls every function of the platform layer the programs use with a fixed
// set of inputs and prints one line per case: "<case id>: <what the caller saw>" (results, last
// errors, the bytes or wide units written into output buffers, byte counts).
//
// The same source is built against the Linux stand-in (default preset) and for Windows (windows
// preset, run under Wine); scripts/conformance runs both and compares the lines case by case
// against tests/conformance/differences.txt, the list of differences we keep on purpose.
//
// Only deterministic behaviour is printed: handle values, addresses and times are reduced to
// what a program may rely on (valid or not, equal or not, in range or not). Calls that would
// fault on Windows (null output pointers the documentation requires) are not made. The Linux
// run sees the machine in tests/conformance/machine.json, which matches what Wine offers: no
// device of the driver's class, a Wi-Fi service with no interfaces.
#include "platform/win32.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <initializer_list>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kUntouched = 0xDEADBEEF; // the last error before every call
constexpr WCHAR kFill = static_cast<WCHAR>(0xABCD);
constexpr UINT kCp1252 = 1252;

int g_cases = 0;

void Line(const std::string& id, const std::string& text) {
    std::printf("%s: %s\n", id.c_str(), text.c_str());
    ++g_cases;
}

std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string Hex(const void* data, size_t size) {
    std::string out;
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        out += Format("%02x", p[i]);
    }
    return out;
}

// The last error as a caller sees it: "-" when the call left it alone.
std::string Error() {
    DWORD e = GetLastError();
    return e == kUntouched ? std::string("-") : std::to_string(e);
}

void Arm() {
    SetLastError(kUntouched);
}

std::string Bool(BOOL b) {
    return b ? "TRUE" : "FALSE";
}

std::string HandleKind(HANDLE h) {
    if (h == nullptr) {
        return "null";
    }
    return h == INVALID_HANDLE_VALUE ? "invalid" : "handle";
}

std::string Wait(DWORD w) {
    switch (w) {
    case WAIT_OBJECT_0:
        return "object0";
    case WAIT_TIMEOUT:
        return "timeout";
    case WAIT_FAILED:
        return "failed";
    default:
        return Format("%lu", static_cast<unsigned long>(w));
    }
}

// A result and the last error it left, read in that order.
std::string B(BOOL result) {
    std::string error = Error();
    return Bool(result) + "/" + error;
}

std::string W(DWORD result) {
    std::string error = Error();
    return Wait(result) + "/" + error;
}

// Wide units written into a buffer pre-filled with kFill, up to the last one written.
std::string Units(const WCHAR* buffer, size_t size) {
    size_t end = size;
    while (end > 0 && buffer[end - 1] == kFill) {
        --end;
    }
    std::string out = "[";
    for (size_t i = 0; i < end; ++i) {
        out += Format(i == 0 ? "%04lx" : " %04lx", static_cast<unsigned long>(buffer[i]));
    }
    return out + "]";
}

// ---- last error, heap, time, sleep -------------------------------------------------------

void ProbeLastError() {
    for (DWORD v : {0u, 1u, 87u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SetLastError(v);
        Line(Format("LastError.roundtrip.%08lx", static_cast<unsigned long>(v)),
             std::to_string(GetLastError()));
    }
    // A new thread starts with no error of its own. (The creating thread's own value is not
    // compared: the C++ runtime's thread calls may change it.)
    SetLastError(1234);
    DWORD seen = 1;
    std::thread other([&] { seen = GetLastError(); });
    other.join();
    Line("LastError.new_thread", std::to_string(seen));
}

void ProbeHeap() {
    HANDLE heap = GetProcessHeap();
    Line("Heap.process", HandleKind(heap) + (heap == GetProcessHeap() ? " same" : " differs"));
    for (SIZE_T size : {0u, 1u, 7u, 16u, 4168u, 65536u, 1u << 20}) {
        Arm();
        auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size));
        std::string text = block == nullptr ? "null" : "block";
        bool zero = true;
        for (SIZE_T i = 0; block != nullptr && i < size; ++i) {
            zero = zero && block[i] == 0;
        }
        text += zero ? " zeroed" : " dirty";
        text += " err=" + Error();
        if (block != nullptr) {
            std::memset(block, 0xA5, size);
        }
        Arm();
        BOOL freed = HeapFree(heap, 0, block);
        Line(Format("Heap.zeroed.%lu", static_cast<unsigned long>(size)),
             text + " free=" + Bool(freed) + " err=" + Error());
    }
    Arm();
    void* a = HeapAlloc(heap, 0, 0);
    void* b = HeapAlloc(heap, 0, 0);
    std::string text = std::string(a != nullptr && b != nullptr ? "two" : "missing") +
                       (a != b ? " distinct" : " same") + " err=" + Error();
    HeapFree(heap, 0, a);
    HeapFree(heap, 0, b);
    Line("Heap.empty_blocks", text);
    Arm();
    BOOL freed = HeapFree(heap, 0, nullptr);
    Line("Heap.free_null", Bool(freed) + " err=" + Error());
}

int DayOfWeek(int y, int m, int d) { // Sakamoto's method, 0 = Sunday
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) {
        y -= 1;
    }
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

void ProbeTime() {
    SYSTEMTIME st;
    std::memset(&st, 0xFF, sizeof st);
    Arm();
    GetSystemTime(&st);
    bool valid = st.wYear >= 2020 && st.wYear < 3000 && st.wMonth >= 1 && st.wMonth <= 12 &&
                 st.wDay >= 1 && st.wDay <= 31 && st.wHour < 24 && st.wMinute < 60 &&
                 st.wSecond < 60 && st.wMilliseconds < 1000 &&
                 st.wDayOfWeek == DayOfWeek(st.wYear, st.wMonth, st.wDay);
    Line("Time.system", std::string(valid ? "valid" : "invalid") + " err=" + Error());

    LARGE_INTEGER first, second;
    Arm();
    BOOL r1 = QueryPerformanceCounter(&first);
    BOOL r2 = QueryPerformanceCounter(&second);
    Line("Time.counter", Bool(r1) + " " + Bool(r2) +
                             (second.QuadPart >= first.QuadPart ? " rising" : " falling") +
                             " err=" + Error());

    for (DWORD ms : {0u, 1u, 5u}) {
        Arm();
        Sleep(ms);
        Line(Format("Sleep.%lu", static_cast<unsigned long>(ms)), "err=" + Error());
    }
}

// ---- events, waits and handles -------------------------------------------------------------

void ProbeEvents() {
    for (BOOL manual : {FALSE, TRUE}) {
        for (BOOL initial : {FALSE, TRUE}) {
            std::string id = Format("Event.%s.%s", manual ? "manual" : "auto",
                                    initial ? "signalled" : "unsignalled");
            Arm();
            HANDLE e = CreateEventW(nullptr, manual, initial, nullptr);
            std::string text = "create=" + HandleKind(e) + " err=" + Error();
            // Three waits, then set, wait twice, reset, wait.
            for (int i = 0; i < 2; ++i) {
                Arm();
                text += " wait=" + W(WaitForSingleObject(e, 0));
            }
            Arm();
            text += " set=" + B(SetEvent(e));
            Arm();
            text += " set=" + B(SetEvent(e));
            for (int i = 0; i < 2; ++i) {
                Arm();
                text += " wait=" + W(WaitForSingleObject(e, 10));
            }
            SetEvent(e);
            Arm();
            text += " reset=" + B(ResetEvent(e));
            Arm();
            text += " wait=" + W(WaitForSingleObject(e, 0));
            Arm();
            text += " close=" + B(CloseHandle(e));
            Line(id, text);
        }
    }

    // A wait on an event that another thread sets.
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([e] {
        Sleep(20);
        SetEvent(e);
    });
    Arm();
    DWORD waited = WaitForSingleObject(e, INFINITE);
    setter.join();
    Line("Event.set_by_other_thread", Wait(waited) + " err=" + Error());
    CloseHandle(e);

    Arm();
    HANDLE unnamed = CreateEventW(nullptr, TRUE, FALSE, L"");
    Line("Event.empty_name", HandleKind(unnamed) + " err=" + Error());
    if (unnamed != nullptr) {
        CloseHandle(unnamed);
    }
    Arm();
    HANDLE named = CreateEventW(nullptr, TRUE, FALSE, L"ConformanceProbeEvent");
    Line("Event.named", HandleKind(named) + " err=" + Error());
    if (named != nullptr) {
        CloseHandle(named);
    }

    // Handles that name no event: null, a closed event, the current process's pseudo-handle
    // (INVALID_HANDLE_VALUE is the value of GetCurrentProcess()).
    HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    struct Target {
        const char* name;
        HANDLE handle;
    };
    const Target targets[] = {
        {"null", nullptr}, {"closed", closed}, {"pseudo_process", INVALID_HANDLE_VALUE}};
    for (const Target& t : targets) {
        std::string text;
        Arm();
        text += "set=" + B(SetEvent(t.handle));
        Arm();
        text += " reset=" + B(ResetEvent(t.handle));
        Arm();
        text += " wait0=" + W(WaitForSingleObject(t.handle, 0));
        Arm();
        text += " wait10=" + W(WaitForSingleObject(t.handle, 10));
        Line(std::string("Handle.") + t.name + ".event_calls", text);
    }
    for (const Target& t : targets) {
        Arm();
        BOOL closedOk = CloseHandle(t.handle);
        std::string text = Bool(closedOk) + " err=" + Error();
        Arm();
        closedOk = CloseHandle(t.handle);
        Line(std::string("Handle.") + t.name + ".close_twice",
             text + " again=" + Bool(closedOk) + " err=" + Error());
    }
    // A failed CreateFileW's result closed by a cleanup path: the error stays the caller's.
    Arm();
    HANDLE device = CreateFileW(L"\\\\.\\ConformanceProbeNoDevice", GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD openError = GetLastError();
    BOOL closedOk = CloseHandle(device);
    Line("Handle.close_failed_open", HandleKind(device) + " open_err=" + std::to_string(openError) +
                                         " close=" + Bool(closedOk) +
                                         " err_after=" + std::to_string(GetLastError()));
}

// ---- devices ---------------------------------------------------------------------------------

void ProbeDevices() {
    struct Path {
        const char* name;
        const wchar_t* path;
    };
    const Path paths[] = {
        {"null", nullptr},
        {"empty", L""},
        {"driver0", L"\\\\?\\ROOT#SYSTEM#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}"},
        {"driver0_upper", L"\\\\?\\ROOT#SYSTEM#0000#{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}"},
        {"driver1", L"\\\\?\\ROOT#SYSTEM#0001#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}"},
        {"dos_device", L"\\\\.\\ConformanceProbeNoDevice"},
    };
    struct Mode {
        const char* name;
        DWORD access;
        DWORD share;
    };
    const Mode modes[] = {{"rw_exclusive", GENERIC_READ | GENERIC_WRITE, 0},
                          {"read_shared", GENERIC_READ, 1 /* FILE_SHARE_READ */}};
    for (const Path& p : paths) {
        for (const Mode& m : modes) {
            Arm();
            HANDLE h = CreateFileW(p.path, m.access, m.share, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            Line(std::string("CreateFileW.") + p.name + "." + m.name,
                 HandleKind(h) + " err=" + Error());
            if (h != INVALID_HANDLE_VALUE && h != nullptr) {
                CloseHandle(h);
            }
        }
    }

    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Target {
        const char* name;
        HANDLE handle;
    };
    const Target targets[] = {{"null", nullptr},
                              {"invalid_value", INVALID_HANDLE_VALUE},
                              {"closed", closed},
                              {"event", event}};
    const DWORD code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    for (const Target& t : targets) {
        unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        unsigned char out[16];
        std::memset(out, 0x5A, sizeof out);
        DWORD returned = 0x55555555;
        Arm();
        BOOL ok =
            DeviceIoControl(t.handle, code, in, sizeof in, out, sizeof out, &returned, nullptr);
        Line(std::string("DeviceIoControl.") + t.name,
             Bool(ok) + " err=" + Error() + " out=" + Hex(out, sizeof out));
    }
    CloseHandle(event);
}

// ---- Setup API and registry ----------------------------------------------------------------

const GUID kDriverClass = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
const GUID kOtherClass = {
    0x3c0d501a, 0x140b, 0x11d1, {0xb4, 0x0f, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x77}};

void ProbeSetupApi() {
    struct Query {
        const char* name;
        const GUID* guid;
        DWORD flags;
    };
    const Query queries[] = {
        {"driver_interfaces", &kDriverClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE},
        {"driver_interfaces_all", &kDriverClass, DIGCF_DEVICEINTERFACE},
        {"driver_setup_class", &kDriverClass, DIGCF_PRESENT},
        {"other_interfaces", &kOtherClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE},
        {"no_class", nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE},
    };
    for (const Query& q : queries) {
        Arm();
        HDEVINFO set = SetupDiGetClassDevsW(q.guid, nullptr, nullptr, q.flags);
        std::string text = "set=" + HandleKind(set) + "/" + Error();
        if (set != INVALID_HANDLE_VALUE) {
            for (DWORD index : {0u, 1u}) {
                SP_DEVICE_INTERFACE_DATA data;
                std::memset(&data, 0, sizeof data);
                data.cbSize = sizeof data;
                Arm();
                BOOL ok = SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, index, &data);
                text += Format(" enum%lu=", static_cast<unsigned long>(index)) + Bool(ok) + "/" +
                        Error();
            }
            Arm();
            text += " destroy=" + B(SetupDiDestroyDeviceInfoList(set));
        }
        Line(std::string("SetupDiGetClassDevsW.") + q.name, text);
    }

    HDEVINFO set = SetupDiGetClassDevsW(&kDriverClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    // Enumeration with records of the wrong size, or without a class.
    for (DWORD size :
         std::initializer_list<DWORD>{0u, static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DATA) - 1),
                                      static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DATA) + 1)}) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = size;
        Arm();
        BOOL ok = SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 0, &data);
        Line(Format("SetupDiEnumDeviceInterfaces.cbsize_%lu", static_cast<unsigned long>(size)),
             Bool(ok) + " err=" + Error());
    }
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    Arm();
    BOOL ok = SetupDiEnumDeviceInterfaces(set, nullptr, nullptr, 0, &data);
    Line("SetupDiEnumDeviceInterfaces.no_class", Bool(ok) + " err=" + Error());
    Arm();
    ok = SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 0, nullptr);
    Line("SetupDiEnumDeviceInterfaces.no_record", Bool(ok) + " err=" + Error());
    for (HDEVINFO bad :
         {static_cast<HDEVINFO>(nullptr), static_cast<HDEVINFO>(INVALID_HANDLE_VALUE)}) {
        std::string name = bad == nullptr ? "null" : "invalid_value";
        Arm();
        ok = SetupDiEnumDeviceInterfaces(bad, nullptr, &kDriverClass, 0, &data);
        Line("SetupDiEnumDeviceInterfaces.set_" + name, Bool(ok) + " err=" + Error());
        DWORD required = 0x55555555;
        Arm();
        ok = SetupDiGetDeviceInterfaceDetailW(bad, &data, nullptr, 0, &required, nullptr);
        Line("SetupDiGetDeviceInterfaceDetailW.set_" + name,
             Bool(ok) + " err=" + Error() +
                 Format(" required=%08lx", static_cast<unsigned long>(required)));
        SP_DEVINFO_DATA info;
        std::memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        Arm();
        HKEY key = SetupDiOpenDevRegKey(bad, &info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        Line("SetupDiOpenDevRegKey.set_" + name,
             HandleKind(reinterpret_cast<HANDLE>(key)) + " err=" + Error());
        Arm();
        ok = SetupDiDestroyDeviceInfoList(bad);
        Line("SetupDiDestroyDeviceInfoList.set_" + name, Bool(ok) + " err=" + Error());
    }
    // An interface record that enumeration never filled in.
    DWORD required = 0x55555555;
    Arm();
    ok = SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    Line("SetupDiGetDeviceInterfaceDetailW.unfilled_record",
         Bool(ok) + " err=" + Error() +
             Format(" required=%08lx", static_cast<unsigned long>(required)));
    Arm();
    ok = SetupDiGetDeviceInterfaceDetailW(set, nullptr, nullptr, 0, &required, nullptr);
    Line("SetupDiGetDeviceInterfaceDetailW.no_record", Bool(ok) + " err=" + Error());
    // A device record that enumeration never filled in, for each scope and key type.
    for (DWORD scope :
         std::initializer_list<DWORD>{DICS_FLAG_GLOBAL, DICS_FLAG_CONFIGSPECIFIC, 4u}) {
        for (DWORD type : std::initializer_list<DWORD>{DIREG_DEV, DIREG_DRV, 4u}) {
            SP_DEVINFO_DATA info;
            std::memset(&info, 0, sizeof info);
            info.cbSize = sizeof info;
            Arm();
            HKEY key = SetupDiOpenDevRegKey(set, &info, scope, 0, type, KEY_READ);
            Line(Format("SetupDiOpenDevRegKey.unfilled.scope%lu.type%lu",
                        static_cast<unsigned long>(scope), static_cast<unsigned long>(type)),
                 HandleKind(reinterpret_cast<HANDLE>(key)) + " err=" + Error());
        }
    }
    Arm();
    HKEY key = SetupDiOpenDevRegKey(set, nullptr, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    Line("SetupDiOpenDevRegKey.no_record",
         HandleKind(reinterpret_cast<HANDLE>(key)) + " err=" + Error());
    Arm();
    ok = SetupDiDestroyDeviceInfoList(set);
    Line("SetupDiDestroyDeviceInfoList.once", Bool(ok) + " err=" + Error());

    // The registry calls on a key that is not one.
    BYTE buffer[16];
    DWORD size = sizeof buffer;
    DWORD type = 0x55555555;
    Arm();
    LSTATUS status = RegQueryValueExW(nullptr, L"DriverVersion", nullptr, &type, buffer, &size);
    Line("RegQueryValueExW.null_key",
         Format("%ld size=%lu", static_cast<long>(status), static_cast<unsigned long>(size)) +
             " err=" + Error());
    Arm();
    status = RegCloseKey(nullptr);
    Line("RegCloseKey.null_key", Format("%ld", static_cast<long>(status)) + " err=" + Error());
}

// ---- libraries -------------------------------------------------------------------------------

void ProbeLibraries() {
    Arm();
    HMODULE none = LoadLibraryW(L"ConformanceProbeNoSuchLibrary.dll");
    Line("LoadLibraryW.unknown", HandleKind(none) + " err=" + Error());

    const wchar_t* const spellings[] = {L"WlanApi.dll", L"wlanapi.dll", L"WLANAPI.DLL", L"wlanapi"};
    HMODULE first = nullptr;
    for (size_t i = 0; i < std::size(spellings); ++i) {
        Arm();
        HMODULE m = LoadLibraryW(spellings[i]);
        if (i == 0) {
            first = m;
        }
        Line(Format("LoadLibraryW.wlanapi.spelling%lu", static_cast<unsigned long>(i)),
             HandleKind(m) + (m == first ? " same" : " other") + " err=" + Error());
    }
    const char* const entries[] = {"WlanOpenHandle",
                                   "WlanCloseHandle",
                                   "WlanFreeMemory",
                                   "WlanEnumInterfaces",
                                   "WlanConnect",
                                   "WlanDisconnect",
                                   "WlanGetAvailableNetworkList",
                                   "WlanGetNetworkBssList",
                                   "WlanQueryInterface",
                                   "WlanSetInterface",
                                   "WlanScan",
                                   "WlanGetProfile",
                                   "WlanGetProfileList",
                                   "WlanSetProfile",
                                   "WlanDeleteProfile",
                                   "WlanRegisterNotification",
                                   "WlanHostedNetworkQueryStatus",
                                   "WlanGetInterfaceCapability",
                                   "WlanSaveTemporaryProfile",
                                   "WlanAllocateMemory",
                                   "wlanopenhandle",
                                   "ConformanceProbeNoSuchEntry",
                                   ""};
    for (const char* name : entries) {
        Arm();
        FARPROC p = GetProcAddress(first, name);
        Line(std::string("GetProcAddress.wlanapi.") + (*name != '\0' ? name : "empty_name"),
             std::string(p != nullptr ? "found" : "null") + " err=" + Error());
    }
    Arm();
    FARPROC p = GetProcAddress(nullptr, "WlanOpenHandle");
    Line("GetProcAddress.null_module",
         std::string(p != nullptr ? "found" : "null") + " err=" + Error());
    Arm();
    p = GetProcAddress(first, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(60000)));
    Line("GetProcAddress.wlanapi.unused_ordinal",
         std::string(p != nullptr ? "found" : "null") + " err=" + Error());

    HMODULE ui = LoadLibraryW(L"WlanUi.dll");
    Line("LoadLibraryW.wlanui", HandleKind(ui) + " err=" + Error());
    if (ui != nullptr) {
        Arm();
        p = GetProcAddress(ui, "WlanUIEditProfile");
        Line("GetProcAddress.wlanui.WlanUIEditProfile",
             std::string(p != nullptr ? "found" : "null") + " err=" + Error());
        Arm();
        p = GetProcAddress(ui, "WlanOpenHandle");
        Line("GetProcAddress.wlanui.WlanOpenHandle",
             std::string(p != nullptr ? "found" : "null") + " err=" + Error());
        Arm();
        BOOL freed = FreeLibrary(ui);
        Line("FreeLibrary.wlanui", Bool(freed) + " err=" + Error());
    }
    // One reference a successful load: four loads, four frees.
    for (size_t i = 0; i < std::size(spellings); ++i) {
        Arm();
        BOOL freed = FreeLibrary(first);
        Line(Format("FreeLibrary.wlanapi.reference%lu", static_cast<unsigned long>(i)),
             Bool(freed) + " err=" + Error());
    }
    Arm();
    BOOL freed = FreeLibrary(nullptr);
    Line("FreeLibrary.null", Bool(freed) + " err=" + Error());
}

// ---- the Wi-Fi service's argument checks --------------------------------------------------------

template <class F> F Entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// What every caller of "WlanApi.dll" meets before any interface is involved: version
// negotiation, null and reserved arguments, handles that name no client, an empty service.
void ProbeWlan() {
    HMODULE api = LoadLibraryW(L"WlanApi.dll");
    if (api == nullptr) {
        Line("Wlan.library", "missing");
        return;
    }
    auto open = Entry<decltype(&::WlanOpenHandle)>(api, "WlanOpenHandle");
    auto close = Entry<decltype(&::WlanCloseHandle)>(api, "WlanCloseHandle");
    auto enumerate = Entry<decltype(&::WlanEnumInterfaces)>(api, "WlanEnumInterfaces");
    auto freeMemory = Entry<decltype(&::WlanFreeMemory)>(api, "WlanFreeMemory");
    auto networks =
        Entry<decltype(&::WlanGetAvailableNetworkList)>(api, "WlanGetAvailableNetworkList");
    auto scan = Entry<decltype(&::WlanScan)>(api, "WlanScan");
    auto notify = Entry<decltype(&::WlanRegisterNotification)>(api, "WlanRegisterNotification");
    if (open == nullptr || close == nullptr || enumerate == nullptr || freeMemory == nullptr ||
        networks == nullptr || scan == nullptr || notify == nullptr) {
        Line("Wlan.entries", "missing");
        FreeLibrary(api);
        return;
    }

    for (DWORD version : {0u, 1u, 2u, 3u}) {
        DWORD negotiated = 0x55;
        HANDLE client = nullptr;
        DWORD r = open(version, nullptr, &negotiated, &client);
        Line(Format("Wlan.open.version%lu", static_cast<unsigned long>(version)),
             Format("%lu negotiated=%lu ", static_cast<unsigned long>(r),
                    static_cast<unsigned long>(negotiated)) +
                 HandleKind(client));
        if (r == ERROR_SUCCESS) {
            close(client, nullptr);
        }
    }
    DWORD negotiated = 0;
    HANDLE client = nullptr;
    int reservedTag = 0;
    Line("Wlan.open.reserved", std::to_string(open(2, &reservedTag, &negotiated, &client)));
    Line("Wlan.open.no_version_out", std::to_string(open(2, nullptr, nullptr, &client)));
    Line("Wlan.open.no_handle_out", std::to_string(open(2, nullptr, &negotiated, nullptr)));

    DWORD r = open(2, nullptr, &negotiated, &client);
    Line("Wlan.open.client", std::to_string(r) + " " + HandleKind(client));
    if (r != ERROR_SUCCESS) {
        FreeLibrary(api);
        return;
    }
    PWLAN_INTERFACE_INFO_LIST list = nullptr;
    r = enumerate(client, nullptr, &list);
    Line("Wlan.enum.empty_service",
         std::to_string(r) +
             Format(" items=%lu",
                    list != nullptr ? static_cast<unsigned long>(list->dwNumberOfItems) : 999ul));
    if (list != nullptr) {
        freeMemory(list);
    }
    HANDLE stranger = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7654));
    struct Target {
        const char* name;
        HANDLE handle;
        PVOID reserved;
    };
    const Target targets[] = {{"null_handle", nullptr, nullptr},
                              {"stranger_handle", stranger, nullptr},
                              {"reserved", client, &reservedTag}};
    const GUID unknown = kOtherClass;
    for (const Target& t : targets) {
        list = nullptr;
        Line("Wlan.enum." + std::string(t.name),
             std::to_string(enumerate(t.handle, t.reserved, &list)));
        PWLAN_AVAILABLE_NETWORK_LIST found = nullptr;
        Line("Wlan.networks." + std::string(t.name),
             std::to_string(networks(t.handle, &unknown, 0, t.reserved, &found)));
        Line("Wlan.close." + std::string(t.name), std::to_string(close(t.handle, t.reserved)));
    }
    Line("Wlan.enum.no_list_out", std::to_string(enumerate(client, nullptr, nullptr)));
    PWLAN_AVAILABLE_NETWORK_LIST found = nullptr;
    Line("Wlan.networks.no_guid", std::to_string(networks(client, nullptr, 0, nullptr, &found)));
    Line("Wlan.networks.no_list_out",
         std::to_string(networks(client, &unknown, 0, nullptr, nullptr)));
    Line("Wlan.networks.unknown_interface",
         std::to_string(networks(client, &unknown, 0, nullptr, &found)));
    Line("Wlan.scan.unknown_interface",
         std::to_string(scan(client, &unknown, nullptr, nullptr, nullptr)));
    Line("Wlan.scan.no_guid", std::to_string(scan(client, nullptr, nullptr, nullptr, nullptr)));
    Line("Wlan.notify.none",
         std::to_string(notify(client, 0, FALSE, nullptr, nullptr, nullptr, nullptr)));
    freeMemory(nullptr);
    Line("Wlan.free.null", "returned");
    Line("Wlan.close.client", std::to_string(close(client, nullptr)));
    Line("Wlan.close.closed_client", std::to_string(close(client, nullptr)));
    FreeLibrary(api);
}

// ---- IIDFromString ---------------------------------------------------------------------------

void Iid(const std::string& id, const wchar_t* text) {
    IID iid;
    std::memset(&iid, 0xAB, sizeof iid);
    HRESULT hr = IIDFromString(text, &iid);
    Line("IIDFromString." + id,
         Format("%08lx ", static_cast<unsigned long>(static_cast<DWORD>(hr))) +
             Hex(&iid, sizeof iid));
}

void ProbeIidFromString() {
    const std::wstring good = L"{c799c725-24b9-464b-b6c7-5e300dce17d6}";
    Iid("lower", good.c_str());
    Iid("upper", L"{C799C725-24B9-464B-B6C7-5E300DCE17D6}");
    Iid("mixed", L"{c799C725-24b9-464B-b6C7-5e300dCE17d6}");
    Iid("zero", L"{00000000-0000-0000-0000-000000000000}");
    Iid("ones", L"{ffffffff-ffff-ffff-ffff-ffffffffffff}");
    Iid("null", nullptr);
    Iid("empty", L"");
    Iid("progid", L"StdFont");
    Iid("name", L"NonExistent");
    Iid("unbraced", L"c799c725-24b9-464b-b6c7-5e300dce17d6");
    Iid("parenthesised", L"(c799c725-24b9-464b-b6c7-5e300dce17d6)");
    Iid("no_hyphens_braced", L"{c799c72524b9464bb6c75e300dce17d6000000}");
    Iid("leading_space", (L" " + good.substr(0, 37)).c_str());
    // Every length from 1 to 45 built from the good text (padded past its end with '0').
    for (size_t n = 1; n <= 45; ++n) {
        std::wstring t = n <= good.size() ? good.substr(0, n) : good + std::wstring(n - 38, L'0');
        Iid(Format("length%02zu", n), t.c_str());
    }
    Iid("trailing_brace", (good + L"}").c_str());
    // Each position replaced in turn: a letter that is no digit, a hyphen, a brace, a space,
    // a non-ASCII digit, a full-width letter, and a zero that ends the text there.
    struct Replacement {
        const char* name;
        wchar_t c;
    };
    const Replacement replacements[] = {{"g", L'g'},
                                        {"hyphen", L'-'},
                                        {"brace", L'}'},
                                        {"space", L' '},
                                        {"arabic_digit", L'\u0661'},
                                        {"fullwidth_a", L'\uFF21'},
                                        {"zero", L'\0'}};
    for (size_t pos = 0; pos < good.size(); ++pos) {
        for (const Replacement& r : replacements) {
            if (good[pos] == r.c) {
                continue;
            }
            std::wstring t = good;
            t[pos] = r.c;
            Iid(Format("pos%02zu.%s", pos, r.name), t.c_str());
        }
    }
}

// ---- MultiByteToWideChar ---------------------------------------------------------------------

// One conversion, three ways: the count asked for (no buffer), into a large buffer, and into a
// buffer one unit short of the count. Buffers are pre-filled so that partial writes show.
void Mb(const std::string& id, UINT page, DWORD flags, const std::string& bytes, int length) {
    const char* src = bytes.data();
    std::string text;
    Arm();
    int count = MultiByteToWideChar(page, flags, src, length, nullptr, 0);
    text += Format("count=%d/", count) + Error();

    const size_t room = bytes.size() * 2 + 8;
    std::vector<WCHAR> buffer(room + 4, kFill);
    Arm();
    int r = MultiByteToWideChar(page, flags, src, length, buffer.data(), static_cast<int>(room));
    text += Format(" full=%d/", r) + Error() + Units(buffer.data(), buffer.size());

    if (count > 1) {
        std::vector<WCHAR> shortBuffer(static_cast<size_t>(count) + 4, kFill);
        Arm();
        r = MultiByteToWideChar(page, flags, src, length, shortBuffer.data(), count - 1);
        text += Format(" short=%d/", r) + Error() + Units(shortBuffer.data(), shortBuffer.size());
    }
    Line("MultiByteToWideChar." + id, text);
}

std::string HexName(const std::string& bytes) {
    return Hex(bytes.data(), bytes.size());
}

void MbBoth(const std::string& id, UINT page, const std::string& bytes) {
    Mb(id, page, 0, bytes, static_cast<int>(bytes.size()));
    Mb(id + ".strict", page, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(bytes.size()));
}

void ProbeMultiByteToWideChar() {
    // Windows-1252: every byte, and strict mode over the upper control range.
    for (int b = 0; b < 256; ++b) {
        std::string s(1, static_cast<char>(b));
        Mb("cp1252.byte." + HexName(s), kCp1252, 0, s, 1);
        if (b >= 0x80 && b < 0xA0) {
            Mb("cp1252.byte." + HexName(s) + ".strict", kCp1252, MB_ERR_INVALID_CHARS, s, 1);
        }
    }
    Mb("cp1252.text", kCp1252, MB_PRECOMPOSED, "Caf\xe9 \x80\x9f", 7);
    Mb("acp.text", CP_ACP, 0, "Caf\xe9 \x80\x9f", 7);
    Mb("acp.text.strict", CP_ACP, MB_ERR_INVALID_CHARS, "Caf\xe9 \x81\x8d", 7);

    // UTF-8, single bytes (the ASCII ones by sample).
    for (int b : {0x00, 0x41, 0x7F}) {
        MbBoth("utf8.1." + HexName(std::string(1, static_cast<char>(b))), CP_UTF8,
               std::string(1, static_cast<char>(b)));
    }
    for (int b = 0x80; b < 0x100; ++b) {
        MbBoth("utf8.1." + HexName(std::string(1, static_cast<char>(b))), CP_UTF8,
               std::string(1, static_cast<char>(b)));
    }
    // Two bytes: the lead bytes at every edge with trail bytes at every edge.
    const int leads2[] = {0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED,
                          0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF};
    const int trails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    for (int lead : leads2) {
        for (int trail : trails) {
            std::string s = {static_cast<char>(lead), static_cast<char>(trail)};
            MbBoth("utf8.2." + HexName(s), CP_UTF8, s);
        }
    }
    // Three bytes: the leads whose second byte has a narrowed range, and their neighbours.
    const int leads3[] = {0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF4};
    const int seconds[] = {0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0};
    const int thirds[] = {0x41, 0x80, 0xBF, 0xC0};
    for (int lead : leads3) {
        for (int second : seconds) {
            for (int third : thirds) {
                std::string s = {static_cast<char>(lead), static_cast<char>(second),
                                 static_cast<char>(third)};
                MbBoth("utf8.3." + HexName(s), CP_UTF8, s);
            }
        }
    }
    // Four bytes. The well-formed ones encode characters above U+FFFF, which Windows gives as
    // surrogate pairs: their ids say "astral".
    const int leads4[] = {0xF0, 0xF1, 0xF3, 0xF4, 0xF5};
    const int seconds4[] = {0x80, 0x8F, 0x90, 0xBF};
    const int tails[] = {0x41, 0x80, 0xBF};
    for (int lead : leads4) {
        for (int second : seconds4) {
            for (int third : tails) {
                for (int fourth : tails) {
                    std::string s = {static_cast<char>(lead), static_cast<char>(second),
                                     static_cast<char>(third), static_cast<char>(fourth)};
                    bool astral = third != 0x41 && fourth != 0x41 &&
                                  ((lead == 0xF0 && second >= 0x90) || lead == 0xF1 ||
                                   lead == 0xF3 || (lead == 0xF4 && second <= 0x8F));
                    MbBoth(std::string(astral ? "utf8.4.astral." : "utf8.4.") + HexName(s), CP_UTF8,
                           s);
                }
            }
        }
    }
    // Sequences in context.
    const std::pair<const char*, std::string> texts[] = {
        {"ascii", "HomeNet"},
        {"latin", "Caf\xc3\xa9 \xe2\x82\xac"},
        {"bom", "\xef\xbb\xbfx"},
        {"embedded_zero", std::string("a\0b", 3)},
        {"lone_continuation", "a\x80z"},
        {"truncated_at_end", "ok\xe2\x82"},
        {"truncated_before_ascii", "\xe2\x82z"},
        {"truncated_before_lead", "\xe2\x82\xc3\xa9"},
        {"surrogate_pair_encoded", "\xed\xa0\xbd\xed\xb8\x80"},
        {"overlong_nul", "\xc0\x80"},
        {"five_byte_form", "\xf8\x88\x80\x80\x80"},
        {"astral.emoji", "\xf0\x9f\x98\x80!"},
    };
    for (const auto& [name, bytes] : texts) {
        MbBoth(std::string("utf8.text.") + name, CP_UTF8, bytes);
    }

    // Sizes: -1 converts through the terminating zero; other negative lengths.
    const std::string cafe("Cafe\0tail", 9);
    for (int length : {-1, -2, -100, static_cast<int>(INT32_MIN), 4, 5, 9}) {
        Mb(Format("utf8.length.%d", length), CP_UTF8, 0, cafe, length);
        Mb(Format("cp1252.length.%d", length), kCp1252, 0, cafe, length);
    }

    // Arguments.
    WCHAR out[8];
    struct Bad {
        const char* name;
        UINT page;
        DWORD flags;
        const char* in;
        int inSize;
        WCHAR* out;
        int outSize;
    };
    const Bad bad[] = {
        {"null_source", CP_UTF8, 0, nullptr, 3, out, 8},
        {"null_source_minus_one", CP_UTF8, 0, nullptr, -1, out, 8},
        {"zero_length", CP_UTF8, 0, "abc", 0, out, 8},
        {"zero_length_1252", kCp1252, 0, "abc", 0, out, 8},
        {"negative_room", CP_UTF8, 0, "abc", 3, out, -1},
        {"null_output", CP_UTF8, 0, "abc", 3, nullptr, 8},
        {"null_output_1252", kCp1252, 0, "abc", 3, nullptr, 8},
        {"unknown_flag_1252", kCp1252, 0x80, "abc", 3, out, 8},
        {"unknown_flag_utf8", CP_UTF8, 0x80, "abc", 3, out, 8},
        {"unknown_page", 12345, 0, "abc", 3, out, 8},
        {"utf16_page", 1200, 0, "abc", 3, out, 8},
    };
    for (const Bad& b : bad) {
        std::fill(std::begin(out), std::end(out), kFill);
        Arm();
        int r = MultiByteToWideChar(b.page, b.flags, b.in, b.inSize, b.out, b.outSize);
        Line(std::string("MultiByteToWideChar.args.") + b.name,
             Format("%d err=", r) + Error() + Units(out, 8));
    }
    // Source and destination in one buffer.
    union {
        char bytes[16];
        WCHAR wide[8];
    } same;
    std::memset(&same, 0, sizeof same);
    std::memcpy(same.bytes, "abc", 3);
    Arm();
    int r = MultiByteToWideChar(CP_UTF8, 0, same.bytes, 3, same.wide, 8);
    Line("MultiByteToWideChar.args.same_buffer", Format("%d err=", r) + Error());

    // Flags and code pages the stand-in keeps out.
    const std::pair<const char*, DWORD> flagSets[] = {{"precomposed", MB_PRECOMPOSED},
                                                      {"composite", 0x2},
                                                      {"glyphchars", 0x4},
                                                      {"precomposed_composite", 0x3}};
    for (const auto& [name, flags] : flagSets) {
        Mb(std::string("utf8.flags.") + name, CP_UTF8, flags, "Caf\xc3\xa9\x01", 6);
        Mb(std::string("cp1252.flags.") + name, kCp1252, flags, "Caf\xe9\x01", 5);
    }
    for (UINT page : {1u, 2u, 3u, 42u, 437u, 850u, 932u, 1250u, 20127u, 28591u, 65000u}) {
        Mb(Format("other_page.%u", page), page, 0, "Caf\xe9\x80", 5);
    }
}

} // namespace

int main() {
    ProbeLastError();
    ProbeHeap();
    ProbeTime();
    ProbeEvents();
    ProbeDevices();
    ProbeSetupApi();
    ProbeLibraries();
    ProbeWlan();
    ProbeIidFromString();
    ProbeMultiByteToWideChar();
    std::printf("cases: %d\n", g_cases);
    return 0;
}
