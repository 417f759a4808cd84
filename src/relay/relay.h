#pragma once

#include <chrono>
#include <thread>

#include "relay/kept_across_streams.h"
#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// One started relay: its plan, its worker thread and what the worker records. The thread starts
// with the object; destroying the object releases the worker and waits for its thread.
class Relay {
public:
    // `events` hears what the worker reports as it sets up, on the worker's thread. `head` is the
    // buffer head the lamps show until the first receive (what the previous relay left).
    // `kept`: what a TCP relay uses of what the caller keeps from one relay to the next (its
    // listener, the sources it named as refused, and the orderly closes that go on beside it); it
    // must outlive the relay.
    explicit Relay(const RelayPlan& plan, RelayEventSink events = {}, BufferHead head = {},
                   KeptAcrossStreams* kept = nullptr);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    const RelayPlan& Plan() const noexcept { return m_plan; }

    // Stop's first step: a TCP relay still waiting for its connection stops waiting at once and
    // never connects to the other side; a relay that has its connection, and a UDP relay, go on.
    void StopWaiting() {
        if (m_plan.protocol == RelayProtocol::Tcp) {
            m_worker.ReleaseIfWaiting();
        }
    }
    // Ends the relay: whatever call its worker is blocked in returns. Never waits.
    void Stop() { m_worker.Release(); }
    // Ends the relay for a hand-over: it stops reading and ends at once, its endpoint socket and
    // its stream left in what the caller keeps (see KeptAcrossStreams). Never waits.
    void HandOver() { m_worker.ReleaseForHandOver(); }
    // Readable once the worker has ended: for an owner that waits in poll for more than the relay.
    int EndedDescriptor() const noexcept { return m_ended.Get(); }
    // True once the worker has ended, or false when the timeout passed first.
    bool WaitUntilEnded(std::chrono::milliseconds timeout) const {
        return m_worker.WaitFinished(timeout);
    }

    // Running, or how it ended, with what it forwarded.
    RelayOutcome Outcome() const { return m_worker.Outcome(); }
    BufferHead Head() const noexcept { return m_worker.Head(); }
    // Where it is and what it forwarded so far.
    RelayStatus Status() const { return m_worker.Status(); }

private:
    const RelayPlan m_plan;
    RelayWorker m_worker;
    UniqueFd m_ended; // an eventfd, written once the worker has ended
    std::thread m_thread;
};
