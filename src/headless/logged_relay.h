#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "headless/handover_state.h"
#include "headless/relay_log.h"
#include "headless/relay_metrics.h"
#include "relay/kept_across_streams.h"
#include "relay/relay.h"

// One relay at a time, started from a plan and ended with its totals in the log, and the totals of
// all of them for the metrics: a TCP relay is a relay per stream. Its endpoint socket (and a stream
// being handed on) is kept here from one relay to the next.
class LoggedRelay {
public:
    explicit LoggedRelay(RelayLog& log) : m_log(log) {}
    ~LoggedRelay();
    LoggedRelay(const LoggedRelay&) = delete;
    LoggedRelay& operator=(const LoggedRelay&) = delete;

    // `announce`: a new plan, said in the log and counted as a start; the next stream of the same
    // plan only says where it waits.
    void Start(const RelayPlan& plan, bool announce);

    // Stops the running relay, closing the door first: its listener stops taking connections
    // before the relay finishes its unit and the destination's close is awaited, so that none is
    // taken into the queue only to be reset when the relay or the process ends. `why` is logged
    // then. Waits for the end and logs it; the outcome.
    RelayOutcome Stop(const std::string& why);
    // Waits for the relay's end (it ended by itself, or was stopped) and logs how it ended. Its
    // outcome.
    RelayOutcome Finish();

    // Goes on under `plan` without cutting anything: the running relay hands its endpoint socket
    // and its stream to one started with `plan` (see CarriesOn).
    void Replan(const RelayPlan& plan);

    // Ends the running relay for the next process: it stops reading and ends at once, leaving its
    // endpoint socket and its stream (with what it read and had not given) in Kept(). What the
    // next process needs besides.
    HandoverState HandOver();
    // Goes on from what the process before handed over: its totals, starts and lamps here, its
    // sockets in Kept(); Start then goes on with them, counting no start.
    void TakeOver(const HandoverState& state);

    // Lets the endpoint socket go, as before a relay with another plan.
    void ReleaseEndpointSocket() { m_kept.endpointSocket.Reset(); }
    KeptAcrossStreams& Kept() { return m_kept; }

    // Readable once the running relay has ended by itself.
    int EndedDescriptor() const { return m_relay->EndedDescriptor(); }
    const Relay& Running() const { return *m_relay; }
    RelayMetrics Metrics() const;

private:
    // systemd counts the service as started from here on; elsewhere there is nobody to tell.
    void NotifyReady();
    // Waits for the running relay's end, logs how it ended (a hand-over only when `sayHandOver`),
    // adds its totals and lets it go. Its outcome.
    RelayOutcome End(bool sayHandOver);
    void Told(const RelayEvent& event, RelayProtocol protocol);

    RelayLog& m_log;
    // The endpoint socket, the refusals named, the stream handed on and the orderly closes of one
    // stream after another; destroyed after the relay, so the closes still waiting finish within
    // their bound before the process ends.
    KeptAcrossStreams m_kept;
    std::unique_ptr<Relay> m_relay;
    BufferHead m_head{};
    std::atomic<bool> m_ready{false};
    RelayCounts m_ended;                     // what the relays that ended forwarded and refused
    std::atomic<std::uint64_t> m_streams{0}; // counted on the worker's thread
    std::uint64_t m_starts = 0;
    std::int64_t m_startTime = 0;
    bool m_carriedOn = false; // taken over: the next Start is no new start
};
