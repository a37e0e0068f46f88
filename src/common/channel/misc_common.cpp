// MiscCommon::CMiscCommon: construction, driver discovery and opening, the version gate and
// closing. The handshake, the capsules and the request packets live in their own files.
#include "common/channel/misc_common.h"

#include <cstdarg>
#include <cwchar>
#include <new>

#include "common/channel/channel_internal.h"
#include "common/crypto/blowfish.h"

namespace MiscCommon {

namespace detail {

void Wipe(void* memory, size_t size) {
    volatile BYTE* p = static_cast<volatile BYTE*>(memory);
    while (size-- > 0) {
        *p++ = 0;
    }
}

void* HeapAllocZero(size_t size) {
    HANDLE heap = GetProcessHeap();
    if (heap == nullptr) {
        return nullptr;
    }
    return HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
}

void HeapRelease(void* block) {
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

void HeapWipeRelease(void* block, size_t size) {
    if (block != nullptr) {
        Wipe(block, size);
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// The "no registry key" value of SetupDiOpenDevRegKey.
const HKEY kNoKey = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);

// What OpenDriver holds while it looks the driver up, and how a step of it failed.
struct DriverLookup {
    HDEVINFO devices = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = nullptr;
    SP_DEVINFO_DATA deviceData{};
    HKEY key = kNoKey;
    StepFailure failure;

    // Closes the registry key, destroys the device-information set and releases the detail
    // block, as far as each exists.
    void Release() {
        if (key != kNoKey) {
            RegCloseKey(key);
        }
        if (devices != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(devices);
        }
        HeapRelease(detail);
    }
};

} // namespace detail

using namespace detail;

namespace {

// Device interface class published by the system-management driver.
const GUID kDriverInterfaceClass = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

// Room offered to RegQueryValueExW for "DriverVersion": half of the 256-character buffer, so
// the text always ends inside it.
constexpr DWORD kVersionQueryChars = 128;

// The first device interface of the driver's class; failure (typically: no such driver) is
// the code the setting layer tells apart from the others.
bool FindInterface(DriverLookup& lookup) {
    lookup.interfaceData.cbSize = sizeof(lookup.interfaceData);
    if (!SetupDiEnumDeviceInterfaces(lookup.devices, nullptr, &kDriverInterfaceClass, 0,
                                     &lookup.interfaceData)) {
        DWORD error = GetLastError();
        return Fail(lookup.failure,
                    L"MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.",
                    RESULT_NO_DRIVER, true, error);
    }
    return true;
}

// The interface's detail (its device path) in a heap block of the size the first call asks
// for, and the device's information.
bool ReadInterfaceDetail(DriverLookup& lookup) {
    DWORD required = 0;
    BOOL sized = SetupDiGetDeviceInterfaceDetailW(lookup.devices, &lookup.interfaceData, nullptr, 0,
                                                  &required, nullptr);
    DWORD error = GetLastError();
    if (sized || error != ERROR_INSUFFICIENT_BUFFER ||
        required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(lookup.failure,
                    L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail "
                    L"(First time) failed.",
                    RESULT_FAILED, true, error);
    }
    lookup.detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(HeapAllocZero(required));
    if (lookup.detail == nullptr) {
        error = GetLastError();
        return Fail(lookup.failure, L"MiscCommon::CMiscCommon::OpenDriver: HeapAlloc failed.",
                    RESULT_NO_MEMORY, true, error);
    }
    lookup.detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    lookup.deviceData.cbSize = sizeof(lookup.deviceData);
    if (!SetupDiGetDeviceInterfaceDetailW(lookup.devices, &lookup.interfaceData, lookup.detail,
                                          required, nullptr, &lookup.deviceData)) {
        error = GetLastError();
        return Fail(lookup.failure,
                    L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail "
                    L"(Second time) failed.",
                    RESULT_FAILED, true, error);
    }
    return true;
}

} // namespace

CMiscCommon::CMiscCommon()
    : _hDevice(INVALID_HANDLE_VALUE), _szVersion(nullptr), _dwSessionId(0), _dwSequence(0),
      _pBlowfish(nullptr), _bEncrypt(1), _szError(nullptr), _nVersionMajor(0), _nVersionMinor(0),
      _nVersionBuild(0), _nVersionRevision(0) {
    _szError = new (std::nothrow) wchar_t[kTextChars]();
}

CMiscCommon::~CMiscCommon() {
    CloseDriver();
    delete[] _szError;
    delete[] _szVersion;
}

void CMiscCommon::_SetError(const wchar_t* format, ...) {
    if (_szError == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    int written = vswprintf(_szError, kTextChars, format, args);
    va_end(args);
    if (written < 0) {
        _szError[0] = L'\0';
    }
    _szError[kTextChars - 1] = L'\0';
}

void CMiscCommon::_ParseVersion() {
    if (_szVersion == nullptr) {
        return;
    }
    _szVersion[kTextChars - 1] = L'\0';
    swscanf(_szVersion, L"%d.%d.%d.%d", &_nVersionMajor, &_nVersionMinor, &_nVersionBuild,
            &_nVersionRevision);
}

// Session-capable drivers are 1.0.8 and later; the revision is never consulted.
bool CMiscCommon::_VersionGateFails() const {
    unsigned major = static_cast<unsigned>(_nVersionMajor);
    unsigned minor = static_cast<unsigned>(_nVersionMinor);
    unsigned build = static_cast<unsigned>(_nVersionBuild);
    return major == 0 || (major == 1 && minor == 0 && build < 8);
}

bool CMiscCommon::_ReadVersion(DriverLookup& lookup) {
    lookup.key = SetupDiOpenDevRegKey(lookup.devices, &lookup.deviceData, DICS_FLAG_GLOBAL, 0,
                                      DIREG_DRV, KEY_READ);
    if (lookup.key == kNoKey) {
        DWORD error = GetLastError();
        return Fail(lookup.failure,
                    L"MiscCommon::CMiscCommon::OpenDriver: SetupDiOpenDevRegKey failed.",
                    RESULT_FAILED, true, error);
    }
    _szVersion = new (std::nothrow) wchar_t[kTextChars]();
    if (_szVersion == nullptr) {
        return Fail(lookup.failure,
                    L"MiscCommon::CMiscCommon::OpenDriver: _szVersion array initialize failed.",
                    RESULT_FAILED);
    }
    DWORD bytes = kVersionQueryChars * sizeof(WCHAR);
    LSTATUS status = RegQueryValueExW(lookup.key, L"DriverVersion", nullptr, nullptr,
                                      reinterpret_cast<LPBYTE>(_szVersion), &bytes);
    if (status != ERROR_SUCCESS) {
        DWORD error = GetLastError();
        delete[] _szVersion;
        _szVersion = nullptr;
        return Fail(lookup.failure, L"MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.",
                    RESULT_FAILED, true, error);
    }
    // Whatever the value held, the text ends inside the buffer before it is scanned.
    size_t end = bytes / sizeof(WCHAR);
    _szVersion[end < kTextChars ? end : kTextChars - 1] = L'\0';
    _ParseVersion();
    RegCloseKey(lookup.key);
    lookup.key = kNoKey;
    return true;
}

int CMiscCommon::OpenDriver() {
    // A second open of the same object would lose the first handle and, the device being
    // exclusive, fail on it: start from the Closed state instead.
    if (_hDevice != INVALID_HANDLE_VALUE) {
        CloseDriver();
    }

    DriverLookup lookup;
    lookup.devices = SetupDiGetClassDevsW(&kDriverInterfaceClass, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (lookup.devices == INVALID_HANDLE_VALUE) {
        _SetError(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetClassDevs failed.");
        return RESULT_FAILED;
    }
    // The version is read once per object; later opens keep the numbers found the first time.
    bool opened = FindInterface(lookup) && ReadInterfaceDetail(lookup) &&
                  (_szVersion != nullptr || _ReadVersion(lookup));
    if (opened) {
        SetupDiDestroyDeviceInfoList(lookup.devices);
        lookup.devices = INVALID_HANDLE_VALUE;
        _hDevice = CreateFileW(lookup.detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (_hDevice == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            opened =
                Fail(lookup.failure, L"MiscCommon::CMiscCommon::OpenDriver: CreateFile failed.",
                     RESULT_OPEN_FAILED, true, error);
        }
    }
    if (!opened) {
        // Releases what exists at the failing step, then puts back the last-error code when
        // the step asked for it.
        _SetError(L"%ls", lookup.failure.message);
        lookup.Release();
        if (lookup.failure.restore) {
            SetLastError(lookup.failure.lastError);
        }
        return lookup.failure.code;
    }

    HeapRelease(lookup.detail);
    if (_szError != nullptr) {
        _szError[0] = L'\0';
    }
    return RESULT_SUCCESS;
}

int CMiscCommon::Initialize() {
    int result = OpenDriver();
    if (result != 0) {
        return result;
    }
    // A driver older than 1.0.8 stays open without a session; every request is then refused.
    if (_VersionGateFails()) {
        return 0;
    }
    return _Initialize();
}

void CMiscCommon::_SendEndSession(DWORD sessionId) {
    BYTE input[4];
    Store32(input, sessionId);
    DWORD returned = 0;
    DeviceIoControl(_hDevice, kIoctlEndSession, input, sizeof(input), nullptr, 0, &returned,
                    nullptr);
}

void CMiscCommon::CloseDriver() {
    if (_hDevice == INVALID_HANDLE_VALUE) {
        return;
    }
    if (_pBlowfish != nullptr) {
        _SendEndSession(_dwSessionId);
        _dwSessionId = 0;
        _dwSequence = 0;
        HeapWipeRelease(_pBlowfish, sizeof(BlowfishContext));
        _pBlowfish = nullptr;
    }
    CloseHandle(_hDevice);
    _hDevice = INVALID_HANDLE_VALUE;
}

} // namespace MiscCommon
