// The service's entry points bound through the stand-in, as a program binds them.
#pragma once

#include <gtest/gtest.h>

#include "platform/win32.h"

struct ServiceApi {
    HMODULE module = nullptr;
    decltype(&WlanOpenHandle) open = nullptr;
    decltype(&WlanCloseHandle) close = nullptr;
    decltype(&WlanFreeMemory) freeMemory = nullptr;
    decltype(&WlanEnumInterfaces) enumInterfaces = nullptr;
    decltype(&WlanConnect) connect = nullptr;
    decltype(&WlanDisconnect) disconnect = nullptr;
    decltype(&WlanGetAvailableNetworkList) networks = nullptr;
    decltype(&WlanGetNetworkBssList) bssList = nullptr;
    decltype(&WlanQueryInterface) query = nullptr;
    decltype(&WlanSetInterface) set = nullptr;
    decltype(&WlanScan) scan = nullptr;
    decltype(&WlanGetProfile) getProfile = nullptr;
    decltype(&WlanGetProfileList) profileList = nullptr;
    decltype(&WlanSetProfile) setProfile = nullptr;
    decltype(&WlanDeleteProfile) deleteProfile = nullptr;
    decltype(&WlanRegisterNotification) registerNotification = nullptr;
    decltype(&WlanHostedNetworkQueryStatus) hosted = nullptr;
    decltype(&WlanGetInterfaceCapability) capability = nullptr;
    decltype(&WlanSaveTemporaryProfile) saveTemporary = nullptr;

    // Loads "WlanApi.dll" and binds all nineteen entries; a failure is a test failure.
    void Bind() {
        module = LoadLibraryW(L"WlanApi.dll");
        ASSERT_NE(module, nullptr) << "last error " << GetLastError();
        BindOne(open, "WlanOpenHandle");
        BindOne(close, "WlanCloseHandle");
        BindOne(freeMemory, "WlanFreeMemory");
        BindOne(enumInterfaces, "WlanEnumInterfaces");
        BindOne(connect, "WlanConnect");
        BindOne(disconnect, "WlanDisconnect");
        BindOne(networks, "WlanGetAvailableNetworkList");
        BindOne(bssList, "WlanGetNetworkBssList");
        BindOne(query, "WlanQueryInterface");
        BindOne(set, "WlanSetInterface");
        BindOne(scan, "WlanScan");
        BindOne(getProfile, "WlanGetProfile");
        BindOne(profileList, "WlanGetProfileList");
        BindOne(setProfile, "WlanSetProfile");
        BindOne(deleteProfile, "WlanDeleteProfile");
        BindOne(registerNotification, "WlanRegisterNotification");
        BindOne(hosted, "WlanHostedNetworkQueryStatus");
        BindOne(capability, "WlanGetInterfaceCapability");
        BindOne(saveTemporary, "WlanSaveTemporaryProfile");
    }

    HANDLE OpenClient() {
        DWORD negotiated = 0;
        HANDLE client = nullptr;
        EXPECT_EQ(open(2, nullptr, &negotiated, &client), 0u);
        return client;
    }

    template <class F> void BindOne(F& entry, const char* name) {
        entry = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
        EXPECT_NE(entry, nullptr) << name;
    }
};

// The interfaces of MachineText(), one per scan behaviour.
constexpr GUID kGuidComplete = {
    0xc799c725, 0x24b9, 0x464b, {0xb6, 0xc7, 0x5e, 0x30, 0x0d, 0xce, 0x17, 0xd6}};
constexpr GUID kGuidFail = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kGuidRefuse = {
    0x22222222, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kGuidSilent = {
    0x33333333, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kGuidUnknown = {
    0x99999999, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
