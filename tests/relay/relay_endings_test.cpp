// How a TCP stream through the relay ends, on real sockets: whatever the destination does and
// whenever Stop comes, every unit that arrives is whole, what arrives is the source's stream in
// order, and the destination sees an orderly close unless it reset the connection itself.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "relay/pending_closes.h"
#include "relay_test_links.h"

namespace {

using namespace relaytest;
using namespace std::string_literals;

constexpr std::size_t kNever = std::string::npos;

// What a destination does while it reads the stream.
struct DestinationBehaviour {
    std::size_t halfCloseAfter = kNever; // says it will send nothing more, after this many bytes
    std::size_t resetAfter = kNever;     // resets the connection after this many bytes
    bool echo = false;                   // writes back everything it reads, blocking
};

// What a destination read, and how its connection ended.
struct Arrival {
    std::string data;
    bool closed = false;
    bool reset = false;
};

Arrival ReadAsDestination(UniqueFd& socket, const DestinationBehaviour& behaviour,
                          std::chrono::milliseconds timeout) {
    Arrival arrival;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[65536];
    bool halfClosed = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!halfClosed && arrival.data.size() >= behaviour.halfCloseAfter) {
            ::shutdown(socket.Get(), SHUT_WR);
            halfClosed = true;
        }
        if (arrival.data.size() >= behaviour.resetAfter) {
            ResetConnection(socket);
            arrival.reset = true;
            return arrival;
        }
        if (!Readable(socket.Get(), 100ms)) {
            continue;
        }
        const ssize_t got = ::recv(socket.Get(), chunk, sizeof chunk, 0);
        if (got <= 0) {
            arrival.closed = true;
            arrival.reset = got < 0;
            return arrival;
        }
        arrival.data.append(chunk, static_cast<std::size_t>(got));
        if (behaviour.echo && !halfClosed) {
            SendAll(socket.Get(), std::string_view(chunk, static_cast<std::size_t>(got)));
        }
    }
    return arrival;
}

struct EndingCase {
    const char* name;
    std::size_t streamBytes;
    DestinationBehaviour destination;
    std::size_t stopAfter; // Stop once this much has arrived
    RelayEnd end;
    bool everythingArrives;
};

void PrintTo(const EndingCase& c, std::ostream* out) {
    *out << c.name;
}

class StreamEndingTest : public ::testing::TestWithParam<EndingCase> {};

TEST_P(StreamEndingTest, UnitsStayWholeAndTheCloseIsOrderly) {
    const EndingCase& c = GetParam();
    for (const WorkerCase& worker : kTcpWorkers) {
        SCOPED_TRACE(worker.name);
        const Endpoints endpoints = Endpoints::Pick(true);
        Link link = StartLinked(worker, endpoints);
        ASSERT_TRUE(link.Ready());

        const std::string data = StreamWithoutZeros(c.streamBytes);
        std::thread source([&] {
            SendAll(link.source.Get(), data);
            ::shutdown(link.source.Get(), SHUT_WR);
        });
        std::thread stopper;
        if (c.stopAfter != kNever) {
            stopper = std::thread([&] {
                WaitUntil([&] { return link.relay->Status().bytesForwarded >= c.stopAfter; }, 30s);
                link.relay->Stop();
            });
        }
        Arrival arrival = ReadAsDestination(link.destination, c.destination, 60s);
        // A peer closes once it has read the end of the stream.
        link.destination.Reset();
        // A destination that resets stops reading wherever it is, perhaps inside a unit: what
        // arrived whole ends at the last zero.
        if (arrival.reset) {
            arrival.data.resize(arrival.data.find_last_of('\0') + 1);
        }
        // A source still sending into a relay that ended is released.
        ::shutdown(link.source.Get(), SHUT_RDWR);
        source.join();
        if (stopper.joinable()) {
            stopper.join();
        }

        ASSERT_TRUE(link.relay->WaitUntilEnded(kTimeout));
        EXPECT_EQ(link.relay->Outcome().end, c.end);
        bool wellFormed = false;
        const std::string joined = JoinUnits(arrival.data, &wellFormed);
        EXPECT_TRUE(wellFormed) << "a unit arrived torn or empty";
        EXPECT_TRUE(data.compare(0, joined.size(), joined) == 0)
            << "the arrived stream is not the source's";
        if (c.everythingArrives) {
            EXPECT_EQ(joined.size(), data.size());
        }
        if (c.destination.resetAfter == kNever) {
            EXPECT_TRUE(arrival.closed);
            EXPECT_FALSE(arrival.reset) << "the destination saw a reset, not an orderly close";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, StreamEndingTest,
    ::testing::Values(EndingCase{"DestinationHalfClosesAtOnce",
                                 10U << 20,
                                 {0, kNever, false},
                                 kNever,
                                 RelayEnd::SourceClosed,
                                 true},
                      EndingCase{"DestinationHalfClosesAfter1MB",
                                 10U << 20,
                                 {1U << 20, kNever, false},
                                 kNever,
                                 RelayEnd::SourceClosed,
                                 true},
                      EndingCase{"DestinationEchoesEverything",
                                 64U << 20,
                                 {kNever, kNever, true},
                                 kNever,
                                 RelayEnd::SourceClosed,
                                 true},
                      EndingCase{"DestinationResetsMidStream",
                                 64U << 20,
                                 {kNever, 1U << 20, false},
                                 kNever,
                                 RelayEnd::DestinationGone,
                                 false},
                      EndingCase{
                          "StopMidStream", 64U << 20, {}, 1U << 20, RelayEnd::Stopped, false},
                      EndingCase{"StopMidStreamWhileTheDestinationEchoes",
                                 64U << 20,
                                 {kNever, kNever, true},
                                 1U << 20,
                                 RelayEnd::Stopped,
                                 false}),
    [](const auto& tested) { return std::string(tested.param.name); });

class IdleLimitTest : public ::testing::TestWithParam<WorkerCase> {};

// With an idle limit, a stream on which nothing moved for that long ends, whether the source is
// quiet or the destination takes nothing, and the destination sees an orderly close; a stream
// whose data keeps moving outlives the limit many times over.
TEST_P(IdleLimitTest, EndsAStreamOnWhichNothingMovedForTheLimit) {
    const WorkerCase& worker = GetParam();
    for (const bool destinationStuck : {false, true}) {
        SCOPED_TRACE(destinationStuck ? "the destination takes nothing" : "the source is quiet");
        const Endpoints endpoints = Endpoints::Pick(true);
        RelayPlan plan = endpoints.Plan(worker);
        plan.idleLimit = std::chrono::seconds(1);
        Link link = StartLinked(worker, endpoints, {}, plan);
        ASSERT_TRUE(link.Ready());

        // Moving: a unit every fifth of the limit, for two limits.
        for (int unit = 0; unit < 10; ++unit) {
            link.Send(worker, "x");
            ASSERT_EQ(ReadForwarded(worker, link, 2), std::string("x\0", 2));
            std::this_thread::sleep_for(200ms);
        }
        EXPECT_EQ(link.relay->Outcome().end, RelayEnd::Running);

        std::thread source;
        if (destinationStuck) {
            // More than the buffers between the relay and the destination hold.
            source =
                std::thread([&] { SendAll(link.source.Get(), StreamWithoutZeros(64U << 20)); });
        }
        ASSERT_TRUE(link.relay->WaitUntilEnded(10s));
        EXPECT_EQ(link.relay->Outcome().end, RelayEnd::Idle);
        EXPECT_EQ(DescribeRelayEnd(link.relay->Outcome()), "空闲超时, 已断开");
        const StreamRead rest = ReadUntilClosed(link.destination.Get(), 10s);
        EXPECT_TRUE(rest.closed);
        EXPECT_FALSE(rest.reset);
        ::shutdown(link.source.Get(), SHUT_RDWR);
        if (source.joinable()) {
            source.join();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TcpWorkers, IdleLimitTest, ::testing::ValuesIn(kTcpWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });

class PendingCloseTest : public ::testing::TestWithParam<WorkerCase> {};

// With what a service keeps from one stream to the next, the wait for a destination's own close
// goes on beside the relay: the stream ends as soon as it is over, and the next one is served
// while the destination before it still holds its connection open after the relay's close. What
// it sends meanwhile is read, so its own close, whenever it comes, finds an orderly end.
TEST_P(PendingCloseTest, TheNextStreamIsServedWhileTheEndingBeforeItWaits) {
    const WorkerCase& worker = GetParam();
    // Far beyond anything this test waits for: only the order of events counts.
    KeptAcrossStreams kept(60s);
    const Endpoints endpoints = Endpoints::Pick(true);

    Link first = StartLinked(worker, endpoints, {}, std::nullopt, {}, &kept);
    ASSERT_TRUE(first.Ready());
    ASSERT_TRUE(SendAll(first.source.Get(), "one"));
    EXPECT_EQ(ReadStream(first.destination.Get(), 4).data, "one\0"s);
    first.source.Reset();
    // The relay's close arrived; the first destination keeps its connection open.
    EXPECT_TRUE(ReadUntilClosed(first.destination.Get()).closed);
    ASSERT_TRUE(first.relay->WaitUntilEnded(kTimeout));
    EXPECT_EQ(first.relay->Outcome().end, RelayEnd::SourceClosed);
    EXPECT_EQ(kept.closes.Waiting(), 1U);

    Link second = StartLinked(worker, endpoints, {}, std::nullopt, {}, &kept);
    ASSERT_TRUE(second.Ready());
    ASSERT_TRUE(SendAll(second.source.Get(), "two"));
    EXPECT_EQ(ReadStream(second.destination.Get(), 4).data, "two\0"s);
    EXPECT_EQ(kept.closes.Waiting(), 1U) << "the first ending no longer waits";

    // The first destination talks on, then closes: the wait ends, and no reset came.
    ASSERT_TRUE(SendAll(first.destination.Get(), "late words"));
    first.destination.Reset();
    EXPECT_TRUE(WaitUntil([&] { return kept.closes.Waiting() == 0; }));
    second.source.Reset();
    EXPECT_TRUE(ReadUntilClosed(second.destination.Get()).closed);
}

INSTANTIATE_TEST_SUITE_P(TcpWorkers, PendingCloseTest, ::testing::ValuesIn(kTcpWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });

// Closes still waiting when their owner goes (a process ending) finish within their bound, and a
// peer that never closes still gets an orderly close: what it sent is read first, so nothing is
// reset for data left unread.
TEST(PendingClosesTest, AnOwnerGoingLetsEveryCloseFinishOrderly) {
    const int port = FreePort(kServerAddress, SOCK_STREAM);
    const UniqueFd listener = ListenOn(kServerAddress, port);
    std::vector<UniqueFd> peers;
    {
        PendingCloses closes(200ms);
        for (int i = 0; i < 3; ++i) {
            UniqueFd peer = ConnectWithin(kServerAddress, port);
            UniqueFd ours = AcceptWithin(listener.Get());
            ASSERT_TRUE(peer.Valid() && ours.Valid());
            // Unread when it is handed over: a plain close would reset the connection.
            ASSERT_TRUE(SendAll(peer.Get(), std::string(10000, 'u')));
            ASSERT_TRUE(WaitUntil([&] { return Readable(ours.Get(), 0ms); }));
            closes.Add(std::move(ours));
            peers.push_back(std::move(peer));
        }
        EXPECT_EQ(closes.Waiting(), 3U);
    }
    for (UniqueFd& peer : peers) {
        const StreamRead read = ReadUntilClosed(peer.Get());
        EXPECT_TRUE(read.closed);
        EXPECT_FALSE(read.reset);
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(peer.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
        EXPECT_EQ(error, 0) << std::strerror(error);
    }
}

} // namespace
