#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "headless/process_figures.h"
#include "relay/endpoint.h"
#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"

// Why a TCP stream ended, as the metrics count it.
enum class StreamEndReason {
    SourceClosed,
    DestinationGone,
    Vanished, // a peer that acknowledged nothing for too long: its link is gone
    Idle,
    Stopped,
    HandedOn, // to the next process, which goes on with it
};
inline constexpr std::size_t kStreamEndReasons = 6;
StreamEndReason StreamEndReasonOf(const RelayOutcome& outcome);

// Why a connect to the other side failed, as the metrics count it.
enum class ConnectFailure { Refused, TimedOut, Unreachable, Other };
inline constexpr std::size_t kConnectFailures = 4;
ConnectFailure ConnectFailureOf(int error);

// How long streams lasted, counted into fixed buckets.
struct DurationHistogram {
    // Upper bounds in seconds: a second, ten, a minute, ten, an hour, six, a day.
    static constexpr std::array<double, 7> kBounds = {1, 10, 60, 600, 3600, 21600, 86400};
    std::array<std::uint64_t, kBounds.size()> within{}; // in its bucket and no lower one
    std::uint64_t count = 0;
    double sum = 0;

    void Observe(double seconds);
    friend bool operator==(const DurationHistogram&, const DurationHistogram&) = default;
};

// What a relay program tells a monitoring system: the totals of every relay it ran (each TCP
// stream is a relay of its own) and where the running one is.
struct RelayMetrics {
    RelayCounts totals;
    std::uint64_t streams = 0;   // TCP streams that were connected on both sides
    std::uint64_t connected = 0; // TCP streams connected on both sides now
    std::uint64_t waiting = 0;   // connections waiting to be taken while every stream is taken
    std::uint64_t starts = 0;    // relays started with a new plan: the first, and after each change
    std::int64_t startTime = 0;  // seconds since 1970 of the last of those starts
    RelayPlan plan;
    Endpoint listening; // where it listens or is bound, as the system bound it
    std::string name;   // the relay's own name: its parameter file's, without ".inf"
    std::array<std::uint64_t, kStreamEndReasons> streamEnds{};     // by StreamEndReason
    std::array<std::uint64_t, kConnectFailures> connectFailures{}; // by ConnectFailure
    DurationHistogram durations;
    ProcessFigures process;
};

// The metrics in the Prometheus text exposition format (version 0.0.4): the relay's with the
// "tarvel_" prefix, counters with "_total", and the process's under the usual "process_" names.
std::string MetricsText(const RelayMetrics& metrics);

// The media type that format is served with.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
