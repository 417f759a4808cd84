#pragma once

#include <chrono>

#include "relay/pending_closes.h"
#include "relay/refused_sources.h"
#include "relay/relay_sockets.h"
#include "relay/socket_handle.h"

// What a caller that runs one TCP relay after another keeps for them from one stream to the next.
// While a relay runs, only its worker touches the listener; before and after, the owner does.
struct KeptAcrossStreams {
    explicit KeptAcrossStreams(std::chrono::milliseconds closeBound = kCloseBound)
        : closes(closeBound) {}

    // Made by the first relay and left listening, so that a connection between two streams is
    // never refused. The owner decides when it goes (and whether it is handed on).
    SocketHandle listener;
    // The sources refused so far, so that the log names each address once whatever the stream.
    RefusedSources refused;
    // The destinations' orderly closes, which go on while the next stream is served.
    PendingCloses closes;
};
