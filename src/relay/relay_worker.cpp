#include "relay/relay_worker.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "relay/relay_state.h"

RelayWorker::RelayWorker(RelayEventSink events)
    : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_events(std::move(events)) {}

void RelayWorker::Release() {
    std::lock_guard lock(m_mutex);
    m_released.store(true, std::memory_order_release);
    for (const int fd : m_sockets) {
        ::shutdown(fd, SHUT_RDWR);
    }
    if (m_wake.Valid()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_wake.Get(), &one, sizeof one);
    }
}

void RelayWorker::Report(const RelayEvent& event) const {
    if (m_events) {
        m_events(event);
    }
}

void RelayWorker::SetupFailed(SetupStep step, RelaySide side, const sockaddr_in& endpoint,
                              int error) {
    std::lock_guard lock(m_mutex);
    m_outcome.end = RelayEnd::SetupFailed;
    m_outcome.step = step;
    m_outcome.side = side;
    m_outcome.endpoint = endpoint;
    m_outcome.error = error;
}

void RelayWorker::Finish(bool stopped, RelayEnd end, int error) {
    std::lock_guard lock(m_mutex);
    if (stopped) {
        m_outcome.end = RelayEnd::Stopped;
        m_outcome.error = 0;
    } else if (m_outcome.end != RelayEnd::SetupFailed) {
        m_outcome.end = end;
        m_outcome.error = error;
    }
    m_finished = true;
    // A finished worker holds no descriptor, however long its outcome is kept.
    m_wake.Reset();
}

RelayOutcome RelayWorker::Outcome() const {
    std::lock_guard lock(m_mutex);
    RelayOutcome outcome = m_outcome;
    if (!m_finished) {
        outcome.end = RelayEnd::Running;
    }
    outcome.bytesForwarded = m_bytes.load(std::memory_order_relaxed);
    outcome.datagramsForwarded = m_datagrams.load(std::memory_order_relaxed);
    return outcome;
}

void RelayWorker::Watch(int fd) {
    std::lock_guard lock(m_mutex);
    m_sockets.push_back(fd);
    if (Released()) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

void RelayWorker::Unwatch(int fd) {
    std::lock_guard lock(m_mutex);
    std::erase(m_sockets, fd);
}

ReleasableSocket::ReleasableSocket(RelayWorker& worker, SocketHandle socket)
    : m_socket(std::move(socket)) {
    if (m_socket.Valid()) {
        m_worker = &worker;
        m_worker->Watch(m_socket.Get());
    }
}

ReleasableSocket::ReleasableSocket(ReleasableSocket&& other) noexcept
    : m_worker(std::exchange(other.m_worker, nullptr)), m_socket(std::move(other.m_socket)) {}

ReleasableSocket& ReleasableSocket::operator=(ReleasableSocket&& other) noexcept {
    if (this != &other) {
        Reset();
        m_worker = std::exchange(other.m_worker, nullptr);
        m_socket = std::move(other.m_socket);
    }
    return *this;
}

void ReleasableSocket::Reset() noexcept {
    if (m_worker != nullptr) {
        // Forgotten before the close, so a release never shuts down a reused descriptor.
        std::exchange(m_worker, nullptr)->Unwatch(m_socket.Get());
    }
    m_socket.Reset();
}

bool StopRequested(const RelayWorker& worker) noexcept {
    return g_stopRelay.load() == 1 || worker.Released();
}
