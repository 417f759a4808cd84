#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

// Orderly closes that go on beside the relays: a TCP destination is handed over once the relay has
// sent its last byte, its sending side is shut down, and a thread of its own reads and drops what
// the peer still sends until the peer closes too or the bound passes. The relay that handed it
// over ends at once, so the next stream never waits for a destination's close. Destroying the
// object lets every pending close finish within its bound.
class PendingCloses {
public:
    explicit PendingCloses(std::chrono::milliseconds bound);
    ~PendingCloses();
    PendingCloses(const PendingCloses&) = delete;
    PendingCloses& operator=(const PendingCloses&) = delete;

    // Takes the connection over; its peer sees the orderly close after everything sent on it.
    // From any thread.
    void Add(UniqueFd connection);
    // How many closes still wait for their peer.
    std::size_t Waiting() const noexcept { return m_waiting.load(); }

private:
    struct Closing {
        UniqueFd connection;
        std::chrono::steady_clock::time_point deadline;
    };

    void Run();

    const std::chrono::milliseconds m_bound;
    std::mutex m_mutex;
    std::vector<Closing> m_handedOver; // under m_mutex, until the thread takes them
    bool m_ending = false;             // under m_mutex
    std::atomic<std::size_t> m_waiting{0};
    UniqueFd m_wake; // an eventfd: something was handed over, or the end came
    std::thread m_thread;
};
