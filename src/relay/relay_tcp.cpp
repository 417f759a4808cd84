// The TCP relay: accept one connection, connect to the other side, copy one way.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "relay/relay_sockets.h"
#include "relay/relay_units.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"
#include "relay/stream_batch.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stopped relay still finishes the units it is sending, unless the destination takes nothing
// for this long.
constexpr std::chrono::milliseconds kFinishBound(1000);

struct StreamEnd {
    RelayEnd end;
    int error = 0;
};

// Bytes on their way to the destination, given as far as it takes them.
class Outgoing {
public:
    virtual ~Outgoing() = default;
    // Gives the destination what it takes now of the `left` bytes still to go: the bytes given,
    // -1 with errno.
    virtual ssize_t Give(int destination, std::size_t left) = 0;
    // The `left` bytes still to go, taken back for a hand-over.
    virtual std::string TakeBack(std::size_t left) = 0;
};

// How the bytes of a stream get from the source to the destination, one run at a time: taken
// from the source, made ready, then given to the destination.
class Mover : public Outgoing {
public:
    // Takes what the source has waiting, without waiting for more: the bytes taken, 0 at the
    // source's end, -1 with errno.
    virtual ssize_t Take(int source) = 0;
    // Readies `taken` bytes for the destination and shows them on the lamps: how many bytes go
    // on, with what the text rule leaves out in `dropped`.
    virtual std::size_t Ready(RelayWorker& worker, std::size_t taken, std::size_t& dropped) = 0;
};

// What a relay before this one had read and not given yet: given first, as it is.
class Carried final : public Outgoing {
public:
    explicit Carried(std::string bytes) : m_bytes(std::move(bytes)) {}
    std::size_t Size() const noexcept { return m_bytes.size(); }
    ssize_t Give(int destination, std::size_t left) override {
        return ::send(destination, m_bytes.data() + m_bytes.size() - left, left,
                      MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    std::string TakeBack(std::size_t left) override {
        return m_bytes.substr(m_bytes.size() - left);
    }

private:
    const std::string m_bytes;
};

// Through the relay's memory: the text rule's units, or bytes where no pipe can be had.
class Copier final : public Mover {
public:
    explicit Copier(ForwardMode forward) : m_batch(std::make_unique<StreamBatch>(forward)) {}

    ssize_t Take(int source) override { return m_batch->Receive(source); }

    std::size_t Ready(RelayWorker& worker, std::size_t taken, std::size_t& dropped) override {
        m_batch->MoveHead(worker, taken);
        std::size_t length = 0;
        m_count = m_batch->Cut(taken, length, dropped);
        m_next = m_batch->parts.data();
        return length;
    }

    // A short count resumes where it stopped.
    ssize_t Give(int destination, std::size_t) override {
        msghdr message{};
        message.msg_iov = m_next;
        message.msg_iovlen = m_count;
        const ssize_t sent = ::sendmsg(destination, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (auto left = static_cast<std::size_t>(std::max<ssize_t>(sent, 0)); left > 0;) {
            const std::size_t done = std::min(left, m_next->iov_len);
            m_next->iov_base = static_cast<char*>(m_next->iov_base) + done;
            m_next->iov_len -= done;
            left -= done;
            if (m_next->iov_len == 0) {
                ++m_next;
                --m_count;
            }
        }
        return sent;
    }

    std::string TakeBack(std::size_t) override {
        std::string rest;
        for (std::size_t i = 0; i < m_count; ++i) {
            rest.append(static_cast<const char*>(m_next[i].iov_base), m_next[i].iov_len);
        }
        return rest;
    }

private:
    // Allocated once for the stream, not per receive.
    const std::unique_ptr<StreamBatch> m_batch;
    iovec* m_next = nullptr;
    std::size_t m_count = 0;
};

// Bytes forwarded as they are never pass through the relay's memory: the kernel moves them from
// the source through a pipe into the destination, which costs less than copying them out and
// back in. The lamps' bytes are peeked at first.
class Splicer final : public Mover {
public:
    // Empty when no pipe can be had.
    static std::unique_ptr<Splicer> Make() {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            return nullptr;
        }
        // Larger than the default, so one call moves as much as a busy socket holds.
        ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(kChunk));
        return std::unique_ptr<Splicer>(new Splicer(UniqueFd(ends[0]), UniqueFd(ends[1])));
    }

    ssize_t Take(int source) override {
        m_peeked = ::recv(source, m_head, sizeof m_head, MSG_PEEK | MSG_DONTWAIT);
        if (m_peeked <= 0) {
            return m_peeked;
        }
        return ::splice(source, nullptr, m_in.Get(), nullptr, kChunk,
                        SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    }

    std::size_t Ready(RelayWorker& worker, std::size_t taken, std::size_t& dropped) override {
        worker.HeadAfterReceive(m_head, std::min(taken, static_cast<std::size_t>(m_peeked)), false);
        dropped = 0;
        return taken;
    }

    ssize_t Give(int destination, std::size_t left) override {
        return ::splice(m_out.Get(), nullptr, destination, nullptr, left,
                        SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    }

    // What is still in the pipe.
    std::string TakeBack(std::size_t left) override {
        std::string rest(left, '\0');
        std::size_t got = 0;
        while (got < left) {
            const ssize_t read = ::read(m_out.Get(), rest.data() + got, left - got);
            if (read <= 0 && !(read < 0 && errno == EINTR)) {
                break;
            }
            got += static_cast<std::size_t>(std::max<ssize_t>(read, 0));
        }
        rest.resize(got);
        return rest;
    }

private:
    // Bytes moved from the source into the pipe by one call, at most.
    static constexpr std::size_t kChunk = 1 << 20;

    Splicer(UniqueFd out, UniqueFd in) : m_out(std::move(out)), m_in(std::move(in)) {}

    const UniqueFd m_out;
    const UniqueFd m_in;
    char m_head[4] = {};
    ssize_t m_peeked = 0;
};

std::unique_ptr<Mover> MoverFor(ForwardMode forward) {
    if (forward == ForwardMode::Bytes) {
        if (std::unique_ptr<Splicer> splicer = Splicer::Make()) {
            return splicer;
        }
    }
    return std::make_unique<Copier>(forward);
}

// One stream from the source to the destination. Both sockets are non-blocking; the relay waits
// only in poll, on the sockets and the worker's wake-up descriptor.
class StreamForwarder {
public:
    StreamForwarder(RelayWorker& worker, int source, int destination, const RelayPlan& plan)
        : m_worker(worker), m_source(source), m_destination(destination),
          m_mover(MoverFor(plan.forward)), m_idleLimit(plan.idleLimit) {}

    // Until the source closes, the destination is gone, nothing moved for the idle limit, or
    // Stop; `carried` (what the relay this one goes on from had read and not given) goes first.
    // After a release for a hand-over, what was read and not given is in TakeUnsent().
    StreamEnd Forward(std::string carried) {
        if (!carried.empty()) {
            Carried bytes(std::move(carried));
            if (const std::optional<StreamEnd> end = GiveAll(bytes, bytes.Size())) {
                return *end;
            }
        }
        while (!m_worker.Released()) {
            // A wait the release ended gives up; the loop's test then ends the stream.
            std::optional<StreamEnd> waitEnded;
            const long taken = MoveOrWait([&] { return m_mover->Take(m_source); },
                                          [&] {
                                              waitEnded = WaitForSource();
                                              return !waitEnded && !m_worker.Released();
                                          });
            if (waitEnded) {
                return *waitEnded;
            }
            if (taken < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                continue;
            }
            if (taken <= 0) {
                return {RelayEnd::SourceClosed, taken < 0 ? errno : 0};
            }
            Moved();
            std::size_t dropped = 0;
            const std::size_t length =
                m_mover->Ready(m_worker, static_cast<std::size_t>(taken), dropped);
            // Nothing received after Stop is forwarded; after a hand-over the next relay does.
            const bool handOver = m_worker.Released() && m_worker.HandingOver();
            if (m_worker.Released() && !handOver) {
                m_worker.CountUnsent(length);
                return {RelayEnd::Stopped};
            }
            if (dropped != 0) {
                m_worker.CountDropped(dropped);
            }
            if (handOver) {
                m_unsent = m_mover->TakeBack(length);
                return {RelayEnd::Stopped};
            }
            if (const std::optional<StreamEnd> end = GiveAll(*m_mover, length)) {
                return *end;
            }
        }
        return {RelayEnd::Stopped};
    }

    std::string TakeUnsent() { return std::move(m_unsent); }

private:
    // Gives the destination all `left` bytes of `outgoing`. While the destination takes
    // nothing, what it sends is read, so one that echoes never blocks the relay. A Stop meanwhile
    // lets the bytes finish, unless the destination takes nothing for kFinishBound; a hand-over
    // takes back what is left at once, for the next relay to give.
    std::optional<StreamEnd> GiveAll(Outgoing& outgoing, std::size_t left) {
        Clock::time_point lastProgress = Clock::now();
        while (left > 0) {
            std::optional<StreamEnd> waitEnded;
            const long given = MoveOrWait([&] { return outgoing.Give(m_destination, left); },
                                          [&] { return !(waitEnded = WaitForRoom(lastProgress)); });
            if (waitEnded) {
                if (m_worker.HandingOver()) {
                    m_unsent = outgoing.TakeBack(left);
                } else {
                    m_worker.CountUnsent(left);
                }
                return waitEnded;
            }
            if (given < 0) {
                const int error = errno;
                m_worker.CountUnsent(left);
                return StreamEnd{RelayEnd::DestinationGone, error};
            }
            lastProgress = Clock::now();
            Moved();
            m_worker.CountForwarded(static_cast<std::size_t>(given));
            left -= static_cast<std::size_t>(given);
        }
        return std::nullopt;
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

    // The source has nothing: waits for it, for the destination's data or failure, for Stop, or
    // until the idle limit.
    std::optional<StreamEnd> WaitForSource() {
        pollfd entries[3] = {{m_source, POLLIN, 0},
                             {m_destination, DestinationEvents(), 0},
                             {m_worker.WakeDescriptor(), POLLIN, 0}};
        const int ready = ::poll(entries, 3, WatchWait());
        if (ready < 0) {
            if (errno == EINTR) {
                return std::nullopt;
            }
            return StreamEnd{RelayEnd::SourceClosed, errno};
        }
        if (ready == 0) {
            return Overdue();
        }
        return ServeDestination(entries[1].revents);
    }

    std::optional<StreamEnd> WaitForRoom(Clock::time_point lastProgress) {
        // Once released, the wake-up descriptor stays readable: the wait is bounded instead.
        const bool finishing = m_worker.Released();
        int timeout = WatchWait();
        if (finishing) {
            timeout = m_worker.HandingOver() ? 0 : PollTimeoutUntil(lastProgress + kFinishBound);
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
            return Overdue();
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
        return m_idleLimit.count() == 0 ? -1 : PollTimeoutUntil(m_lastMoved + m_idleLimit);
    }
    // How long a wait may last before the destination is looked at again or the idle limit is
    // reached: a destination that fell silent while data waits for it raises no event of its own.
    int WatchWait() const {
        constexpr int kCheckMs =
            static_cast<int>(std::chrono::milliseconds(kSilenceCheckInterval).count());
        const int idle = IdleWait();
        return idle < 0 ? kCheckMs : std::min(idle, kCheckMs);
    }
    // After a wait that timed out: the stream's end once nothing moved for the idle limit, or
    // once the destination acknowledged nothing for too long.
    std::optional<StreamEnd> Overdue() const {
        if (m_idleLimit.count() != 0 && Clock::now() - m_lastMoved >= m_idleLimit) {
            return StreamEnd{RelayEnd::Idle};
        }
        if (PeerFellSilent(m_destination)) {
            return StreamEnd{RelayEnd::DestinationGone, ETIMEDOUT};
        }
        return std::nullopt;
    }

    RelayWorker& m_worker;
    const int m_source;
    const int m_destination;
    const std::unique_ptr<Mover> m_mover;
    const std::chrono::seconds m_idleLimit;
    std::string m_unsent;
    Clock::time_point m_lastMoved = Clock::now();
    bool m_destinationSends = true;
};

} // namespace

void RunTcpWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept) {
    UniqueFd accepted;
    UniqueFd connected;
    std::string carried;
    if (kept != nullptr && kept->stream) {
        // Going on with a stream a relay before this one had: its connections are there.
        LiveStream stream = std::move(*kept->stream);
        kept->stream.reset();
        const Endpoint bound = BoundEndpoint(kept->endpointSocket.Get(), plan.waitEndpoint);
        worker.Waiting(plan.waitSide, bound);
        if (worker.TakeConnection(stream.peer)) {
            worker.Report({RelayEvent::Kind::Resumed, plan.waitSide, bound, stream.peer});
            accepted = std::move(stream.accepted);
            connected = std::move(stream.connected);
            carried = std::move(stream.unsent);
        } else {
            kept->stream = std::move(stream); // released before it began: still to go on with
        }
    } else {
        // Waiting: one connection on the wait endpoint.
        accepted = AcceptOne(worker, plan.waitSide, plan.waitEndpoint, plan.allowed,
                             kept != nullptr ? &kept->endpointSocket : nullptr,
                             kept != nullptr ? &kept->refused : nullptr);
        // The other side: connected only once the incoming connection is there.
        if (accepted.Valid() && !worker.Released()) {
            connected = ConnectOut(worker, plan.OtherSide(), plan.otherEndpoint);
        }
    }

    // Relaying: always from the client side to the server side.
    StreamEnd end{RelayEnd::SetupFailed};
    const bool sourceIsAccepted = plan.waitSide == RelaySide::Client;
    UniqueFd& source = sourceIsAccepted ? accepted : connected;
    UniqueFd& destination = sourceIsAccepted ? connected : accepted;
    std::string unsent;
    if (connected.Valid()) {
        worker.Relaying();
        StreamForwarder forwarder(worker, source.Get(), destination.Get(), plan);
        end = forwarder.Forward(std::move(carried));
        unsent = forwarder.TakeUnsent();
    }

    const bool stopped = worker.Released();
    const Endpoint acceptedPeer = worker.Status().peer;
    // Handed over: both connections stay open, with what they still owe, for the next relay.
    if (stopped && worker.HandingOver() && kept != nullptr && connected.Valid() &&
        end.end == RelayEnd::Stopped) {
        kept->stream =
            LiveStream{std::move(accepted), std::move(connected), acceptedPeer, std::move(unsent)};
        worker.Finish(true, end.end);
        return;
    }

    // Ending: the accepted socket first, then the connected one; the destination in order, its
    // wait for the peer's close beside the relay where the caller keeps one for it.
    const auto closeDestination = [&] {
        if (kept != nullptr) {
            kept->closes.Add(std::move(destination));
        } else {
            CloseOrderly(destination);
        }
    };
    // Whose connection ended the stream, for the end line.
    const Endpoint& sourcePeer = sourceIsAccepted ? acceptedPeer : plan.otherEndpoint;
    const Endpoint& destinationPeer = sourceIsAccepted ? plan.otherEndpoint : acceptedPeer;
    const Endpoint& endedBy = end.end == RelayEnd::SourceClosed ? sourcePeer : destinationPeer;
    // A destination that failed with bytes it never acknowledged lost them: the source learns
    // from a reset that what it sent did not all arrive, and the end line says how much did.
    const std::uint64_t lost = end.end == RelayEnd::DestinationGone && destination.Valid()
                                   ? UnacknowledgedBytes(destination.Get())
                                   : 0;
    const auto closeSource = [&] {
        if (lost != 0) {
            ResetConnection(source);
        }
        source.Reset();
    };
    if (sourceIsAccepted) {
        closeSource();
        closeDestination();
    } else {
        closeDestination();
        closeSource();
    }
    worker.Finish(stopped, end.end, end.error, endedBy, lost);
}
