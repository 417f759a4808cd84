#include "relay/relay_sockets.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>

#include "platform/open_socket.h"

void WatchForVanishedPeer(const UniqueFd& connection) {
    // Probes after 30 s without a byte from the peer, every 10 s, three unanswered ending it. No
    // bound on unacknowledged data here (TCP_USER_TIMEOUT): it also ends a closed window's stretch
    // while the peer answers every probe, which would cut a slow or paused reader.
    constexpr int kIdleSeconds = 30;
    constexpr int kProbeIntervalSeconds = 10;
    constexpr int kProbes = 3;
    const int on = 1;
    const int fd = connection.Get();
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kIdleSeconds, sizeof kIdleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kProbeIntervalSeconds,
                 sizeof kProbeIntervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kProbes, sizeof kProbes);
}

std::uint64_t UnacknowledgedBytes(int fd) {
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<std::uint64_t>(queued)
                                                             : 0;
}

bool PeerFellSilent(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return false;
    }
    // Resent or probed without an answer: a live peer's acknowledgement clears both counts.
    const bool asking = info.tcpi_retransmits != 0 || info.tcpi_probes != 0;
    constexpr auto kBoundMs = std::chrono::milliseconds(kSilenceBound).count();
    return asking && info.tcpi_last_ack_recv >= kBoundMs && UnacknowledgedBytes(fd) != 0;
}

namespace {

// Connects `fd` without blocking in the system call, so that a release reaches it at any moment.
// 0 once connected, ECANCELED when `wakeFd` became readable first, ETIMEDOUT when no answer came
// within kConnectBound, otherwise the connect's own error. `fd` is non-blocking.
int ConnectInterruptibly(int fd, const Endpoint& endpoint, int wakeFd) {
    if (::connect(fd, endpoint.Address(), endpoint.Length()) != 0) {
        if (errno != EINPROGRESS) {
            return errno;
        }
        constexpr int kBoundMs = static_cast<int>(std::chrono::milliseconds(kConnectBound).count());
        if (!WaitFor(fd, POLLOUT, wakeFd, kBoundMs)) {
            return errno;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return errno;
        }
        return error;
    }
    return 0;
}

} // namespace

Endpoint BoundEndpoint(int fd, const Endpoint& requested) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return requested;
    }
    const Endpoint endpoint = Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&bound), length);
    return endpoint.Empty() ? requested : endpoint;
}

UniqueFd MakeEndpointSocket(RelayProtocol protocol, const Endpoint& endpoint, SetupStep& failed) {
    const bool tcp = protocol == RelayProtocol::Tcp;
    // Non-blocking, so that a connection reset between a poll and the accept cannot block it.
    UniqueFd made = OpenSocket(endpoint.Family(), (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK);
    if (!made.Valid()) {
        failed = SetupStep::Socket;
        return made;
    }
    KeepToOwnFamily(made, endpoint.Family());
    if (tcp) {
        // Without it a Run right after Stop could not bind while old connections linger.
        const int reuse = 1;
        ::setsockopt(made.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    } else {
        ::setsockopt(made.Get(), SOL_SOCKET, SO_RCVBUF, &kUdpReceiveBufferBytes,
                     sizeof kUdpReceiveBufferBytes);
    }
    if (::bind(made.Get(), endpoint.Address(), endpoint.Length()) != 0) {
        failed = SetupStep::Bind;
        return UniqueFd();
    }
    // The system's usual queue: with a queue of a few, a client quicker than the relay fills it,
    // its next SYN is dropped, and it waits a whole second before it tries again.
    if (tcp && ::listen(made.Get(), SOMAXCONN) != 0) {
        failed = SetupStep::Listen;
        return UniqueFd();
    }
    return made;
}

UniqueFd AcceptOne(RelayWorker& worker, RelaySide side, const Endpoint& requested,
                   const AllowedSources& allowed, UniqueFd* kept, RefusedSources* refused) {
    // What was asked for until the socket is bound; from then on, where it is.
    Endpoint endpoint = requested;
    const auto fail = [&](SetupStep step) {
        const int error = errno;
        if (!worker.Released()) {
            worker.SetupFailed(step, side, endpoint, error);
        }
        return UniqueFd();
    };
    UniqueFd own;
    UniqueFd& listening = kept != nullptr ? *kept : own;
    RefusedSources ownRefused;
    RefusedSources& refusals = refused != nullptr ? *refused : ownRefused;
    if (!listening.Valid()) {
        SetupStep failed = SetupStep::Socket;
        UniqueFd made = MakeEndpointSocket(RelayProtocol::Tcp, endpoint, failed);
        if (!made.Valid()) {
            return fail(failed);
        }
        if (!worker.KeepEndpointSocket(listening, std::move(made))) {
            return UniqueFd();
        }
    }
    endpoint = BoundEndpoint(listening.Get(), requested);
    worker.Waiting(side, endpoint);
    worker.Report({RelayEvent::Kind::Listening, side, endpoint, {}});
    for (;;) {
        if (!WaitFor(listening.Get(), POLLIN, worker.WakeDescriptor(), -1)) {
            return fail(SetupStep::Accept);
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd accepted(::accept4(listening.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                    SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (accepted.Valid()) {
            const Endpoint from =
                Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&peer), length);
            if (!allowed.Allows(from)) {
                // Closed before a byte is read, so nothing of it can reach the other side.
                accepted.Reset();
                refusals.Refused(worker, side, endpoint, from);
                continue;
            }
            // A relay being stopped drops the connection unused: it must never reach the other
            // side.
            if (!worker.TakeConnection(from)) {
                return UniqueFd();
            }
            WatchForVanishedPeer(accepted);
            worker.Report({RelayEvent::Kind::Accepted, side, endpoint, from});
            return accepted;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            return fail(SetupStep::Accept);
        }
    }
}

void StopListening(const UniqueFd& listener) {
    if (listener.Valid()) {
        ::shutdown(listener.Get(), SHUT_RDWR);
    }
}

UniqueFd ConnectOut(RelayWorker& worker, RelaySide side, const Endpoint& endpoint) {
    UniqueFd connected = OpenSocket(endpoint.Family(), SOCK_STREAM | SOCK_NONBLOCK);
    int error = errno;
    if (connected.Valid()) {
        WatchForVanishedPeer(connected);
        error = ConnectInterruptibly(connected.Get(), endpoint, worker.WakeDescriptor());
    }
    if (worker.Released()) {
        return UniqueFd();
    }
    if (error != 0) {
        worker.SetupFailed(connected.Valid() ? SetupStep::Connect : SetupStep::Socket, side,
                           endpoint, error);
        return UniqueFd();
    }
    worker.Report({RelayEvent::Kind::Connected, side, endpoint, {}});
    return connected;
}

ReturnedData DropReturnedData(int fd, int& error) {
    // A bounded amount per call, so a chatty destination cannot hold the relay up.
    constexpr int kChunks = 16;
    char scratch[4096];
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        // What is there, without waiting for more.
        const long got =
            MoveOrWait([&] { return ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT); },
                       [] { return false; });
        if (got == 0) {
            return ReturnedData::EndOfStream;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return ReturnedData::Drained;
            }
            error = errno;
            return ReturnedData::Failed;
        }
    }
    return ReturnedData::Drained;
}

void ResetConnection(const UniqueFd& connection) {
    const linger abort{1, 0};
    ::setsockopt(connection.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

void ShutDownSending(const UniqueFd& connection) {
    ::shutdown(connection.Get(), SHUT_WR);
}

bool DrainedToTheEnd(int fd) {
    int error = 0;
    return DropReturnedData(fd, error) != ReturnedData::Drained;
}

void CloseOrderly(UniqueFd& destination) {
    if (!destination.Valid()) {
        return;
    }
    ShutDownSending(destination);
    const auto deadline = std::chrono::steady_clock::now() + kCloseBound;
    while (WaitFor(destination.Get(), POLLIN, -1, PollTimeoutUntil(deadline)) &&
           !DrainedToTheEnd(destination.Get())) {
    }
    // Past the bound: what came last is read too, so the close finds nothing unread.
    DrainedToTheEnd(destination.Get());
    destination.Reset();
}
