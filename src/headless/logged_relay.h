#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "headless/handover_state.h"
#include "headless/relay_log.h"
#include "headless/relay_metrics.h"
#include "relay/kept_across_streams.h"
#include "relay/relay.h"

// Why a relay is started, which decides what the log says of it.
enum class StartKind {
    NewPlan,    // a plan taken from the file: said as started once it is bound, counted a start
    NextStream, // the next stream of the same plan: only where it waits is said
    Replanned,  // the same endpoints and stream under changed settings: nothing is said again
};

// Failed connects to the other side, as the log hears of them: the first of each reason in a line,
// then how many more at most once a minute, and what was left unsaid when the relay ends. A
// destination that is down costs a line a minute, not a line per client.
class FailedConnects {
public:
    void Failed(RelayLog& log, const RelayOutcome& outcome, const Endpoint& peer);
    void SayUnsaid(RelayLog& log);

private:
    std::vector<int> m_named; // the reasons (errno values) said in a line of their own
    std::uint64_t m_unsaid = 0;
    std::string m_where; // the endpoint the unsaid ones failed at
    std::chrono::steady_clock::time_point m_lastSummary = std::chrono::steady_clock::now();
};

// One relay at a time, started from a plan and ended with its totals in the log, and the totals of
// all of them for the metrics: a TCP relay is a relay per stream. Its endpoint socket (and a stream
// being handed on) is kept here from one relay to the next.
class LoggedRelay {
public:
    explicit LoggedRelay(RelayLog& log) : m_log(log) {}
    ~LoggedRelay();
    LoggedRelay(const LoggedRelay&) = delete;
    LoggedRelay& operator=(const LoggedRelay&) = delete;

    void Start(const RelayPlan& plan, StartKind kind);

    // Whether a stop closes the listener first: when the relay or the process ends, or the next
    // relay listens elsewhere, so that no connection is taken into the queue only to be reset; not
    // when the next relay listens on the same socket, which then serves whoever waits in it.
    enum class Door { Close, KeepOpen };
    // Stops the running relay (its listener first, as `door` says), logs `why`, waits for the end
    // and logs it; the outcome.
    RelayOutcome Stop(const std::string& why, Door door = Door::Close);
    // Waits for the relay's end (it ended by itself, or was stopped) and logs how it ended. Its
    // outcome.
    RelayOutcome Finish();

    // Goes on under `plan` without cutting anything: the running relay hands its endpoint socket
    // and its stream to one started with `plan` (see CarriesOn).
    void Replan(const RelayPlan& plan);

    // Ends the running relay for the next process: it stops reading and ends at once, leaving its
    // endpoint socket and its streams (with what each read and had not given) in Kept().streams,
    // in the order of the record's list. What the next process needs besides.
    HandoverState HandOver();
    // Goes on from what the process before handed over: its totals, starts and lamps here, its
    // sockets in Kept(); Start then goes on with them, counting no start.
    void TakeOver(const HandoverState& state);

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
    void Told(const RelayEvent& event, const RelayPlan& plan, StartKind kind);
    // Several streams at once: each stream's lines as its events come, its end counted as it ends.
    void ToldOfStreams(const RelayEvent& event, const RelayPlan& plan, StartKind kind);
    void LogEnd(const RelayOutcome& outcome, bool sayHandOver);
    // Counts a failed connect, and the end of the stream the relay had unless it `goesOnHere`
    // (handed to the next relay of this process).
    void CountEnd(const RelayOutcome& outcome, bool goesOnHere);

    RelayLog& m_log;
    // Guards what a worker of several streams counts as each ends, against the metrics' reads.
    mutable std::mutex m_countsMutex;
    FailedConnects m_failedConnects;
    std::atomic<bool> m_saidStreamsWaiting{false};
    // Set on the worker's thread as it reports, read on this one once it ended.
    std::atomic<bool> m_bound{false}; // the running relay's endpoint is bound: it started
    std::mutex m_acceptedMutex;
    std::string m_accepted; // the accepted line, said once the other side is connected
    Endpoint m_acceptedPeer;
    bool m_sayWaiting = true; // false after a failed connect: the relay still waits where it did
    // The endpoint socket, the refusals named, the stream handed on and the orderly closes of one
    // stream after another; destroyed after the relay, so the closes still waiting finish within
    // their bound before the process ends.
    KeptAcrossStreams m_kept;
    std::unique_ptr<Relay> m_relay;
    BufferHead m_head{};
    std::atomic<bool> m_ready{false};
    RelayCounts m_ended;                     // what the relays that ended forwarded and refused
    std::atomic<std::uint64_t> m_streams{0}; // counted on the worker's thread
    std::atomic<std::uint64_t> m_starts{0};
    std::atomic<std::int64_t> m_startTime{0};
    // When the stream the relay has began, in steady-clock nanoseconds; 0 without one. Set on
    // the worker's thread.
    std::atomic<std::int64_t> m_streamBegan{0};
    std::array<std::uint64_t, kStreamEndReasons> m_streamEnds{};
    std::array<std::uint64_t, kConnectFailures> m_connectFailures{};
    DurationHistogram m_durations;
    bool m_carriedOn = false; // taken over: the next start is no new start
};
