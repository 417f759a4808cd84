// The two UDP workers: bind one endpoint, send every datagram on to the other.
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "relay/relay_cycle.h"
#include "relay/relay_sockets.h"
#include "relay/relay_state.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"

namespace {

// Asked of the receiving socket so that a stall of a few milliseconds loses nothing at 100 k/s;
// the kernel grants at most net.core.rmem_max.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

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

// Terminates a received datagram in its own buffer and returns the length to forward: the text up
// to its first zero byte, plus that zero byte.
std::size_t TerminateReceived(char* buffer, std::size_t received) noexcept {
    buffer[received] = '\0';
    return TextLength(buffer, received) + 1;
}

// Ends on Stop and on a failed receive. An empty datagram is data like any other, and a datagram
// that could not be sent is simply lost.
RelayEnd RelayUdp(RelayWorker& worker, int receiving, int sending, const sockaddr_in& destination,
                  int& error) {
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
            error = errno;
            return RelayEnd::SourceClosed;
        }
        // Stop's shutdown releases the receive with what looks like an empty datagram: it must
        // not reach the buffer, which keeps the last real datagram's bytes.
        if (StopRequested(worker)) {
            return RelayEnd::Stopped;
        }
        const auto count = static_cast<std::size_t>(received);
        for (std::size_t i = 0; i < count; ++i) {
            batch->sendParts[i].iov_len =
                TerminateReceived(batch->buffers[i].data(), batch->received[i].msg_len);
        }
        CopyUnitsIntoRelayBuffer(count, [&](std::size_t i) {
            return ReceivedUnit{batch->buffers[i].data(), batch->received[i].msg_len};
        });
        PublishRelayBufferHead();
        for (std::size_t sent = 0; sent < count;) {
            if (StopRequested(worker)) {
                return RelayEnd::Stopped;
            }
            const int done = ::sendmmsg(sending, batch->toSend.data() + sent,
                                        static_cast<unsigned int>(count - sent), MSG_NOSIGNAL);
            if (done > 0) {
                std::size_t bytes = 0;
                for (std::size_t i = sent; i < sent + static_cast<std::size_t>(done); ++i) {
                    bytes += batch->sendParts[i].iov_len;
                }
                worker.CountForwarded(bytes, static_cast<std::size_t>(done));
                sent += static_cast<std::size_t>(done);
            } else if (done < 0 && errno == EINTR) {
                continue;
            } else {
                ++sent; // this one is lost; the rest go on
            }
        }
    }
    return RelayEnd::Stopped;
}

// Both sockets made, the receiving one with its larger buffer and bound; a failure is recorded.
bool SetUpReceiving(RelayWorker& worker, const ReleasableSocket& receiving,
                    const ReleasableSocket& sending, RelaySide side, const sockaddr_in& bindTo) {
    if (!receiving.Valid() || !sending.Valid()) {
        worker.SetupFailed(SetupStep::Socket, side, bindTo, errno);
        return false;
    }
    ::setsockopt(receiving.Get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                 sizeof kReceiveBufferBytes);
    if (::bind(receiving.Get(), reinterpret_cast<const sockaddr*>(&bindTo), sizeof bindTo) != 0) {
        worker.SetupFailed(SetupStep::Bind, side, bindTo, errno);
        return false;
    }
    return true;
}

unsigned int RunUdpWorker(RelayWorker& worker, RelaySide receiveSide) {
    StartSockets();

    // Setting up: the bound receiving socket and the unbound sending socket.
    const RelaySide sendSide =
        receiveSide == RelaySide::Client ? RelaySide::Server : RelaySide::Client;
    const RelaySettings settings = g_relaySettings.Get();
    const sockaddr_in bindTo = SideEndpoint(settings, receiveSide);
    const sockaddr_in sendTo = SideEndpoint(settings, sendSide);
    ReleasableSocket receiving(worker, OpenSocket(SOCK_DGRAM));
    ReleasableSocket sending(worker, OpenSocket(SOCK_DGRAM));
    RelayEnd end = RelayEnd::SetupFailed;
    int error = 0;
    if (SetUpReceiving(worker, receiving, sending, receiveSide, bindTo)) {
        worker.Report({RelayEvent::Kind::Receiving, receiveSide, bindTo, {}});
        // Relaying.
        end = RelayUdp(worker, receiving.Get(), sending.Get(), sendTo, error);
    }

    // Ending.
    const bool stopped = StopRequested(worker);
    g_stopRelay.store(0);
    receiving.Reset();
    sending.Reset();
    worker.Finish(stopped, end, error);
    return 1;
}

} // namespace

unsigned int UdpClientToServerThread(RelayWorker& worker) {
    return RunUdpWorker(worker, RelaySide::Server);
}

unsigned int UdpServerToClientThread(RelayWorker& worker) {
    return RunUdpWorker(worker, RelaySide::Client);
}
