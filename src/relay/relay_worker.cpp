#include "relay/relay_worker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

std::uint32_t PackHead(const BufferHead& head) noexcept {
    std::uint32_t packed = 0;
    std::memcpy(&packed, head.data(), sizeof packed);
    return packed;
}

} // namespace

RelayWorker::RelayWorker(RelayEventSink events, BufferHead head)
    : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_events(std::move(events)),
      m_head(PackHead(head)) {
    if (!m_wake.Valid()) {
        m_wakeError = errno;
    }
}

void RelayWorker::Release() {
    std::lock_guard lock(m_mutex);
    ReleaseLocked();
}

bool RelayWorker::ReleaseIfWaiting() {
    std::lock_guard lock(m_mutex);
    // The peer is known from the moment the worker took its connection.
    if (!m_status.peer.Empty() || FinishedLocked()) {
        return false;
    }
    ReleaseLocked();
    return true;
}

void RelayWorker::ReleaseLocked() {
    m_released.store(true, std::memory_order_release);
    if (m_wake.Valid()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_wake.Get(), &one, sizeof one);
    }
}

bool RelayWorker::TakeConnection(const Endpoint& peer) {
    std::lock_guard lock(m_mutex);
    if (Released()) {
        return false;
    }
    m_status.peer = peer;
    return true;
}

bool RelayWorker::KeepEndpointSocket(UniqueFd& kept, UniqueFd made) {
    std::lock_guard lock(m_mutex);
    if (Released()) {
        return false;
    }
    kept = std::move(made);
    return true;
}

void RelayWorker::ReleaseForHandOver() {
    std::lock_guard lock(m_mutex);
    m_handingOver.store(true, std::memory_order_release);
    ReleaseLocked();
}

void RelayWorker::Waiting(RelaySide side, const Endpoint& endpoint) {
    std::lock_guard lock(m_mutex);
    m_status.stage = RelayStage::Waiting;
    m_status.waitSide = side;
    m_status.waitEndpoint = endpoint;
}

void RelayWorker::LastSender(const Endpoint& peer) {
    std::lock_guard lock(m_mutex);
    m_status.peer = peer;
}

void RelayWorker::Relaying() {
    std::lock_guard lock(m_mutex);
    m_status.stage = RelayStage::Relaying;
}

void RelayWorker::Report(const RelayEvent& event) const {
    if (m_events) {
        m_events(event);
    }
}

void RelayWorker::ReportFirstCut() const {
    RelayEvent event{RelayEvent::Kind::TextCut, RelaySide::Client, {}, {}};
    {
        std::lock_guard lock(m_mutex);
        event.side = m_status.waitSide;
        event.endpoint = m_status.waitEndpoint;
        event.peer = m_status.peer;
    }
    Report(event);
}

BufferHead RelayWorker::Head() const noexcept {
    const std::uint32_t packed = m_head.load(std::memory_order_relaxed);
    BufferHead head{};
    std::memcpy(head.data(), &packed, sizeof packed);
    return head;
}

void RelayWorker::HeadAfterReceive(const char* data, std::size_t length, bool terminated) noexcept {
    BufferHead head = Head();
    const std::size_t copied = std::min(length, head.size());
    std::memcpy(head.data(), data, copied);
    if (terminated && length < head.size()) {
        head[length] = 0;
    }
    m_head.store(PackHead(head), std::memory_order_relaxed);
}

void RelayWorker::SetupFailed(SetupStep step, RelaySide side, const Endpoint& endpoint, int error) {
    std::lock_guard lock(m_mutex);
    m_outcome.end = RelayEnd::SetupFailed;
    m_outcome.step = step;
    m_outcome.side = side;
    m_outcome.endpoint = endpoint;
    m_outcome.error = error;
}

void RelayWorker::Finish(bool stopped, RelayEnd end, int error, const Endpoint& peer,
                         std::uint64_t unacknowledged) {
    {
        std::lock_guard lock(m_mutex);
        if (stopped) {
            m_outcome.end = HandingOver() ? RelayEnd::HandedOver : RelayEnd::Stopped;
            m_outcome.error = 0;
        } else if (m_outcome.end != RelayEnd::SetupFailed) {
            m_outcome.end = end;
            m_outcome.error = error;
            m_outcome.peer = peer;
            m_outcome.unacknowledged = unacknowledged;
        }
        m_status.stage = RelayStage::Ended;
        // A finished worker holds no descriptor, however long its outcome is kept.
        m_wake.Reset();
    }
    m_finishedChanged.notify_all();
}

bool RelayWorker::WaitFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_finishedChanged.wait_for(lock, timeout, [this] { return FinishedLocked(); });
}

RelayCounts RelayWorker::Counts() const noexcept {
    RelayCounts counts;
    counts.bytesForwarded = m_bytes.load(std::memory_order_relaxed);
    counts.datagramsForwarded = m_datagrams.load(std::memory_order_relaxed);
    counts.datagramsCut = m_cut.load(std::memory_order_relaxed);
    counts.bytesDropped = m_dropped.load(std::memory_order_relaxed);
    counts.refused = m_refused.load(std::memory_order_relaxed);
    counts.datagramsQueueDropped = m_queueDropped.load(std::memory_order_relaxed);
    counts.datagramsUnsent = m_datagramsUnsent.load(std::memory_order_relaxed);
    counts.bytesUnsent = m_bytesUnsent.load(std::memory_order_relaxed);
    return counts;
}

RelayOutcome RelayWorker::Outcome() const {
    std::lock_guard lock(m_mutex);
    RelayOutcome outcome = m_outcome;
    if (!FinishedLocked()) {
        outcome.end = RelayEnd::Running;
    }
    static_cast<RelayCounts&>(outcome) = Counts();
    return outcome;
}

RelayStatus RelayWorker::Status() const {
    std::lock_guard lock(m_mutex);
    RelayStatus status = m_status;
    static_cast<RelayCounts&>(status) = Counts();
    status.streamsConnected = m_streamsConnected.load(std::memory_order_relaxed);
    status.streamsWaiting = m_streamsWaiting.load(std::memory_order_relaxed);
    return status;
}
