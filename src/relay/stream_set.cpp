// Several TCP streams at once, on one thread: every socket is non-blocking and the thread waits in
// one epoll set for all of them. Each stream is relayed as the one-stream relay relays it (the
// text rule, the allowed sources, keepalive, the idle limit, the orderly close beside the relay)
// and ends alone. The stream's bytes pass through one batch the whole set shares; a stream keeps
// bytes of its own only while its destination has not taken what was read for it, so an idle
// stream costs no buffer.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/open_socket.h"
#include "relay/relay_sockets.h"
#include "relay/relay_workers.h"
#include "relay/stream_batch.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stopped relay still gives its destinations what they were owed, for at most this long.
constexpr std::chrono::milliseconds kFinishBound(1000);
// Units a stream reads at a time while its destination lags: what then waits for the destination
// in the relay's memory is at most this many units. While the destination takes everything, a
// stream reads up to the whole batch.
constexpr std::size_t kFewestUnits = 4;

// What an epoll entry stands for: the low bits of its data, the stream's slot above them.
enum Role : std::uint64_t { kWake = 0, kListener = 1, kSource = 2, kDestination = 3 };
constexpr std::uint64_t kRoleBits = 2;

struct Stream {
    UniqueFd accepted;  // from the peer on the wait endpoint
    UniqueFd connected; // to the other endpoint; connecting until `connecting` is false
    Endpoint peer;
    bool connecting = true;
    Clock::time_point began = Clock::now();
    Clock::time_point lastMoved = Clock::now();
    Clock::time_point connectDeadline = Clock::now() + kConnectBound;
    std::string pending; // read, not yet taken by the destination: from `given` on
    std::size_t given = 0;
    std::size_t units = kFewestUnits;
    bool sourceWatched = false;
    std::uint32_t destinationEvents = 0; // as registered
    bool destinationSends = true;
    RelayCounts counts; // this stream's own, for its end line
};

class StreamSet {
public:
    StreamSet(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept)
        : m_worker(worker), m_plan(plan), m_kept(kept),
          m_listener(kept != nullptr ? kept->endpointSocket : m_ownListener),
          m_refused(kept != nullptr ? kept->refused : m_ownRefused),
          m_batch(std::make_unique<StreamBatch>(plan.forward)),
          m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {}

    void Run() {
        m_endpoint = m_plan.waitEndpoint;
        if (!m_listener.Valid()) {
            SetupStep failed = SetupStep::Socket;
            UniqueFd made = MakeEndpointSocket(RelayProtocol::Tcp, m_endpoint, failed);
            if (!made.Valid()) {
                return FailSetup(failed, errno);
            }
            if (!m_worker.KeepEndpointSocket(m_listener, std::move(made))) {
                return m_worker.Finish(true, RelayEnd::Stopped);
            }
        }
        m_endpoint = BoundEndpoint(m_listener.Get(), m_plan.waitEndpoint);
        if (!m_epoll.Valid() || !Watch(m_worker.WakeDescriptor(), kWake, EPOLLIN) ||
            !Watch(m_listener.Get(), kListener, EPOLLIN)) {
            return FailSetup(SetupStep::Accept, errno);
        }
        m_worker.Waiting(m_plan.waitSide, m_endpoint);
        if (m_kept != nullptr) {
            GoOnWithKeptStreams();
        }
        m_worker.Report({RelayEvent::Kind::Listening, m_plan.waitSide, m_endpoint, {}});
        int acceptError = 0;
        std::vector<epoll_event> ready(256);
        while (!m_worker.Released() && acceptError == 0) {
            const int count = ::epoll_wait(m_epoll.Get(), ready.data(),
                                           static_cast<int>(ready.size()), NextWait());
            if (count < 0 && errno != EINTR) {
                acceptError = errno;
                break;
            }
            for (int i = 0; i < count; ++i) {
                const std::uint64_t data = ready[static_cast<std::size_t>(i)].data.u64;
                const std::uint32_t events = ready[static_cast<std::size_t>(i)].events;
                const auto role = static_cast<Role>(data & ((1u << kRoleBits) - 1));
                if (role == kListener) {
                    acceptError = Accept();
                } else if (role != kWake) {
                    Serve(data >> kRoleBits, role, events);
                }
            }
            m_freeSlots.insert(m_freeSlots.end(), m_endedSlots.begin(), m_endedSlots.end());
            m_endedSlots.clear();
            EndOverdue();
            ShowCounts();
        }
        const bool stopped = m_worker.Released();
        if (stopped && m_worker.HandingOver() && m_kept != nullptr) {
            HandOverAll();
        } else {
            FinishAll();
        }
        m_worker.Streams(0, 0);
        if (!stopped) {
            m_worker.SetupFailed(SetupStep::Accept, m_plan.waitSide, m_endpoint, acceptError);
        }
        m_worker.Finish(stopped, RelayEnd::SetupFailed);
    }

private:
    void FailSetup(SetupStep step, int error) {
        if (!m_worker.Released()) {
            m_worker.SetupFailed(step, m_plan.waitSide, m_endpoint, error);
        }
        m_worker.Finish(m_worker.Released(), RelayEnd::SetupFailed);
    }

    bool Watch(int fd, std::uint64_t data, std::uint32_t events, int operation = EPOLL_CTL_ADD) {
        epoll_event entry{};
        entry.events = events;
        entry.data.u64 = data;
        return ::epoll_ctl(m_epoll.Get(), operation, fd, &entry) == 0;
    }
    void Unwatch(int fd) { ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, fd, nullptr); }

    // The source is the client side's connection, whichever side the relay listens on.
    bool SourceIsAccepted() const { return m_plan.waitSide == RelaySide::Client; }
    int Source(const Stream& stream) const {
        return (SourceIsAccepted() ? stream.accepted : stream.connected).Get();
    }
    int Destination(const Stream& stream) const {
        return (SourceIsAccepted() ? stream.connected : stream.accepted).Get();
    }

    std::size_t Place(std::unique_ptr<Stream> stream) {
        ++m_count;
        if (!m_freeSlots.empty()) {
            const std::size_t slot = m_freeSlots.back();
            m_freeSlots.pop_back();
            m_slots[slot] = std::move(stream);
            return slot;
        }
        m_slots.push_back(std::move(stream));
        return m_slots.size() - 1;
    }

    // Takes connections while there is room; once every stream is taken, hears only of new ones
    // coming into the queue, where they wait.
    int Accept() {
        while (m_count < m_plan.streams) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            UniqueFd accepted(::accept4(m_listener.Get(), reinterpret_cast<sockaddr*>(&peer),
                                        &length, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!accepted.Valid()) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return 0;
                }
                if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                    // Out of descriptors: the connection waits in the queue until a stream ends.
                    return errno == EMFILE || errno == ENFILE ? Full() : 0;
                }
                return errno;
            }
            const Endpoint from =
                Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&peer), length);
            if (!m_plan.allowed.Allows(from)) {
                accepted.Reset(); // before a byte is read
                m_refused.Refused(m_worker, m_plan.waitSide, m_endpoint, from);
                continue;
            }
            WatchForVanishedPeer(accepted);
            auto stream = std::make_unique<Stream>();
            stream->accepted = std::move(accepted);
            stream->peer = from;
            Connect(Place(std::move(stream)));
        }
        return Full();
    }

    int Full() {
        if (!m_full) {
            m_full = true;
            Watch(m_listener.Get(), kListener, EPOLLIN | EPOLLET, EPOLL_CTL_MOD);
        }
        const std::uint64_t waiting = Queued();
        if (waiting != 0 && !m_saidWaiting) {
            m_saidWaiting = true;
            RelayEvent event{RelayEvent::Kind::StreamsWaiting, m_plan.waitSide, m_endpoint, {}};
            event.count = waiting;
            m_worker.Report(event);
        }
        m_waiting = waiting;
        return 0;
    }

    // Connections waiting in the listener's queue: a listening socket's TCP_INFO counts them.
    std::uint64_t Queued() const {
        tcp_info info{};
        socklen_t size = sizeof info;
        if (::getsockopt(m_listener.Get(), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
            return 0;
        }
        return info.tcpi_unacked;
    }

    void Connect(std::size_t slot) {
        Stream& stream = *m_slots[slot];
        const Endpoint& other = m_plan.otherEndpoint;
        stream.connected = OpenSocket(other.Family(), SOCK_STREAM | SOCK_NONBLOCK);
        if (!stream.connected.Valid()) {
            return ConnectFailed(slot, SetupStep::Socket, errno);
        }
        WatchForVanishedPeer(stream.connected);
        if (::connect(stream.connected.Get(), other.Address(), other.Length()) != 0 &&
            errno != EINPROGRESS) {
            return ConnectFailed(slot, SetupStep::Connect, errno);
        }
        m_nextDeadline = std::min(m_nextDeadline, stream.connectDeadline);
        Watch(stream.connected.Get(),
              (slot << kRoleBits) | (SourceIsAccepted() ? kDestination : kSource), EPOLLOUT);
    }

    void ConnectFailed(std::size_t slot, SetupStep step, int error) {
        Stream& stream = *m_slots[slot];
        RelayEvent event{RelayEvent::Kind::StreamEnded, m_plan.OtherSide(), m_plan.otherEndpoint,
                         stream.peer};
        event.outcome.end = RelayEnd::SetupFailed;
        event.outcome.step = step;
        event.outcome.side = m_plan.OtherSide();
        event.outcome.endpoint = m_plan.otherEndpoint;
        event.outcome.error = error;
        Free(slot);
        m_worker.Report(event);
    }

    // The connect's answer came: the stream is relayed from now on.
    void Connected(std::size_t slot) {
        Stream& stream = *m_slots[slot];
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(stream.connected.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error != 0) {
            return ConnectFailed(slot, SetupStep::Connect, error);
        }
        Unwatch(stream.connected.Get());
        stream.connecting = false;
        stream.lastMoved = Clock::now();
        ++m_connected;
        // Where the peer connected: the line says both ends of the new stream.
        m_worker.Report({RelayEvent::Kind::Connected, m_plan.waitSide, m_endpoint, stream.peer});
        Relay(slot);
    }

    // Registers a connected stream's sockets as what it waits for says.
    void Relay(std::size_t slot) {
        Stream& stream = *m_slots[slot];
        stream.sourceWatched = stream.pending.empty();
        if (stream.sourceWatched) {
            Watch(Source(stream), (slot << kRoleBits) | kSource, EPOLLIN);
        }
        stream.destinationEvents = DestinationEvents(stream);
        Watch(Destination(stream), (slot << kRoleBits) | kDestination, stream.destinationEvents);
    }

    static std::uint32_t DestinationEvents(const Stream& stream) {
        return (stream.destinationSends ? EPOLLIN : 0u) | (stream.pending.empty() ? 0u : EPOLLOUT);
    }
    void UpdateDestination(std::size_t slot) {
        Stream& stream = *m_slots[slot];
        const std::uint32_t events = DestinationEvents(stream);
        if (events != stream.destinationEvents) {
            stream.destinationEvents = events;
            Watch(Destination(stream), (slot << kRoleBits) | kDestination, events, EPOLL_CTL_MOD);
        }
    }
    void WatchSource(std::size_t slot, bool watched) {
        Stream& stream = *m_slots[slot];
        if (watched != stream.sourceWatched) {
            stream.sourceWatched = watched;
            if (watched) {
                Watch(Source(stream), (slot << kRoleBits) | kSource, EPOLLIN);
            } else {
                Unwatch(Source(stream));
            }
        }
    }

    void Serve(std::size_t slot, Role role, std::uint32_t events) {
        if (slot >= m_slots.size() || !m_slots[slot]) {
            return; // ended earlier in this round
        }
        Stream& stream = *m_slots[slot];
        if (stream.connecting) {
            return Connected(slot);
        }
        if (role == kSource) {
            return Pump(slot);
        }
        if ((events & EPOLLIN) != 0) {
            int error = 0;
            switch (DropReturnedData(Destination(stream), error)) {
            case ReturnedData::Drained:
                break;
            case ReturnedData::EndOfStream:
                stream.destinationSends = false;
                UpdateDestination(slot);
                break;
            case ReturnedData::Failed:
                return End(slot, RelayEnd::DestinationGone, error);
            }
        }
        if (stream.given < stream.pending.size()) {
            // An error or hang-up shows in the send's own error.
            if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
                Give(slot);
            }
        } else if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(Destination(stream), SOL_SOCKET, SO_ERROR, &error, &size);
            End(slot, RelayEnd::DestinationGone, error);
        }
    }

    // Takes what the source has (at most the stream's units) and gives it on.
    void Pump(std::size_t slot) {
        Stream& stream = *m_slots[slot];
        const ssize_t taken = m_batch->Receive(Source(stream), stream.units);
        if (taken < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                End(slot, RelayEnd::SourceClosed, errno);
            }
            return;
        }
        if (taken == 0) {
            return End(slot, RelayEnd::SourceClosed, 0);
        }
        Moved(stream);
        m_batch->MoveHead(m_worker, static_cast<std::size_t>(taken));
        std::size_t length = 0;
        std::size_t dropped = 0;
        const std::size_t parts = m_batch->Cut(static_cast<std::size_t>(taken), length, dropped);
        if (dropped != 0) {
            stream.counts.bytesDropped += dropped;
            m_worker.CountDropped(dropped);
        }
        msghdr message{};
        message.msg_iov = m_batch->parts.data();
        message.msg_iovlen = parts;
        ssize_t sent = ::sendmsg(Destination(stream), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            const int error = errno;
            Unsent(stream, length);
            return End(slot, RelayEnd::DestinationGone, error);
        }
        sent = std::max<ssize_t>(sent, 0);
        Forwarded(stream, static_cast<std::size_t>(sent));
        if (static_cast<std::size_t>(sent) == length) {
            stream.units = std::min(kUnitsPerReceive, stream.units * 2);
            return;
        }
        // The destination lags: the rest waits here, the source until it is given.
        stream.units = std::max(kFewestUnits, stream.units / 2);
        std::size_t skip = static_cast<std::size_t>(sent);
        for (std::size_t i = 0; i < parts; ++i) {
            const iovec& part = m_batch->parts[i];
            const std::size_t from = std::min(skip, part.iov_len);
            skip -= from;
            stream.pending.append(static_cast<const char*>(part.iov_base) + from,
                                  part.iov_len - from);
        }
        WatchSource(slot, false);
        UpdateDestination(slot);
    }

    // Gives the destination what waits for it; the source is read again once all is given.
    void Give(std::size_t slot) {
        Stream& stream = *m_slots[slot];
        while (stream.given < stream.pending.size()) {
            const ssize_t sent =
                ::send(Destination(stream), stream.pending.data() + stream.given,
                       stream.pending.size() - stream.given, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            }
            if (sent < 0 && errno != EINTR) {
                const int error = errno;
                Unsent(stream, stream.pending.size() - stream.given);
                return End(slot, RelayEnd::DestinationGone, error);
            }
            Moved(stream);
            Forwarded(stream, static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
            stream.given += static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
        }
        if (stream.given == stream.pending.size()) {
            std::string().swap(stream.pending); // no memory kept for a stream with nothing to give
            stream.given = 0;
            WatchSource(slot, !m_worker.Released());
        }
        UpdateDestination(slot);
    }

    void Moved(Stream& stream) {
        if (m_plan.idleLimit.count() != 0) {
            stream.lastMoved = Clock::now();
        }
    }
    void Forwarded(Stream& stream, std::size_t bytes) {
        stream.counts.bytesForwarded += bytes;
        m_worker.CountForwarded(bytes);
    }
    void Unsent(Stream& stream, std::size_t bytes) {
        stream.counts.bytesUnsent += bytes;
        m_worker.CountUnsent(bytes);
    }

    // Ends one stream: the accepted connection closed first, then the connected one; the
    // destination closed in order beside the relay. Its end line names whose connection ended it.
    void End(std::size_t slot, RelayEnd end, int error) {
        Stream& stream = *m_slots[slot];
        const Endpoint& sourcePeer = SourceIsAccepted() ? stream.peer : m_plan.otherEndpoint;
        const Endpoint& destinationPeer = SourceIsAccepted() ? m_plan.otherEndpoint : stream.peer;
        RelayEvent event{RelayEvent::Kind::StreamEnded, m_plan.waitSide, m_endpoint, stream.peer};
        static_cast<RelayCounts&>(event.outcome) = stream.counts;
        event.outcome.end = end;
        event.outcome.error = error;
        event.outcome.peer = end == RelayEnd::SourceClosed ? sourcePeer : destinationPeer;
        event.seconds = std::chrono::duration<double>(Clock::now() - stream.began).count();
        // Counted and said before either peer can see the end, so that whoever looks once a peer
        // saw it finds it counted.
        --m_connected;
        ShowCounts();
        m_worker.Report(event);
        UniqueFd destination = std::move(SourceIsAccepted() ? stream.connected : stream.accepted);
        Unwatch(destination.Get());
        Closes().Add(std::move(destination));
        Free(slot);
    }

    // Lets the slot go once this round's events are served; its descriptors close now.
    void Free(std::size_t slot) {
        m_slots[slot].reset();
        m_endedSlots.push_back(slot);
        --m_count;
        if (m_full) {
            m_full = false;
            m_waiting = 0;
            Watch(m_listener.Get(), kListener, EPOLLIN, EPOLL_CTL_MOD);
        }
    }

    PendingCloses& Closes() {
        if (m_kept != nullptr) {
            return m_kept->closes;
        }
        if (!m_ownCloses) {
            m_ownCloses = std::make_unique<PendingCloses>(kCloseBound);
        }
        return *m_ownCloses;
    }

    // How long epoll may wait: until the nearest connect or idle deadline.
    int NextWait() const { return PollTimeoutUntil(m_nextDeadline); }

    // Connects that got no answer in time and streams idle for the limit end; the next deadline is
    // found anew only when one passed.
    void EndOverdue() {
        const Clock::time_point now = Clock::now();
        if (now < m_nextDeadline) {
            return;
        }
        m_nextDeadline = Clock::time_point::max();
        for (std::size_t slot = 0; slot < m_slots.size(); ++slot) {
            if (!m_slots[slot]) {
                continue;
            }
            const Stream& stream = *m_slots[slot];
            if (stream.connecting) {
                if (now >= stream.connectDeadline) {
                    ConnectFailed(slot, SetupStep::Connect, ETIMEDOUT);
                    continue;
                }
                m_nextDeadline = std::min(m_nextDeadline, stream.connectDeadline);
                continue;
            }
            if (m_plan.idleLimit.count() != 0) {
                const Clock::time_point idleEnd = stream.lastMoved + m_plan.idleLimit;
                if (now >= idleEnd) {
                    End(slot, RelayEnd::Idle, 0);
                    continue;
                }
                m_nextDeadline = std::min(m_nextDeadline, idleEnd);
            }
            // A destination that acknowledges nothing while data waits for it has vanished; one
            // that only reads slowly never counts (see PeerFellSilent).
            if (PeerFellSilent(Destination(stream))) {
                End(slot, RelayEnd::DestinationGone, ETIMEDOUT);
                continue;
            }
            m_nextDeadline = std::min(m_nextDeadline, now + kSilenceCheckInterval);
        }
        m_freeSlots.insert(m_freeSlots.end(), m_endedSlots.begin(), m_endedSlots.end());
        m_endedSlots.clear();
    }

    void ShowCounts() {
        if (m_full) {
            m_waiting = Queued();
        }
        m_worker.Streams(m_connected, m_waiting);
    }

    // The streams the relay before left: on with each whose peer is still allowed.
    void GoOnWithKeptStreams() {
        std::vector<LiveStream> kept = std::move(m_kept->streams);
        m_kept->streams.clear();
        if (m_kept->stream) {
            kept.push_back(std::move(*m_kept->stream));
            m_kept->stream.reset();
        }
        for (LiveStream& live : kept) {
            auto stream = std::make_unique<Stream>();
            stream->accepted = std::move(live.accepted);
            stream->connected = std::move(live.connected);
            stream->peer = live.peer;
            stream->pending = std::move(live.unsent);
            stream->connecting = false;
            if (live.began != Clock::time_point{}) {
                stream->began = live.began;
            }
            const std::size_t slot = Place(std::move(stream));
            ++m_connected;
            m_worker.Report(
                {RelayEvent::Kind::Resumed, m_plan.waitSide, m_endpoint, m_slots[slot]->peer});
            if (!m_plan.allowed.Allows(m_slots[slot]->peer)) {
                End(slot, RelayEnd::Stopped, 0);
                continue;
            }
            Relay(slot);
        }
        m_freeSlots.insert(m_freeSlots.end(), m_endedSlots.begin(), m_endedSlots.end());
        m_endedSlots.clear();
        if (m_count >= m_plan.streams) {
            Full();
        }
        if (m_plan.idleLimit.count() != 0) {
            m_nextDeadline = Clock::now(); // found at the first round
        }
    }

    // A release for a hand-over: each connected stream, with what it owes, goes to the next relay;
    // a connect still waiting for its answer is dropped.
    void HandOverAll() {
        for (std::unique_ptr<Stream>& stream : m_slots) {
            if (!stream || stream->connecting) {
                continue;
            }
            m_kept->streams.push_back(
                LiveStream{std::move(stream->accepted), std::move(stream->connected), stream->peer,
                           stream->pending.substr(stream->given), stream->began});
        }
        m_slots.clear();
    }

    // A stop: nothing more is read; what each stream owes is given within the finishing bound,
    // and then every stream ends alone.
    void FinishAll() {
        const Clock::time_point deadline = Clock::now() + kFinishBound;
        Unwatch(m_worker.WakeDescriptor());
        Unwatch(m_listener.Get());
        std::vector<epoll_event> ready(256);
        for (;;) {
            const bool owing = std::any_of(m_slots.begin(), m_slots.end(), [](const auto& s) {
                return s && !s->connecting && s->given < s->pending.size();
            });
            if (!owing || Clock::now() >= deadline) {
                break;
            }
            for (std::size_t slot = 0; slot < m_slots.size(); ++slot) {
                if (m_slots[slot] && m_slots[slot]->sourceWatched) {
                    WatchSource(slot, false);
                }
            }
            const int count =
                ::epoll_wait(m_epoll.Get(), ready.data(), static_cast<int>(ready.size()),
                             std::min(PollTimeoutUntil(deadline), 50));
            for (int i = 0; i < count; ++i) {
                const std::uint64_t data = ready[static_cast<std::size_t>(i)].data.u64;
                const auto role = static_cast<Role>(data & ((1u << kRoleBits) - 1));
                if (role == kDestination) {
                    Serve(data >> kRoleBits, role, ready[static_cast<std::size_t>(i)].events);
                }
            }
        }
        for (std::size_t slot = 0; slot < m_slots.size(); ++slot) {
            if (!m_slots[slot]) {
                continue;
            }
            if (m_slots[slot]->connecting) {
                Free(slot); // never connected: no stream ended
                continue;
            }
            Unsent(*m_slots[slot], m_slots[slot]->pending.size() - m_slots[slot]->given);
            End(slot, RelayEnd::Stopped, 0);
        }
    }

    RelayWorker& m_worker;
    const RelayPlan& m_plan;
    KeptAcrossStreams* const m_kept;
    UniqueFd m_ownListener;
    UniqueFd& m_listener;
    RefusedSources m_ownRefused;
    RefusedSources& m_refused;
    std::unique_ptr<PendingCloses> m_ownCloses;
    Endpoint m_endpoint;
    const std::unique_ptr<StreamBatch> m_batch;
    UniqueFd m_epoll;
    std::vector<std::unique_ptr<Stream>> m_slots;
    std::vector<std::size_t> m_freeSlots;
    std::vector<std::size_t> m_endedSlots;
    std::size_t m_count = 0;     // streams taken, connecting or connected
    std::size_t m_connected = 0; // connected on both sides
    std::uint64_t m_waiting = 0; // in the queue while every stream is taken
    bool m_full = false;
    bool m_saidWaiting = false;
    Clock::time_point m_nextDeadline = Clock::time_point::max();
};

} // namespace

void RunStreamSet(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept) {
    StreamSet(worker, plan, kept).Run();
}
