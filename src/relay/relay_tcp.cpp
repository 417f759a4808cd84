// The TCP relay: accept one connection, connect to the other side, copy one way.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>

#include "relay/relay_sockets.h"
#include "relay/relay_units.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stopped relay still finishes the units it is sending, unless the destination takes nothing
// for this long.
constexpr std::chrono::milliseconds kFinishBound(1000);

struct StreamEnd {
    RelayEnd end;
    int error = 0;
};

// A poll timeout for the time left until `deadline`: never negative, at most what poll takes.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(left, 0, std::numeric_limits<int>::max()));
}

// Units one receive call takes when the source has more waiting: each is exactly what a receive of
// at most 4095 bytes would have taken at that point of the stream, so the units forwarded are the
// same, with a fraction of the kernel entries.
constexpr std::size_t kUnitsPerReceive = 64;

// One receive call's bytes and the parts that forward them. Text: the receive scatters the stream
// into slots of RELAY_BUFFER_SIZE bytes, one unit of at most 4095 bytes each, so that the zero
// after a unit's text is written into the byte after it in place, and whole units without a zero
// of their own lie back to back: a busy stream goes out as one part, not two per unit. Bytes:
// everything as it came, in one part. Allocated once for the worker's life.
struct StreamBatch {
    explicit StreamBatch(ForwardMode mode) : forward(mode) {
        for (std::size_t k = 0; k < kUnitsPerReceive; ++k) {
            slots[k] = {Slot(k), kMaxReceive};
        }
    }

    char* Slot(std::size_t k) { return data.data() + k * RELAY_BUFFER_SIZE; }

    // Receives what the source has waiting, without waiting for more.
    ssize_t Receive(int source) {
        if (forward == ForwardMode::Bytes) {
            return ::recv(source, data.data(), data.size(), MSG_DONTWAIT);
        }
        msghdr message{};
        message.msg_iov = slots.data();
        message.msg_iovlen = slots.size();
        return ::recvmsg(source, &message, MSG_DONTWAIT);
    }

    // The parts that forward what was received, how many bytes they hold, and how many bytes the
    // text rule leaves out (those after a unit's first zero).
    std::size_t Cut(std::size_t received, std::size_t& forwardLength, std::size_t& dropped) {
        dropped = 0;
        if (forward == ForwardMode::Bytes) {
            parts[0] = {data.data(), received};
            forwardLength = received;
            return 1;
        }
        std::size_t count = 0;
        forwardLength = 0;
        for (std::size_t k = 0; k * kMaxReceive < received; ++k) {
            char* const unit = Slot(k);
            const std::size_t length = std::min(kMaxReceive, received - k * kMaxReceive);
            const std::size_t text = TextLength(unit, length);
            // A unit's own zero ends its text where it is; otherwise one is put after it.
            if (text == length) {
                unit[length] = '\0';
            } else {
                dropped += length - text - 1;
            }
            const std::size_t forwarded = text + 1;
            if (count > 0 &&
                static_cast<char*>(parts[count - 1].iov_base) + parts[count - 1].iov_len == unit) {
                parts[count - 1].iov_len += forwarded;
            } else {
                parts[count++] = {unit, forwarded};
            }
            forwardLength += forwarded;
        }
        return count;
    }

    // The lamps see the units as successive receives would have left the relay buffer; bytes
    // as one receive of all of them.
    void MoveHead(RelayWorker& worker, std::size_t received) {
        if (forward == ForwardMode::Bytes) {
            worker.HeadAfterReceive(data.data(), received, false);
            return;
        }
        for (std::size_t k = 0; k * kMaxReceive < received; ++k) {
            worker.HeadAfterReceive(Slot(k), std::min(kMaxReceive, received - k * kMaxReceive));
        }
    }

    const ForwardMode forward;
    // Not cleared: a receive writes what is read, and only that is forwarded.
    std::array<char, RELAY_BUFFER_SIZE * kUnitsPerReceive> data;
    std::array<iovec, kUnitsPerReceive> slots{};
    std::array<iovec, kUnitsPerReceive> parts{};
};

// One stream from the source to the destination. Both sockets are non-blocking; the relay waits
// only in poll, on the sockets and the worker's wake-up descriptor.
class StreamCopy {
public:
    StreamCopy(RelayWorker& worker, int source, int destination, const RelayPlan& plan)
        : m_worker(worker), m_source(source), m_destination(destination), m_forward(plan.forward),
          m_idleLimit(plan.idleLimit) {}

    // Until the source closes, the destination is gone, nothing moved for the idle limit, or
    // Stop.
    StreamEnd Run() {
        if (m_forward == ForwardMode::Bytes) {
            int ends[2] = {-1, -1};
            if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
                const SocketHandle out(ends[0]);
                const SocketHandle in(ends[1]);
                // Larger than the default, so one call moves as much as a busy socket holds.
                ::fcntl(in.Get(), F_SETPIPE_SZ, static_cast<int>(kSpliceChunk));
                return RunSpliced(in.Get(), out.Get());
            }
        }
        return RunCopied();
    }

private:
    // Bytes moved from the source into the pipe by one call, at most.
    static constexpr std::size_t kSpliceChunk = 1 << 20;

    // Bytes forwarded as they are never pass through the relay's memory: the kernel moves them
    // from the source through a pipe into the destination, which costs less than copying them
    // out and back in. The lamps' bytes are peeked at first.
    StreamEnd RunSpliced(int pipeIn, int pipeOut) {
        while (!m_worker.Released()) {
            char head[4];
            const ssize_t peeked = ::recv(m_source, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
            if (peeked <= 0) {
                if (const std::optional<StreamEnd> end = AfterEmptyReceive(peeked)) {
                    return *end;
                }
                continue;
            }
            const ssize_t moved = ::splice(m_source, nullptr, pipeIn, nullptr, kSpliceChunk,
                                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (moved <= 0) {
                if (moved < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
                return {RelayEnd::SourceClosed, moved < 0 ? errno : 0};
            }
            const auto length = static_cast<std::size_t>(moved);
            Moved();
            m_worker.HeadAfterReceive(head, std::min(length, static_cast<std::size_t>(peeked)),
                                      false);
            // Nothing received after Stop is forwarded.
            if (m_worker.Released()) {
                return {RelayEnd::Stopped};
            }
            if (const std::optional<StreamEnd> end = SpliceWhole(pipeOut, length)) {
                return *end;
            }
            m_worker.CountForwarded(length);
        }
        return {RelayEnd::Stopped};
    }

    // Moves `length` bytes from the pipe into the destination, as SendWhole sends parts.
    std::optional<StreamEnd> SpliceWhole(int pipeOut, std::size_t length) {
        Clock::time_point lastProgress = Clock::now();
        while (length > 0) {
            const ssize_t moved = ::splice(pipeOut, nullptr, m_destination, nullptr, length,
                                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (moved < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    return StreamEnd{RelayEnd::DestinationGone, errno};
                }
                if (const std::optional<StreamEnd> end = WaitForRoom(lastProgress)) {
                    return end;
                }
                continue;
            }
            lastProgress = Clock::now();
            Moved();
            length -= static_cast<std::size_t>(moved);
        }
        return std::nullopt;
    }

    StreamEnd RunCopied() {
        const auto batch = std::make_unique<StreamBatch>(m_forward);
        while (!m_worker.Released()) {
            const ssize_t received = batch->Receive(m_source);
            if (received <= 0) {
                if (const std::optional<StreamEnd> end = AfterEmptyReceive(received)) {
                    return *end;
                }
                continue;
            }
            const auto length = static_cast<std::size_t>(received);
            Moved();
            batch->MoveHead(m_worker, length);
            // Nothing received after Stop is forwarded.
            if (m_worker.Released()) {
                return {RelayEnd::Stopped};
            }
            std::size_t forwardLength = 0;
            std::size_t dropped = 0;
            const std::size_t parts = batch->Cut(length, forwardLength, dropped);
            if (dropped != 0) {
                m_worker.CountDropped(dropped);
            }
            if (const std::optional<StreamEnd> end = SendWhole(batch->parts.data(), parts)) {
                return *end;
            }
            m_worker.CountForwarded(forwardLength);
        }
        return {RelayEnd::Stopped};
    }

    // The events to watch on the destination: what it sends while it still sends, and always
    // its failure (poll reports errors and hang-ups unasked).
    short DestinationEvents(short more = 0) const {
        return static_cast<short>(more | (m_destinationSends ? POLLIN : 0));
    }

    // Reads and drops what the destination sent. Its end of stream only means it will send
    // nothing more; it is gone once its connection fails.
    std::optional<StreamEnd> ServeDestination(short revents) {
        int error = 0;
        if ((revents & POLLIN) != 0) {
            switch (DropReturnedData(m_destination, error)) {
            case ReturnedData::Drained:
                break;
            case ReturnedData::EndOfStream:
                m_destinationSends = false;
                break;
            case ReturnedData::Failed:
                return StreamEnd{RelayEnd::DestinationGone, error};
            }
        }
        if ((revents & (POLLERR | POLLHUP)) != 0) {
            socklen_t size = sizeof error;
            ::getsockopt(m_destination, SOL_SOCKET, SO_ERROR, &error, &size);
            return StreamEnd{RelayEnd::DestinationGone, error};
        }
        return std::nullopt;
    }

    // A receive that brought nothing: the source's end (0), its failure, or nothing yet, in which
    // case the relay waits. None when the relay goes on.
    std::optional<StreamEnd> AfterEmptyReceive(ssize_t received) {
        if (received == 0) {
            return StreamEnd{RelayEnd::SourceClosed};
        }
        if (errno == EINTR) {
            return std::nullopt;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return StreamEnd{RelayEnd::SourceClosed, errno};
        }
        return WaitForSource();
    }

    // The source has nothing: waits for it, for the destination's data or failure, for Stop, or
    // until the idle limit.
    std::optional<StreamEnd> WaitForSource() {
        pollfd entries[3] = {{m_source, POLLIN, 0},
                             {m_destination, DestinationEvents(), 0},
                             {m_worker.WakeDescriptor(), POLLIN, 0}};
        const int ready = ::poll(entries, 3, IdleWait());
        if (ready < 0) {
            if (errno == EINTR) {
                return std::nullopt;
            }
            return StreamEnd{RelayEnd::SourceClosed, errno};
        }
        if (ready == 0) {
            return IdleEnd();
        }
        return ServeDestination(entries[1].revents);
    }

    // Sends all parts: a short count or an interrupted call resumes where it stopped. While the
    // destination takes nothing, what it sends is read, so one that echoes never blocks the
    // relay. A Stop meanwhile lets the parts finish, unless the destination takes nothing for
    // kFinishBound. MSG_NOSIGNAL: a vanished peer must end the relay, not the process.
    std::optional<StreamEnd> SendWhole(iovec* parts, std::size_t count) {
        Clock::time_point lastProgress = Clock::now();
        while (count > 0) {
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = count;
            const ssize_t sent = ::sendmsg(m_destination, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    return StreamEnd{RelayEnd::DestinationGone, errno};
                }
                if (const std::optional<StreamEnd> end = WaitForRoom(lastProgress)) {
                    return end;
                }
                continue;
            }
            lastProgress = Clock::now();
            Moved();
            auto left = static_cast<std::size_t>(sent);
            while (count > 0 && left >= parts->iov_len) {
                left -= parts->iov_len;
                ++parts;
                --count;
            }
            if (count > 0) {
                parts->iov_base = static_cast<char*>(parts->iov_base) + left;
                parts->iov_len -= left;
            }
        }
        return std::nullopt;
    }

    std::optional<StreamEnd> WaitForRoom(Clock::time_point lastProgress) {
        // Once released, the wake-up descriptor stays readable: the wait is bounded instead.
        const bool finishing = m_worker.Released();
        int timeout = IdleWait();
        if (finishing) {
            timeout = MillisecondsUntil(lastProgress + kFinishBound);
            if (timeout == 0) {
                return StreamEnd{RelayEnd::Stopped};
            }
        }
        pollfd entries[2] = {{m_destination, DestinationEvents(POLLOUT), 0},
                             {m_worker.WakeDescriptor(), POLLIN, 0}};
        const int ready = ::poll(entries, finishing ? 1 : 2, timeout);
        if (ready < 0 && errno != EINTR) {
            return StreamEnd{RelayEnd::DestinationGone, errno};
        }
        if (ready == 0 && !finishing) {
            return IdleEnd();
        }
        // A hang-up or error shows in the next send's own error; only the data is taken here.
        return ServeDestination(static_cast<short>(entries[0].revents & POLLIN));
    }

    // Data came from the source or went to the destination.
    void Moved() {
        if (m_idleLimit.count() != 0) {
            m_lastMoved = Clock::now();
        }
    }
    // How long a wait may last before the idle limit is reached; -1 without one.
    int IdleWait() const {
        return m_idleLimit.count() == 0 ? -1 : MillisecondsUntil(m_lastMoved + m_idleLimit);
    }
    // After a wait that timed out: the stream's end once nothing moved for the idle limit.
    std::optional<StreamEnd> IdleEnd() const {
        if (m_idleLimit.count() != 0 && Clock::now() - m_lastMoved >= m_idleLimit) {
            return StreamEnd{RelayEnd::Idle};
        }
        return std::nullopt;
    }

    RelayWorker& m_worker;
    const int m_source;
    const int m_destination;
    const ForwardMode m_forward;
    const std::chrono::seconds m_idleLimit;
    Clock::time_point m_lastMoved = Clock::now();
    bool m_destinationSends = true;
};

} // namespace

unsigned int RunTcpWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept) {
    // Waiting: one connection on the wait endpoint.
    SocketHandle accepted = AcceptOne(worker, plan.waitSide, plan.waitEndpoint, plan.allowed,
                                      kept != nullptr ? &kept->listener : nullptr,
                                      kept != nullptr ? &kept->refused : nullptr);

    // The other side: connected only once the incoming connection is there.
    SocketHandle connected;
    if (accepted.Valid() && !worker.Released()) {
        connected = ConnectOut(worker, plan.OtherSide(), plan.otherEndpoint);
    }

    // Relaying: always from the client side to the server side.
    StreamEnd end{RelayEnd::SetupFailed};
    const bool sourceIsAccepted = plan.waitSide == RelaySide::Client;
    SocketHandle& source = sourceIsAccepted ? accepted : connected;
    SocketHandle& destination = sourceIsAccepted ? connected : accepted;
    if (connected.Valid()) {
        worker.Relaying();
        end = StreamCopy(worker, source.Get(), destination.Get(), plan).Run();
    }

    // Ending: the accepted socket first, then the connected one; the destination in order, its
    // wait for the peer's close beside the relay where the caller keeps one for it.
    const bool stopped = worker.Released();
    const auto closeDestination = [&] {
        if (kept != nullptr) {
            kept->closes.Add(std::move(destination));
        } else {
            CloseOrderly(destination);
        }
    };
    // Whose connection ended the stream, for the end line.
    const Endpoint acceptedPeer = worker.Status().peer;
    const Endpoint& sourcePeer = sourceIsAccepted ? acceptedPeer : plan.otherEndpoint;
    const Endpoint& destinationPeer = sourceIsAccepted ? plan.otherEndpoint : acceptedPeer;
    const Endpoint& endedBy = end.end == RelayEnd::SourceClosed ? sourcePeer : destinationPeer;
    if (sourceIsAccepted) {
        source.Reset();
        closeDestination();
    } else {
        closeDestination();
        source.Reset();
    }
    worker.Finish(stopped, end.end, end.error, endedBy);
    return 1;
}
