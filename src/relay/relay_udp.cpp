// The UDP relay: bind one endpoint, send every datagram on to the other.
#include <linux/sock_diag.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/open_socket.h"
#include "relay/kept_across_streams.h"
#include "relay/refused_sources.h"
#include "relay/relay_sockets.h"
#include "relay/relay_units.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"

namespace {

// Datagrams taken by one receive call when several are waiting. At high rates the kernel entry, not
// the copying, is what a relay spends its time on; a batch keeps the order and still forwards each
// datagram as one datagram of its own.
constexpr std::size_t kDatagramBatch = 32;

// The largest datagram payload there is (IPv6 without jumbograms; IPv4 tops out at 65 507).
constexpr std::size_t kLargestDatagram = 65527;

// How long a relay handing over waits, all told, for room to send the datagrams it has in hand.
constexpr std::chrono::milliseconds kHandOverSendBound(1000);

// Counts the datagrams the system dropped at the receive socket because its queue was full. The
// socket's own count is read each time its queue has just been emptied, before a wait: so the drops
// of a burst are counted as soon as the relay has caught up, not only with the next datagram (as
// SO_RXQ_OVFL would tell them), and a busy relay reads it seldom.
class QueueDrops {
public:
    explicit QueueDrops(int socket) : m_socket(socket), m_seen(Read()) {}

    void Count(RelayWorker& worker) {
        if (const std::optional<std::uint32_t> now = Read()) {
            // The system's count is 32 bits wide and wraps; only the difference matters.
            worker.CountQueueDropped(static_cast<std::uint32_t>(*now - m_seen.value_or(*now)));
            m_seen = now;
        }
    }

private:
    std::optional<std::uint32_t> Read() const {
        std::uint32_t info[SK_MEMINFO_VARS] = {};
        socklen_t length = sizeof info;
        if (::getsockopt(m_socket, SOL_SOCKET, SO_MEMINFO, info, &length) != 0 ||
            length <= SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
            return std::nullopt;
        }
        return info[SK_MEMINFO_DROPS];
    }

    const int m_socket;
    std::optional<std::uint32_t> m_seen;
};

// Receiving and sending have headers of their own over the same buffers, set up once: only which
// datagrams go on, and their lengths, change from batch to batch.
struct DatagramBatch {
    explicit DatagramBatch(ForwardMode mode)
        : forward(mode), slot(mode == ForwardMode::Text ? RELAY_BUFFER_SIZE : kLargestDatagram + 1),
          storage(std::make_unique_for_overwrite<char[]>(slot * kDatagramBatch)) {
        // Text keeps one byte of each slot for the zero after what was received; bytes take
        // the largest datagram whole.
        const std::size_t receivable =
            forward == ForwardMode::Text ? kMaxReceive : kLargestDatagram;
        for (std::size_t i = 0; i < kDatagramBatch; ++i) {
            receiveParts[i] = {Buffer(i), receivable};
            received[i].msg_hdr.msg_iov = &receiveParts[i];
            received[i].msg_hdr.msg_iovlen = 1;
            received[i].msg_hdr.msg_name = &senders[i];
        }
    }

    char* Buffer(std::size_t i) { return storage.get() + i * slot; }

    // Ready for the next receive: the sender addresses have their full room again.
    void PrepareReceive() {
        for (mmsghdr& message : received) {
            message.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        }
    }

    Endpoint Sender(std::size_t i) const {
        return Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&senders[i]),
                                      received[i].msg_hdr.msg_namelen);
    }

    // Queues received datagram `i` as the next one to send; returns how many of its bytes the text
    // rule leaves out (those after its first zero).
    std::size_t Queue(std::size_t i, std::size_t& queued) {
        const std::size_t length = received[i].msg_len;
        std::size_t forwarded = length;
        std::size_t dropped = 0;
        if (forward == ForwardMode::Text) {
            // The text up to its first zero byte, plus that zero byte.
            Buffer(i)[length] = '\0';
            const std::size_t text = TextLength(Buffer(i), length);
            forwarded = text + 1;
            dropped = text < length ? length - forwarded : 0;
        }
        sendParts[queued] = {Buffer(i), forwarded};
        ++queued;
        return dropped;
    }

    const ForwardMode forward;
    const std::size_t slot;
    // Left as it comes: a slot's memory is only taken up once a datagram of that size arrives,
    // so a relay of small datagrams keeps little of the room for the largest.
    std::unique_ptr<char[]> storage;
    std::array<sockaddr_storage, kDatagramBatch> senders{};
    std::array<iovec, kDatagramBatch> receiveParts{};
    std::array<mmsghdr, kDatagramBatch> received{};
    std::array<iovec, kDatagramBatch> sendParts{};
};

// Sends datagrams in order, each one a datagram of its own at the destination. A run of datagrams
// of one length goes out in one call with segmentation offload (the kernel cuts it into the
// datagrams), which costs a fraction of sending them one by one; where the kernel refuses that,
// they go out one message each, in batches. A datagram that cannot be sent is lost.
class DatagramSender {
public:
    DatagramSender(RelayWorker& worker, int socket, const Endpoint& destination)
        : m_worker(worker), m_socket(socket), m_destination(destination) {
        for (mmsghdr& message : m_each) {
            // The kernel only reads the address.
            message.msg_hdr.msg_name = const_cast<sockaddr*>(m_destination.Address());
            message.msg_hdr.msg_namelen = m_destination.Length();
            message.msg_hdr.msg_iovlen = 1;
        }
    }

    void Send(iovec* parts, std::size_t count) {
        std::size_t start = 0;
        while (start < count && !StopsSending()) {
            const std::size_t run =
                Offloadable(parts[start]) ? EqualRun(parts + start, count - start) : 1;
            if (run >= kLeastRun && SendRun(parts + start, run)) {
                start += run;
                continue;
            }
            // Up to the next run worth offloading, one message each.
            std::size_t singles = 1;
            while (m_offload && start + singles < count &&
                   (!Offloadable(parts[start + singles]) ||
                    EqualRun(parts + start + singles, count - start - singles) < kLeastRun)) {
                ++singles;
            }
            if (!m_offload) {
                singles = count - start;
            }

            SendEach(parts + start, singles);
            start += singles;
        }
    }

private:
    // The kernel takes at most this many segments, and all of them within one datagram's size.
    static constexpr std::size_t kMostSegments = 64;
    static constexpr std::size_t kMostRunBytes = 65507;
    // Shorter runs go with the other datagrams in one batch, which costs less than a call each.
    static constexpr std::size_t kLeastRun = 4;

    bool Offloadable(const iovec& part) const {
        return m_offload && part.iov_len > 0 && part.iov_len < m_offloadBelow;
    }

    // How many datagrams from the first one can go as one run: those of the first one's length,
    // and one shorter one at the end.
    static std::size_t EqualRun(const iovec* parts, std::size_t count) {
        const std::size_t size = parts[0].iov_len;
        if (size == 0) {
            return 1;
        }
        std::size_t run = 1;
        std::size_t bytes = size;
        while (run < count && run < kMostSegments && bytes + parts[run].iov_len <= kMostRunBytes &&
               parts[run].iov_len <= size) {
            bytes += parts[run].iov_len;
            if (parts[run++].iov_len < size) {
                break;
            }
        }
        return run;
    }

    // One call for the run; false when the kernel refuses segmentation offload. A kernel or device
    // without it keeps it off for this relay; a segment too large for the way out keeps it off
    // for segments that large.
    bool SendRun(iovec* parts, std::size_t count) {
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
        msghdr message{};
        message.msg_name = const_cast<sockaddr*>(m_destination.Address());
        message.msg_namelen = m_destination.Length();
        message.msg_iov = parts;
        message.msg_iovlen = count;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* segment = CMSG_FIRSTHDR(&message);
        segment->cmsg_level = SOL_UDP;
        segment->cmsg_type = UDP_SEGMENT;
        segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto size = static_cast<std::uint16_t>(parts[0].iov_len);
        std::memcpy(CMSG_DATA(segment), &size, sizeof size);
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < count; ++i) {
            bytes += parts[i].iov_len;
        }
        if (MoveOrWait([&] { return ::sendmsg(m_socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT); },
                       [&] { return WaitForRoom(); }) >= 0) {
            m_worker.CountForwarded(bytes, count);
            return true;
        }
        if (errno == EINVAL && !StopsSending()) {
            m_offloadBelow = parts[0].iov_len;
            return false;
        }
        if ((errno == EOPNOTSUPP || errno == ENOPROTOOPT || errno == EIO) && !m_worker.Released()) {
            m_offload = false;
            return false;
        }
        // Lost, like a single datagram that could not be sent, or released meanwhile.
        if (!StopsSending()) {
            m_worker.CountUnsent(bytes, count);
        }
        return true;
    }

    void SendEach(iovec* parts, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            m_each[i].msg_hdr.msg_iov = &parts[i];
        }
        for (std::size_t sent = 0; sent < count && !StopsSending();) {
            const long done = MoveOrWait(
                [&] {
                    return ::sendmmsg(m_socket, m_each.data() + sent,
                                      static_cast<unsigned int>(count - sent),
                                      MSG_NOSIGNAL | MSG_DONTWAIT);
                },
                [&] { return WaitForRoom(); });
            if (done <= 0) {
                // This one is lost (or the relay released); the rest go on.
                if (!StopsSending()) {
                    m_worker.CountUnsent(parts[sent].iov_len, 1);
                }
                ++sent;
                continue;
            }
            std::size_t bytes = 0;
            for (std::size_t i = sent; i < sent + static_cast<std::size_t>(done); ++i) {
                bytes += parts[i].iov_len;
            }
            m_worker.CountForwarded(bytes, static_cast<std::size_t>(done));
            sent += static_cast<std::size_t>(done);
        }
    }

    // A plain release ends the sending at once; a hand-over lets the batch in hand go out, since
    // the next relay reads on after it.
    bool StopsSending() const { return m_worker.Released() && !m_worker.HandingOver(); }

    // Until the socket has room for the next send; false once the relay is released (and, handing
    // over, once the one bound of all the waits of the hand-over has passed).
    bool WaitForRoom() {
        if (m_worker.HandingOver()) {
            if (m_handOverDeadline == std::chrono::steady_clock::time_point::max()) {
                m_handOverDeadline = std::chrono::steady_clock::now() + kHandOverSendBound;
            }
            return WaitFor(m_socket, POLLOUT, -1, PollTimeoutUntil(m_handOverDeadline));
        }
        return WaitFor(m_socket, POLLOUT, m_worker.WakeDescriptor(), -1);
    }

    RelayWorker& m_worker;
    const int m_socket;
    const Endpoint m_destination;
    bool m_offload = true;
    std::size_t m_offloadBelow = SIZE_MAX;
    std::array<mmsghdr, kDatagramBatch> m_each{};
    // Set by the first wait after a hand-over began.
    std::chrono::steady_clock::time_point m_handOverDeadline =
        std::chrono::steady_clock::time_point::max();
};

// Ends on Stop and on a failed receive. An empty datagram is data like any other, and a datagram
// that could not be sent is simply lost. Both sockets are non-blocking; the relay waits only in
// poll, together with the worker's wake-up descriptor.
RelayEnd RelayUdp(RelayWorker& worker, const RelayPlan& plan, int receiving, int sending,
                  RefusedSources& refused, int& error) {
    // Allocated once for the worker's life, not per datagram.
    const auto batch = std::make_unique<DatagramBatch>(plan.forward);
    DatagramSender sender(worker, sending, plan.otherEndpoint);
    QueueDrops queueDrops(receiving);
    while (!worker.Released()) {
        // Takes what is waiting; waits only when nothing is.
        batch->PrepareReceive();
        const long received = MoveOrWait(
            [&] {
                return ::recvmmsg(receiving, batch->received.data(), kDatagramBatch, MSG_DONTWAIT,
                                  nullptr);
            },
            [&] {
                queueDrops.Count(worker);
                return WaitFor(receiving, POLLIN, worker.WakeDescriptor(), -1);
            });
        if (received < 0) {
            // Released while waiting: the loop's test ends it.
            if (errno == ECANCELED) {
                continue;
            }
            error = errno;
            return RelayEnd::SourceClosed;
        }
        const auto count = static_cast<std::size_t>(received);
        // Nothing received after Stop is forwarded; what came before a hand-over is.
        if (worker.Released() && !worker.HandingOver()) {
            for (std::size_t i = 0; i < count; ++i) {
                worker.CountUnsent(batch->received[i].msg_len, 1);
            }
            return RelayEnd::Stopped;
        }
        std::size_t queued = 0;
        std::size_t cut = 0;
        std::size_t dropped = 0;
        std::size_t lastQueued = count;
        for (std::size_t i = 0; i < count; ++i) {
            // A datagram of a sender that is not allowed goes no further than here.
            if (!plan.allowed.Anyone() && !plan.allowed.Allows(batch->Sender(i))) {
                refused.Refused(worker, plan.waitSide, plan.waitEndpoint, batch->Sender(i));
                continue;
            }
            const mmsghdr& datagram = batch->received[i];
            worker.HeadAfterReceive(batch->Buffer(i), datagram.msg_len,
                                    plan.forward == ForwardMode::Text);
            // Longer than one unit: the kernel gave its first 4095 bytes.
            if ((datagram.msg_hdr.msg_flags & MSG_TRUNC) != 0) {
                ++cut;
            }
            dropped += batch->Queue(i, queued);
            lastQueued = i;
        }
        worker.CountCut(cut);
        if (dropped != 0) {
            worker.CountDropped(dropped);
        }
        if (lastQueued < count) {
            worker.LastSender(batch->Sender(lastQueued));
        }
        sender.Send(batch->sendParts.data(), queued);
    }
    queueDrops.Count(worker);
    return RelayEnd::Stopped;
}

} // namespace

void RunUdpWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept) {
    // Setting up: the bound receiving socket (the kept one where there is one) and the unbound
    // sending socket.
    UniqueFd own;
    UniqueFd& receiving = kept != nullptr ? kept->endpointSocket : own;
    if (!receiving.Valid()) {
        SetupStep failed = SetupStep::Socket;
        UniqueFd made = MakeEndpointSocket(RelayProtocol::Udp, plan.waitEndpoint, failed);
        if (!made.Valid()) {
            worker.SetupFailed(failed, plan.waitSide, plan.waitEndpoint, errno);
        } else {
            // Released meanwhile, the socket made goes again at once.
            worker.KeepEndpointSocket(receiving, std::move(made));
        }
    }
    UniqueFd sending = OpenSocket(plan.otherEndpoint.Family(), SOCK_DGRAM | SOCK_NONBLOCK);
    if (receiving.Valid() && !sending.Valid()) {
        worker.SetupFailed(SetupStep::Socket, plan.OtherSide(), plan.otherEndpoint, errno);
    }
    RelayEnd end = RelayEnd::SetupFailed;
    int error = 0;
    if (receiving.Valid() && sending.Valid()) {
        // From here on the endpoint is said as bound: for port 0, with the port the system chose.
        RelayPlan bound = plan;
        bound.waitEndpoint = BoundEndpoint(receiving.Get(), plan.waitEndpoint);
        worker.Waiting(bound.waitSide, bound.waitEndpoint);
        worker.Report({RelayEvent::Kind::Receiving, bound.waitSide, bound.waitEndpoint, {}});
        // The senders named so far stay named across reloads, as a TCP relay's do.
        RefusedSources ownRefused;
        RefusedSources& refused = kept != nullptr ? kept->refused : ownRefused;
        end = RelayUdp(worker, bound, receiving.Get(), sending.Get(), refused, error);
    }

    // Ending: the receiving socket first (unless it is kept), then the sending one.
    const bool stopped = worker.Released();
    own.Reset();
    sending.Reset();
    worker.Finish(stopped, end, error);
}
