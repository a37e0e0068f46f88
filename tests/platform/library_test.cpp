// LoadLibraryW, GetProcAddress and FreeLibrary over the service libraries, and what the machine
// file hides from them.
#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/stand_in.h"

namespace {

const char* const kApiEntries[] = {"WlanOpenHandle",
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
                                   "WlanSaveTemporaryProfile"};

TEST(WlanLibraries, LoadByBareNameAndLookUpOnlyTheirEntries) {
    nwt::test::StandInMachine run("{}", nwt::test::StandInMachine::Trace::On);
    {
        HMODULE api = LoadLibraryW(L"WlanApi.dll");
        ASSERT_NE(api, nullptr);
        HMODULE again = LoadLibraryW(L"WLANAPI.DLL");
        EXPECT_EQ(again, api) << "a loaded library is found again, regardless of case";
        HMODULE ui = LoadLibraryW(L"wlanui");
        ASSERT_NE(ui, nullptr);
        EXPECT_NE(ui, api);

        for (const char* name : kApiEntries) {
            EXPECT_NE(GetProcAddress(api, name), nullptr) << name;
            SetLastError(0);
            EXPECT_EQ(GetProcAddress(ui, name), nullptr) << name << " is not in the UI library";
            EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
        }
        EXPECT_NE(GetProcAddress(ui, "WlanUIEditProfile"), nullptr);
        EXPECT_EQ(GetProcAddress(api, "WlanUIEditProfile"), nullptr);
        // Nothing else the shared object can reach is an export.
        for (const char* name : {"malloc", "dlopen", "wlanscan", "WlanScanX", ""}) {
            SetLastError(0);
            EXPECT_EQ(GetProcAddress(api, name), nullptr) << name;
            EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
        }
        EXPECT_EQ(GetProcAddress(api, reinterpret_cast<LPCSTR>(uintptr_t{11})), nullptr)
            << "ordinals are not supported";
        EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x7770), "WlanScan"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

        // Two references: the first FreeLibrary keeps the library usable.
        EXPECT_TRUE(FreeLibrary(api));
        EXPECT_NE(GetProcAddress(api, "WlanScan"), nullptr);
        EXPECT_TRUE(FreeLibrary(api));
        EXPECT_FALSE(FreeLibrary(api));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(GetProcAddress(api, "WlanScan"), nullptr);
        EXPECT_TRUE(FreeLibrary(ui));

        // A library can be loaded again after it was unloaded.
        HMODULE reloaded = LoadLibraryW(L"WlanApi.dll");
        ASSERT_NE(reloaded, nullptr);
        EXPECT_NE(GetProcAddress(reloaded, "WlanOpenHandle"), nullptr);
        EXPECT_TRUE(FreeLibrary(reloaded));

        for (const wchar_t* name : {L"kernel32.dll", L"/tmp/WlanApi.dll", L"WlanApi.dll.dll",
                                    L"WlanApi.so", L"", L"WlanApi.dl"}) {
            SetLastError(0);
            EXPECT_EQ(LoadLibraryW(name), nullptr);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
        }
        EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

        auto loads = run.TraceOps("LoadLibraryW");
        ASSERT_FALSE(loads.empty());
        EXPECT_EQ(loads[0]["result"], true);
    }
}

TEST(WlanLibraries, MachineHidesALibrary) {
    struct Case {
        const char* key;
        const wchar_t* hidden;
        const wchar_t* present;
    };
    for (const Case& c : {Case{"library", L"WlanApi.dll", L"WlanUi.dll"},
                          Case{"ui_library", L"WlanUi.dll", L"WlanApi.dll"}}) {
        SCOPED_TRACE(c.key);
        nwt::test::StandInMachine machine(std::string(R"({"wlan": {")") + c.key + R"(": false}})");
        {
            SetLastError(0);
            EXPECT_EQ(LoadLibraryW(c.hidden), nullptr);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
            HMODULE other = LoadLibraryW(c.present);
            EXPECT_NE(other, nullptr);
            EXPECT_TRUE(FreeLibrary(other));
        }
    }
}

TEST(WlanLibraries, MachineHidesEntryPoints) {
    nwt::test::StandInMachine machine(
        R"({"wlan": {"missing_entries": ["WlanHostedNetworkQueryStatus", "WlanUIEditProfile"]}})");
    {
        HMODULE api = LoadLibraryW(L"WlanApi.dll");
        HMODULE ui = LoadLibraryW(L"WlanUi.dll");
        ASSERT_NE(api, nullptr);
        ASSERT_NE(ui, nullptr);
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(api, "WlanHostedNetworkQueryStatus"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
        EXPECT_EQ(GetProcAddress(ui, "WlanUIEditProfile"), nullptr);
        EXPECT_NE(GetProcAddress(api, "WlanGetInterfaceCapability"), nullptr);
        EXPECT_NE(GetProcAddress(api, "WlanSaveTemporaryProfile"), nullptr);
        FreeLibrary(ui);
        FreeLibrary(api);
    }
}

TEST(WlanLibraries, UnreadableMachineMeansNoService) {
    for (const char* text : {"{", R"({"wlan": {"no_such_key": 1}})"}) {
        SCOPED_TRACE(text);
        nwt::test::StandInMachine machine(text);
        testing::internal::CaptureStderr();
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(L"WlanApi.dll"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
        EXPECT_EQ(LoadLibraryW(L"WlanUi.dll"), nullptr);
        const std::string problem = testing::internal::GetCapturedStderr();
        EXPECT_NE(problem.find(machine.MachinePath()), std::string::npos)
            << "the problem names the file: " << problem;
    }
}

TEST(WlanLibraries, LibraryDirectoryOverride) {
    nwt::test::StandInMachine machine;
    // The machine's own folder holds no service library.
    setenv("SIMBOOK_LIBRARY_DIR", machine.Scratch().Dir().c_str(), 1);
    testing::internal::CaptureStderr();
    SetLastError(0);
    HMODULE module = LoadLibraryW(L"WlanApi.dll");
    const DWORD error = GetLastError();
    EXPECT_EQ(LoadLibraryW(L"WlanUi.dll"), nullptr);
    const std::string problem = testing::internal::GetCapturedStderr();
    unsetenv("SIMBOOK_LIBRARY_DIR");
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(error, DWORD(ERROR_MOD_NOT_FOUND));
    // One line for the folder, however many libraries it fails to give.
    EXPECT_EQ(problem.rfind("simbook: " + machine.Scratch().Path("simbook_wlanapi.so") +
                                ": cannot load the Wi-Fi service library (SIMBOOK_LIBRARY_DIR): ",
                            0),
              0u)
        << problem;
    EXPECT_EQ(std::count(problem.begin(), problem.end(), '\n'), 1) << problem;
}

} // namespace
