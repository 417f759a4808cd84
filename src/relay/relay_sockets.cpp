#include "relay/relay_sockets.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "relay/relay_control.h"
#include "relay/relay_state.h"

SocketHandle::SocketHandle(int fd) noexcept : m_fd(fd) {
    if (m_fd >= 0) {
        m_watched = WatchWorkerSocket(m_fd);
    }
}

SocketHandle::~SocketHandle() {
    Reset();
}

SocketHandle::SocketHandle(SocketHandle&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_watched(std::exchange(other.m_watched, false)) {}

SocketHandle& SocketHandle::operator=(SocketHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = std::exchange(other.m_fd, -1);
        m_watched = std::exchange(other.m_watched, false);
    }
    return *this;
}

void SocketHandle::Reset() noexcept {
    if (m_fd < 0) {
        return;
    }
    if (m_watched) {
        UnwatchWorkerSocket(m_fd);
        m_watched = false;
    }
    ::close(m_fd);
    m_fd = -1;
}

sockaddr_in MakeSocketAddress(const std::string& address, std::int32_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = ::inet_addr(address.c_str());
    endpoint.sin_port =
        htons(static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFFU));
    return endpoint;
}

bool StartSockets() {
    return true;
}

namespace {

const sockaddr* AsSockaddr(const sockaddr_in& endpoint) {
    return reinterpret_cast<const sockaddr*>(&endpoint);
}

SocketHandle AcceptOn(const sockaddr_in& endpoint) {
    SocketHandle accepted;
    {
        SocketHandle listening(::socket(AF_INET, SOCK_STREAM, 0));
        if (!listening.Valid()) {
            return accepted;
        }
        // Without it a Run right after Stop could not bind while old connections linger.
        const int reuse = 1;
        if (::setsockopt(listening.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
            ::bind(listening.Get(), AsSockaddr(endpoint), sizeof endpoint) != 0 ||
            ::listen(listening.Get(), 5) != 0) {
            return accepted;
        }
        // Checked only now: a stop before listen() would not have woken the accept below.
        if (RelayWorkerReleased()) {
            return accepted;
        }
        int fd = -1;
        do {
            fd = ::accept(listening.Get(), nullptr, nullptr);
        } while (fd < 0 && errno == EINTR && !RelayWorkerReleased());
        accepted = SocketHandle(fd);
    }
    if (accepted.Valid() && RelayWorkerReleased()) {
        accepted.Reset();
    }
    return accepted;
}

SocketHandle ConnectTo(const sockaddr_in& endpoint) {
    SocketHandle connected(::socket(AF_INET, SOCK_STREAM, 0));
    if (!connected.Valid() || RelayWorkerReleased() ||
        ::connect(connected.Get(), AsSockaddr(endpoint), sizeof endpoint) != 0 ||
        RelayWorkerReleased()) {
        connected.Reset();
    }
    return connected;
}

} // namespace

SocketHandle AcceptOnServerEndpoint() {
    const RelaySettings settings = g_relaySettings.Get();
    return AcceptOn(MakeSocketAddress(settings.serverAddress, settings.serverPort));
}

SocketHandle AcceptOnClientEndpoint() {
    const RelaySettings settings = g_relaySettings.Get();
    return AcceptOn(MakeSocketAddress(settings.clientAddress, settings.clientPort));
}

SocketHandle ConnectToClientEndpoint() {
    const RelaySettings settings = g_relaySettings.Get();
    return ConnectTo(MakeSocketAddress(settings.clientAddress, settings.clientPort));
}

SocketHandle ConnectToServerEndpoint() {
    const RelaySettings settings = g_relaySettings.Get();
    return ConnectTo(MakeSocketAddress(settings.serverAddress, settings.serverPort));
}

void WakeAcceptingWorker(std::string address, int port) {
    const sockaddr_in endpoint = MakeSocketAddress(address, port);
    SocketHandle wake(::socket(AF_INET, SOCK_STREAM, 0));
    if (wake.Valid()) {
        ::connect(wake.Get(), AsSockaddr(endpoint), sizeof endpoint);
    }
}
