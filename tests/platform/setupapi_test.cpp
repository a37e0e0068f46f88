// Setup API discovery and the registry value, as the channel negotiates them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "platform/win32.h"
#include "support/scratch.h"
#include "support/stand_in.h"

namespace {

const GUID kClass = {0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

struct Discovered {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA iface{};
    SP_DEVINFO_DATA info{};
    std::wstring path;
};

// The channel's discovery sequence; false when enumeration found nothing.
bool Discover(Discovered& d, DWORD index = 0) {
    d.set = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(d.set, INVALID_HANDLE_VALUE);
    d.iface.cbSize = sizeof d.iface;
    if (!SetupDiEnumDeviceInterfaces(d.set, nullptr, &kClass, index, &d.iface)) {
        return false;
    }
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(d.set, &d.iface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<unsigned char> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    d.info.cbSize = sizeof d.info;
    EXPECT_TRUE(
        SetupDiGetDeviceInterfaceDetailW(d.set, &d.iface, detail, required, nullptr, &d.info));
    d.path = detail->DevicePath;
    return true;
}

} // namespace

TEST(SetupApi, TwoCallDetailNegotiation) {
    nwt::test::StandInMachine machine("{}");
    Discovered d;
    ASSERT_TRUE(Discover(d));
    EXPECT_NE(d.path.find(L"{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}"), std::wstring::npos);
    // One byte short of the required size, or a wrong cbSize, are refused.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(d.set, &d.iface, nullptr, 0, &required, nullptr);
    std::vector<unsigned char> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailW(d.set, &d.iface, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    detail->cbSize = required; // the whole buffer's size is wrong: it must be the fixed part's
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailW(d.set, &d.iface, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(d.set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(d.set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SetupApi, EnumerationEndsWithNoMoreItems) {
    nwt::test::StandInMachine machine(R"({"driver": {"interfaces": 2}})");
    Discovered first, second, third;
    ASSERT_TRUE(Discover(first, 0));
    ASSERT_TRUE(Discover(second, 1));
    EXPECT_NE(first.path, second.path);
    EXPECT_FALSE(Discover(third, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SP_DEVICE_INTERFACE_DATA bad{};
    bad.cbSize = sizeof bad + 1;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(first.set, nullptr, &kClass, 0, &bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (auto* d : {&first, &second, &third}) {
        SetupDiDestroyDeviceInfoList(d->set);
    }
}

TEST(SetupApi, NoDriverOrUnreadableMachineLooksLikeMissingHardware) {
    nwt::test::StandInMachine machine(R"({"driver": {"present": false}})");
    Discovered d;
    EXPECT_FALSE(Discover(d));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(d.set);

    machine.Use(R"({"driver": {"present": "yes"}})");
    testing::internal::CaptureStderr();
    Discovered e;
    EXPECT_FALSE(Discover(e));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("driver.present"), std::string::npos);
    SetupDiDestroyDeviceInfoList(e.set);
}

TEST(Registry, DriverVersionSizesAndErrors) {
    nwt::test::StandInMachine machine(R"({"driver": {"driver_version": "1.0.7.0"}})");
    Discovered d;
    ASSERT_TRUE(Discover(d));
    // As on Windows: a device record this set did not hand out is an invalid parameter; then a
    // bad scope or key type is ERROR_INVALID_FLAGS.
    const HKEY failed = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA stranger{};
    stranger.cbSize = sizeof stranger;
    EXPECT_EQ(SetupDiOpenDevRegKey(d.set, &stranger, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
              failed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetupDiOpenDevRegKey(d.set, &d.info, 0, 0, DIREG_DRV, KEY_READ), failed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(
        SetupDiOpenDevRegKey(d.set, &d.info, DICS_FLAG_GLOBAL, 0, 3 /* DIREG_BOTH */, KEY_READ),
        failed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    HKEY key = SetupDiOpenDevRegKey(d.set, &d.info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE(key, failed);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"DriverVersion", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 8 * sizeof(WCHAR)); // seven characters and the terminator
    WCHAR text[128];
    DWORD room = 4 * sizeof(WCHAR);
    EXPECT_EQ(RegQueryValueExW(key, L"DriverVersion", nullptr, nullptr,
                               reinterpret_cast<LPBYTE>(text), &room),
              ERROR_MORE_DATA);
    EXPECT_EQ(room, 8 * sizeof(WCHAR));
    room = sizeof text;
    EXPECT_EQ(RegQueryValueExW(key, L"DriverVersion", nullptr, nullptr,
                               reinterpret_cast<LPBYTE>(text), &room),
              ERROR_SUCCESS);
    EXPECT_EQ(room, 8 * sizeof(WCHAR));
    EXPECT_EQ(std::wstring(text), L"1.0.7.0");
    EXPECT_EQ(RegQueryValueExW(key, L"Other", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    SetupDiDestroyDeviceInfoList(d.set);

    machine.Use(R"({"driver": {"driver_version": null}})");
    Discovered m;
    ASSERT_TRUE(Discover(m));
    key = SetupDiOpenDevRegKey(m.set, &m.info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    room = sizeof text;
    EXPECT_EQ(RegQueryValueExW(key, L"DriverVersion", nullptr, nullptr,
                               reinterpret_cast<LPBYTE>(text), &room),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(m.set);
}

TEST(Handles, CloseHandleRefusesKeysAndInformationSets) {
    nwt::test::StandInMachine machine("{}");
    Discovered d;
    ASSERT_TRUE(Discover(d));
    HKEY key = SetupDiOpenDevRegKey(d.set, &d.info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    // Each has a close function of its own; CloseHandle leaves them usable.
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(key)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(d.set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"DriverVersion", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(d.set));
}
