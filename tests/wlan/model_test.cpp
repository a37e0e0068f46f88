// The Wi-Fi service model in-process: the network list and scan outcome taken from the machine,
// the order notifications are delivered in, unregistering and closing while a callback runs or
// while the service thread ends, and the scan's notification delay.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "simbook/wlan/service.h"

namespace {

using namespace std::chrono_literals;
using simbook::Guid;
using simbook::Machine;
using simbook::ScanBehaviour;
using simbook::WlanInterface;
using simbook::wlan::ClientHandle;
using simbook::wlan::Notification;
using simbook::wlan::Service;

// Long enough for anything that should happen to have happened; a failure, never a pass.
constexpr auto kPatience = 10s;

Notification Acm(uint32_t code) {
    return {simbook::wlan::kSourceAcm, code, {}, std::nullopt};
}

// What the callbacks saw, in order ("client:code"), a way to wait for it to grow, and a gate
// a callback can be held at until the test opens it.
class Log {
public:
    void Add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    // Waits until the log holds `count` entries; false when it never does.
    bool WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return entries_.size() >= count; });
    }
    std::vector<std::string> Entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool Hold() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return open_; });
    }
    simbook::wlan::Callback Recorder(const std::string& client) {
        return
            [this, client](const Notification& n) { Add(client + ":" + std::to_string(n.code)); };
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
    bool open_ = false;
};

WlanInterface Interface(uint32_t id, ScanBehaviour scan) {
    WlanInterface itf;
    itf.guid.data1 = id;
    itf.scan = scan;
    return itf;
}

TEST(WlanModel, NetworkListFromTheMachine) {
    WlanInterface itf;
    EXPECT_TRUE(simbook::wlan::AvailableNetworks(itf).empty());

    // Order and duplicates kept; an empty SSID stays empty; 32 bytes fit, a 33rd is cut.
    const std::vector<uint8_t> full(32, 'a');
    std::vector<uint8_t> over(33, 'b');
    itf.networks = {{'C', 'a', 'f', 'e'}, {}, full, over, {'C', 'a', 'f', 'e'}};
    itf.networks.resize(14, {'x'});
    auto list = simbook::wlan::AvailableNetworks(itf);
    ASSERT_EQ(list.size(), 14u);
    EXPECT_EQ(list[0].ssid, itf.networks[0]);
    EXPECT_TRUE(list[1].ssid.empty());
    EXPECT_EQ(list[2].ssid, full);
    EXPECT_EQ(list[3].ssid, std::vector<uint8_t>(32, 'b'));
    EXPECT_EQ(list[4].ssid, itf.networks[4]);
    // The signal falls by 7 from 92 down the list, and stays at 10 from the thirteenth network.
    EXPECT_EQ(list[0].signalQuality, 92u);
    EXPECT_EQ(list[11].signalQuality, 15u);
    EXPECT_EQ(list[12].signalQuality, 10u);
    EXPECT_EQ(list[13].signalQuality, 10u);
}

TEST(WlanModel, ScanOutcomeOfEachBehaviour) {
    const Guid guid{7};
    EXPECT_EQ(simbook::wlan::ScanOutcome(Interface(7, ScanBehaviour::Complete)),
              (Notification{8, 7, guid, std::nullopt}));
    EXPECT_EQ(simbook::wlan::ScanOutcome(Interface(7, ScanBehaviour::Fail)),
              (Notification{8, 8, guid, 0x00010001}));
    EXPECT_FALSE(simbook::wlan::ScanOutcome(Interface(7, ScanBehaviour::Refuse)));
    EXPECT_FALSE(simbook::wlan::ScanOutcome(Interface(7, ScanBehaviour::Silent)));
    EXPECT_EQ(simbook::wlan::FindInterface(nullptr, guid), nullptr) << "no machine";
}

TEST(WlanModel, DeliversByDueTimeToClientsInOpeningOrder) {
    Machine machine;
    Service service(&machine);
    Log log;
    ClientHandle first = *service.Open(2), msm = *service.Open(2), second = *service.Open(2);
    service.Register(first, simbook::wlan::kSourceAcm, [&](const Notification& n) {
        log.Add("first:" + std::to_string(n.code));
        if (n.code == 0) {
            log.Hold();
        }
    });
    service.Register(msm, 0x10, log.Recorder("msm"));         // the MSM source only
    service.Register(second, 0xffff, log.Recorder("second")); // every source

    // The service thread is held in the first callback while the rest is scheduled, so what
    // follows is ordered by the schedule alone: the earliest due first.
    service.Schedule(Acm(0), 0ms);
    ASSERT_TRUE(log.WaitFor(1));
    service.Schedule(Acm(3), 20ms);
    service.Schedule(Acm(1), 0ms);
    service.Schedule(Acm(2), 0ms);
    log.Open();
    ASSERT_TRUE(log.WaitFor(8));
    EXPECT_EQ(log.Entries(),
              (std::vector<std::string>{"first:0", "second:0", "first:1", "second:1", "first:2",
                                        "second:2", "first:3", "second:3"}));
    for (ClientHandle h : {first, msm, second}) {
        EXPECT_TRUE(service.Close(h));
    }
}

// A callback held on the service thread while another thread unregisters or closes its client:
// that call returns only after the callback has, and the notification queued behind it reaches
// only the client that stays registered.
TEST(WlanModel, UnregisterAndCloseWaitForARunningCallback) {
    for (bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "closing the handle" : "registering source 0");
        Machine machine;
        Service service(&machine);
        Log log;
        std::atomic<bool> returned{false};
        ClientHandle held = *service.Open(2), stays = *service.Open(2);
        service.Register(held, simbook::wlan::kSourceAcm, [&](const Notification& n) {
            log.Add("held:" + std::to_string(n.code));
            log.Hold();
            log.Add(returned ? "returned first" : "callback ended");
        });
        service.Register(stays, simbook::wlan::kSourceAcm, log.Recorder("stays"));
        service.Schedule(Acm(1), 0ms);
        service.Schedule(Acm(2), 0ms);
        ASSERT_TRUE(log.WaitFor(1));
        std::thread other([&] {
            EXPECT_TRUE(byClose ? service.Close(held) : service.Register(held, 0, nullptr));
            returned = true;
        });
        // Time for a call that does not wait to come back; one that waits passes regardless.
        std::this_thread::sleep_for(50ms);
        log.Open();
        other.join();
        ASSERT_TRUE(log.WaitFor(4));
        EXPECT_EQ(log.Entries(),
                  (std::vector<std::string>{"held:1", "callback ended", "stays:1", "stays:2"}));
        service.Close(stays);
        service.Close(held);
    }
}

TEST(WlanModel, CallbackMayUnregisterOrCloseItsOwnClient) {
    for (bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "closing the handle" : "registering source 0");
        Machine machine;
        Service service(&machine);
        Log log;
        ClientHandle self = *service.Open(2);
        service.Register(self, simbook::wlan::kSourceAcm, [&](const Notification&) {
            bool done =
                byClose ? service.Close(self) : service.Register(self, 0, nullptr).has_value();
            log.Add(done ? "done" : "refused");
        });
        service.Schedule(Acm(7), 0ms);
        ASSERT_TRUE(log.WaitFor(1)) << "deadlocked";
        EXPECT_EQ(log.Entries(), std::vector<std::string>{"done"});
        EXPECT_EQ(service.Close(self), !byClose);
        EXPECT_FALSE(service.Register(self, 0, nullptr)) << "registered on a closed handle";
    }
}

// The last client closes while the service thread is still inside a callback, so the close
// waits for the thread to end; a client opened meanwhile schedules a notification that must
// still be delivered, by a fresh thread.
TEST(WlanModel, NotificationScheduledWhileTheThreadEndsIsDelivered) {
    Machine machine;
    Service service(&machine);
    Log log;
    ClientHandle leaving = *service.Open(2), last = *service.Open(2);
    service.Register(leaving, simbook::wlan::kSourceAcm, [&](const Notification&) {
        service.Close(leaving);
        log.Add("leaving");
        log.Hold();
    });
    service.Schedule(Acm(1), 0ms);
    ASSERT_TRUE(log.WaitFor(1));
    std::thread closer([&] { EXPECT_TRUE(service.Close(last)); });
    // Time for the close to reach the thread's end; had it not, the notification is delivered
    // by the running thread and the test passes all the same.
    std::this_thread::sleep_for(50ms);
    ClientHandle fresh = *service.Open(2);
    service.Register(fresh, simbook::wlan::kSourceAcm, log.Recorder("fresh"));
    service.Schedule(Acm(2), 0ms);
    log.Open();
    closer.join();
    EXPECT_TRUE(log.WaitFor(2)) << "the notification was lost";
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"leaving", "fresh:2"}));
    service.Close(fresh);
}

TEST(WlanModel, ScanNotificationFallsDueAfterTheMachinesDelay) {
    Machine machine;
    machine.wlan.notifyDelayMs = 600000; // the largest a machine file allows: never delivered here
    machine.wlan.interfaces = {Interface(1, ScanBehaviour::Fail),
                               Interface(2, ScanBehaviour::Silent)};
    Service service(&machine);
    const auto before = Service::Clock::now();
    auto due = service.ScanAccepted(machine.wlan.interfaces[0]);
    const auto after = Service::Clock::now();
    ASSERT_TRUE(due);
    EXPECT_GE(*due, before + 600000ms);
    EXPECT_LE(*due, after + 600000ms);
    EXPECT_FALSE(service.ScanAccepted(machine.wlan.interfaces[1])) << "a silent scan notified";

    Service noMachine(nullptr);
    EXPECT_FALSE(noMachine.ScanAccepted(machine.wlan.interfaces[0]));
}

} // namespace
