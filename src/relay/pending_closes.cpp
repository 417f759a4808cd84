#include "relay/pending_closes.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "relay/relay_sockets.h"

PendingCloses::PendingCloses(std::chrono::milliseconds bound)
    : m_bound(bound), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_thread([this] { Run(); }) {}

PendingCloses::~PendingCloses() {
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake.Get(), &one, sizeof one);
    m_thread.join();
}

void PendingCloses::Add(UniqueFd connection) {
    if (!connection.Valid()) {
        return;
    }
    ShutDownSending(connection);
    {
        std::lock_guard lock(m_mutex);
        m_handedOver.push_back({std::move(connection), std::chrono::steady_clock::now() + m_bound});
        ++m_waiting;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake.Get(), &one, sizeof one);
}

void PendingCloses::Run() {
    using Clock = std::chrono::steady_clock;
    std::vector<Closing> closing; // this thread's own
    std::vector<pollfd> entries;
    for (;;) {
        bool ending = false;
        {
            std::lock_guard lock(m_mutex);
            std::move(m_handedOver.begin(), m_handedOver.end(), std::back_inserter(closing));
            m_handedOver.clear();
            ending = m_ending;
        }
        // The end waits only for the closes already handed over, each within its bound.
        if (ending && closing.empty()) {
            return;
        }

        // Until a peer sends or closes, something is handed over, or the nearest bound passes.
        entries.assign(1, {m_wake.Get(), POLLIN, 0});
        Clock::time_point nearest = Clock::time_point::max();
        for (const Closing& entry : closing) {
            entries.push_back({entry.connection.Get(), POLLIN, 0});
            nearest = std::min(nearest, entry.deadline);
        }
        int timeout = PollTimeoutUntil(nearest);
        // Without a wake-up descriptor, what is handed over is looked for now and then instead.
        if (!m_wake.Valid()) {
            constexpr int kLookMs = 50;
            timeout = timeout < 0 ? kLookMs : std::min(timeout, kLookMs);
        }
        // A wait that cannot be made leaves nothing to wait for: what is pending closes now.
        const bool waited = ::poll(entries.data(), entries.size(), timeout) >= 0 || errno == EINTR;
        if (entries[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(m_wake.Get(), &count, sizeof count);
        }

        // Done: the peer closed too (or its connection failed), or the bound passed, when what
        // came last is read first so that the close finds nothing unread.
        const Clock::time_point now = Clock::now();
        std::vector<Closing> still;
        for (std::size_t i = 0; i < closing.size(); ++i) {
            const int fd = closing[i].connection.Get();
            if (entries[i + 1].revents != 0 && DrainedToTheEnd(fd)) {
                continue;
            }
            if (!waited || now >= closing[i].deadline) {
                DrainedToTheEnd(fd);
                continue;
            }
            still.push_back(std::move(closing[i]));
        }
        closing.swap(still);
        {
            std::lock_guard lock(m_mutex);
            m_waiting = closing.size() + m_handedOver.size();
        }
    }
}
