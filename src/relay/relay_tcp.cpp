// The two TCP workers: accept one connection, connect to the other side, copy one way.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "relay/relay_cycle.h"
#include "relay/relay_sockets.h"
#include "relay/relay_state.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"

namespace {

// How long a closing relay waits for the destination to close its side too.
constexpr std::chrono::milliseconds kCloseBound(1000);
// Chunks of returned data read in one go, so a chatty destination cannot hold the relay up.
constexpr int kDiscardChunks = 16;

struct StreamEnd {
    RelayEnd end;
    int error = 0;
};

// Sends the whole unit: a short count or an interrupted call resumes where it stopped.
// MSG_NOSIGNAL: a vanished peer must end the relay, not the process.
bool SendWhole(int fd, const char* data, std::size_t length, int& error) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Data never flows back, but what the destination sends is read and dropped: left unread, it
// would turn the final close into a reset. False once the destination has closed or failed.
bool DiscardReturned(int destination, int& error) {
    char scratch[4096];
    for (int chunk = 0; chunk < kDiscardChunks; ++chunk) {
        const ssize_t got = ::recv(destination, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got == 0) {
            return false;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            }
            error = errno;
            return false;
        }
    }
    return true;
}

// Copies from the source to the destination until one of them ends or Stop. A source that has
// nothing to give costs a poll on both, so a destination that closes meanwhile is noticed at once;
// a busy source costs one receive per unit.
StreamEnd RelayTcp(RelayWorker& worker, int source, int destination) {
    char* const buffer = g_relayBuffer.data();
    while (g_stopRelay.load() != 1) {
        const ssize_t received = ::recv(source, buffer, kMaxReceive, MSG_DONTWAIT);
        if (received == 0) {
            return {RelayEnd::SourceClosed};
        }
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return {RelayEnd::SourceClosed, errno};
            }
            pollfd both[2] = {{source, POLLIN, 0}, {destination, POLLIN | POLLRDHUP, 0}};
            if (::poll(both, 2, -1) < 0 && errno != EINTR) {
                return {RelayEnd::SourceClosed, errno};
            }
            int error = 0;
            if (both[1].revents != 0 && !DiscardReturned(destination, error)) {
                return {RelayEnd::DestinationGone, error};
            }
            continue;
        }
        const std::size_t length = TerminateReceived(buffer, static_cast<std::size_t>(received));
        PublishRelayBufferHead();
        if (StopRequested(worker)) {
            return {RelayEnd::Stopped};
        }
        int error = 0;
        if (!SendWhole(destination, buffer, length, error)) {
            return {RelayEnd::DestinationGone, error};
        }
        worker.CountForwarded(length, 1);
    }
    return {RelayEnd::Stopped};
}

// The destination sees an orderly close after the last byte: our sending side is shut down
// first, then what it still sends is dropped until it closes too (or a short while passes).
// Closing with unread input would reset the connection and drop the stream's tail.
void CloseOrderly(ReleasableSocket& destination) {
    if (!destination.Valid()) {
        return;
    }
    ::shutdown(destination.Get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + kCloseBound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{destination.Get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0) {
            break;
        }
        int error = 0;
        if (!DiscardReturned(destination.Get(), error)) {
            break;
        }
    }
    destination.Reset();
}

unsigned int RunTcpWorker(RelayWorker& worker, std::atomic<int>& waiting, RelaySide listenSide,
                          bool sourceIsAccepted) {
    StartSockets();

    // Waiting: the flag is up from before the listening socket exists until accept has returned.
    waiting.store(1);
    ReleasableSocket accepted = listenSide == RelaySide::Server ? AcceptOnServerEndpoint(worker)
                                                                : AcceptOnClientEndpoint(worker);
    waiting.store(0);

    // Other side: connect only once the incoming connection is there.
    ReleasableSocket connected;
    if (accepted.Valid() && !StopRequested(worker)) {
        connected = listenSide == RelaySide::Server ? ConnectToClientEndpoint(worker)
                                                    : ConnectToServerEndpoint(worker);
    }

    // Relaying.
    StreamEnd end{RelayEnd::SetupFailed};
    ReleasableSocket& source = sourceIsAccepted ? accepted : connected;
    ReleasableSocket& destination = sourceIsAccepted ? connected : accepted;
    if (connected.Valid()) {
        end = RelayTcp(worker, source.Get(), destination.Get());
    }

    // Ending: the accepted socket first, then the connected one.
    const bool stopped = StopRequested(worker);
    g_stopRelay.store(0);
    if (sourceIsAccepted) {
        source.Reset();
        CloseOrderly(destination);
    } else {
        CloseOrderly(destination);
        source.Reset();
    }
    worker.Finish(stopped, end.end, end.error);
    return 1;
}

} // namespace

unsigned int TcpClientToServerThread(RelayWorker& worker) {
    return RunTcpWorker(worker, g_c2sTcpWaiting, RelaySide::Server, false);
}

unsigned int TcpServerToClientThread(RelayWorker& worker) {
    return RunTcpWorker(worker, g_s2cTcpWaiting, RelaySide::Client, true);
}
