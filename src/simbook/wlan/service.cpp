// The simulated Wi-Fi service (see service.h): client handles, memory handed to callers, and
// the thread that delivers scheduled notifications to registered callbacks.
#include "service.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "simbook/bytes.h"
#include "simbook/trace.h"
#include "simbook/wlan/scan_step.h"

namespace simbook::wlan {

Service::Service(const Machine* machine) : machine_(machine) {}

Service::~Service() {
    std::unique_lock<std::mutex> lock(mutex_);
    ending_ = true;
    if (thread_.joinable()) {
        StopThread(lock);
    }
    // Memory a client never gave back is left alone, as the real service would: a leak in the
    // caller stays visible to leak checkers.
}

std::optional<ClientHandle> Service::Open(Dword version) {
    if (version != 1 && version != 2) {
        return std::nullopt;
    }
    auto client = std::make_shared<Client>();
    client->version = version;
    std::lock_guard<std::mutex> lock(mutex_);
    ClientHandle handle = nextHandle_++;
    clients_.emplace(handle, std::move(client));
    return handle;
}

bool Service::IsOpen(ClientHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.count(handle) != 0;
}

bool Service::Close(ClientHandle handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = clients_.find(handle);
    if (it == clients_.end()) {
        return false;
    }
    std::shared_ptr<Client> client = it->second;
    clients_.erase(it);
    client->sources = 0;
    client->callback = nullptr;
    WaitIdle(lock, *client);
    // From inside a callback the thread cannot end itself: the next scan's schedule reuses it.
    if (clients_.empty() && thread_.joinable() && std::this_thread::get_id() != threadId_) {
        StopThread(lock);
    }
    return true;
}

void Service::StartThread() {
    thread_ = std::thread([this] { Run(); });
    threadId_ = thread_.get_id();
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
    // A client opened while the thread was ending may have scheduled a notification meanwhile:
    // it is kept, and a fresh thread delivers it.
    if (!pending_.empty() && !ending_ && !thread_.joinable()) {
        StartThread();
    }
}

std::optional<Dword> Service::Register(ClientHandle handle, Dword sources, Callback callback) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = clients_.find(handle);
    if (it == clients_.end()) {
        return std::nullopt;
    }
    // Held while the wait below releases the lock, in case the client is closed meanwhile.
    std::shared_ptr<Client> client = it->second;
    Dword previous = client->sources;
    client->sources = sources;
    client->callback = sources == 0 ? nullptr : std::move(callback);
    if (sources == 0) {
        WaitIdle(lock, *client);
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

// This run's scan behaviour for `itf`: its one value, or the value of the run's step of its list,
// taken at the first scan of the run and kept; none when the step could not be stored.
std::optional<ScanBehaviour> Service::TakeScan(const WlanInterface& itf) {
    if (itf.scanSequence.empty() || machine_ == nullptr) {
        return itf.scan;
    }
    const std::vector<WlanInterface>& list = machine_->wlan.interfaces;
    size_t index = 0; // the interface's place in the file, where its step is kept
    while (index < list.size() && list[index].guid != itf.guid) {
        ++index;
    }
    std::lock_guard<std::mutex> lock(stepMutex_);
    auto known = takenScans_.find(index);
    if (known != takenScans_.end()) {
        return known->second;
    }
    std::optional<ScanBehaviour> taken;
    const std::optional<size_t> step = TakeScanStep(machine_->path, index);
    if (step) {
        taken = itf.scanSequence[std::min(*step, itf.scanSequence.size() - 1)];
    }
    takenScans_.emplace(index, taken);
    return taken;
}

Dword Service::ScanStatus(const WlanInterface& itf) {
    const std::optional<ScanBehaviour> behaviour = TakeScan(itf);
    if (!behaviour) {
        return win32::kIoDevice;
    }
    return *behaviour == ScanBehaviour::Refuse ? win32::kBusy : win32::kSuccess;
}

std::optional<Service::Clock::time_point> Service::ScanAccepted(const WlanInterface& itf) {
    WlanInterface taken;
    taken.guid = itf.guid;
    taken.scan = TakeScan(itf).value_or(ScanBehaviour::Silent);
    std::optional<Notification> n = ScanOutcome(taken);
    if (!n || machine_ == nullptr) {
        return std::nullopt;
    }
    return Schedule(*n, std::chrono::milliseconds(machine_->wlan.notifyDelayMs));
}

Service::Clock::time_point Service::Schedule(const Notification& n,
                                             std::chrono::milliseconds delay) {
    const Clock::time_point due = Clock::now() + delay;
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending_) {
        return due;
    }
    pending_.emplace(due, n);
    // While a stopping thread is being joined, the one that joins it starts the next.
    if (!thread_.joinable() && !stop_) {
        StartThread();
    }
    wake_.notify_all();
    return due;
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
        const Clock::time_point due = first->first;
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        Notification n = first->second;
        pending_.erase(first);
        Deliver(lock, n);
    }
}

void Service::Deliver(std::unique_lock<std::mutex>& lock, const Notification& n) {
    std::vector<ClientHandle> handles;
    for (const auto& entry : clients_) {
        handles.push_back(entry.first);
    }
    for (ClientHandle handle : handles) {
        // The registration is looked up afresh for every client: one that unregistered or
        // closed while an earlier callback ran must not be called.
        auto it = clients_.find(handle);
        if (it == clients_.end() || stop_) {
            continue;
        }
        std::shared_ptr<Client> client = it->second;
        if ((client->sources & n.source) == 0 || !client->callback) {
            continue;
        }
        Callback callback = client->callback;
        client->running = true;
        if (TraceEnabled()) {
            TraceLine({{"op", "notify"},
                       {"source", n.source},
                       {"code", n.code},
                       {"interface", GuidText(n.interfaceGuid)}});
        }
        lock.unlock();
        callback(n);
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
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        allocations_.insert(memory);
    } catch (...) {
        std::free(memory);
        throw;
    }
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
