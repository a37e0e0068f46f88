// simbook_setup: installs the relay driver into a Wine prefix, once per prefix.
//
//   simbook_setup <driver.sys as a Windows path>
//
// Creates the root device nodes ROOT\SYSTEM\0000 ... (hardware ID ROOT\SIMBOOK_RELAY, service
// simbook_relay) with their driver keys and registers the kernel service with demand start: the
// device server starts it in each Wine session, alongside its own start (a PnP driver's start
// under Wine only returns after the service manager's time-out, which an automatic start would
// add to every session's start). Running it again updates the service's
// image path and keeps the nodes.
//
// The prefix serves the Windows programs and nothing else, so the services Wine starts with every
// session that they never use (the event log, networking, the mount manager, the Plug and Play
// service, which the root-enumerated relay does not need) are disabled: that is most of a
// session's start. Exit status 0 when everything is in place.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>

#include "relay/relay_protocol.h"

namespace {

// The system-devices setup class, the class of the driver's device nodes.
const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

int Fail(const wchar_t* what, DWORD error) {
    std::fwprintf(stderr, L"simbook_setup: %ls (error %lu)\n", what,
                  static_cast<unsigned long>(error));
    return 1;
}

bool CreateNode(HDEVINFO set, unsigned index) {
    wchar_t id[32];
    std::swprintf(id, 32, RELAY_INSTANCE_FORMAT, index);
    SP_DEVINFO_DATA node{};
    node.cbSize = sizeof node;
    if (SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &node)) {
        return true;
    }
    if (!SetupDiCreateDeviceInfoW(set, id, &kSystemClass, nullptr, nullptr, 0, &node)) {
        return false;
    }
    static const wchar_t hardwareIds[] = RELAY_HARDWARE_ID L"\0";
    static const wchar_t service[] = RELAY_SERVICE_NAME;
    if (!SetupDiSetDeviceRegistryPropertyW(set, &node, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareIds),
                                           sizeof hardwareIds) ||
        !SetupDiSetDeviceRegistryPropertyW(
            set, &node, SPDRP_SERVICE, reinterpret_cast<const BYTE*>(service), sizeof service) ||
        !SetupDiRegisterDeviceInfo(set, &node, 0, nullptr, nullptr, nullptr)) {
        return false;
    }
    // The driver key, where the device server keeps "DriverVersion".
    HKEY key =
        SetupDiCreateDevRegKeyW(set, &node, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Wine's services that start with every session and that the programs and the relay never use.
const wchar_t* const kUnusedServices[] = {L"Eventlog", L"MountMgr", L"NDIS", L"nsiproxy",
                                          L"PlugPlay"};

// Sets an unused service to disabled; one that this Wine does not have is fine.
bool Disable(SC_HANDLE scm, const wchar_t* name) {
    SC_HANDLE service = OpenServiceW(scm, name, SERVICE_CHANGE_CONFIG);
    if (service == nullptr) {
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }
    BOOL ok = ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    CloseServiceHandle(service);
    return ok != FALSE;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return Fail(L"usage: simbook_setup <driver.sys>", 0);
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail(L"SetupDiCreateDeviceInfoList failed", GetLastError());
    }
    for (unsigned i = 0; i < RELAY_MAX_INTERFACES; ++i) {
        if (!CreateNode(set, i)) {
            DWORD error = GetLastError();
            SetupDiDestroyDeviceInfoList(set);
            return Fail(L"cannot create a device node", error);
        }
    }
    SetupDiDestroyDeviceInfoList(set);

    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm == nullptr) {
        return Fail(L"OpenSCManagerW failed", GetLastError());
    }
    SC_HANDLE service =
        CreateServiceW(scm, RELAY_SERVICE_NAME, RELAY_SERVICE_NAME, SERVICE_ALL_ACCESS,
                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, argv[1],
                       nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceW(scm, RELAY_SERVICE_NAME, SERVICE_ALL_ACCESS);
        if (service != nullptr &&
            !ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, argv[1], nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr)) {
            DWORD error = GetLastError();
            CloseServiceHandle(service);
            CloseServiceHandle(scm);
            return Fail(L"ChangeServiceConfigW failed", error);
        }
    }
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(scm);
        return Fail(L"cannot register the driver's service", error);
    }
    CloseServiceHandle(service);
    for (const wchar_t* name : kUnusedServices) {
        if (!Disable(scm, name)) {
            DWORD error = GetLastError();
            CloseServiceHandle(scm);
            return Fail(L"cannot disable an unused service", error);
        }
    }
    CloseServiceHandle(scm);
    return 0;
}
