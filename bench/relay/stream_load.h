#pragma once

// A load of many TCP streams through a relay: sources that connect, send a given number of bytes
// and close, so many at a time, and a sink that reads every stream to its end. Sources and sink
// each wait in an epoll set on a thread of their own, so the load is not what limits the relay.

#include <cstddef>
#include <cstdint>
#include <string>

#include "relay_harness.h"

namespace relaybench {

struct StreamLoad {
    const char* relayAddress; // where the relay listens
    int relayPort;
    const char* sinkAddress; // where the relay sends
    int sinkPort;
    std::size_t streams;   // in all
    std::size_t atOnce;    // begun and not yet ended at the sink, at most
    std::size_t bytes;     // each source sends, letters without a zero
    Clock::duration limit; // the whole load, at most
};

struct StreamLoadResult {
    bool ok = false; // every stream reached the sink whole within the limit
    std::string problem;
    double seconds = 0; // from the first connect to the last stream's end at the sink
    std::size_t ended = 0;
    std::uint64_t received = 0; // bytes at the sink (text mode adds a zero per unit)
    double longestGapMs = 0;    // the longest time in which no stream ended at the sink
};

StreamLoadResult RunStreamLoad(const StreamLoad& load);

} // namespace relaybench
