#include "relay/relay_control.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "relay/relay_state.h"

namespace {

struct WorkerSlot {
    std::thread thread;
    // Read lock-free by the worker after each blocking call; written under the registry mutex.
    std::atomic<bool> released{false};
    // Both under the registry mutex.
    bool finished = false;
    std::vector<int> sockets;
};

thread_local WorkerSlot* t_currentWorker = nullptr;

// Keeps every worker thread so Stop can release it and nothing is left joinable at exit.
// Lock order: m_startMutex before m_mutex. Threads are joined only without m_mutex held, since an
// ending worker needs it to unregister its sockets.
class WorkerRegistry {
public:
    WorkerRegistry() = default;
    WorkerRegistry(const WorkerRegistry&) = delete;
    WorkerRegistry& operator=(const WorkerRegistry&) = delete;

    ~WorkerRegistry() {
        std::lock_guard start(m_startMutex);
        JoinAll(TakeSlots(true));
    }

    void Start(RelayWorkerProc proc) {
        std::lock_guard start(m_startMutex);
        JoinAll(TakeSlots(true));

        auto owned = std::make_unique<WorkerSlot>();
        WorkerSlot* slot = owned.get();
        {
            // Listed before it runs, so a Stop from any thread can reach it at once.
            std::lock_guard lock(m_mutex);
            m_slots.push_back(std::move(owned));
        }
        try {
            slot->thread = std::thread([this, slot, proc] {
                t_currentWorker = slot;
                proc(nullptr);
                Finish(*slot);
            });
        } catch (...) {
            std::lock_guard lock(m_mutex);
            m_slots.pop_back();
            throw;
        }
    }

    void RequestStop() {
        g_stopRelay.store(1);
        std::lock_guard lock(m_mutex);
        for (auto& slot : m_slots) {
            if (!slot->finished) {
                Release(*slot);
            }
        }
    }

    bool Wait(std::chrono::milliseconds timeout) {
        bool ended = false;
        {
            std::unique_lock lock(m_mutex);
            ended = m_changed.wait_for(lock, timeout, [this] { return LiveLocked() == 0; });
        }
        std::lock_guard start(m_startMutex);
        JoinAll(TakeSlots(false));
        return ended;
    }

    std::size_t LiveCount() {
        std::lock_guard lock(m_mutex);
        return LiveLocked();
    }

    void Watch(WorkerSlot& slot, int fd) {
        std::lock_guard lock(m_mutex);
        slot.sockets.push_back(fd);
        if (slot.released.load()) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }

    void Unwatch(WorkerSlot& slot, int fd) {
        std::lock_guard lock(m_mutex);
        std::erase(slot.sockets, fd);
    }

private:
    // Shutting a socket down wakes an accept, connect, receive or send blocked on it, and stays in
    // force for the calls that follow.
    static void Release(WorkerSlot& slot) {
        slot.released.store(true);
        for (const int fd : slot.sockets) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }

    std::size_t LiveLocked() const {
        return static_cast<std::size_t>(std::count_if(
            m_slots.begin(), m_slots.end(), [](const auto& slot) { return !slot->finished; }));
    }

    // Takes the ended slots out of the list, or all of them after releasing the live ones.
    std::vector<std::unique_ptr<WorkerSlot>> TakeSlots(bool releaseLive) {
        std::vector<std::unique_ptr<WorkerSlot>> taken;
        std::lock_guard lock(m_mutex);
        for (auto it = m_slots.begin(); it != m_slots.end();) {
            if ((*it)->finished || releaseLive) {
                if (!(*it)->finished) {
                    Release(**it);
                }
                taken.push_back(std::move(*it));
                it = m_slots.erase(it);
            } else {
                ++it;
            }
        }
        return taken;
    }

    static void JoinAll(const std::vector<std::unique_ptr<WorkerSlot>>& slots) {
        for (const auto& slot : slots) {
            if (slot->thread.joinable()) {
                slot->thread.join();
            }
        }
    }

    void Finish(WorkerSlot& slot) {
        {
            std::lock_guard lock(m_mutex);
            slot.finished = true;
        }
        m_changed.notify_all();
    }

    std::mutex m_startMutex;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<WorkerSlot>> m_slots;
};

// Built on first use, after the relay state, so it is destroyed (and its workers joined) before it.
WorkerRegistry& Registry() {
    static WorkerRegistry registry;
    return registry;
}

} // namespace

void StartRelayWorker(RelayWorkerProc proc) {
    Registry().Start(proc);
}

void RequestRelayStop() {
    Registry().RequestStop();
}

bool WaitForRelayWorkers(std::chrono::milliseconds timeout) {
    return Registry().Wait(timeout);
}

std::size_t LiveRelayWorkerCount() {
    return Registry().LiveCount();
}

bool RelayWorkerReleased() noexcept {
    const WorkerSlot* slot = t_currentWorker;
    return slot != nullptr && slot->released.load(std::memory_order_acquire);
}

bool WatchWorkerSocket(int fd) {
    if (t_currentWorker == nullptr) {
        return false;
    }
    Registry().Watch(*t_currentWorker, fd);
    return true;
}

void UnwatchWorkerSocket(int fd) {
    if (t_currentWorker != nullptr) {
        Registry().Unwatch(*t_currentWorker, fd);
    }
}
