#include "relay/relay_control.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "relay/relay_state.h"

namespace {

struct WorkerSlot {
    explicit WorkerSlot(RelayEventSink events)
        : worker(std::make_shared<RelayWorker>(std::move(events))) {}

    std::shared_ptr<RelayWorker> worker;
    std::thread thread;
    bool finished = false; // under the registry's mutex
};

// Keeps every worker thread so Stop can release it and nothing is left joinable at exit.
// Lock order: m_startMutex before m_mutex, m_mutex before a worker's own. Threads are joined only
// without m_mutex held, since an ending worker needs it to say it has finished.
class WorkerRegistry {
public:
    WorkerRegistry() = default;
    WorkerRegistry(const WorkerRegistry&) = delete;
    WorkerRegistry& operator=(const WorkerRegistry&) = delete;

    ~WorkerRegistry() {
        std::lock_guard start(m_startMutex);
        JoinAll(TakeSlots(true));
    }

    void Start(RelayWorkerProc proc, RelayEventSink events) {
        std::lock_guard start(m_startMutex);
        JoinAll(TakeSlots(true));

        auto owned = std::make_unique<WorkerSlot>(std::move(events));
        WorkerSlot* slot = owned.get();
        {
            // Listed before it runs, so a Stop from any thread can reach it at once.
            std::lock_guard lock(m_mutex);
            m_slots.push_back(std::move(owned));
            m_last = slot->worker;
        }
        try {
            slot->thread = std::thread([this, slot, proc] {
                proc(*slot->worker);
                Finish(*slot);
            });
        } catch (...) {
            std::lock_guard lock(m_mutex);
            m_slots.pop_back();
            m_last.reset();
            throw;
        }
    }

    void RequestStop() {
        g_stopRelay.store(1);
        std::lock_guard lock(m_mutex);
        for (auto& slot : m_slots) {
            if (!slot->finished) {
                slot->worker->Release();
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

    std::optional<RelayOutcome> LastOutcome() {
        std::lock_guard lock(m_mutex);
        if (!m_last) {
            return std::nullopt;
        }
        return m_last->Outcome();
    }

private:
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
                    (*it)->worker->Release();
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
    // The worker started last outlives its slot, so its outcome can still be read after a join.
    std::shared_ptr<RelayWorker> m_last;
};

// Built on first use, after the relay state, so it is destroyed (and its workers joined) before it.
WorkerRegistry& Registry() {
    static WorkerRegistry registry;
    return registry;
}

} // namespace

void StartRelayWorker(RelayWorkerProc proc, RelayEventSink events) {
    Registry().Start(proc, std::move(events));
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

std::optional<RelayOutcome> LastRelayOutcome() {
    return Registry().LastOutcome();
}
