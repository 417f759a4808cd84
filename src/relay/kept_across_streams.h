#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "relay/pending_closes.h"
#include "relay/refused_sources.h"
#include "relay/relay_sockets.h"

// A TCP stream between its two connections, as one relay hands it to the next (in this process, or
// through systemd's descriptor store in the next one).
struct LiveStream {
    UniqueFd accepted;  // from the peer on the wait endpoint
    UniqueFd connected; // to the other endpoint
    Endpoint peer;      // who connected
    std::string unsent; // read from the source, not yet given to the destination
    // When the stream began in this process; none when it came from the process before.
    std::chrono::steady_clock::time_point began{};
};

// What a caller that runs one relay after another keeps for them from one to the next. While a
// relay runs, only its worker touches the endpoint socket and the stream; before and after, the
// owner does.
struct KeptAcrossStreams {
    explicit KeptAcrossStreams(std::chrono::milliseconds closeBound = kCloseBound)
        : closes(closeBound) {}

    // The socket on the wait endpoint, listening (TCP) or bound (UDP): made by the first relay
    // and left open, so that a connection between two streams is never refused and no datagram
    // is lost between two relays. The owner decides when it goes (and whether it is handed on).
    UniqueFd endpointSocket;
    // TCP: a stream to go on with instead of waiting for a new one; where a relay released for a
    // hand-over leaves its stream.
    std::optional<LiveStream> stream;
    // Several streams at once: those to go on with, where a hand-over leaves them.
    std::vector<LiveStream> streams;
    // The sources refused so far, so that the log names each address once whatever the stream.
    RefusedSources refused;
    // The destinations' orderly closes, which go on while the next stream is served.
    PendingCloses closes;
};
