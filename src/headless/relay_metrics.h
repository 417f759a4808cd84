#pragma once

#include <cstdint>
#include <string>

#include "relay/endpoint.h"
#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"

// What a relay program tells a monitoring system: the totals of every relay it ran (each TCP
// stream is a relay of its own) and where the running one is.
struct RelayMetrics {
    RelayCounts totals;
    std::uint64_t streams = 0;  // TCP streams that were connected on both sides
    bool connected = false;     // a TCP stream is connected now
    std::uint64_t starts = 0;   // relays started with a new plan: the first, and after each change
    std::int64_t startTime = 0; // seconds since 1970 of the last of those starts
    RelayPlan plan;
    Endpoint listening; // where it listens or is bound, as the system bound it
};

// The metrics in the Prometheus text exposition format (version 0.0.4), every name with the
// "tarvel_" prefix, counters with "_total".
std::string MetricsText(const RelayMetrics& metrics);

// The media type that format is served with.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
