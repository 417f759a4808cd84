#include "relay/relay_workers.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

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

// Datagrams taken by one receive call when several are waiting. At high rates the kernel entry, not
// the copying, is what a relay spends its time on; a batch keeps the order and still forwards each
// datagram as one datagram of its own.
constexpr std::size_t kDatagramBatch = 32;

// Receiving and sending have headers of their own over the same buffers, set up once: only the
// length of each datagram to forward changes from batch to batch.
struct DatagramBatch {
    explicit DatagramBatch(const sockaddr_in& to) : destination(to) {
        for (std::size_t i = 0; i < kDatagramBatch; ++i) {
            receiveParts[i] = {buffers[i].data(), kMaxReceive};
            received[i].msg_hdr.msg_iov = &receiveParts[i];
            received[i].msg_hdr.msg_iovlen = 1;
            sendParts[i] = {buffers[i].data(), 0};
            toSend[i].msg_hdr.msg_name = &destination;
            toSend[i].msg_hdr.msg_namelen = sizeof destination;
            toSend[i].msg_hdr.msg_iov = &sendParts[i];
            toSend[i].msg_hdr.msg_iovlen = 1;
        }
    }

    sockaddr_in destination;
    std::array<std::array<char, RELAY_BUFFER_SIZE>, kDatagramBatch> buffers{};
    std::array<iovec, kDatagramBatch> receiveParts{};
    std::array<mmsghdr, kDatagramBatch> received{};
    std::array<iovec, kDatagramBatch> sendParts{};
    std::array<mmsghdr, kDatagramBatch> toSend{};
};

// Leaves the relay buffer as receiving the batch's datagrams into it one after another would: each
// byte is the one of the last datagram (with its zero) that reached that far, copied once.
void CopyIntoRelayBuffer(const DatagramBatch& batch, std::size_t count) {
    std::size_t covered = 0;
    for (std::size_t i = count; i-- > 0;) {
        const std::size_t reached = batch.received[i].msg_len + 1;
        if (reached > covered) {
            std::memcpy(g_relayBuffer.data() + covered, batch.buffers[i].data() + covered,
                        reached - covered);
            covered = reached;
        }
    }
}

// Ends on Stop and on a failed receive. An empty datagram is data like any other, and a datagram
// that could not be sent is simply lost.
void RelayUdp(int receiving, int sending, const sockaddr_in& destination) {
    // Allocated once for the worker's life, not per datagram.
    const auto batch = std::make_unique<DatagramBatch>(destination);
    while (g_stopRelay.load() != 1) {
        // Blocks for the first datagram only, then takes what is already waiting.
        const int received =
            ::recvmmsg(receiving, batch->received.data(), kDatagramBatch, MSG_WAITFORONE, nullptr);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        const auto count = static_cast<std::size_t>(received);
        for (std::size_t i = 0; i < count; ++i) {
            batch->sendParts[i].iov_len =
                TerminateReceived(batch->buffers[i].data(), batch->received[i].msg_len);
        }
        CopyIntoRelayBuffer(*batch, count);
        PublishRelayBufferHead();
        for (std::size_t sent = 0; sent < count;) {
            if (StopRequested()) {
                return;
            }
            const int done = ::sendmmsg(sending, batch->toSend.data() + sent,
                                        static_cast<unsigned int>(count - sent), MSG_NOSIGNAL);
            if (done > 0) {
                sent += static_cast<std::size_t>(done);
            } else if (done < 0 && errno == EINTR) {
                continue;
            } else {
                ++sent; // this one is lost; the rest go on
            }
        }
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
