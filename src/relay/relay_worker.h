#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "relay/endpoint.h"
#include "relay/relay_outcome.h"
#include "relay/socket_handle.h"

// What a worker tells an observer as it sets up; the dialog shows none of it, a log does.
struct RelayEvent {
    enum class Kind {
        Listening, // TCP: waiting for the one connection on `endpoint`
        Accepted,  // TCP: `peer` connected to `endpoint`
        Connected, // TCP: connected out to `endpoint`
        Receiving, // UDP: bound on `endpoint`, waiting for datagrams
    };
    Kind kind;
    RelaySide side;
    Endpoint endpoint;
    Endpoint peer;
};
using RelayEventSink = std::function<void(const RelayEvent&)>;

// The first four bytes of the relay buffer, which the lamps show.
using BufferHead = std::array<std::uint8_t, 4>;

// One run of a relay worker: whether Stop has released it, the sockets Stop can reach, the
// buffer head, what it forwarded and how it ended. The worker's thread and a stopping or watching
// thread use it at the same time.
class RelayWorker {
public:
    // `head` is what the lamps show until the first receive: what the previous relay left.
    explicit RelayWorker(RelayEventSink events = {}, BufferHead head = {});
    RelayWorker(const RelayWorker&) = delete;
    RelayWorker& operator=(const RelayWorker&) = delete;

    // Stop's release: every call the worker is blocked in returns, now or as soon as it is made.
    // Sockets in use are shut down (which also stays in force for later calls on them); a socket
    // not yet connected cannot be reached that way, so the wake-up descriptor is signalled too.
    void Release();
    // Releases the worker only while it has no connection yet (a TCP worker before its accept
    // returned), so that a relay being stopped never connects to the other side. True when it
    // released.
    bool ReleaseIfWaiting();
    bool Released() const noexcept { return m_released.load(std::memory_order_acquire); }
    // The worker's claim on the connection its accept returned; false when a release came first.
    bool TakeConnection();
    // Readable once the worker is released; polled beside a socket during set-up. For the
    // worker's own thread, until it finishes.
    int WakeDescriptor() const noexcept { return m_wake.Get(); }

    void Report(const RelayEvent& event) const;
    // Relaxed: only totals are read, and only once the worker has ended.
    void CountForwarded(std::size_t bytes, std::size_t datagrams = 0) noexcept {
        m_bytes.fetch_add(bytes, std::memory_order_relaxed);
        if (datagrams != 0) {
            m_datagrams.fetch_add(datagrams, std::memory_order_relaxed);
        }
    }

    // The lamps read the head while the worker receives, so it is kept as one atomic word.
    BufferHead Head() const noexcept;
    // Moves the head on as receiving `length` bytes into the relay buffer would: the bytes, then
    // the zero put after them, the rest as it was.
    void HeadAfterReceive(const char* data, std::size_t length) noexcept;

    // Records a failed set-up step; the outcome says so once the worker has finished.
    void SetupFailed(SetupStep step, RelaySide side, const Endpoint& endpoint, int error);
    // The worker's last act, after its sockets are closed. A stop counts over anything the
    // release itself made fail; a failed set-up over how the relay loop (never run) ended.
    void Finish(bool stopped, RelayEnd end, int error = 0);
    // True once Finish has run, or false when `timeout` passed first.
    bool WaitFinished(std::chrono::milliseconds timeout) const;
    // Running until Finish; then how it ended, with the totals.
    RelayOutcome Outcome() const;

private:
    friend class ReleasableSocket;
    void Watch(int fd);
    void Unwatch(int fd);
    void ReleaseLocked();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_finishedChanged;
    std::vector<int> m_sockets;   // under m_mutex
    RelayOutcome m_outcome;       // under m_mutex
    bool m_finished = false;      // under m_mutex
    bool m_hasConnection = false; // under m_mutex
    std::atomic<bool> m_released{false};
    SocketHandle m_wake; // an eventfd; under m_mutex but for the worker's own reads
    RelayEventSink m_events;
    std::atomic<std::uint32_t> m_head;
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint64_t> m_datagrams{0};
};

// A socket that Stop can release: known to its worker from creation to close, so a release
// reaches it and never touches a descriptor number that was reused after the close.
class ReleasableSocket {
public:
    ReleasableSocket() noexcept = default;
    // Takes `socket` over; shuts it down at once when the worker is already released.
    ReleasableSocket(RelayWorker& worker, SocketHandle socket);
    ~ReleasableSocket() { Reset(); }

    ReleasableSocket(ReleasableSocket&& other) noexcept;
    ReleasableSocket& operator=(ReleasableSocket&& other) noexcept;
    ReleasableSocket(const ReleasableSocket&) = delete;
    ReleasableSocket& operator=(const ReleasableSocket&) = delete;

    int Get() const noexcept { return m_socket.Get(); }
    bool Valid() const noexcept { return m_socket.Valid(); }
    void Reset() noexcept;

private:
    RelayWorker* m_worker = nullptr;
    SocketHandle m_socket;
};
