#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "headless/relay_metrics.h"
#include "relay/endpoint.h"
#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// What a relay program hands to its next process across a restart, beside its sockets in
// systemd's descriptor store: enough to go on as if nothing had happened. Kept as lines of text
// in a memory file, so that a record from another version is read or refused, never misread.
struct HandoverState {
    RelayPlan plan; // the running relay's endpoints, forwarding and idle limit; its sources apart
    RelayCounts totals; // everything forwarded and refused so far
    std::uint64_t streams = 0;
    std::uint64_t starts = 0;
    std::int64_t startTime = 0;
    BufferHead head{};  // what the lamps would show
    Endpoint peer;      // TCP: who is connected; empty when no stream was handed over
    std::string unsent; // TCP: bytes read from the source that had not reached the destination
    // What the metrics count besides the totals, so that no counter falls back across a restart.
    std::array<std::uint64_t, kStreamEndReasons> streamEnds{};
    std::array<std::uint64_t, kConnectFailures> connectFailures{};
    DurationHistogram durations;

    friend bool operator==(const HandoverState&, const HandoverState&) = default;
};

std::string SerializeHandoverState(const HandoverState& state);
// None when `text` is not a record this program writes. A record of the version before, which
// had no counters but the totals, is read with those at zero, so an upgrade keeps the stream.
std::optional<HandoverState> ParseHandoverState(std::string_view text);
