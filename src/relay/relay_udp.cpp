// The UDP relay: bind one endpoint, send every datagram on to the other.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "relay/relay_sockets.h"
#include "relay/relay_units.h"
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
    explicit DatagramBatch(const Endpoint& to) : destination(to) {
        for (std::size_t i = 0; i < kDatagramBatch; ++i) {
            receiveParts[i] = {buffers[i].data(), kMaxReceive};
            received[i].msg_hdr.msg_iov = &receiveParts[i];
            received[i].msg_hdr.msg_iovlen = 1;
            sendParts[i] = {buffers[i].data(), 0};
            // The kernel only reads the address.
            toSend[i].msg_hdr.msg_name = const_cast<sockaddr*>(destination.Address());
            toSend[i].msg_hdr.msg_namelen = destination.Length();
            toSend[i].msg_hdr.msg_iov = &sendParts[i];
            toSend[i].msg_hdr.msg_iovlen = 1;
        }
    }

    const Endpoint destination;
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
// that could not be sent is simply lost. Both sockets are non-blocking; the relay waits only in
// poll, together with the worker's wake-up descriptor.
RelayEnd RelayUdp(RelayWorker& worker, int receiving, int sending, const Endpoint& destination,
                  int& error) {
    // Allocated once for the worker's life, not per datagram.
    const auto batch = std::make_unique<DatagramBatch>(destination);
    while (!worker.Released()) {
        // Takes what is waiting; waits only when nothing is.
        const int received =
            ::recvmmsg(receiving, batch->received.data(), kDatagramBatch, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!WaitFor(receiving, POLLIN, worker.WakeDescriptor(), -1) &&
                    errno != ECANCELED && errno != EINTR) {
                    error = errno;
                    return RelayEnd::SourceClosed;
                }
                continue;
            }
            error = errno;
            return RelayEnd::SourceClosed;
        }
        // Nothing received after Stop is forwarded.
        if (worker.Released()) {
            return RelayEnd::Stopped;
        }
        const auto count = static_cast<std::size_t>(received);
        std::size_t cut = 0;
        for (std::size_t i = 0; i < count; ++i) {
            mmsghdr& datagram = batch->received[i];
            batch->sendParts[i].iov_len =
                TerminateReceived(batch->buffers[i].data(), datagram.msg_len);
            worker.HeadAfterReceive(batch->buffers[i].data(), datagram.msg_len);
            // Longer than one unit: the kernel gave its first 4095 bytes.
            if ((datagram.msg_hdr.msg_flags & MSG_TRUNC) != 0) {
                ++cut;
            }
        }
        worker.CountCut(cut);
        for (std::size_t sent = 0; sent < count && !worker.Released();) {
            const int done =
                ::sendmmsg(sending, batch->toSend.data() + sent,
                           static_cast<unsigned int>(count - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (done > 0) {
                std::size_t bytes = 0;
                for (std::size_t i = sent; i < sent + static_cast<std::size_t>(done); ++i) {
                    bytes += batch->sendParts[i].iov_len;
                }
                worker.CountForwarded(bytes, static_cast<std::size_t>(done));
                sent += static_cast<std::size_t>(done);
            } else if (done < 0 && errno == EINTR) {
                continue;
            } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                WaitFor(sending, POLLOUT, worker.WakeDescriptor(), -1);
            } else {
                ++sent; // this one is lost; the rest go on
            }
        }
    }
    return RelayEnd::Stopped;
}

// Both sockets made, the receiving one with its larger buffer and bound; a failure is recorded.
bool SetUpReceiving(RelayWorker& worker, const SocketHandle& receiving, const SocketHandle& sending,
                    RelaySide side, const Endpoint& bindTo) {
    if (!receiving.Valid() || !sending.Valid()) {
        worker.SetupFailed(SetupStep::Socket, side, bindTo, errno);
        return false;
    }
    ::setsockopt(receiving.Get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                 sizeof kReceiveBufferBytes);
    if (::bind(receiving.Get(), bindTo.Address(), bindTo.Length()) != 0) {
        worker.SetupFailed(SetupStep::Bind, side, bindTo, errno);
        return false;
    }
    return true;
}

} // namespace

unsigned int RunUdpWorker(RelayWorker& worker, const RelayPlan& plan) {
    // Setting up: the bound receiving socket and the unbound sending socket.
    SocketHandle receiving = OpenSocket(plan.waitEndpoint.Family(), SOCK_DGRAM | SOCK_NONBLOCK);
    SocketHandle sending = OpenSocket(plan.otherEndpoint.Family(), SOCK_DGRAM | SOCK_NONBLOCK);
    RelayEnd end = RelayEnd::SetupFailed;
    int error = 0;
    if (SetUpReceiving(worker, receiving, sending, plan.waitSide, plan.waitEndpoint)) {
        worker.Waiting(plan.waitSide, plan.waitEndpoint);
        worker.Report({RelayEvent::Kind::Receiving, plan.waitSide, plan.waitEndpoint, {}});
        end = RelayUdp(worker, receiving.Get(), sending.Get(), plan.otherEndpoint, error);
    }

    // Ending: the receiving socket first, then the sending one.
    const bool stopped = worker.Released();
    receiving.Reset();
    sending.Reset();
    worker.Finish(stopped, end, error);
    return 1;
}
