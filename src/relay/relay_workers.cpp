#include "relay/relay_workers.h"

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "relay/relay_control.h"
#include "relay/relay_sockets.h"
#include "relay/relay_state.h"

namespace {

// One byte of the buffer is kept for the zero put after what a receive took, so the forwarded text
// never runs into bytes of an earlier receive.
constexpr std::size_t kMaxReceive = RELAY_BUFFER_SIZE - 1;

bool StopRequested() noexcept {
    return g_stopRelay.load() == 1 || RelayWorkerReleased();
}

// Terminates what was received and returns the length to forward: the text up to its first zero
// byte, plus that zero byte.
std::size_t TerminateReceived(char* buffer, std::size_t received) noexcept {
    buffer[received] = '\0';
    const void* zero = std::memchr(buffer, 0, received);
    const std::size_t text = zero != nullptr
                                 ? static_cast<std::size_t>(static_cast<const char*>(zero) - buffer)
                                 : received;
    return text + 1;
}

// Ends on Stop, on a failed receive, when the source has closed its side, and when the destination
// is gone (nothing sent after that could arrive). MSG_NOSIGNAL: a vanished peer must end the relay,
// not the process.
void RelayTcp(int source, int destination) {
    char* const buffer = g_relayBuffer.data();
    while (g_stopRelay.load() != 1) {
        const ssize_t received = ::recv(source, buffer, kMaxReceive, 0);
        if (received <= 0) {
            if (received < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        const std::size_t length = TerminateReceived(buffer, static_cast<std::size_t>(received));
        PublishRelayBufferHead();
        if (StopRequested()) {
            return;
        }
        if (::send(destination, buffer, length, MSG_NOSIGNAL) < 0 && errno != EINTR) {
            return;
        }
    }
}

// Ends on Stop and on a failed receive. An empty datagram is data like any other, and a datagram
// that could not be sent is simply lost.
void RelayUdp(int receiving, int sending, const sockaddr_in& destination) {
    char* const buffer = g_relayBuffer.data();
    const auto* to = reinterpret_cast<const sockaddr*>(&destination);
    while (g_stopRelay.load() != 1) {
        const ssize_t received = ::recvfrom(receiving, buffer, kMaxReceive, 0, nullptr, nullptr);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        const std::size_t length = TerminateReceived(buffer, static_cast<std::size_t>(received));
        PublishRelayBufferHead();
        if (StopRequested()) {
            return;
        }
        ::sendto(sending, buffer, length, MSG_NOSIGNAL, to, sizeof destination);
    }
}

unsigned int RunTcpWorker(std::atomic<int>& waiting, SocketHandle (*acceptOne)(),
                          SocketHandle (*connectOut)(), bool sourceIsAccepted) {
    StartSockets();

    // Waiting: the flag is up from before the listening socket exists until accept has returned.
    waiting.store(1);
    SocketHandle accepted = acceptOne();
    waiting.store(0);

    // Other side: connect only once the incoming connection is there.
    SocketHandle connected;
    if (accepted.Valid() && !StopRequested()) {
        connected = connectOut();
    }

    // Relaying.
    if (connected.Valid()) {
        if (sourceIsAccepted) {
            RelayTcp(accepted.Get(), connected.Get());
        } else {
            RelayTcp(connected.Get(), accepted.Get());
        }
    }

    // Ending.
    g_stopRelay.store(0);
    accepted.Reset();
    connected.Reset();
    return 1;
}

unsigned int RunUdpWorker(bool receiveOnClient) {
    StartSockets();

    // Setting up: the bound receiving socket and the unbound sending socket.
    const RelaySettings settings = g_relaySettings.Get();
    const sockaddr_in client = MakeSocketAddress(settings.clientAddress, settings.clientPort);
    const sockaddr_in server = MakeSocketAddress(settings.serverAddress, settings.serverPort);
    const sockaddr_in& bindTo = receiveOnClient ? client : server;
    const sockaddr_in& sendTo = receiveOnClient ? server : client;

    SocketHandle receiving(::socket(AF_INET, SOCK_DGRAM, 0));
    SocketHandle sending(::socket(AF_INET, SOCK_DGRAM, 0));
    if (receiving.Valid() && sending.Valid() &&
        ::bind(receiving.Get(), reinterpret_cast<const sockaddr*>(&bindTo), sizeof bindTo) == 0) {
        // Relaying.
        RelayUdp(receiving.Get(), sending.Get(), sendTo);
    }

    // Ending.
    g_stopRelay.store(0);
    receiving.Reset();
    sending.Reset();
    return 1;
}

} // namespace

unsigned int UdpClientToServerThread(void* /*param*/) {
    return RunUdpWorker(false);
}

unsigned int TcpClientToServerThread(void* /*param*/) {
    return RunTcpWorker(g_c2sTcpWaiting, AcceptOnServerEndpoint, ConnectToClientEndpoint, false);
}

unsigned int TcpServerToClientThread(void* /*param*/) {
    return RunTcpWorker(g_s2cTcpWaiting, AcceptOnClientEndpoint, ConnectToServerEndpoint, true);
}

unsigned int UdpServerToClientThread(void* /*param*/) {
    return RunUdpWorker(true);
}
