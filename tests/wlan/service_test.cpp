// The simulated Wi-Fi service as a program meets it: bound through LoadLibraryW and
// GetProcAddress, notifications on the service's own thread, the network list, the trace.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "child.h"
#include "service_api.h"
#include "support/scratch.h"

namespace {

using namespace std::chrono_literals;

struct Received {
    DWORD source;
    DWORD code;
    GUID guid;
    DWORD dataSize;
    bool hasData;
    WLAN_REASON_CODE reason;
    std::thread::id thread;
};

// Records every notification and signals an auto-reset event for each.
struct Recorder {
    std::mutex mutex;
    std::vector<Received> received;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    ~Recorder() { CloseHandle(event); }

    static VOID CALLBACK Callback(PWLAN_NOTIFICATION_DATA data, PVOID context) {
        auto* self = static_cast<Recorder*>(context);
        Received r{data->NotificationSource,
                   data->NotificationCode,
                   data->InterfaceGuid,
                   data->dwDataSize,
                   data->pData != nullptr,
                   data->pData != nullptr ? *static_cast<WLAN_REASON_CODE*>(data->pData) : 0,
                   std::this_thread::get_id()};
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->received.push_back(r);
        }
        SetEvent(self->event);
    }

    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }

    // How many of the notifications were for `guid`.
    size_t CountFor(const GUID& guid) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const Received& r : received) {
            n += std::memcmp(&r.guid, &guid, sizeof guid) == 0 ? 1 : 0;
        }
        return n;
    }
};

bool Same(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(WlanService, ClientHandlesNegotiateVersionsAndCheckArguments) {
    RunInChild(MachineText(), [](const ChildRun&) {
        ServiceApi api;
        api.Bind();
        DWORD negotiated = 0;
        HANDLE a = nullptr, b = nullptr;
        ASSERT_EQ(api.open(2, nullptr, &negotiated, &a), 0u);
        EXPECT_EQ(negotiated, 2u);
        ASSERT_EQ(api.open(1, nullptr, &negotiated, &b), 0u);
        EXPECT_EQ(negotiated, 1u);
        EXPECT_NE(a, b);
        // A version the service does not know is refused, the outputs untouched.
        HANDLE c = nullptr;
        negotiated = 0x55;
        EXPECT_EQ(api.open(3, nullptr, &negotiated, &c), DWORD(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(negotiated, 0x55u);
        EXPECT_EQ(c, nullptr);

        int reserved = 0;
        EXPECT_EQ(api.open(2, &reserved, &negotiated, &c), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.open(2, nullptr, nullptr, &c), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.open(2, nullptr, &negotiated, nullptr), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.open(0, nullptr, &negotiated, &c), DWORD(ERROR_NOT_SUPPORTED));

        EXPECT_EQ(api.close(nullptr, nullptr), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.close(a, &reserved), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.close(a, nullptr), 0u);
        EXPECT_EQ(api.close(a, nullptr), DWORD(ERROR_INVALID_HANDLE)) << "closed twice";
        EXPECT_EQ(api.scan(a, &kGuidComplete, nullptr, nullptr, nullptr),
                  DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(
            api.scan(reinterpret_cast<HANDLE>(0x7777), &kGuidComplete, nullptr, nullptr, nullptr),
            DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(api.close(b, nullptr), 0u);
        FreeLibrary(api.module);
    });
}

TEST(WlanService, ScanBehavioursOfTheMachine) {
    RunInChild(MachineText(), [](const ChildRun& run) {
        ServiceApi api;
        api.Bind();
        Recorder rec;
        HANDLE client = api.OpenClient();
        ASSERT_EQ(api.registerNotification(client, WLAN_NOTIFICATION_SOURCE_ALL, TRUE,
                                           Recorder::Callback, &rec, nullptr, nullptr),
                  0u);

        // complete: scan complete (ACM 7) for that interface, on a thread of the service's own.
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(api.scan(client, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
        ASSERT_EQ(WaitForSingleObject(rec.event, 5000), WAIT_OBJECT_0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms) << "notify_delay_ms is kept";
        // fail: scan fail (ACM 8) carrying a reason code.
        ASSERT_EQ(api.scan(client, &kGuidFail, nullptr, nullptr, nullptr), 0u);
        ASSERT_EQ(WaitForSingleObject(rec.event, 5000), WAIT_OBJECT_0);
        // refuse: an error result and nothing later; silent: accepted and nothing later.
        EXPECT_NE(api.scan(client, &kGuidRefuse, nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(api.scan(client, &kGuidSilent, nullptr, nullptr, nullptr), 0u);
        // unknown interface and malformed requests
        EXPECT_EQ(api.scan(client, &kGuidUnknown, nullptr, nullptr, nullptr),
                  DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.scan(client, nullptr, nullptr, nullptr, nullptr),
                  DWORD(ERROR_INVALID_PARAMETER));
        DOT11_SSID longSsid{33, {}};
        EXPECT_EQ(api.scan(client, &kGuidComplete, &longSsid, nullptr, nullptr),
                  DWORD(ERROR_INVALID_PARAMETER));
        WLAN_RAW_DATA bigIe{241, {0}};
        EXPECT_EQ(api.scan(client, &kGuidComplete, nullptr, &bigIe, nullptr),
                  DWORD(ERROR_INVALID_PARAMETER));
        // The service delivers in order: once a later scan's notification is in, nothing the
        // requests above might have caused is still on its way.
        ASSERT_EQ(api.scan(client, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
        ASSERT_EQ(WaitForSingleObject(rec.event, 5000), WAIT_OBJECT_0);

        ASSERT_EQ(rec.Count(), 3u) << "the refused, silent and malformed scans notified";
        EXPECT_TRUE(Same(rec.received[2].guid, kGuidComplete));
        const Received& complete = rec.received[0];
        EXPECT_EQ(complete.source, WLAN_NOTIFICATION_SOURCE_ACM);
        EXPECT_EQ(complete.code, DWORD(wlan_notification_acm_scan_complete));
        EXPECT_TRUE(Same(complete.guid, kGuidComplete));
        EXPECT_NE(complete.thread, std::this_thread::get_id());
        const Received& fail = rec.received[1];
        EXPECT_EQ(fail.code, DWORD(wlan_notification_acm_scan_fail));
        EXPECT_TRUE(Same(fail.guid, kGuidFail));
        EXPECT_EQ(fail.dataSize, sizeof(WLAN_REASON_CODE));
        EXPECT_TRUE(fail.hasData);
        EXPECT_NE(fail.reason, 0u);

        EXPECT_EQ(api.close(client, nullptr), 0u);
        FreeLibrary(api.module);

        auto notifies = run.TraceOps("notify");
        ASSERT_EQ(notifies.size(), 3u);
        EXPECT_NE(run.TraceText().find("\n{\"op\":\"notify\",\"source\":8,\"code\":7,\"interface\":"
                                       "\"{c799c725-24b9-464b-b6c7-5e300dce17d6}\"}\n"),
                  std::string::npos);
        EXPECT_EQ(notifies[1]["code"], 8);
        auto scans = run.TraceOps("WlanScan");
        ASSERT_EQ(scans.size(), 9u);
        EXPECT_EQ(scans[0]["result"], 0);
        EXPECT_EQ(scans[4]["interface"], "{99999999-2222-3333-4444-555555555555}");
        EXPECT_EQ(scans[4]["result"], ERROR_INVALID_PARAMETER);
    });
}

// A "scan" list: the run's first scan of the interface takes the run's step and stores the next
// one; every later scan of the run behaves alike. A step that cannot be stored (a read-only
// file) fails every scan of the run with ERROR_IO_DEVICE and stores nothing.
TEST(WlanService, ScanListTakesOneStepPerRun) {
    const nlohmann::json interfaces = {
        {{"guid", "{c799c725-24b9-464b-b6c7-5e300dce17d6}"}, {"scan", {"refuse", "complete"}}}};
    for (const bool readOnly : {false, true}) {
        RunInChild(MachineText({{"interfaces", interfaces}}), [readOnly](const ChildRun& run) {
            const std::string path = run.dir + "/machine.json";
            ASSERT_EQ(chmod(path.c_str(), readOnly ? 0444 : 0644), 0);
            ServiceApi api;
            api.Bind();
            HANDLE client = api.OpenClient();
            for (int scan = 0; scan < 2; ++scan) {
                EXPECT_EQ(api.scan(client, &kGuidComplete, nullptr, nullptr, nullptr),
                          DWORD(readOnly ? ERROR_IO_DEVICE : ERROR_BUSY));
            }
            EXPECT_EQ(api.close(client, nullptr), 0u);
            FreeLibrary(api.module);
            const nlohmann::json after = nlohmann::json::parse(nwt::test::ReadFile(path));
            EXPECT_EQ(after["wlan"]["interfaces"][0].value("scan_step", 0), readOnly ? 0 : 1);
        });
    }
}

TEST(WlanService, NotificationsFollowTheRegistration) {
    RunInChild(MachineText(), [](const ChildRun&) {
        ServiceApi api;
        api.Bind();
        Recorder acm, msmOnly, last;
        HANDLE a = api.OpenClient(), b = api.OpenClient(), c = api.OpenClient();
        DWORD previous = 77;
        EXPECT_EQ(api.registerNotification(a, WLAN_NOTIFICATION_SOURCE_ACM, FALSE,
                                           Recorder::Callback, &acm, nullptr, &previous),
                  0u);
        EXPECT_EQ(previous, 0u);
        EXPECT_EQ(api.registerNotification(b, WLAN_NOTIFICATION_SOURCE_MSM, FALSE,
                                           Recorder::Callback, &msmOnly, nullptr, nullptr),
                  0u);
        EXPECT_EQ(api.registerNotification(c, WLAN_NOTIFICATION_SOURCE_ALL, FALSE, nullptr, nullptr,
                                           nullptr, nullptr),
                  DWORD(ERROR_INVALID_PARAMETER))
            << "a source without a callback";
        ASSERT_EQ(api.registerNotification(c, WLAN_NOTIFICATION_SOURCE_ACM, FALSE,
                                           Recorder::Callback, &last, nullptr, nullptr),
                  0u);
        // The service delivers one notification at a time, in order: once `last` has the
        // notification of a later scan, every client has had its chance at the earlier ones.
        auto settle = [&] {
            const size_t before = last.CountFor(kGuidFail);
            ASSERT_EQ(api.scan(c, &kGuidFail, nullptr, nullptr, nullptr), 0u);
            while (last.CountFor(kGuidFail) == before) {
                ASSERT_EQ(WaitForSingleObject(last.event, 5000), WAIT_OBJECT_0);
            }
        };

        // A scan by one client reaches every client registered for its source.
        ASSERT_EQ(api.scan(c, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
        ASSERT_EQ(WaitForSingleObject(acm.event, 5000), WAIT_OBJECT_0);
        settle();
        EXPECT_EQ(acm.Count(), 2u);
        EXPECT_EQ(msmOnly.Count(), 0u) << "a client of another source was called";

        EXPECT_EQ(api.registerNotification(a, WLAN_NOTIFICATION_SOURCE_NONE, FALSE, nullptr,
                                           nullptr, nullptr, &previous),
                  0u);
        EXPECT_EQ(previous, WLAN_NOTIFICATION_SOURCE_ACM);
        ASSERT_EQ(api.scan(c, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
        settle();
        EXPECT_EQ(acm.Count(), 2u) << "called after it unregistered";
        EXPECT_EQ(msmOnly.Count(), 0u);
        for (HANDLE h : {a, b, c}) {
            EXPECT_EQ(api.close(h, nullptr), 0u);
        }
        FreeLibrary(api.module);
    });
}

// The callback holds the service thread for a while; unregistering (or closing) must not return
// before the callback has, and nothing may be called afterwards.
struct SlowCallback {
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    HANDLE entered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~SlowCallback() { CloseHandle(entered); }

    static VOID CALLBACK Callback(PWLAN_NOTIFICATION_DATA, PVOID context) {
        auto* self = static_cast<SlowCallback*>(context);
        self->inside = true;
        self->calls++;
        SetEvent(self->entered);
        // The call's own length, while the test unregisters: nothing to wait for but time.
        std::this_thread::sleep_for(150ms);
        self->inside = false;
    }
};

TEST(WlanService, UnregisterWaitsForARunningCallback) {
    for (bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "closing the handle" : "registering source 0");
        RunInChild(MachineText({{"notify_delay_ms", 0}}), [byClose](const ChildRun&) {
            ServiceApi api;
            api.Bind();
            SlowCallback slow;
            HANDLE client = api.OpenClient();
            ASSERT_EQ(api.registerNotification(client, WLAN_NOTIFICATION_SOURCE_ALL, TRUE,
                                               SlowCallback::Callback, &slow, nullptr, nullptr),
                      0u);
            // Two notifications queued: the first is running when we unregister, the second
            // must never start.
            ASSERT_EQ(api.scan(client, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
            ASSERT_EQ(api.scan(client, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
            ASSERT_EQ(WaitForSingleObject(slow.entered, 5000), WAIT_OBJECT_0);
            DWORD result = byClose ? api.close(client, nullptr)
                                   : api.registerNotification(client, 0, FALSE, nullptr, nullptr,
                                                              nullptr, nullptr);
            EXPECT_EQ(result, 0u);
            EXPECT_FALSE(slow.inside) << "returned while the callback was still running";
            // Notifications come one at a time and in order: when a later scan's has reached
            // another client, the second queued one has been delivered or dropped.
            Recorder later;
            HANDLE other = api.OpenClient();
            ASSERT_EQ(api.registerNotification(other, WLAN_NOTIFICATION_SOURCE_ACM, FALSE,
                                               Recorder::Callback, &later, nullptr, nullptr),
                      0u);
            ASSERT_EQ(api.scan(other, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
            ASSERT_EQ(WaitForSingleObject(later.event, 5000), WAIT_OBJECT_0);
            EXPECT_EQ(slow.calls, 1);
            EXPECT_EQ(api.close(other, nullptr), 0u);
            if (!byClose) {
                EXPECT_EQ(api.close(client, nullptr), 0u);
            }
            FreeLibrary(api.module);
        });
    }
}

struct SelfUnregister {
    ServiceApi* api;
    HANDLE client;
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD result = 99;
    ~SelfUnregister() { CloseHandle(done); }

    static VOID CALLBACK Callback(PWLAN_NOTIFICATION_DATA, PVOID context) {
        auto* self = static_cast<SelfUnregister*>(context);
        self->result = self->api->registerNotification(self->client, 0, FALSE, nullptr, nullptr,
                                                       nullptr, nullptr);
        SetEvent(self->done);
    }
};

TEST(WlanService, CallbackMayUnregisterItself) {
    RunInChild(MachineText({{"notify_delay_ms", 0}}), [](const ChildRun&) {
        ServiceApi api;
        api.Bind();
        SelfUnregister self{&api, api.OpenClient()};
        ASSERT_EQ(api.registerNotification(self.client, WLAN_NOTIFICATION_SOURCE_ACM, TRUE,
                                           SelfUnregister::Callback, &self, nullptr, nullptr),
                  0u);
        ASSERT_EQ(api.scan(self.client, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
        ASSERT_EQ(WaitForSingleObject(self.done, 5000), WAIT_OBJECT_0) << "deadlocked";
        EXPECT_EQ(self.result, 0u);
        EXPECT_EQ(api.close(self.client, nullptr), 0u);
        FreeLibrary(api.module);
    });
}

TEST(WlanService, UnloadingWithPendingNotificationsIsSafe) {
    RunInChild(MachineText({{"notify_delay_ms", 200}}), [](const ChildRun& run) {
        std::atomic<int> calls{0};
        {
            ServiceApi api;
            api.Bind();
            HANDLE client = api.OpenClient();
            ASSERT_EQ(
                api.registerNotification(
                    client, WLAN_NOTIFICATION_SOURCE_ALL, TRUE,
                    [](PWLAN_NOTIFICATION_DATA, PVOID c) { ++*static_cast<std::atomic<int>*>(c); },
                    &calls, nullptr, nullptr),
                0u);
            ASSERT_EQ(api.scan(client, &kGuidComplete, nullptr, nullptr, nullptr), 0u);
            EXPECT_TRUE(FreeLibrary(api.module)) << "unloaded with a client still registered";
        }
        // The notification was due 200 ms after the scan. With the library gone there is nothing
        // left to observe: outwait it.
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(calls, 0);
        EXPECT_TRUE(run.TraceOps("notify").empty());
    });
}

TEST(WlanService, AvailableNetworkListLayoutAndRelease) {
    nlohmann::json networks = {"HomeNet", "",     {{"hex", "00ff41"}},
                               "Cafe",    "Cafe", "0123456789abcdef0123456789ABCDEF"};
    nlohmann::json itfs = {
        {{"guid", "{c799c725-24b9-464b-b6c7-5e300dce17d6}"}, {"networks", networks}},
        {{"guid", "{11111111-2222-3333-4444-555555555555}"},
         {"networks", nlohmann::json::array()}}};
    RunInChild(MachineText({{"interfaces", itfs}}), [](const ChildRun& run) {
        ServiceApi api;
        api.Bind();
        HANDLE client = api.OpenClient();
        PWLAN_AVAILABLE_NETWORK_LIST list = nullptr;
        ASSERT_EQ(api.networks(client, &kGuidComplete, 0, nullptr, &list), 0u);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->dwNumberOfItems, 6u);
        const std::vector<std::string> expected = {
            "HomeNet", "",     std::string("\x00\xff\x41", 3),
            "Cafe",    "Cafe", "0123456789abcdef0123456789ABCDEF"};
        for (size_t i = 0; i < expected.size(); ++i) {
            const WLAN_AVAILABLE_NETWORK& net = list->Network[i];
            SCOPED_TRACE(i);
            ASSERT_EQ(net.dot11Ssid.uSSIDLength, expected[i].size());
            EXPECT_EQ(std::memcmp(net.dot11Ssid.ucSSID, expected[i].data(), expected[i].size()), 0);
            EXPECT_EQ(net.strProfileName[0], L'\0');
            EXPECT_EQ(net.dot11BssType, dot11_BSS_type_infrastructure);
            EXPECT_GE(net.uNumberOfBssids, 1u);
            EXPECT_LE(net.wlanSignalQuality, 100u);
            EXPECT_LE(net.uNumberOfPhyTypes, ULONG(WLAN_MAX_PHY_TYPE_NUMBER));
        }
        api.freeMemory(list);

        PWLAN_AVAILABLE_NETWORK_LIST empty = nullptr;
        ASSERT_EQ(api.networks(client, &kGuidFail, 0, nullptr, &empty), 0u);
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(empty->dwNumberOfItems, 0u);
        api.freeMemory(empty);
        api.freeMemory(empty); // given back twice: ignored, not a heap corruption
        int local = 0;
        api.freeMemory(&local); // never handed out: ignored
        api.freeMemory(nullptr);

        PWLAN_AVAILABLE_NETWORK_LIST none = nullptr;
        EXPECT_EQ(api.networks(client, &kGuidComplete, 0x4, nullptr, &none),
                  DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.networks(client, &kGuidComplete, 0, nullptr, nullptr),
                  DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.networks(client, &kGuidUnknown, 0, nullptr, &none),
                  DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(api.close(client, nullptr), 0u);
        FreeLibrary(api.module);

        std::vector<std::string> frees;
        for (auto& line : run.TraceOps("WlanFreeMemory")) {
            frees.push_back(line["memory"]);
        }
        EXPECT_EQ(frees,
                  (std::vector<std::string>{"freed", "freed", "unknown", "unknown", "null"}));
        auto lists = run.TraceOps("WlanGetAvailableNetworkList");
        ASSERT_FALSE(lists.empty());
        EXPECT_EQ(lists[0]["items"], 6);
    });
}

TEST(WlanService, EnumeratesTheMachinesInterfaces) {
    RunInChild(MachineText(), [](const ChildRun&) {
        ServiceApi api;
        api.Bind();
        HANDLE client = api.OpenClient();
        PWLAN_INTERFACE_INFO_LIST list = nullptr;
        ASSERT_EQ(api.enumInterfaces(client, nullptr, &list), 0u);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->dwNumberOfItems, 4u);
        const GUID order[] = {kGuidComplete, kGuidFail, kGuidRefuse, kGuidSilent};
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(Same(list->InterfaceInfo[i].InterfaceGuid, order[i])) << i;
            EXPECT_NE(list->InterfaceInfo[i].strInterfaceDescription[0], L'\0');
        }
        api.freeMemory(list);
        EXPECT_EQ(api.enumInterfaces(client, nullptr, nullptr), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(api.close(client, nullptr), 0u);
        FreeLibrary(api.module);
    });
}

TEST(WlanService, TheOtherEntryPointsAnswerWithoutHarm) {
    RunInChild(MachineText(), [](const ChildRun&) {
        ServiceApi api;
        api.Bind();
        HANDLE h = api.OpenClient();
        const GUID* g = &kGuidComplete;
        const DWORD bad = ERROR_INVALID_PARAMETER;
        WLAN_CONNECTION_PARAMETERS params{};
        EXPECT_NE(api.connect(h, g, &params, nullptr), 0u);
        EXPECT_EQ(api.connect(h, g, nullptr, nullptr), bad);
        EXPECT_EQ(api.disconnect(h, g, nullptr), 0u);
        EXPECT_EQ(api.disconnect(h, &kGuidUnknown, nullptr), bad);
        PWLAN_BSS_LIST bss = nullptr;
        EXPECT_NE(api.bssList(h, g, nullptr, dot11_BSS_type_any, FALSE, nullptr, &bss), 0u);
        EXPECT_EQ(api.bssList(h, g, nullptr, dot11_BSS_type_any, FALSE, nullptr, nullptr), bad);

        DWORD size = 0;
        PVOID data = nullptr;
        WLAN_OPCODE_VALUE_TYPE type = wlan_opcode_value_type_invalid;
        ASSERT_EQ(api.query(h, g, wlan_intf_opcode_interface_state, nullptr, &size, &data, &type),
                  0u);
        EXPECT_EQ(size, sizeof(WLAN_INTERFACE_STATE));
        EXPECT_EQ(*static_cast<WLAN_INTERFACE_STATE*>(data), wlan_interface_state_disconnected);
        api.freeMemory(data);
        EXPECT_NE(api.query(h, g, wlan_intf_opcode_rssi, nullptr, &size, &data, nullptr), 0u);
        EXPECT_EQ(api.query(h, g, wlan_intf_opcode_rssi, nullptr, nullptr, &data, nullptr), bad);

        WLAN_PHY_RADIO_STATE radio{0, dot11_radio_state_off, dot11_radio_state_on};
        EXPECT_NE(api.set(h, g, wlan_intf_opcode_radio_state, sizeof radio, &radio, nullptr), 0u);
        EXPECT_EQ(api.set(h, g, wlan_intf_opcode_radio_state, sizeof radio, nullptr, nullptr), bad);

        LPWSTR xml = nullptr;
        EXPECT_EQ(api.getProfile(h, g, L"Home", nullptr, &xml, nullptr, nullptr),
                  DWORD(ERROR_NOT_FOUND));
        EXPECT_EQ(api.getProfile(h, g, nullptr, nullptr, &xml, nullptr, nullptr), bad);
        PWLAN_PROFILE_INFO_LIST profiles = nullptr;
        ASSERT_EQ(api.profileList(h, g, nullptr, &profiles), 0u);
        EXPECT_EQ(profiles->dwNumberOfItems, 0u);
        api.freeMemory(profiles);
        DWORD reason = 0;
        EXPECT_NE(api.setProfile(h, g, 0, L"<WLANProfile/>", nullptr, TRUE, nullptr, &reason), 0u);
        EXPECT_EQ(api.setProfile(h, g, 0, L"<WLANProfile/>", nullptr, TRUE, nullptr, nullptr), bad);
        EXPECT_EQ(api.deleteProfile(h, g, L"Home", nullptr), DWORD(ERROR_NOT_FOUND));
        EXPECT_EQ(api.deleteProfile(h, g, nullptr, nullptr), bad);

        PWLAN_HOSTED_NETWORK_STATUS hosted = nullptr;
        ASSERT_EQ(api.hosted(h, &hosted, nullptr), 0u);
        EXPECT_EQ(hosted->HostedNetworkState, wlan_hosted_network_unavailable);
        api.freeMemory(hosted);
        EXPECT_EQ(api.hosted(h, nullptr, nullptr), bad);
        EXPECT_EQ(api.hosted(nullptr, &hosted, nullptr), bad);

        PWLAN_INTERFACE_CAPABILITY cap = nullptr;
        ASSERT_EQ(api.capability(h, g, nullptr, &cap), 0u);
        EXPECT_EQ(cap->interfaceType, wlan_interface_type_native_802_11);
        EXPECT_LE(cap->dwNumberOfSupportedPhys, 64u);
        api.freeMemory(cap);
        EXPECT_EQ(api.capability(h, nullptr, nullptr, &cap), bad);

        EXPECT_NE(api.saveTemporary(h, g, L"Home", nullptr, 0, FALSE, nullptr), 0u);
        EXPECT_EQ(api.saveTemporary(h, g, nullptr, nullptr, 0, FALSE, nullptr), bad);

        // A handle of nothing is refused by every client call.
        HANDLE stale = reinterpret_cast<HANDLE>(0x4242);
        EXPECT_EQ(api.disconnect(stale, g, nullptr), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(api.registerNotification(stale, 0, FALSE, nullptr, nullptr, nullptr, nullptr),
                  DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(api.close(h, nullptr), 0u);
        FreeLibrary(api.module);

        HMODULE ui = LoadLibraryW(L"WlanUi.dll");
        ASSERT_NE(ui, nullptr);
        auto edit = reinterpret_cast<decltype(&WlanUIEditProfile)>(
            reinterpret_cast<void (*)()>(GetProcAddress(ui, "WlanUIEditProfile")));
        ASSERT_NE(edit, nullptr);
        GUID itf = kGuidComplete;
        GUID unknown = kGuidUnknown;
        WLAN_REASON_CODE why = 0;
        EXPECT_EQ(
            edit(WLAN_UI_API_VERSION, L"Home", &itf, nullptr, WLConnectionPage, nullptr, &why),
            DWORD(ERROR_NOT_SUPPORTED));
        EXPECT_NE(why, 0u);
        EXPECT_EQ(
            edit(WLAN_UI_API_VERSION, nullptr, &itf, nullptr, WLConnectionPage, nullptr, &why),
            bad);
        EXPECT_EQ(edit(WLAN_UI_API_VERSION, L"Home", &unknown, nullptr, WLAdvPage, nullptr, &why),
                  bad);
        EXPECT_TRUE(FreeLibrary(ui));
    });
}

} // namespace
