// Provides: SetupDiGetClassDevsW, SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetailW,
// SetupDiOpenDevRegKey, SetupDiDestroyDeviceInfoList, RegQueryValueExW, RegCloseKey.
// The machine's driver publishes `driver.interfaces` interfaces of its class (none when it is
// absent, or when the machine file cannot be read); its driver key holds the string value
// "DriverVersion". Only device-interface sets are supported (DIGCF_DEVICEINTERFACE), and no
// other registry keys exist. Record sizes (cbSize) are checked as on 64-bit Windows.
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/devices.h"
#include "platform/linux/handles.h"
#include "simbook/machine.h"

namespace platform {

const GUID kDriverInterfaceClass = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
const GUID kSystemSetupClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::wstring DriverDevicePath(int index) {
    wchar_t text[96];
    std::swprintf(text, 96, L"\\\\?\\ROOT#SYSTEM#%04d#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}",
                  index);
    return text;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

namespace {

struct DeviceInfoSet : KernelObject {
    bool ClosedByCloseHandle() const override { return false; }
    int interfaces = 0; // interfaces of the driver's class in the set
};

struct RegistryKey : KernelObject {
    bool ClosedByCloseHandle() const override { return false; }
    std::optional<std::wstring> driverVersion;
};

// Each interface handed out carries its index + 1 in Reserved, so later calls can find it.
std::shared_ptr<DeviceInfoSet> FindSet(HDEVINFO set) {
    if (set == nullptr || set == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return FindHandleAs<DeviceInfoSet>(set);
}

bool InterfaceIndex(const DeviceInfoSet& set, ULONG_PTR reserved, int& index) {
    if (reserved == 0 || reserved > static_cast<ULONG_PTR>(set.interfaces)) {
        return false;
    }
    index = static_cast<int>(reserved - 1);
    return true;
}

std::wstring Widen(const std::string& ascii) {
    // Version texts are read as UTF-8 from the machine file; registry strings are wide.
    std::wstring out;
    std::mbstate_t state{};
    const char* p = ascii.c_str();
    size_t left = ascii.size();
    while (left > 0) {
        wchar_t wc = 0;
        size_t n = std::mbrtowc(&wc, p, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
            state = std::mbstate_t{};
            n = 1;
        } else {
            out += wc;
        }
        p += n;
        left -= n;
    }
    return out;
}

bool EqualsIgnoreCase(const wchar_t* a, const wchar_t* b) {
    for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
        if (std::towlower(static_cast<wint_t>(*a)) != std::towlower(static_cast<wint_t>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

} // namespace
} // namespace platform

using namespace platform;

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator,
                                                HWND hwndParent, DWORD Flags) {
    (void)Enumerator;
    (void)hwndParent;
    if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    const simbook::Machine* machine = simbook::CurrentMachine();
    bool classMatches = ClassGuid == nullptr || SameGuid(*ClassGuid, kDriverInterfaceClass);
    if (machine != nullptr && machine->driver.present && classMatches &&
        (Flags & DIGCF_DEVICEINTERFACE) != 0) {
        set->interfaces = machine->driver.interfaces;
    }
    return InsertHandle(set);
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID* InterfaceClassGuid,
                                                   DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto set = FindSet(DeviceInfoSet);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int count = SameGuid(*InterfaceClassGuid, kDriverInterfaceClass) ? set->interfaces : 0;
    if (DeviceInfoData != nullptr) {
        // Only the interfaces of that one device: all of ours belong to one device.
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    if (MemberIndex >= static_cast<DWORD>(count)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = kDriverInterfaceClass;
    DeviceInterfaceData->Flags = 1; // SPINT_ACTIVE
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = FindSet(DeviceInfoSet);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int index = 0;
    if (DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        !InterfaceIndex(*set, DeviceInterfaceData->Reserved, index)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring path = DriverDevicePath(index);
    DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                        (path.size() + 1) * sizeof(WCHAR));
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    } else if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
               DeviceInterfaceDetailDataSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_PARAMETER); // the record size must be the fixed part's
        return FALSE;
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
        if (RequiredSize != nullptr) {
            *RequiredSize = required;
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(),
                (path.size() + 1) * sizeof(WCHAR));
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInfoData != nullptr) {
        DeviceInfoData->ClassGuid = kSystemSetupClass;
        DeviceInfoData->DevInst = 1;
        DeviceInfoData->Reserved = 1;
    }
    return TRUE;
}

extern "C" HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            DWORD Scope, DWORD HwProfile, DWORD KeyType,
                                            REGSAM samDesired) {
    (void)HwProfile;
    (void)samDesired;
    HKEY failed = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    auto set = FindSet(DeviceInfoSet);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return failed;
    }
    // As on Windows: first the device record (it must be one this set handed out), then the
    // scope and key type.
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) ||
        set->interfaces == 0 || DeviceInfoData->DevInst != 1 || DeviceInfoData->Reserved != 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return failed;
    }
    if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) ||
        (KeyType != DIREG_DEV && KeyType != DIREG_DRV)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return failed;
    }
    auto key = std::make_shared<RegistryKey>();
    const simbook::Machine* machine = simbook::CurrentMachine();
    if (KeyType == DIREG_DRV && machine != nullptr && machine->driver.driverVersion) {
        key->driverVersion = Widen(*machine->driver.driverVersion);
    }
    return reinterpret_cast<HKEY>(InsertHandle(key));
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!FindSet(DeviceInfoSet) || !EraseHandle(DeviceInfoSet)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    auto key = FindHandleAs<RegistryKey>(reinterpret_cast<HANDLE>(hKey));
    if (!key) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpValueName == nullptr || !key->driverVersion ||
        !EqualsIgnoreCase(lpValueName, L"DriverVersion")) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::wstring& text = *key->driverVersion;
    DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    if (lpType != nullptr) {
        *lpType = REG_SZ;
    }
    if (lpData == nullptr) {
        if (lpcbData != nullptr) {
            *lpcbData = size;
        }
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, text.c_str(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    HANDLE handle = reinterpret_cast<HANDLE>(hKey);
    if (!FindHandleAs<RegistryKey>(handle) || !EraseHandle(handle)) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}
