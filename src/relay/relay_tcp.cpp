// The two TCP workers: accept one connection, connect to the other side, copy one way.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

#include "relay/relay_sockets.h"
#include "relay/relay_units.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"

namespace {

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

// Sends all parts: a short count or an interrupted call resumes where it stopped.
// MSG_NOSIGNAL: a vanished peer must end the relay, not the process.
bool SendWhole(int fd, iovec* parts, std::size_t count, int& error) {
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
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
    return true;
}

// Copies from the source to the destination until one of them ends or Stop. A source that has
// nothing to give costs a poll on both, so a destination that closes meanwhile is noticed at once;
// a busy source costs one receive and one send per batch of units.
StreamEnd RelayTcp(RelayWorker& worker, int source, int destination) {
    const auto batch = std::make_unique<StreamBatch>();
    while (!worker.Released()) {
        const ssize_t received =
            ::recv(source, batch->data.data(), batch->data.size(), MSG_DONTWAIT);
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
            pollfd both[2] = {{source, POLLIN, 0}, {destination, POLLIN | POLLRDHUP, 0}};
            if (::poll(both, 2, -1) < 0 && errno != EINTR) {
                return {RelayEnd::SourceClosed, errno};
            }
            int error = 0;
            if (both[1].revents != 0 && !DropReturnedData(destination, error)) {
                return {RelayEnd::DestinationGone, error};
            }
            continue;
        }
        const auto length = static_cast<std::size_t>(received);
        std::size_t forwardLength = 0;
        const std::size_t parts = batch->Cut(length, forwardLength);
        batch->MoveHead(worker, length);
        if (worker.Released()) {
            return {RelayEnd::Stopped};
        }
        int error = 0;
        if (!SendWhole(destination, batch->parts.data(), parts, error)) {
            return {RelayEnd::DestinationGone, error};
        }
        worker.CountForwarded(forwardLength);
    }
    return {RelayEnd::Stopped};
}

} // namespace

unsigned int RunTcpWorker(RelayWorker& worker, const RelayPlan& plan) {
    // Waiting: one connection on the wait endpoint.
    ReleasableSocket accepted = AcceptOne(worker, plan.waitSide, plan.waitEndpoint);

    // The other side: connected only once the incoming connection is there.
    ReleasableSocket connected;
    if (accepted.Valid() && !worker.Released()) {
        connected = ConnectOut(worker, plan.OtherSide(), plan.otherEndpoint);
    }

    // Relaying: always from the client side to the server side.
    StreamEnd end{RelayEnd::SetupFailed};
    const bool sourceIsAccepted = plan.waitSide == RelaySide::Client;
    ReleasableSocket& source = sourceIsAccepted ? accepted : connected;
    ReleasableSocket& destination = sourceIsAccepted ? connected : accepted;
    if (connected.Valid()) {
        end = RelayTcp(worker, source.Get(), destination.Get());
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
