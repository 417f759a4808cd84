// Destinations that are alive but take their time: one reads 1 KiB a second, one stops reading
// for longer than a minute with every buffer full. Their windows stay closed for over a minute at
// a time while they answer every probe; neither may be taken for a vanished peer. The four cases
// (both forwardings, both relay directions) run at once, so the test takes about as long as its
// slowest reader.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "relay_test_links.h"

namespace {

using namespace relaytest;
using Clock = std::chrono::steady_clock;

// More than every buffer between the source and the destination holds, so the source stays
// blocked and the destination's window closed while the reader dawdles.
constexpr std::size_t kStreamSize = 1 << 20;

struct Dawdler {
    const char* name;
    WorkerCase worker;
    ForwardMode forward;
    // Reads `slowBytesPerSecond` for `slowFor` (0: none), or reads `beforePause` bytes and then
    // nothing for `pause`; then everything that is left, at once.
    std::size_t slowBytesPerSecond;
    std::chrono::seconds slowFor;
    std::size_t beforePause;
    std::chrono::seconds pause;
};

// What a destination read, and how its stream ended.
struct Received {
    StreamRead read;
    double seconds = 0;
};

Received ReadLikeA(const Dawdler& reader, int destination) {
    Received received;
    const auto start = Clock::now();
    if (reader.slowFor.count() != 0) {
        for (auto tick = start; tick < start + reader.slowFor; tick += std::chrono::seconds(1)) {
            std::this_thread::sleep_until(tick);
            // One receive of at most a second's share: the window reopens no faster than that.
            char chunk[4096];
            const ssize_t got = Readable(destination, 2s)
                                    ? ::recv(destination, chunk,
                                             std::min(sizeof chunk, reader.slowBytesPerSecond), 0)
                                    : 0;
            if (got <= 0) {
                received.read.closed = true;
                received.read.reset = got < 0;
                return received;
            }
            received.read.data.append(chunk, static_cast<std::size_t>(got));
        }
    } else {
        received.read = ReadStream(destination, reader.beforePause, 10s);
        std::this_thread::sleep_for(reader.pause);
    }
    const StreamRead rest = ReadUntilClosed(destination, 30s);
    received.read.data += rest.data;
    received.read.closed = rest.closed;
    received.read.reset = rest.reset;
    received.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return received;
}

TEST(SlowReaderTest, ALiveButSlowOrPausedDestinationGetsEveryByte) {
    const Dawdler readers[] = {
        {"SlowBytesClientToServer", kTcpClientToServer, ForwardMode::Bytes, 1024, 150s, 0, 0s},
        {"SlowTextServerToClient", kTcpServerToClient, ForwardMode::Text, 1024, 150s, 0, 0s},
        {"PausedTextClientToServer", kTcpClientToServer, ForwardMode::Text, 0, 0s, 64 << 10, 70s},
        {"PausedBytesServerToClient", kTcpServerToClient, ForwardMode::Bytes, 0, 0s, 64 << 10, 70s},
    };
    const std::string data = StreamWithoutZeros(kStreamSize);
    struct Run {
        Link link;
        std::thread source;
        std::thread destination;
        StreamRead sourceEnd;
        Received received;
    };
    std::vector<Run> runs(std::size(readers));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Dawdler& reader = readers[i];
        SCOPED_TRACE(reader.name);
        const Endpoints endpoints = Endpoints::Pick(true);
        RelayPlan plan = endpoints.Plan(reader.worker);
        plan.forward = reader.forward;
        Run& run = runs[i];
        run.link = StartLinked(reader.worker, endpoints, {}, plan);
        ASSERT_TRUE(run.link.Ready());
        // The source sends everything, closes its sending side and waits for the relay's close.
        run.source = std::thread([&run, &data] {
            SendAll(run.link.source.Get(), data);
            ::shutdown(run.link.source.Get(), SHUT_WR);
            run.sourceEnd = ReadUntilClosed(run.link.source.Get(), 240s);
        });
        run.destination = std::thread(
            [&run, &reader] { run.received = ReadLikeA(reader, run.link.destination.Get()); });
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        Run& run = runs[i];
        SCOPED_TRACE(readers[i].name);
        run.source.join();
        run.destination.join();
        const std::string& got = run.received.read.data;
        const std::string arrived = readers[i].forward == ForwardMode::Text ? JoinUnits(got) : got;
        std::printf("%s: %zu bytes sent, %zu received (%zu forwarded) in %.1f s\n", readers[i].name,
                    data.size(), arrived.size(), got.size(), run.received.seconds);
        EXPECT_TRUE(run.received.read.closed && !run.received.read.reset)
            << "the destination's stream did not end in order";
        EXPECT_TRUE(run.sourceEnd.closed && !run.sourceEnd.reset)
            << "the source's connection did not end in order";
        EXPECT_EQ(arrived.size(), data.size());
        EXPECT_TRUE(arrived == data) << "the stream differs from what was sent";
        ASSERT_TRUE(run.link.relay->WaitUntilEnded(5s));
        const RelayOutcome outcome = run.link.relay->Outcome();
        EXPECT_EQ(outcome.end, RelayEnd::SourceClosed) << DescribeRelayEnd(outcome);
        EXPECT_EQ(outcome.error, 0) << DescribeRelayEnd(outcome);
    }
}

} // namespace
