#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/descriptor_waits.h"
#include "platform/unique_fd.h"
#include "relay/allowed_sources.h"
#include "relay/endpoint.h"
#include "relay/refused_sources.h"
#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// Makes a non-blocking call that moves data (a receive, a send, a splice) until it moves some or
// fails: again at once when a signal interrupted it, and after `wait()` when it would block (no
// data, or no room). This is the one place that says how the relay takes those. `wait` returns
// false to give up, with errno saying why. The call's count (0 included), or -1 with errno.
template <typename Call, typename Wait> long MoveOrWait(Call call, Wait wait) {
    for (;;) {
        const long result = call();
        if (result >= 0) {
            return result;
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait()) {
            return -1;
        }
    }
}

// Where the bound socket `fd` is: the port the system chose when `requested` asked for port 0.
// `requested` when the system cannot say.
Endpoint BoundEndpoint(int fd, const Endpoint& requested);

// Asked of a UDP relay's receiving socket so that a stall of a few milliseconds loses nothing at
// 100 k/s; the kernel grants at most net.core.rmem_max.
inline constexpr int kUdpReceiveBufferBytes = 4 * 1024 * 1024;

// The socket a relay waits on, made ready: for TCP bound and listening, for UDP bound with a
// receive buffer large enough for a scheduling stall at full rate. Empty when a step fails, with
// errno saying why and `failed` naming the step. Made by the relay when it first needs it, or
// beforehand by a caller that must know the endpoint can be had before it stops a running relay
// (a reload), and put where the relay keeps its endpoint socket.
UniqueFd MakeEndpointSocket(RelayProtocol protocol, const Endpoint& endpoint, SetupStep& failed);

// Listens on `endpoint`, accepts exactly one connection from an allowed source and closes the
// listening socket at once. A connection from any other source is closed at once, counted and
// told to `refused` (one of its own when none is given), and the wait goes on. Where it waits (and
// so what it refused and accepted) is reported as the endpoint bound: for port 0, with the port
// the system chose. The connection is non-blocking. Empty when a step fails (recorded with the
// worker) or the worker was released first.
// With `kept`, the listening socket is that one instead: made on first use, left open and
// listening afterwards, so that a caller running one relay after another never stops listening.
UniqueFd AcceptOne(RelayWorker& worker, RelaySide side, const Endpoint& endpoint,
                   const AllowedSources& allowed = {}, UniqueFd* kept = nullptr,
                   RefusedSources* refused = nullptr);

// Stops a listening socket taking connections, from any thread: new ones are refused at once, those
// still queued are reset, and a wait for one returns. The descriptor stays open until its owner
// lets it go, so no other thread can find it reused meanwhile. Nothing for an empty handle.
void StopListening(const UniqueFd& listener);

// A non-blocking TCP socket connected to `endpoint`; empty when the connect fails (recorded with
// the worker), gets no answer within kConnectBound (ETIMEDOUT), or the worker was released.
UniqueFd ConnectOut(RelayWorker& worker, RelaySide side, const Endpoint& endpoint);

// How long a connect to the other side may wait for its answer.
inline constexpr std::chrono::seconds kConnectBound(10);

// Keepalive for a relay's TCP connection, so that a peer that vanished (its link gone: no close
// or reset will ever come) fails the connection within about a minute while nothing waits for
// it. Data on its way to a peer keeps the system from probing: PeerFellSilent tells then.
void WatchForVanishedPeer(const UniqueFd& connection);

// How long a peer may acknowledge nothing while data waits for it, and how often a relay looks.
inline constexpr std::chrono::seconds kSilenceBound(60);
inline constexpr std::chrono::seconds kSilenceCheckInterval(5);

// Bytes given to the connection `fd` that its peer has not acknowledged yet, sent or still queued.
std::uint64_t UnacknowledgedBytes(int fd);

// Whether the peer of the connection `fd` counts as vanished: data waits for it, the system is
// resending it or probing a closed window, and nothing came back for kSilenceBound. A peer that
// answers, however slowly it reads or however long its window stays closed, never does: its
// answers are acknowledgements too.
bool PeerFellSilent(int fd);

// What reading a TCP destination found: data never flows back, but what a destination sends is
// read and dropped, since data left unread would turn the final close into a reset.
enum class ReturnedData {
    Drained,     // read what was there (a bounded amount per call)
    EndOfStream, // the destination will send nothing more; it may still receive
    Failed,      // the connection failed; `error` says why
};
ReturnedData DropReturnedData(int fd, int& error);

// Closes a TCP destination so that it sees an orderly close after the last byte: the sending side
// is shut down first, then what the peer still sends is dropped until it closes too (or
// kCloseBound passes). Closing with unread input would reset the connection and cut the stream's
// tail. Waits on the calling thread; PendingCloses waits beside it.
void CloseOrderly(UniqueFd& destination);

// How long an orderly close waits for the peer's own close.
inline constexpr std::chrono::milliseconds kCloseBound(1000);

// Makes the close of `connection` a reset, for a peer that must learn that what it sent was not
// all delivered.
void ResetConnection(const UniqueFd& connection);

// The steps of an orderly close: shutting the sending side down, then reading what the peer still
// sends, which is true once the peer has closed too (or the connection failed): nothing is left
// to wait for.
void ShutDownSending(const UniqueFd& connection);
bool DrainedToTheEnd(int fd);
