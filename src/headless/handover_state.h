#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "headless/relay_metrics.h"
#include "relay/endpoint.h"
#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// A TCP stream as the record lists it: its sockets are stored beside the record under the stream's
// place in the list.
struct HandedStream {
    Endpoint peer;      // who connected
    std::string unsent; // bytes read from the source that had not reached the destination

    friend bool operator==(const HandedStream&, const HandedStream&) = default;
};

// What a relay program hands to its next process across a restart, beside its sockets in
// systemd's descriptor store: enough to go on as if nothing had happened. Kept as lines of text
// in a memory file, so that a record from another version is read or refused, never misread.
struct HandoverState {
    RelayPlan plan; // the running relay's endpoints, forwarding and idle limit; its sources apart
    RelayCounts totals; // everything forwarded and refused so far
    std::uint64_t streams = 0;
    std::uint64_t starts = 0;
    std::int64_t startTime = 0;
    BufferHead head{}; // what the lamps would show
    // TCP: every stream handed over, in order; none when no stream was.
    std::vector<HandedStream> handed;
    // What the metrics count besides the totals, so that no counter falls back across a restart.
    std::array<std::uint64_t, kStreamEndReasons> streamEnds{};
    std::array<std::uint64_t, kConnectFailures> connectFailures{};
    DurationHistogram durations;

    friend bool operator==(const HandoverState&, const HandoverState&) = default;
};

std::string SerializeHandoverState(const HandoverState& state);
// None when `text` is not a record this program writes. The versions before are read too, so an
// upgrade keeps the stream: they listed one stream at most, and the first of them had no counters
// but the totals (read as zero).
std::optional<HandoverState> ParseHandoverState(std::string_view text);
