// The binding, the smart wrapper, SSID conversion and whole scans, in process, against simbook's
// Wi-Fi service (machines/unit.json). The service's trace shows what reached it; the library
// loads and entry-point lookups of the binding are seen through link-time wrappers of the two
// stand-in functions, which can also make one library or one entry point go missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "sundrel/sundrel_scan.h"
#include "sundrel/wlan_api_smart_wrapper.h"
#include "sundrel/wlan_api_wrapper.h"
#include "support/scratch.h"

namespace {

std::string g_tracePath;
std::vector<std::string> g_lookups;
std::vector<std::wstring> g_loads;
std::string g_hiddenEntry;
std::wstring g_refusedLibrary;

} // namespace

extern "C" {
FARPROC __real_GetProcAddress(HMODULE module, LPCSTR name);
HMODULE __real_LoadLibraryW(LPCWSTR name);

FARPROC __wrap_GetProcAddress(HMODULE module, LPCSTR name) {
    g_lookups.emplace_back(name);
    if (g_hiddenEntry == name) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return __real_GetProcAddress(module, name);
}

HMODULE __wrap_LoadLibraryW(LPCWSTR name) {
    g_loads.emplace_back(name);
    if (g_refusedLibrary == name) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return __real_LoadLibraryW(name);
}
}

namespace {

using nlohmann::json;

// GUIDs of machines/unit.json: 01 never reports its scan, 02 and 03 report scan complete.
constexpr GUID Interface(BYTE last) {
    return {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, last}};
}
const GUID kNullGuid{};
const GUID kSilent = Interface(0x01);
const GUID kElsewhere = Interface(0x02);
const GUID kBusy = Interface(0x03);
const char kBusyText[] = "{11111111-2222-3333-4444-555555555503}";
const char kElsewhereText[] = "{11111111-2222-3333-4444-555555555502}";

const std::vector<std::string> kBindOrder = {"WlanOpenHandle",
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
                                             "WlanUIEditProfile"};

// Every test starts with nothing missing and reads only the trace lines of its own.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lookups.clear();
        g_loads.clear();
        g_hiddenEntry.clear();
        g_refusedLibrary.clear();
        std::ifstream in(g_tracePath, std::ios::binary | std::ios::ate);
        _traceStart = in ? static_cast<size_t>(in.tellg()) : 0;
    }

    std::vector<json> Trace() const {
        std::ifstream in(g_tracePath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::istringstream lines(text.str().substr(_traceStart));
        std::vector<json> out;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty()) {
                out.push_back(json::parse(line));
            }
        }
        return out;
    }
    std::vector<json> Calls(const std::string& op) const {
        std::vector<json> out;
        for (const json& line : Trace()) {
            if (line.value("op", "") == op) {
                out.push_back(line);
            }
        }
        return out;
    }
    std::vector<std::string> Ops() const {
        std::vector<std::string> out;
        for (const json& line : Trace()) {
            out.push_back(line.value("op", ""));
        }
        return out;
    }

    size_t _traceStart = 0;
};

bool AllEntriesNull(const CWlanApiWrapper& w) {
    CWlanApiWrapper::EntryTable clear{};
    return std::memcmp(&w._entries, &clear, sizeof clear) == 0;
}

// Calls every forwarding operation that returns a result and collects the results.
std::vector<DWORD> ForwardAll(CWlanApiWrapper& w) {
    HANDLE h = reinterpret_cast<HANDLE>(1);
    DWORD version = 0;
    HANDLE client = nullptr;
    PVOID data = nullptr;
    return {
        w.WlanOpenHandle(2, nullptr, &version, &client),
        w.WlanCloseHandle(h, nullptr),
        w.WlanEnumInterfaces(h, nullptr, nullptr),
        w.WlanConnect(h, &kBusy, nullptr, nullptr),
        w.WlanDisconnect(h, &kBusy, nullptr),
        w.WlanGetAvailableNetworkList(h, &kBusy, 0, nullptr, nullptr),
        w.WlanGetNetworkBssList(h, &kBusy, nullptr, dot11_BSS_type_any, FALSE, nullptr, nullptr),
        w.WlanQueryInterface(h, &kBusy, wlan_intf_opcode_interface_state, nullptr, nullptr, &data,
                             nullptr),
        w.WlanSetInterface(h, &kBusy, wlan_intf_opcode_radio_state, 0, nullptr, nullptr),
        w.WlanScan(h, &kBusy, nullptr, nullptr, nullptr),
        w.WlanGetProfile(h, &kBusy, L"p", nullptr, nullptr, nullptr, nullptr),
        w.WlanGetProfileList(h, &kBusy, nullptr, nullptr),
        w.WlanSetProfile(h, &kBusy, 0, L"<x/>", nullptr, FALSE, nullptr, nullptr),
        w.WlanDeleteProfile(h, &kBusy, L"p", nullptr),
        w.WlanRegisterNotification(h, 0, FALSE, nullptr, nullptr, nullptr, nullptr),
        w.WlanHostedNetworkQueryStatus(h, nullptr, nullptr),
        w.WlanGetInterfaceCapability(h, &kBusy, nullptr, nullptr),
        w.WlanUIEditProfile(1, L"p", nullptr, nullptr, WLConnectionPage, nullptr, nullptr),
        w.WlanSaveTemporaryProfile(h, &kBusy, L"p", nullptr, 0, FALSE, nullptr)};
}

// ---- CWlanApiWrapper -------------------------------------------------------------------------

using WlanApiWrapperTest = ServiceTest;

TEST_F(WlanApiWrapperTest, BindsAllTwentyEntriesWithTheUiEntryLast) {
    CWlanApiWrapper w;
    ASSERT_EQ(w.Load(), 1);
    EXPECT_EQ(w._bLoaded, 1);
    EXPECT_NE(w._hWlanApi, nullptr);
    EXPECT_NE(w._hWlanUi, nullptr);
    EXPECT_EQ(g_loads, (std::vector<std::wstring>{L"WlanApi.dll", L"WlanUi.dll"}));
    EXPECT_EQ(g_lookups, kBindOrder);
    const auto* entries = reinterpret_cast<const void* const*>(&w._entries);
    for (size_t i = 0; i < 20; ++i) {
        EXPECT_NE(entries[i], nullptr) << "entry " << i + 1;
    }
    // Field order: the UI entry is held before save-temporary although it is bound after it.
    EXPECT_EQ(reinterpret_cast<const void*>(w._entries.pfnWlanUIEditProfile), entries[18]);
}

TEST_F(WlanApiWrapperTest, LoadOnALoadedWrapperKeepsTheBinding) {
    CWlanApiWrapper w;
    ASSERT_EQ(w.Load(), 1);
    const HMODULE api = w._hWlanApi;
    g_lookups.clear();
    EXPECT_EQ(w.Load(), 0);
    EXPECT_EQ(w._bLoaded, 1);
    EXPECT_EQ(w._hWlanApi, api);
    EXPECT_TRUE(g_lookups.empty());
    DWORD version = 0;
    HANDLE client = nullptr;
    ASSERT_EQ(w.WlanOpenHandle(2, nullptr, &version, &client), 0u);
    EXPECT_EQ(version, 2u);
    EXPECT_EQ(w.WlanCloseHandle(client, nullptr), 0u);
}

TEST_F(WlanApiWrapperTest, MissingEntryStopsTheLookupsAndReleasesBothLibraries) {
    g_hiddenEntry = "WlanHostedNetworkQueryStatus";
    CWlanApiWrapper w;
    EXPECT_EQ(w.Load(), 0);
    ASSERT_EQ(g_lookups.size(), 17u);
    EXPECT_EQ(g_lookups.back(), "WlanHostedNetworkQueryStatus");
    EXPECT_EQ(w._bLoaded, 0);
    EXPECT_EQ(w._hWlanApi, nullptr);
    EXPECT_EQ(w._hWlanUi, nullptr);
    EXPECT_TRUE(AllEntriesNull(w));
    EXPECT_EQ(Calls("FreeLibrary").size(), 2u);
    for (DWORD result : ForwardAll(w)) {
        EXPECT_EQ(result, 1u);
    }
}

TEST_F(WlanApiWrapperTest, MissingUiEntryIsTheLastLookup) {
    g_hiddenEntry = "WlanUIEditProfile";
    CWlanApiWrapper w;
    EXPECT_EQ(w.Load(), 0);
    EXPECT_EQ(g_lookups, kBindOrder);
    EXPECT_TRUE(AllEntriesNull(w));
    EXPECT_EQ(w._hWlanApi, nullptr);
}

TEST_F(WlanApiWrapperTest, EitherLibraryMissingLoadsNothing) {
    for (const wchar_t* missing : {L"WlanUi.dll", L"WlanApi.dll"}) {
        SetUp();
        g_refusedLibrary = missing;
        CWlanApiWrapper w;
        EXPECT_EQ(w.Load(), 0);
        // Both loads are tried before either is looked at; nothing is looked up.
        EXPECT_EQ(g_loads, (std::vector<std::wstring>{L"WlanApi.dll", L"WlanUi.dll"}));
        EXPECT_TRUE(g_lookups.empty());
        EXPECT_EQ(w._hWlanApi, nullptr);
        EXPECT_EQ(w._hWlanUi, nullptr);
        // The library that did load is freed again.
        EXPECT_EQ(Calls("FreeLibrary").size(), 1u);
        for (DWORD result : ForwardAll(w)) {
            EXPECT_EQ(result, 1u);
        }
    }
}

TEST_F(WlanApiWrapperTest, UnloadedWrapperCallsNothingAndCanLoadAgain) {
    CWlanApiWrapper w;
    ASSERT_EQ(w.Load(), 1);
    w._bLoaded = 0;
    w.Unload();
    w.Unload();
    EXPECT_EQ(w._hWlanApi, nullptr);
    EXPECT_TRUE(AllEntriesNull(w));
    int heap = 0;
    w.WlanFreeMemory(&heap); // must not reach the service
    for (DWORD result : ForwardAll(w)) {
        EXPECT_EQ(result, 1u);
    }
    EXPECT_TRUE(Calls("WlanFreeMemory").empty());
    EXPECT_TRUE(Calls("WlanOpenHandle").empty());
    EXPECT_EQ(w.Load(), 1);
}

TEST_F(WlanApiWrapperTest, UnloadLeavesTheLoadedFlagButNoEntryIsCalled) {
    CWlanApiWrapper w;
    ASSERT_EQ(w.Load(), 1);
    w.Unload();
    EXPECT_EQ(w._bLoaded, 1);
    for (DWORD result : ForwardAll(w)) {
        EXPECT_EQ(result, 1u);
    }
    EXPECT_TRUE(Calls("WlanOpenHandle").empty());
}

// ---- CWlanApiSmartWrapper ----------------------------------------------------------------------

using SmartWrapperTest = ServiceTest;

TEST_F(SmartWrapperTest, OpenTwiceKeepsTheFirstOpening) {
    CWlanApiSmartWrapper w(nullptr);
    ASSERT_EQ(w.Open(), 1);
    const HANDLE client = w._hClient;
    EXPECT_EQ(w.GetNegotiatedVersion(), 2u);
    EXPECT_EQ(w.Open(), 0);
    EXPECT_EQ(w._bOpened, 1);
    EXPECT_EQ(w._hClient, client);
    EXPECT_EQ(Calls("WlanOpenHandle").size(), 1u);
    PWLAN_INTERFACE_INFO_LIST list = nullptr;
    ASSERT_EQ(w.EnumInterfaces(&list), 0u);
    EXPECT_EQ(list->dwNumberOfItems, 3u);
    w.FreeMemory(list);
}

TEST_F(SmartWrapperTest, CloseUnregistersThenClosesThenUnloads) {
    CWlanApiSmartWrapper w(nullptr);
    ASSERT_EQ(w.Open(), 1);
    w.SetInterfaceGuid(kBusy);
    ASSERT_EQ(w.RegisterNotification(0xFFFF, TRUE, nullptr), 0u);
    const size_t before = Trace().size();
    w.Close();
    std::vector<std::string> ops = Ops();
    ops.erase(ops.begin(), ops.begin() + static_cast<long>(before));
    EXPECT_EQ(ops, (std::vector<std::string>{"WlanRegisterNotification", "WlanCloseHandle",
                                             "FreeLibrary", "FreeLibrary"}));
    EXPECT_EQ(Calls("WlanRegisterNotification").back()["source"], 0);
    EXPECT_EQ(w._bOpened, 0);
    EXPECT_EQ(w._bRegistered, 0);
    EXPECT_EQ(w._hClient, nullptr);
    EXPECT_EQ(w._wlanApi._hWlanApi, nullptr);
    EXPECT_EQ(std::memcmp(w.GetInterfaceGuid(), &kNullGuid, sizeof(GUID)), 0);
    // Closed: nothing reaches the service any more, and closing again does nothing.
    w.Close();
    EXPECT_EQ(Trace().size(), before + 4);
}

TEST_F(SmartWrapperTest, CloseWithoutRegistrationDoesNotUnregister) {
    CWlanApiSmartWrapper never(nullptr);
    never.Close();
    CWlanApiSmartWrapper w(nullptr);
    ASSERT_EQ(w.Open(), 1);
    w.Close();
    EXPECT_TRUE(Calls("WlanRegisterNotification").empty());
    EXPECT_EQ(Calls("WlanCloseHandle").size(), 1u);
}

TEST_F(SmartWrapperTest, SecondRegistrationIsRefusedWithoutCallingTheService) {
    CWlanApiSmartWrapper w(nullptr);
    ASSERT_EQ(w.Open(), 1);
    EXPECT_EQ(w.RegisterNotification(0xFFFF, TRUE, nullptr), 0u);
    EXPECT_EQ(w.RegisterNotification(0xFFFF, TRUE, nullptr), 1u);
    EXPECT_EQ(w.RegisterNotification(0x8, FALSE, nullptr), 1u);
    EXPECT_EQ(Calls("WlanRegisterNotification").size(), 1u);
    EXPECT_EQ(w._bRegistered, 1);
    // Unregistering is always attempted, even twice.
    DWORD previous = 0;
    EXPECT_EQ(w.RegisterNotification(0, FALSE, &previous), 0u);
    EXPECT_EQ(previous, 0xFFFFu);
    EXPECT_EQ(w.RegisterNotification(0, FALSE, nullptr), 0u);
    EXPECT_EQ(Calls("WlanRegisterNotification").size(), 3u);
    EXPECT_EQ(w._bRegistered, 0);
}

TEST_F(SmartWrapperTest, StaleHandleFromAFailedCloseMakesOpenFail) {
    CWlanApiSmartWrapper w(nullptr);
    ASSERT_EQ(w.Open(), 1);
    // The handle goes away behind the wrapper's back, so its own close fails.
    ASSERT_EQ(w._wlanApi.WlanCloseHandle(w._hClient, nullptr), 0u);
    const HANDLE stale = w._hClient;
    w.Close();
    EXPECT_EQ(w._bOpened, 0);
    EXPECT_EQ(w._hClient, stale);
    EXPECT_EQ(w.Open(), 0);
    EXPECT_EQ(w._bOpened, 0);
    EXPECT_EQ(w._wlanApi._bLoaded, 0);
    EXPECT_EQ(w._wlanApi._hWlanApi, nullptr);
    EXPECT_EQ(w.RegisterNotification(0xFFFF, TRUE, nullptr), 1u);
    EXPECT_EQ(Calls("WlanOpenHandle").size(), 1u);
}

TEST_F(SmartWrapperTest, OpenFailsWhenALibraryIsMissing) {
    g_refusedLibrary = L"WlanUi.dll";
    CWlanApiSmartWrapper w(nullptr);
    EXPECT_EQ(w.Open(), 0);
    EXPECT_EQ(w._bOpened, 0);
    EXPECT_EQ(w._hClient, nullptr);
    EXPECT_EQ(w.Scan(nullptr, nullptr), 1u);
    EXPECT_TRUE(Calls("WlanOpenHandle").empty());
}

TEST_F(SmartWrapperTest, CallsCarryTheClientAndTheSelectedInterface) {
    CWlanApiSmartWrapper w(nullptr);
    ASSERT_EQ(w.Open(), 1);
    ASSERT_EQ(w.SetInterfaceGuid(kBusy), 1);
    PWLAN_AVAILABLE_NETWORK_LIST list = nullptr;
    ASSERT_EQ(w.GetAvailableNetworkList(0, &list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->dwNumberOfItems, 4u);
    w.FreeMemory(list);
    const json call = Calls("WlanGetAvailableNetworkList").at(0);
    EXPECT_EQ(call["interface"], kBusyText);
    EXPECT_EQ(call["handle"], reinterpret_cast<uintptr_t>(w._hClient));
    EXPECT_EQ(Calls("WlanFreeMemory").at(0)["memory"], "freed");

    // The radio state goes out through SetInterface: opcode 4, 12 bytes; the service's
    // refusal comes back unchanged.
    WLAN_PHY_RADIO_STATE radio{0, dot11_radio_state_off, dot11_radio_state_on};
    EXPECT_EQ(w.SetRadioState(radio), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    const json set = Calls("WlanSetInterface").at(0);
    EXPECT_EQ(set["opcode"], 4);
    EXPECT_EQ(set["size"], 12);
    EXPECT_EQ(set["interface"], kBusyText);
}

TEST_F(SmartWrapperTest, ClosedWrapperForwardsNothing) {
    CWlanApiSmartWrapper w(nullptr);
    w.SetInterfaceGuid(kBusy);
    PVOID out = nullptr;
    DWORD size = 0;
    WLAN_PHY_RADIO_STATE radio{};
    const DWORD results[] = {
        w.EnumInterfaces(nullptr),
        w.Connect(nullptr),
        w.Disconnect(),
        w.GetAvailableNetworkList(0, nullptr),
        w.GetNetworkBssList(nullptr, dot11_BSS_type_any, FALSE, nullptr),
        w.QueryInterface(wlan_intf_opcode_interface_state, &size, &out, nullptr),
        w.SetInterface(wlan_intf_opcode_radio_state, 0, nullptr),
        w.SetRadioState(radio),
        w.Scan(nullptr, nullptr),
        w.GetProfile(L"p", nullptr, nullptr, nullptr),
        w.GetProfileList(nullptr),
        w.SetProfile(0, L"<x/>", nullptr, FALSE, nullptr),
        w.DeleteProfile(L"p"),
        w.RegisterNotification(0xFFFF, TRUE, nullptr),
        w.RegisterNotification(0, FALSE, nullptr),
        w.HostedNetworkQueryStatus(nullptr),
        w.GetInterfaceCapability(nullptr),
        w.UIEditProfile(L"p", nullptr, WLConnectionPage, nullptr),
        w.SaveTemporaryProfile(L"p", nullptr, 0, FALSE)};
    for (DWORD result : results) {
        EXPECT_EQ(result, 1u);
    }
    w.FreeMemory(&size);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(std::memcmp(w.GetInterfaceGuid(), &kBusy, sizeof(GUID)), 0);
}

// ---- SsidToString ----------------------------------------------------------------------------

std::unique_ptr<DOT11_SSID> Ssid(const std::vector<BYTE>& bytes) {
    // On the heap and exactly one record long, so a read past it is caught by the sanitizer.
    auto ssid = std::make_unique<DOT11_SSID>();
    ssid->uSSIDLength = static_cast<ULONG>(bytes.size());
    if (!bytes.empty()) {
        std::memcpy(ssid->ucSSID, bytes.data(), std::min<size_t>(bytes.size(), 32));
    }
    return ssid;
}

TEST(SsidToString, EmptySsidIsAnEmptyName) {
    std::wstring text = L"left over";
    EXPECT_EQ(SsidToString(*Ssid({}), text), 1);
    EXPECT_EQ(text, L"");
}

TEST(SsidToString, LengthBeyondTheRecordIsRefused) {
    for (ULONG length : {33u, 36u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        auto ssid = Ssid(std::vector<BYTE>(32, 'A'));
        ssid->uSSIDLength = length;
        std::wstring text = L"left over";
        EXPECT_EQ(SsidToString(*ssid, text), 0) << length;
        EXPECT_EQ(text, L"");
    }
}

TEST(SsidToString, FullLengthNameConvertsWhole) {
    std::wstring text;
    ASSERT_EQ(SsidToString(*Ssid(std::vector<BYTE>(32, 'z')), text), 1);
    EXPECT_EQ(text, std::wstring(32, L'z'));
}

TEST(SsidToString, NameEndsAtTheFirstZeroByte) {
    std::wstring text;
    ASSERT_EQ(SsidToString(*Ssid({'a', 'b', 0, 'c', 'd'}), text), 1);
    EXPECT_EQ(text, L"ab");
    ASSERT_EQ(SsidToString(*Ssid({0, 'x'}), text), 1);
    EXPECT_EQ(text, L"");
}

TEST(SsidToString, BytesGoThroughTheAnsiCodePage) {
    // The unit machine's code page is Windows-1252.
    std::wstring text;
    ASSERT_EQ(SsidToString(*Ssid({'C', 'a', 'f', 0xE9, ' ', 0x80, 0x9F, 0xFF}), text), 1);
    EXPECT_EQ(text, std::wstring(L"Caf\u00E9 \u20AC\u0178\u00FF"));
    // UTF-8 bytes are not decoded as UTF-8.
    ASSERT_EQ(SsidToString(*Ssid({0xC3, 0xA9}), text), 1);
    EXPECT_EQ(text, std::wstring(L"\u00C3\u00A9"));
}

// ---- Whole scans in process -------------------------------------------------------------------

using ScanTest = ServiceTest;

TEST_F(ScanTest, ScanListsTheSelectedInterfacesNames) {
    CSundrel scan;
    ASSERT_EQ(scan.Initialize(kBusy), 1);
    std::vector<std::wstring> names{L"stale"};
    ASSERT_EQ(scan.ScanSsids(names), 1);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"Beta", L"Alpha"}));
    scan.Release();
    EXPECT_EQ(scan._pWrapper, nullptr);
    EXPECT_EQ(scan._hScanEvent, nullptr);
    EXPECT_EQ(Calls("WlanFreeMemory").at(0)["memory"], "freed");
    EXPECT_EQ(Calls("WlanCloseHandle").size(), 1u);
}

TEST_F(ScanTest, NotificationForAnotherInterfaceDoesNotEndTheWait) {
    // A second client scans another interface; its scan-complete reaches every registered
    // client, ours included, while ours waits for a scan that never reports.
    CSundrel scan;
    ASSERT_EQ(scan.Initialize(kSilent), 1);
    CWlanApiSmartWrapper other(nullptr);
    ASSERT_EQ(other.Open(), 1);
    other.SetInterfaceGuid(kElsewhere);
    ASSERT_EQ(other.Scan(nullptr, nullptr), 0u);
    std::vector<std::wstring> names;
    EXPECT_EQ(scan.ScanSsids(names), 0);
    EXPECT_TRUE(names.empty());
    scan.Release();
    bool delivered = false;
    for (const json& n : Calls("notify")) {
        delivered = delivered || n["interface"] == kElsewhereText;
    }
    EXPECT_TRUE(delivered) << "the other interface's notification never came";
    EXPECT_TRUE(Calls("WlanGetAvailableNetworkList").empty());
}

TEST_F(ScanTest, RefusedInitializeReleasesEverything) {
    g_hiddenEntry = "WlanScan";
    CSundrel scan;
    EXPECT_EQ(scan.Initialize(kBusy), 0);
    EXPECT_EQ(scan._pWrapper, nullptr);
    EXPECT_EQ(scan._hScanEvent, nullptr);
    std::vector<std::wstring> names;
    EXPECT_EQ(scan.ScanSsids(names), 0);
}

} // namespace

int main(int argc, char** argv) {
    // Each test process has its own trace file; the machine is the unit machine. The scratch
    // folder outlives the tests and goes with everything in it.
    const nwt::test::ScratchDir scratch("sundrel-service");
    g_tracePath = scratch.Path("trace.jsonl");
    setenv("SIMBOOK", SUNDREL_UNIT_MACHINE, 1);
    setenv("SIMBOOK_TRACE", g_tracePath.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
