// The listener dispatcher (every source and code to its handler, with the right arguments), the
// notification path from the service callback to the listener, and the scan handlers of CSundrel.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sundrel/sundrel_scan.h"
#include "sundrel/wlan_api_listener.h"
#include "sundrel/wlan_api_smart_wrapper.h"

namespace {

struct Call {
    std::string handler;
    PWLAN_NOTIFICATION_DATA record = nullptr; // source-level handlers
    const GUID* guid = nullptr;               // code-level handlers
    PVOID payload = nullptr;
    bool hasPayload = false;
};

#define RECORD_HANDLER(name)                                                                       \
    void name(PWLAN_NOTIFICATION_DATA d) override {                                                \
        calls.push_back({#name, d, nullptr, nullptr, false});                                      \
    }
#define GUID_HANDLER(name)                                                                         \
    void name(const GUID& g) override {                                                            \
        calls.push_back({#name, nullptr, &g, nullptr, false});                                     \
    }
#define PAYLOAD_HANDLER(name)                                                                      \
    void name(const GUID& g, PVOID p) override {                                                   \
        calls.push_back({#name, nullptr, &g, p, true});                                            \
    }

// Records every handler the dispatcher reaches; the four code dispatchers are left in place.
class RecordingListener : public CWlanApiSmartWrapperListener {
public:
    std::vector<Call> calls;

    RECORD_HANDLER(OnSourceNone)
    RECORD_HANDLER(OnSourceAll)
    RECORD_HANDLER(OnSourceIhv)
    RECORD_HANDLER(OnSourceSecurity)
    PAYLOAD_HANDLER(OnOnexResultUpdate)
    PAYLOAD_HANDLER(OnOnexAuthRestarted)
    PAYLOAD_HANDLER(OnHnwkPeerStateChange)
    PAYLOAD_HANDLER(OnHnwkReserved)
    PAYLOAD_HANDLER(OnHnwkStateChange)
    GUID_HANDLER(OnAcmAutoconfEnabled)
    GUID_HANDLER(OnAcmAutoconfDisabled)
    GUID_HANDLER(OnAcmBackgroundScanEnabled)
    GUID_HANDLER(OnAcmBackgroundScanDisabled)
    PAYLOAD_HANDLER(OnAcmBssTypeChange)
    PAYLOAD_HANDLER(OnAcmPowerSettingChange)
    GUID_HANDLER(OnAcmScanComplete)
    PAYLOAD_HANDLER(OnAcmScanFail)
    PAYLOAD_HANDLER(OnAcmConnectionStart)
    PAYLOAD_HANDLER(OnAcmConnectionComplete)
    PAYLOAD_HANDLER(OnAcmConnectionAttemptFail)
    GUID_HANDLER(OnAcmFilterListChange)
    GUID_HANDLER(OnAcmInterfaceArrival)
    GUID_HANDLER(OnAcmInterfaceRemoval)
    GUID_HANDLER(OnAcmProfileChange)
    PAYLOAD_HANDLER(OnAcmProfileNameChange)
    GUID_HANDLER(OnAcmProfilesExhausted)
    GUID_HANDLER(OnAcmNetworkNotAvailable)
    GUID_HANDLER(OnAcmNetworkAvailable)
    PAYLOAD_HANDLER(OnAcmDisconnecting)
    PAYLOAD_HANDLER(OnAcmDisconnected)
    PAYLOAD_HANDLER(OnAcmAdhocNetworkStateChange)
    PAYLOAD_HANDLER(OnMsmAssociating)
    PAYLOAD_HANDLER(OnMsmAssociated)
    PAYLOAD_HANDLER(OnMsmAuthenticating)
    PAYLOAD_HANDLER(OnMsmConnected)
    PAYLOAD_HANDLER(OnMsmRoamingStart)
    PAYLOAD_HANDLER(OnMsmRoamingEnd)
    PAYLOAD_HANDLER(OnMsmRadioStateChange)
    PAYLOAD_HANDLER(OnMsmSignalQualityChange)
    PAYLOAD_HANDLER(OnMsmDisassociating)
    PAYLOAD_HANDLER(OnMsmDisconnected)
    PAYLOAD_HANDLER(OnMsmPeerJoin)
    PAYLOAD_HANDLER(OnMsmPeerLeave)
    PAYLOAD_HANDLER(OnMsmAdapterRemoval)
    PAYLOAD_HANDLER(OnMsmAdapterOperationModeChange)
};

const GUID kGuid = {0xc799c725, 0x24b9, 0x464b, {0xb6, 0xc7, 0x5e, 0x30, 0x0d, 0xce, 0x17, 0xd6}};
const GUID kOtherGuid = {
    0xc799c725, 0x24b9, 0x464b, {0xb6, 0xc7, 0x5e, 0x30, 0x0d, 0xce, 0x17, 0xd7}};

class Dispatch : public ::testing::Test {
protected:
    WLAN_NOTIFICATION_DATA Record(DWORD source, DWORD code) {
        WLAN_NOTIFICATION_DATA r{};
        r.NotificationSource = source;
        r.NotificationCode = code;
        r.InterfaceGuid = kGuid;
        r.dwDataSize = sizeof _payload;
        r.pData = &_payload;
        return r;
    }

    // Dispatches one record and checks that exactly `handler` ran, with the record's own GUID
    // field by reference and, when the handler takes one, the record's payload pointer.
    void ExpectCodeRoute(DWORD source, DWORD code, const std::string& handler, bool payload) {
        SCOPED_TRACE("source " + std::to_string(source) + " code " + std::to_string(code));
        RecordingListener listener;
        WLAN_NOTIFICATION_DATA r = Record(source, code);
        listener.OnNotification(&r);
        ASSERT_EQ(listener.calls.size(), 1u);
        const Call& c = listener.calls[0];
        EXPECT_EQ(c.handler, handler);
        EXPECT_EQ(c.guid, &r.InterfaceGuid);
        EXPECT_EQ(c.hasPayload, payload);
        EXPECT_EQ(c.payload, payload ? r.pData : nullptr);
    }

    void ExpectIgnored(DWORD source, DWORD code) {
        RecordingListener listener;
        WLAN_NOTIFICATION_DATA r = Record(source, code);
        listener.OnNotification(&r);
        EXPECT_TRUE(listener.calls.empty())
            << "source " << source << " code " << code << " reached " << listener.calls[0].handler;
    }

    DWORD _payload = 0x2A;
};

TEST_F(Dispatch, SourcesWithoutCodesReachTheirHandlerWithTheRecord) {
    const std::pair<DWORD, const char*> routes[] = {{0x0, "OnSourceNone"},
                                                    {0x20, "OnSourceSecurity"},
                                                    {0x40, "OnSourceIhv"},
                                                    {0xFFFF, "OnSourceAll"}};
    for (const auto& [source, handler] : routes) {
        RecordingListener listener;
        WLAN_NOTIFICATION_DATA r = Record(source, 7);
        listener.OnNotification(&r);
        ASSERT_EQ(listener.calls.size(), 1u) << handler;
        EXPECT_EQ(listener.calls[0].handler, handler);
        EXPECT_EQ(listener.calls[0].record, &r);
    }
}

TEST_F(Dispatch, EveryAcmCodeReachesItsHandler) {
    const std::pair<const char*, bool> handlers[22] = {
        {"OnAcmAutoconfEnabled", false},       {"OnAcmAutoconfDisabled", false},
        {"OnAcmBackgroundScanEnabled", false}, {"OnAcmBackgroundScanDisabled", false},
        {"OnAcmBssTypeChange", true},          {"OnAcmPowerSettingChange", true},
        {"OnAcmScanComplete", false},          {"OnAcmScanFail", true},
        {"OnAcmConnectionStart", true},        {"OnAcmConnectionComplete", true},
        {"OnAcmConnectionAttemptFail", true},  {"OnAcmFilterListChange", false},
        {"OnAcmInterfaceArrival", false},      {"OnAcmInterfaceRemoval", false},
        {"OnAcmProfileChange", false},         {"OnAcmProfileNameChange", true},
        {"OnAcmProfilesExhausted", false},     {"OnAcmNetworkNotAvailable", false},
        {"OnAcmNetworkAvailable", false},      {"OnAcmDisconnecting", true},
        {"OnAcmDisconnected", true},           {"OnAcmAdhocNetworkStateChange", true}};
    for (DWORD code = 1; code <= 22; ++code) {
        ExpectCodeRoute(0x8, code, handlers[code - 1].first, handlers[code - 1].second);
    }
}

TEST_F(Dispatch, EveryMsmCodeReachesItsHandlerWithThePayload) {
    const char* handlers[14] = {"OnMsmAssociating",      "OnMsmAssociated",
                                "OnMsmAuthenticating",   "OnMsmConnected",
                                "OnMsmRoamingStart",     "OnMsmRoamingEnd",
                                "OnMsmRadioStateChange", "OnMsmSignalQualityChange",
                                "OnMsmDisassociating",   "OnMsmDisconnected",
                                "OnMsmPeerJoin",         "OnMsmPeerLeave",
                                "OnMsmAdapterRemoval",   "OnMsmAdapterOperationModeChange"};
    for (DWORD code = 1; code <= 14; ++code) {
        ExpectCodeRoute(0x10, code, handlers[code - 1], true);
    }
}

TEST_F(Dispatch, OnexAndHostedNetworkCodesReachTheirHandlers) {
    ExpectCodeRoute(0x4, 1, "OnOnexResultUpdate", true);
    ExpectCodeRoute(0x4, 2, "OnOnexAuthRestarted", true);
    ExpectCodeRoute(0x80, 0x1000, "OnHnwkStateChange", true);
    ExpectCodeRoute(0x80, 0x1001, "OnHnwkPeerStateChange", true);
    // Radio-state changes share the state-change handler; the reserved slot is never reached.
    ExpectCodeRoute(0x80, 0x1002, "OnHnwkStateChange", true);
}

TEST_F(Dispatch, UnknownSourcesAndCodesReachNothing) {
    // Two source bits at once, and values that are no source.
    for (DWORD source : {0x18u, 0x1u, 0x2u, 0x100u, 0x8000u, 0xFFFEu, 0x1FFFFu}) {
        ExpectIgnored(source, 7);
    }
    for (DWORD code : {0u, 23u, 0x8000u, 0xFFFFFFFFu}) {
        ExpectIgnored(0x8, code);
    }
    for (DWORD code : {0u, 15u, 0xFFFFFFFFu}) {
        ExpectIgnored(0x10, code);
    }
    for (DWORD code : {0u, 3u}) {
        ExpectIgnored(0x4, code);
    }
    for (DWORD code : {0u, 1u, 0x0FFFu, 0x1003u}) {
        ExpectIgnored(0x80, code);
    }
}

TEST_F(Dispatch, NullRecordIsDropped) {
    RecordingListener listener;
    listener.OnNotification(nullptr);
    EXPECT_TRUE(listener.calls.empty());
}

// A listener that takes over a whole source sees the record and nothing below it.
class AcmSourceListener : public RecordingListener {
public:
    RECORD_HANDLER(OnSourceAcm)
};

TEST_F(Dispatch, DispatchersAreOverridable) {
    AcmSourceListener listener;
    WLAN_NOTIFICATION_DATA r = Record(0x8, 7);
    listener.OnNotification(&r);
    ASSERT_EQ(listener.calls.size(), 1u);
    EXPECT_EQ(listener.calls[0].handler, "OnSourceAcm");
}

TEST(NotificationPath, CallbackHandsTheRecordToTheWrappersListener) {
    RecordingListener listener;
    CWlanApiSmartWrapper wrapper(&listener);
    WLAN_NOTIFICATION_DATA r{};
    r.NotificationSource = 0x8;
    r.NotificationCode = 7;
    r.InterfaceGuid = kGuid;
    NotificationCallback(&r, &wrapper);
    ASSERT_EQ(listener.calls.size(), 1u);
    EXPECT_EQ(listener.calls[0].handler, "OnAcmScanComplete");
    EXPECT_EQ(listener.calls[0].guid, &r.InterfaceGuid);

    // No context, or a wrapper without a listener: accepted and dropped.
    NotificationCallback(&r, nullptr);
    CWlanApiSmartWrapper deaf(nullptr);
    NotificationCallback(&r, &deaf);
    deaf.DispatchNotification(&r);
    EXPECT_EQ(listener.calls.size(), 1u);
}

// The scan handlers signal the scan event only for the selected interface.
class ScanHandlers : public ::testing::Test {
protected:
    void SetUp() override {
        _scan._hScanEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(_scan._hScanEvent, nullptr);
        _scan._pWrapper = new CWlanApiSmartWrapper(&_scan);
        _scan._pWrapper->SetInterfaceGuid(kGuid);
    }
    bool Signalled() { return ::WaitForSingleObject(_scan._hScanEvent, 0) == WAIT_OBJECT_0; }
    void Notify(DWORD code, const GUID& guid) {
        WLAN_NOTIFICATION_DATA r{};
        r.NotificationSource = 0x8;
        r.NotificationCode = code;
        r.InterfaceGuid = guid;
        NotificationCallback(&r, _scan._pWrapper);
    }

    CSundrel _scan;
};

TEST_F(ScanHandlers, ScanEndOfTheSelectedInterfaceSignalsOnce) {
    Notify(7, kGuid);
    EXPECT_TRUE(Signalled());
    EXPECT_FALSE(Signalled()) << "the event must reset itself";
    Notify(8, kGuid);
    EXPECT_TRUE(Signalled());
}

TEST_F(ScanHandlers, OtherInterfacesAndOtherCodesLeaveTheEventAlone) {
    Notify(7, kOtherGuid);
    Notify(8, kOtherGuid);
    Notify(6, kGuid);
    Notify(19, kGuid);
    EXPECT_FALSE(Signalled());
}

TEST_F(ScanHandlers, ReleaseLeavesNothingForALateHandler) {
    _scan.Release();
    EXPECT_EQ(_scan._pWrapper, nullptr);
    EXPECT_EQ(_scan._hScanEvent, nullptr);
    // A handler reaching a released scan object does nothing.
    _scan.OnAcmScanComplete(kGuid);
    _scan.OnAcmScanFail(kGuid, nullptr);
}

} // namespace

// The command line's argument: only a whole, non-null registry-form GUID is taken, and a text
// the parser consumed in part is refused although part of a GUID was written.
TEST(InterfaceArgument, OnlyAWholeNonNullGuidIsTaken) {
    struct Case {
        std::vector<const wchar_t*> args;
        bool taken;
    };
    const std::vector<Case> cases = {
        {{L"sundrel", L"{c799c725-24b9-464b-b6c7-5e300dce17d6}"}, true},
        {{L"sundrel", L"{C799C725-24B9-464B-B6C7-5E300DCE17D6}"}, true},
        {{L"sundrel", L"{c799c725-24b9-464b-b6c7-5e300dce17dZ}"}, false}, // partly parsed
        {{L"sundrel", L"{00000000-0000-0000-0000-000000000000}"}, false},
        {{L"sundrel", L"c799c725-24b9-464b-b6c7-5e300dce17d6"}, false},
        {{L"sundrel", L""}, false},
        {{L"sundrel", nullptr}, false},
        {{L"sundrel"}, false},
        {{L"sundrel", L"{c799c725-24b9-464b-b6c7-5e300dce17d6}", L"x"}, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::vector<wchar_t*> argv;
        for (const wchar_t* arg : c.args) {
            argv.push_back(const_cast<wchar_t*>(arg));
        }
        argv.push_back(nullptr);
        GUID guid{};
        const bool taken =
            ParseInterfaceArgument(static_cast<int>(c.args.size()), argv.data(), guid);
        EXPECT_EQ(taken, c.taken) << "case " << i;
        if (taken) {
            EXPECT_EQ(guid.Data1, 0xc799c725u);
            EXPECT_EQ(guid.Data4[7], 0xd6);
        }
    }
    GUID guid{};
    EXPECT_FALSE(ParseInterfaceArgument(2, nullptr, guid));
}
