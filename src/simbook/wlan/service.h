// The simulated Wi-Fi service: client handles, their notification registrations, memory handed
// to callers, and the thread that delivers notifications.
//
// Notifications are delivered from one thread owned by the service, never from a caller's
// thread. A scan schedules its notification `wlan.notify_delay_ms` after the call; notifications
// are delivered in the order they fall due (the order of scheduling when they fall due together),
// each to every client registered for its source, in the order the clients were opened, one
// after the other. Unregistering (sources 0) and closing a handle return only once no callback
// of that client is running and none will start, except when called from inside a callback,
// where waiting would deadlock. The thread starts with the first scheduled notification and
// ends when the last client closes, so that a library unloaded next has no thread of its own
// running.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "simbook/machine.h"
#include "simbook/wlan/networks.h"

namespace simbook::wlan {

// A client handle as the service hands it out; 0 is never one.
using ClientHandle = uintptr_t;

// A registered client's callback. It runs on the service's thread and must not throw.
using Callback = std::function<void(const Notification&)>;

class Service {
public:
    using Clock = std::chrono::steady_clock;

    // `machine` (null: the machine could not be read) must outlive the service.
    explicit Service(const Machine* machine);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Null when the machine file could not be read: the service is then not running.
    const Machine* machine() const { return machine_; }

    // Opens a client of API version 1 or 2; none for any other version.
    std::optional<ClientHandle> Open(Dword version);
    bool IsOpen(ClientHandle handle);
    // Unregisters and removes the client; false when the handle named none.
    bool Close(ClientHandle handle);

    // Sets or clears (sources 0) a client's registration and returns the previous sources; none
    // when the handle names no client. Every notification is a distinct event (each scan ends
    // once), so the duplicate filter a client may ask for never suppresses one.
    std::optional<Dword> Register(ClientHandle handle, Dword sources, Callback callback);

    // What a scan of `itf` does in this program run, as the status the scan call returns:
    // win32::kSuccess when accepted (ScanAccepted then schedules its end), win32::kBusy when
    // refused, win32::kIoDevice when the run's step of a "scan" list could not be stored (told
    // on standard error). For a list, the run's first scan of the interface takes the run's step
    // (scan_step.h: waiting up to kStepWait for the machine file's lock), and its later scans do
    // the same.
    Dword ScanStatus(const WlanInterface& itf);

    // Schedules the notification an accepted scan of `itf` ends with (as this run's value of a
    // "scan" list says), after the machine's notify delay; returns when it falls due, none when
    // the scan ends without one.
    std::optional<Clock::time_point> ScanAccepted(const WlanInterface& itf);
    // Schedules `n` for delivery `delay` from now and returns when it falls due.
    Clock::time_point Schedule(const Notification& n, std::chrono::milliseconds delay);

    // Memory handed to callers: zero-filled, released only through Free. Free ignores pointers
    // the service did not hand out, so a stray or repeated free cannot corrupt the heap.
    void* Allocate(size_t bytes);
    bool Free(void* memory);

private:
    struct Client {
        Dword version = 0;
        Dword sources = 0; // registered notification sources, 0: not registered
        Callback callback;
        bool running = false; // a callback of this client is executing on the service thread
    };

    std::optional<ScanBehaviour> TakeScan(const WlanInterface& itf);
    void Run();
    void Deliver(std::unique_lock<std::mutex>& lock, const Notification& n);
    void WaitIdle(std::unique_lock<std::mutex>& lock, const Client& client);
    void StartThread();
    void StopThread(std::unique_lock<std::mutex>& lock);

    const Machine* machine_ = nullptr;
    std::mutex mutex_;
    std::condition_variable wake_; // new work or stop, for the service thread
    std::condition_variable idle_; // a callback has returned
    std::map<ClientHandle, std::shared_ptr<Client>> clients_;
    ClientHandle nextHandle_ = 1;
    std::set<void*> allocations_;
    std::multimap<Clock::time_point, Notification> pending_;
    std::thread thread_;
    std::thread::id threadId_;
    bool stop_ = false;    // the service thread is told to end
    bool ending_ = false;  // the service is being destroyed: nothing more is scheduled
    std::mutex stepMutex_; // held while a step is taken, which may wait for the file's lock
    // This run's value of each "scan" list by interface index; none: not stored.
    std::map<size_t, std::optional<ScanBehaviour>> takenScans_;
};

} // namespace simbook::wlan
