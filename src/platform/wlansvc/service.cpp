// The simulated Wi-Fi service (see service.h): client handles, memory handed to callers, and
// the thread that delivers scheduled notifications to registered callbacks.
#include "service.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "common.h"
#include "simbook/trace.h"

namespace simbook::wlan {

Service& Service::Instance() {
    static Service service;
    return service;
}

Service::Service() : machine_(CurrentMachine()) {}

Service::~Service() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    // Memory a client never gave back is left alone, as the real service would: a leak in the
    // caller stays visible to leak checkers.
}

HANDLE Service::Open(DWORD version) {
    auto client = std::make_shared<Client>();
    std::lock_guard<std::mutex> lock(mutex_);
    client->handle = nextHandle_++;
    client->version = version;
    clients_.emplace(client->handle, client);
    return reinterpret_cast<HANDLE>(client->handle);
}

std::shared_ptr<Client> Service::Find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(reinterpret_cast<uintptr_t>(handle));
    return it == clients_.end() ? nullptr : it->second;
}

bool Service::Close(HANDLE handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = clients_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == clients_.end()) {
        return false;
    }
    std::shared_ptr<Client> client = it->second;
    clients_.erase(it);
    client->sources = 0;
    client->callback = nullptr;
    client->context = nullptr;
    WaitIdle(lock, *client);
    // With no client left the service thread ends, so a library that is unloaded next has no
    // thread of its own running (Windows cannot join one while it unloads a library). From
    // inside a callback the thread cannot end itself: the next scan's schedule reuses it.
    if (clients_.empty() && thread_.joinable() && std::this_thread::get_id() != threadId_) {
        StopThread(lock);
    }
    return true;
}

void Service::StopThread(std::unique_lock<std::mutex>& lock) {
    stop_ = true;
    pending_.clear();
    std::thread thread = std::move(thread_);
    lock.unlock();
    wake_.notify_all();
    thread.join();
    lock.lock();
    stop_ = false;
    threadId_ = std::thread::id();
}

DWORD Service::Register(Client& client, DWORD sources, WLAN_NOTIFICATION_CALLBACK callback,
                        PVOID context) {
    std::unique_lock<std::mutex> lock(mutex_);
    DWORD previous = client.sources;
    client.sources = sources;
    client.callback = sources == 0 ? nullptr : callback;
    client.context = sources == 0 ? nullptr : context;
    if (sources == 0) {
        WaitIdle(lock, client);
    }
    return previous;
}

void Service::WaitIdle(std::unique_lock<std::mutex>& lock, const Client& client) {
    // A callback that unregisters its own client would wait for itself forever. The service
    // thread checks the registration again before every call, so none follows either way.
    if (std::this_thread::get_id() == threadId_) {
        return;
    }
    idle_.wait(lock, [&] { return !client.running; });
}

void Service::Schedule(const Notification& n, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) {
        return;
    }
    pending_.emplace(std::chrono::steady_clock::now() + delay, n);
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Run(); });
        threadId_ = thread_.get_id();
    }
    wake_.notify_all();
}

void Service::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (pending_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = pending_.begin();
        // A copy: the wait reads the deadline again after waking, and by then the entry may be
        // gone (the last client closed and the pending notifications were dropped).
        const auto due = first->first;
        if (std::chrono::steady_clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        Notification n = first->second;
        pending_.erase(first);
        Deliver(lock, n);
    }
}

void Service::Deliver(std::unique_lock<std::mutex>& lock, const Notification& n) {
    std::vector<uintptr_t> handles;
    for (const auto& entry : clients_) {
        handles.push_back(entry.first);
    }
    for (uintptr_t handle : handles) {
        // The registration is looked up afresh for every client: one that unregistered or
        // closed while an earlier callback ran must not be called.
        auto it = clients_.find(handle);
        if (it == clients_.end() || stop_) {
            continue;
        }
        std::shared_ptr<Client> client = it->second;
        if ((client->sources & n.source) == 0 || client->callback == nullptr) {
            continue;
        }
        WLAN_NOTIFICATION_CALLBACK callback = client->callback;
        PVOID context = client->context;
        client->running = true;

        // The record and its payload live on this thread's stack for the length of the call.
        WLAN_REASON_CODE reason = n.reason;
        WLAN_NOTIFICATION_DATA data{};
        data.NotificationSource = n.source;
        data.NotificationCode = n.code;
        data.InterfaceGuid = n.interfaceGuid;
        data.dwDataSize = n.hasReason ? sizeof reason : 0;
        data.pData = n.hasReason ? &reason : nullptr;
        if (TraceEnabled()) {
            TraceLine({{"op", "notify"},
                       {"source", n.source},
                       {"code", n.code},
                       {"interface", GuidText(n.interfaceGuid)}});
        }

        lock.unlock();
        callback(&data, context);
        lock.lock();
        client->running = false;
        idle_.notify_all();
    }
}

void* Service::Allocate(size_t bytes) {
    void* memory = std::calloc(1, bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    allocations_.insert(memory);
    return memory;
}

bool Service::Free(void* memory) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (allocations_.erase(memory) == 0) {
            return false;
        }
    }
    std::free(memory);
    return true;
}

} // namespace simbook::wlan
