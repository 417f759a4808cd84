#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "relay/endpoint.h"
#include "relay/relay_outcome.h"
#include "relay/relay_worker.h"

// How often at most the log hears how many more refusals of sources already named there were.
inline constexpr std::chrono::seconds kRefusedSummaryInterval(60);

// What the log hears of sources that are not allowed, the same for refused connections and
// dropped datagrams: the first refusal of each address by name, then how many more, at most once
// per interval, so that a flood from one address costs a line a minute. Every refusal is counted
// with the worker at once: the counters keep the exact total. Used by one worker at a time; kept
// across streams by a caller that runs one after another, so an address is named only once.
class RefusedSources {
public:
    explicit RefusedSources(
        std::chrono::steady_clock::duration summaryInterval = kRefusedSummaryInterval);

    void Refused(RelayWorker& worker, RelaySide side, const Endpoint& endpoint,
                 const Endpoint& source);

private:
    const std::chrono::steady_clock::duration m_summaryInterval;
    std::vector<Endpoint> m_named; // addresses, without their ports
    std::uint64_t m_unreported = 0;
    std::chrono::steady_clock::time_point m_lastSummary = std::chrono::steady_clock::now();
};
