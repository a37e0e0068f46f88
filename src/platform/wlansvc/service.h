// The state of the simulated Native Wi-Fi service inside one loaded "WlanApi.dll": client
// handles, memory handed to callers, and the notification thread.
//
// Notifications are delivered from one thread owned by the service, never from a caller's
// thread. A scan schedules its notification `wlan.notify_delay_ms` after the call; when it falls
// due it goes to every client registered for its source, one after the other. Unregistering
// (source 0) and closing a handle return only once no callback of that client is running and
// none will start, except when called from inside a callback, where waiting would deadlock.
// The thread starts with the first scheduled notification and ends when the last client closes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "simbook/machine.h"

namespace simbook::wlan {

struct Client {
    uintptr_t handle = 0;
    DWORD version = 0;
    DWORD sources = 0; // registered notification sources, 0: not registered
    WLAN_NOTIFICATION_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    bool running = false; // a callback of this client is executing on the service thread
};

struct Notification {
    DWORD source = 0;
    DWORD code = 0;
    GUID interfaceGuid{};
    bool hasReason = false;
    WLAN_REASON_CODE reason = 0;
};

class Service {
public:
    static Service& Instance();
    ~Service();

    // Null when the machine file could not be read: the service is then not running.
    const Machine* machine() const { return machine_; }

    HANDLE Open(DWORD version);
    std::shared_ptr<Client> Find(HANDLE handle);
    // Removes the handle after unregistering it; false when it named no client.
    bool Close(HANDLE handle);

    // Sets or clears (sources 0) a client's registration; returns the previous sources.
    // Every notification is a distinct event (each scan ends once), so the duplicate filter a
    // client may ask for never suppresses one.
    DWORD Register(Client& client, DWORD sources, WLAN_NOTIFICATION_CALLBACK callback,
                   PVOID context);

    void Schedule(const Notification& n, std::chrono::milliseconds delay);

    // Memory handed to callers: zero-filled, released only through Free. Free ignores pointers
    // the service did not hand out, so a stray or repeated free cannot corrupt the heap.
    void* Allocate(size_t bytes);
    bool Free(void* memory);

private:
    Service();
    void Run();
    void Deliver(std::unique_lock<std::mutex>& lock, const Notification& n);
    void WaitIdle(std::unique_lock<std::mutex>& lock, const Client& client);
    void StopThread(std::unique_lock<std::mutex>& lock);

    const Machine* machine_ = nullptr;
    std::mutex mutex_;
    std::condition_variable wake_; // new work or stop, for the service thread
    std::condition_variable idle_; // a callback has returned
    std::map<uintptr_t, std::shared_ptr<Client>> clients_;
    uintptr_t nextHandle_ = 1;
    std::set<void*> allocations_;
    std::multimap<std::chrono::steady_clock::time_point, Notification> pending_;
    std::thread thread_;
    std::thread::id threadId_;
    bool stop_ = false;
};

} // namespace simbook::wlan
