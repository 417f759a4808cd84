// The TCP relay: accept one connection, connect to the other side, copy one way.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
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

// Units one receive call takes when the source has more waiting: each is exactly what a receive of
// at most 4095 bytes would have taken at that point of the stream, so the units forwarded are the
// same, with a fraction of the kernel entries.
constexpr std::size_t kUnitsPerReceive = 16;

// The bytes of one receive call and the parts that forward them: each unit's text, then a zero.
// Allocated once for the worker's life.
struct StreamBatch {
    std::array<char, kMaxReceive * kUnitsPerReceive> data{};
    std::array<iovec, 2 * kUnitsPerReceive> parts{};
    char zero = '\0';

    // Cuts what was received into units and returns how many parts forward them.
    std::size_t Cut(std::size_t received, std::size_t& forwardLength) {
        std::size_t count = 0;
        forwardLength = 0;
        for (std::size_t offset = 0; offset < received; offset += kMaxReceive) {
            char* const unit = data.data() + offset;
            const std::size_t text = TextLength(unit, std::min(kMaxReceive, received - offset));
            parts[count++] = {unit, text};
            parts[count++] = {&zero, 1};
            forwardLength += text + 1;
        }
        return count;
    }

    // The lamps see the units as successive receives would have left the relay buffer.
    void MoveHead(RelayWorker& worker, std::size_t received) const {
        for (std::size_t offset = 0; offset < received; offset += kMaxReceive) {
            worker.HeadAfterReceive(data.data() + offset, std::min(kMaxReceive, received - offset));
        }
    }
};

// One stream from the source to the destination. Both sockets are non-blocking; the relay waits
// only in poll, on the sockets and the worker's wake-up descriptor.
class StreamCopy {
public:
    StreamCopy(RelayWorker& worker, int source, int destination)
        : m_worker(worker), m_source(source), m_destination(destination) {}

    // Until the source closes, the destination is gone, or Stop.
    StreamEnd Run() {
        const auto batch = std::make_unique<StreamBatch>();
        while (!m_worker.Released()) {
            const ssize_t received =
                ::recv(m_source, batch->data.data(), batch->data.size(), MSG_DONTWAIT);
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
                if (const std::optional<StreamEnd> end = WaitForSource()) {
                    return *end;
                }
                continue;
            }
            const auto length = static_cast<std::size_t>(received);
            batch->MoveHead(m_worker, length);
            // Nothing received after Stop is forwarded.
            if (m_worker.Released()) {
                return {RelayEnd::Stopped};
            }
            std::size_t forwardLength = 0;
            const std::size_t parts = batch->Cut(length, forwardLength);
            if (const std::optional<StreamEnd> end = SendWhole(batch->parts.data(), parts)) {
                return *end;
            }
            m_worker.CountForwarded(forwardLength);
        }
        return {RelayEnd::Stopped};
    }

private:
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

    // The source has nothing: waits for it, for the destination's data or failure, or for Stop.
    std::optional<StreamEnd> WaitForSource() {
        pollfd entries[3] = {{m_source, POLLIN, 0},
                             {m_destination, DestinationEvents(), 0},
                             {m_worker.WakeDescriptor(), POLLIN, 0}};
        if (::poll(entries, 3, -1) < 0) {
            if (errno == EINTR) {
                return std::nullopt;
            }
            return StreamEnd{RelayEnd::SourceClosed, errno};
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
        int timeout = -1;
        if (finishing) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                lastProgress + kFinishBound - Clock::now());
            if (left.count() <= 0) {
                return StreamEnd{RelayEnd::Stopped};
            }
            timeout = static_cast<int>(left.count());
        }
        pollfd entries[2] = {{m_destination, DestinationEvents(POLLOUT), 0},
                             {m_worker.WakeDescriptor(), POLLIN, 0}};
        if (::poll(entries, finishing ? 1 : 2, timeout) < 0 && errno != EINTR) {
            return StreamEnd{RelayEnd::DestinationGone, errno};
        }
        // A hang-up or error shows in the next send's own error; only the data is taken here.
        return ServeDestination(static_cast<short>(entries[0].revents & POLLIN));
    }

    RelayWorker& m_worker;
    const int m_source;
    const int m_destination;
    bool m_destinationSends = true;
};

} // namespace

unsigned int RunTcpWorker(RelayWorker& worker, const RelayPlan& plan, SocketHandle* keptListener) {
    // Waiting: one connection on the wait endpoint.
    SocketHandle accepted = AcceptOne(worker, plan.waitSide, plan.waitEndpoint, keptListener);

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
        end = StreamCopy(worker, source.Get(), destination.Get()).Run();
    }

    // Ending: the accepted socket first, then the connected one; the destination in order.
    const bool stopped = worker.Released();
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
