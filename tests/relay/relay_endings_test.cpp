// How a TCP stream through the relay ends, on real sockets: whatever the destination does and
// whenever Stop comes, every unit that arrives is whole, what arrives is the source's stream in
// order, and the destination sees an orderly close unless it reset the connection itself.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "relay_test_links.h"

namespace {

using namespace relaytest;

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

Arrival ReadAsDestination(SocketHandle& socket, const DestinationBehaviour& behaviour,
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
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

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
                         [](const auto& info) { return CaseName(info.param); });

} // namespace
