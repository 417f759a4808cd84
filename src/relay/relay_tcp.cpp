// The two TCP workers: accept one connection, connect to the other side, copy one way.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "relay/relay_cycle.h"
#include "relay/relay_sockets.h"
#include "relay/relay_state.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"

namespace {

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
            if (both[1].revents != 0 && !DropReturnedData(destination, error)) {
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
        worker.CountForwarded(length);
    }
    return {RelayEnd::Stopped};
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
