#include "relay/relay_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "relay/relay_state.h"

sockaddr_in MakeSocketAddress(const std::string& address, std::int32_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = ::inet_addr(address.c_str());
    endpoint.sin_port =
        htons(static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFFU));
    return endpoint;
}

sockaddr_in SideEndpoint(const RelaySettings& settings, RelaySide side) {
    return side == RelaySide::Client
               ? MakeSocketAddress(settings.clientAddress, settings.clientPort)
               : MakeSocketAddress(settings.serverAddress, settings.serverPort);
}

bool StartSockets() {
    return true;
}

namespace {

const sockaddr* AsSockaddr(const sockaddr_in& endpoint) {
    return reinterpret_cast<const sockaddr*>(&endpoint);
}

// Waits until `fd` has one of `events` or the worker's wake-up descriptor is readable. False when
// the wake-up came first or the wait failed (errno then set).
bool WaitFor(int fd, short events, int wakeFd, int timeoutMs) {
    pollfd entries[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    for (;;) {
        const int ready = ::poll(entries, count, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (count == 2 && entries[1].revents != 0) {
            errno = ECANCELED;
            return false;
        }
        return true;
    }
}

ReleasableSocket AcceptOn(RelayWorker& worker, RelaySide side) {
    const sockaddr_in endpoint = SideEndpoint(g_relaySettings.Get(), side);
    const auto fail = [&](SetupStep step) {
        const int error = errno;
        if (!worker.Released()) {
            worker.SetupFailed(step, side, endpoint, error);
        }
        return ReleasableSocket();
    };
    // Non-blocking, so that a connection reset between the poll and the accept cannot block it.
    const ReleasableSocket listening(worker, OpenSocket(SOCK_STREAM | SOCK_NONBLOCK));
    if (!listening.Valid()) {
        return fail(SetupStep::Socket);
    }
    // Without it a Run right after Stop could not bind while old connections linger.
    const int reuse = 1;
    ::setsockopt(listening.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (::bind(listening.Get(), AsSockaddr(endpoint), sizeof endpoint) != 0) {
        return fail(SetupStep::Bind);
    }
    if (::listen(listening.Get(), 5) != 0) {
        return fail(SetupStep::Listen);
    }
    worker.Report({RelayEvent::Kind::Listening, side, endpoint, {}});
    for (;;) {
        if (!WaitFor(listening.Get(), POLLIN, worker.WakeDescriptor(), -1)) {
            return fail(SetupStep::Accept);
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        SocketHandle accepted(
            ::accept4(listening.Get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        if (accepted.Valid()) {
            if (worker.Released()) {
                return ReleasableSocket();
            }
            worker.Report({RelayEvent::Kind::Accepted, side, endpoint, peer});
            return ReleasableSocket(worker, std::move(accepted));
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            return fail(SetupStep::Accept);
        }
    }
}

// Connects `fd` without blocking in the system call, so that a release reaches it at any moment.
// 0 once connected (the socket is blocking again then), ECANCELED when `wakeFd` became readable
// first, ETIMEDOUT when `timeout` passed first (a negative timeout waits for ever), otherwise the
// connect's own error.
int ConnectInterruptibly(int fd, const sockaddr_in& endpoint, int wakeFd,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(-1)) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    if (::connect(fd, AsSockaddr(endpoint), sizeof endpoint) != 0) {
        if (errno != EINPROGRESS) {
            return errno;
        }
        if (!WaitFor(fd, POLLOUT, wakeFd, static_cast<int>(timeout.count()))) {
            return errno;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return errno;
        }
        if (error != 0) {
            return error;
        }
    }
    return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : errno;
}

ReleasableSocket ConnectTo(RelayWorker& worker, RelaySide side) {
    const sockaddr_in endpoint = SideEndpoint(g_relaySettings.Get(), side);
    ReleasableSocket connected(worker, OpenSocket(SOCK_STREAM));
    const int error = connected.Valid()
                          ? ConnectInterruptibly(connected.Get(), endpoint, worker.WakeDescriptor())
                          : errno;
    if (worker.Released()) {
        return ReleasableSocket();
    }
    if (error != 0) {
        worker.SetupFailed(connected.Valid() ? SetupStep::Connect : SetupStep::Socket, side,
                           endpoint, error);
        return ReleasableSocket();
    }
    worker.Report({RelayEvent::Kind::Connected, side, endpoint, {}});
    return connected;
}

} // namespace

ReleasableSocket AcceptOnServerEndpoint(RelayWorker& worker) {
    return AcceptOn(worker, RelaySide::Server);
}

ReleasableSocket AcceptOnClientEndpoint(RelayWorker& worker) {
    return AcceptOn(worker, RelaySide::Client);
}

ReleasableSocket ConnectToClientEndpoint(RelayWorker& worker) {
    return ConnectTo(worker, RelaySide::Client);
}

ReleasableSocket ConnectToServerEndpoint(RelayWorker& worker) {
    return ConnectTo(worker, RelaySide::Server);
}

bool DropReturnedData(int fd, int& error) {
    // A bounded amount per call, so a chatty destination cannot hold the relay up.
    constexpr int kChunks = 16;
    char scratch[4096];
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        const ssize_t got = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
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

void CloseOrderly(ReleasableSocket& destination) {
    constexpr std::chrono::milliseconds kCloseBound(1000);
    if (!destination.Valid()) {
        return;
    }
    ::shutdown(destination.Get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + kCloseBound;
    const auto left = [deadline] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, ms.count()));
    };
    int error = 0;
    while (WaitFor(destination.Get(), POLLIN, -1, left()) &&
           DropReturnedData(destination.Get(), error)) {
    }
    destination.Reset();
}

void WakeAcceptingWorker(std::string address, int port) {
    // The worker listens on this machine and answers at once; the bound only keeps Stop from
    // hanging when the endpoint is not (or no longer) one that answers.
    constexpr std::chrono::milliseconds kWakeUpBound(1000);
    const SocketHandle wake = OpenSocket(SOCK_STREAM);
    if (wake.Valid()) {
        ConnectInterruptibly(wake.Get(), MakeSocketAddress(address, port), -1, kWakeUpBound);
    }
}
