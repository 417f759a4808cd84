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

#include "platform/unique_fd.h"
#include "relay/endpoint.h"
#include "relay/relay_outcome.h"

// What a worker tells an observer as it sets up; the dialog shows none of it, a log does.
struct RelayEvent {
    enum class Kind {
        Listening,   // TCP: waiting for the one connection on `endpoint`
        Accepted,    // TCP: `peer` connected to `endpoint`
        Connected,   // TCP: connected out to `endpoint`
        Receiving,   // UDP: bound on `endpoint`, waiting for datagrams
        Refused,     // `peer`, not an allowed source: its connection closed or its datagram dropped
        RefusedMore, // `count` more connections or datagrams of sources already named refused
        TextCut,     // text: bytes after a unit's zero were left out, the first time in this run
        Resumed,     // TCP: going on with `peer`'s stream on `endpoint`, from the relay before
        // Several streams at once: `peer`'s stream ended alone, after `seconds`, as `outcome`
        // says (a failed connect to the other side included).
        StreamEnded,
        // Several streams at once: all of them are taken and `count` connections wait in the
        // listener's queue.
        StreamsWaiting,
    };
    Kind kind;
    RelaySide side;
    Endpoint endpoint;
    Endpoint peer;
    std::uint64_t count = 0;
    RelayOutcome outcome{};
    double seconds = 0;
};
using RelayEventSink = std::function<void(const RelayEvent&)>;

// The first four bytes of the relay buffer, which the lamps show.
using BufferHead = std::array<std::uint8_t, 4>;

// Where a relay is: what Stop and a status line tell the operator.
enum class RelayStage {
    Starting, // setting up its sockets
    Waiting,  // TCP: listening for its one connection; UDP: bound, waiting for datagrams
    Relaying, // TCP: connected on both sides
    Ended,
};

// A relay's state at one moment, with its counts, for a status line or a tooltip.
struct RelayStatus : RelayCounts {
    RelayStage stage = RelayStage::Starting;
    RelaySide waitSide = RelaySide::Client;
    Endpoint waitEndpoint; // where it listens or is bound, once it does
    Endpoint peer;         // TCP: who connected; UDP: who sent last
    // Several TCP streams at once: how many are connected on both sides, and how many connections
    // wait in the listener's queue because all are taken.
    std::uint64_t streamsConnected = 0;
    std::uint64_t streamsWaiting = 0;
};

// One run of a relay worker: whether Stop has released it, the buffer head, what it forwarded,
// where it is and how it ended. The worker's thread and a stopping or watching thread use it at
// the same time.
//
// Every socket of a relay is non-blocking and the worker waits only in poll, always together with
// the wake-up descriptor (or for a bounded time), so a release reaches it wherever it is without
// touching its sockets: a stream being sent can still finish its unit.
class RelayWorker {
public:
    // `head` is what the lamps show until the first receive: what the previous relay left.
    explicit RelayWorker(RelayEventSink events = {}, BufferHead head = {});
    RelayWorker(const RelayWorker&) = delete;
    RelayWorker& operator=(const RelayWorker&) = delete;

    // Stop's release: the worker's next wait returns and it ends as soon as what it was doing
    // allows.
    void Release();
    // Releases a TCP worker only while it has no connection yet (before it took what its accept
    // returned), so that a relay being stopped never connects to the other side. True when it
    // released.
    bool ReleaseIfWaiting();
    bool Released() const noexcept { return m_released.load(std::memory_order_acquire); }
    // A release that hands the relay on instead of ending it: what it read goes on whole, its
    // sockets stay open, and it waits for no peer (see KeptAcrossStreams).
    void ReleaseForHandOver();
    bool HandingOver() const noexcept { return m_handingOver.load(std::memory_order_acquire); }
    // The worker's claim on the connection its accept returned from `peer`; false when a release
    // came first.
    bool TakeConnection(const Endpoint& peer);
    // Puts the endpoint socket the worker made (listening or bound) where it is kept, unless a
    // release came first. So once a stopping thread has released the worker, no socket appears
    // after it, and the one kept (by the caller, across relays) is the stopping thread's to shut.
    bool KeepEndpointSocket(UniqueFd& kept, UniqueFd made);
    // Readable once the worker is released; polled beside its sockets. For the worker's own
    // thread, until it finishes.
    int WakeDescriptor() const noexcept { return m_wake.Get(); }
    // Why there is no wake-up descriptor (the system's error number); 0 when there is.
    int WakeError() const noexcept { return m_wakeError; }

    void Report(const RelayEvent& event) const;
    // Where the worker waits: listening (TCP) or bound (UDP) on `endpoint`.
    void Waiting(RelaySide side, const Endpoint& endpoint);
    // TCP: connected on both sides.
    void Relaying();
    // Relaxed: counters are only read for display and totals.
    void CountForwarded(std::size_t bytes, std::size_t datagrams = 0) noexcept {
        m_bytes.fetch_add(bytes, std::memory_order_relaxed);
        if (datagrams != 0) {
            m_datagrams.fetch_add(datagrams, std::memory_order_relaxed);
        }
    }
    // Datagrams longer than one unit, forwarded cut.
    void CountCut(std::size_t datagrams) noexcept {
        m_cut.fetch_add(datagrams, std::memory_order_relaxed);
    }
    // Text: bytes after a unit's first zero, which the rule leaves out. Only the worker's own
    // thread counts, so the first count is the first cut, reported once.
    void CountDropped(std::size_t bytes) {
        if (m_dropped.fetch_add(bytes, std::memory_order_relaxed) == 0) {
            ReportFirstCut();
        }
    }
    // Connections closed or datagrams dropped because their source is not allowed.
    void CountRefused(std::size_t refused) noexcept {
        m_refused.fetch_add(refused, std::memory_order_relaxed);
    }
    // UDP: datagrams the system dropped because the receive queue was full.
    void CountQueueDropped(std::uint64_t datagrams) noexcept {
        m_queueDropped.fetch_add(datagrams, std::memory_order_relaxed);
    }
    // Datagrams or bytes that could not be sent on: lost.
    void CountUnsent(std::size_t bytes, std::size_t datagrams = 0) noexcept {
        m_bytesUnsent.fetch_add(bytes, std::memory_order_relaxed);
        m_datagramsUnsent.fetch_add(datagrams, std::memory_order_relaxed);
    }
    // UDP: the sender of the datagrams forwarded last.
    void LastSender(const Endpoint& peer);
    // Several TCP streams at once: how many are connected, and how many wait to be taken.
    void Streams(std::uint64_t connected, std::uint64_t waiting) noexcept {
        m_streamsConnected.store(connected, std::memory_order_relaxed);
        m_streamsWaiting.store(waiting, std::memory_order_relaxed);
    }

    // The lamps read the head while the worker receives, so it is kept as one atomic word.
    BufferHead Head() const noexcept;
    // Moves the head on as receiving `length` bytes into the relay buffer would: the bytes, then
    // (for text) the zero put after them, the rest as it was.
    void HeadAfterReceive(const char* data, std::size_t length, bool terminated = true) noexcept;

    // Records a failed set-up step; the outcome says so once the worker has finished.
    void SetupFailed(SetupStep step, RelaySide side, const Endpoint& endpoint, int error);
    // The worker's last act, after its sockets are closed. A stop counts over anything the
    // release itself made fail; a failed set-up over how the relay loop (never run) ended.
    // `peer`: whose connection ended a TCP stream.
    void Finish(bool stopped, RelayEnd end, int error = 0, const Endpoint& peer = {},
                std::uint64_t unacknowledged = 0);
    // True once Finish has run, or false when `timeout` passed first.
    bool WaitFinished(std::chrono::milliseconds timeout) const;
    // Running until Finish; then how it ended, with the totals.
    RelayOutcome Outcome() const;
    RelayStatus Status() const;

private:
    void ReleaseLocked();
    void ReportFirstCut() const;
    RelayCounts Counts() const noexcept;
    bool FinishedLocked() const noexcept { return m_status.stage == RelayStage::Ended; }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_finishedChanged;
    RelayOutcome m_outcome; // under m_mutex
    RelayStatus m_status;   // under m_mutex, counts apart; its stage is Ended once finished
    std::atomic<bool> m_released{false};
    std::atomic<bool> m_handingOver{false};
    UniqueFd m_wake;     // an eventfd; under m_mutex but for the worker's own reads
    int m_wakeError = 0; // why m_wake could not be made
    RelayEventSink m_events;
    std::atomic<std::uint32_t> m_head;
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint64_t> m_datagrams{0};
    std::atomic<std::uint64_t> m_cut{0};
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_refused{0};
    std::atomic<std::uint64_t> m_queueDropped{0};
    std::atomic<std::uint64_t> m_datagramsUnsent{0};
    std::atomic<std::uint64_t> m_bytesUnsent{0};
    std::atomic<std::uint64_t> m_streamsConnected{0};
    std::atomic<std::uint64_t> m_streamsWaiting{0};
};
