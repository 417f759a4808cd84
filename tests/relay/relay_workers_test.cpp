#include "relay/relay.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "relay_test_links.h"

namespace {

using namespace relaytest;
using namespace std::string_literals;

RelaySide WaitSideOf(const WorkerCase& worker) {
    return worker.waitsOnServer ? RelaySide::Server : RelaySide::Client;
}

RelaySide OtherSideOf(const WorkerCase& worker) {
    return worker.waitsOnServer ? RelaySide::Client : RelaySide::Server;
}

std::string TextOf(const PeerEndpoint& endpoint) {
    return std::string(endpoint.address) + ":" + std::to_string(endpoint.port);
}

// The relay has ended with a failed set-up step, as recorded.
void ExpectSetupFailure(const Relay& relay, SetupStep step, RelaySide side,
                        const PeerEndpoint& endpoint, int error) {
    ASSERT_TRUE(relay.WaitUntilEnded(kTimeout));
    const RelayOutcome outcome = relay.Outcome();
    EXPECT_EQ(outcome.end, RelayEnd::SetupFailed);
    EXPECT_EQ(outcome.step, step);
    EXPECT_EQ(outcome.side, side);
    EXPECT_EQ(EndpointText(outcome.endpoint), TextOf(endpoint));
    EXPECT_EQ(outcome.error, error) << std::strerror(outcome.error);
}

// Every case also checks that the relay, whichever way it ended, left no socket or thread once
// it is let go.
class WorkerTest : public ::testing::TestWithParam<WorkerCase> {
protected:
    void SetUp() override {
        // Sanitizer runtimes start a helper thread of their own along with the first thread; let
        // that happen before counting.
        std::thread([] {}).join();
        m_fds = SettledCount("/proc/self/fd");
        m_threads = SettledCount("/proc/self/task");
    }

    void TearDown() override {
        if (link.relay) {
            link.relay->Stop();
            EXPECT_TRUE(link.relay->WaitUntilEnded(kTimeout)) << "a relay did not end after Stop";
        }
        link = Link{};
        EXPECT_EQ(SettledCount("/proc/self/fd"), m_fds) << "sockets left open";
        EXPECT_EQ(SettledCount("/proc/self/task"), m_threads) << "threads left running";
    }

    const WorkerCase& Worker() const { return GetParam(); }
    Relay& TheRelay() const { return *link.relay; }

    Link link;

private:
    std::size_t m_fds = 0;
    std::size_t m_threads = 0;
};

// Data goes one way only: into the worker's source side and out of the other side.
TEST_P(WorkerTest, RelaysInItsDirectionOnly) {
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    link = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(link.Ready());

    link.Send(Worker(), "ping");
    EXPECT_EQ(ReadForwarded(Worker(), link, 5), "ping\0"s);

    if (Worker().tcp) {
        // Whatever the destination peer writes never reaches the source peer.
        ASSERT_TRUE(SendAll(link.destination.Get(), "back"));
        const StreamRead back = ReadStream(link.source.Get(), 1, kQuiet);
        EXPECT_TRUE(back.data.empty());
        EXPECT_FALSE(back.closed);
    } else {
        // Forwarded datagrams come from a socket of their own, which never relays anything back.
        const sockaddr_in worker =
            MakeSocketAddress(link.relayEndpoint.address, link.relayEndpoint.port);
        link.Send(Worker(), "probe");
        const auto forwarded = ReceiveDatagram(link.destination.Get());
        ASSERT_TRUE(forwarded.has_value());
        EXPECT_NE(forwarded->from.sin_port, worker.sin_port);
        ::sendto(link.destination.Get(), "back", 4, 0, AsSockaddr(forwarded->from),
                 sizeof forwarded->from);
        EXPECT_FALSE(ReceiveDatagram(link.source.Get(), kQuiet).has_value());
        EXPECT_FALSE(ReceiveDatagram(link.destination.Get(), kQuiet).has_value());
    }
    EXPECT_EQ(TheRelay().Outcome().end, RelayEnd::Running);
}

struct TextCase {
    const char* name;
    std::vector<std::string> sent;      // each waits for the previous one to arrive
    std::vector<std::string> forwarded; // one per unit sent
};

// Every unit forwarded is the received data up to its first zero byte, plus that zero byte.
TEST_P(WorkerTest, ForwardsEachReceiveAsZeroTerminatedText) {
    const std::vector<TextCase> cases = {
        {"TerminatedText", {"HELLO\0"s}, {"HELLO\0"s}},
        {"ZeroAfterThreeBytes", {"abc\0def"s}, {"abc\0"s}},
        {"NoStaleTail", {"HELLO", "ab"}, {"HELLO\0"s, "ab\0"s}},
    };
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    link = StartLinked(Worker(), endpoints, {'S', 'T', 'A', 'L'});
    ASSERT_TRUE(link.Ready());

    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t i = 0; i < c.sent.size(); ++i) {
            link.Send(Worker(), c.sent[i]);
            EXPECT_EQ(ReadForwarded(Worker(), link, c.forwarded[i].size()), c.forwarded[i]);
        }
    }
    // Nothing was sent twice.
    if (Worker().tcp) {
        EXPECT_TRUE(ReadStream(link.destination.Get(), 1, kQuiet).data.empty());
    } else {
        EXPECT_FALSE(ReceiveDatagram(link.destination.Get(), kQuiet).has_value());
    }
}

// One receive takes at most 4095 bytes, so the zero put after it stays inside the buffer.
TEST_P(WorkerTest, LongDataIsCutInto4095ByteUnits) {
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    link = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(link.Ready());

    const std::string data(5000, 'x');
    link.Send(Worker(), data);
    if (Worker().tcp) {
        // The stream's split is up to the system; every unit is at most 4095 bytes and ends in a
        // zero, and all input arrives.
        std::string units;
        while (JoinUnits(units).size() < data.size()) {
            const StreamRead read = ReadStream(link.destination.Get(), 1);
            ASSERT_FALSE(read.data.empty()) << "after " << JoinUnits(units).size() << " bytes";
            units += read.data;
        }
        // Read up to the last unit's zero.
        while (units.back() != '\0') {
            const StreamRead read = ReadStream(link.destination.Get(), 1);
            ASSERT_FALSE(read.data.empty());
            units += read.data;
        }
        bool wellFormed = false;
        EXPECT_EQ(JoinUnits(units, &wellFormed), data);
        EXPECT_TRUE(wellFormed) << "a unit empty or longer than 4095 bytes";
    } else {
        EXPECT_EQ(ReadForwarded(Worker(), link, 4096), std::string(4095, 'x') + '\0');
    }
}

// A relay whose endpoint is taken ends by itself and sends nothing.
TEST_P(WorkerTest, EndpointInUseEndsTheWorker) {
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    const PeerEndpoint taken = endpoints.WaitSide(Worker());
    const PeerEndpoint other = endpoints.OtherSide(Worker());
    UniqueFd occupant =
        Worker().tcp ? ListenOn(taken.address, taken.port) : BindUdp(taken.address, taken.port);
    ASSERT_TRUE(occupant.Valid());
    UniqueFd otherPeer =
        Worker().tcp ? ListenOn(other.address, other.port) : BindUdp(other.address, other.port);
    ASSERT_TRUE(otherPeer.Valid());

    link.relay = StartRelay(endpoints.Plan(Worker()));

    ExpectSetupFailure(TheRelay(), SetupStep::Bind, WaitSideOf(Worker()), taken, EADDRINUSE);
    EXPECT_FALSE(Readable(otherPeer.Get(), kQuiet)) << "the relay reached the other side";
}

// An address that belongs to no interface of this machine cannot be bound; nothing is sent.
TEST_P(WorkerTest, AddressNotOnThisMachineEndsTheWorker) {
    Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    (Worker().waitsOnServer ? endpoints.server : endpoints.client).address = "192.0.2.1";
    const PeerEndpoint waitSide = endpoints.WaitSide(Worker());

    link.relay = StartRelay(endpoints.Plan(Worker()));

    ExpectSetupFailure(TheRelay(), SetupStep::Bind, WaitSideOf(Worker()), waitSide, EADDRNOTAVAIL);
}

INSTANTIATE_TEST_SUITE_P(AllWorkers, WorkerTest, ::testing::ValuesIn(kAllWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });

class TcpWorkerTest : public WorkerTest {};

// The connection already accepted is closed in order when the other side refuses.
TEST_P(TcpWorkerTest, RefusedConnectEndsTheWorker) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const PeerEndpoint waitSide = endpoints.WaitSide(Worker());
    link.relay = StartRelay(endpoints.Plan(Worker()));
    UniqueFd peer = ConnectWithin(waitSide.address, waitSide.port);
    ASSERT_TRUE(peer.Valid());

    ExpectSetupFailure(TheRelay(), SetupStep::Connect, OtherSideOf(Worker()),
                       endpoints.OtherSide(Worker()), ECONNREFUSED);
    const StreamRead read = ReadUntilClosed(peer.Get());
    EXPECT_TRUE(read.closed);
    EXPECT_EQ(read.data, "");
}

struct CloseCase {
    const char* name;
    std::string sentBeforeClose;
    std::string forwarded;
};

// When the source peer closes, the worker ends: no stale or repeated data, an orderly close at
// the destination. Until then, a silent source makes the worker send nothing.
TEST_P(TcpWorkerTest, SourceClosedByItsPeerEndsTheWorker) {
    const CloseCase cases[] = {{"AfterData", "last", "last\0"s}, {"WithoutData", "", ""}};
    for (const CloseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Endpoints endpoints = Endpoints::Pick(true);
        link = StartLinked(Worker(), endpoints);
        ASSERT_TRUE(link.Ready());

        if (c.sentBeforeClose.empty()) {
            EXPECT_TRUE(ReadStream(link.destination.Get(), 1, kQuiet).data.empty());
            EXPECT_EQ(TheRelay().Outcome().end, RelayEnd::Running);
        } else {
            link.Send(Worker(), c.sentBeforeClose);
        }
        link.source.Reset();

        const StreamRead read = ReadUntilClosed(link.destination.Get());
        EXPECT_TRUE(read.closed);
        EXPECT_FALSE(read.reset);
        EXPECT_EQ(read.data, c.forwarded);
        link.destination.Reset();
        EXPECT_TRUE(TheRelay().WaitUntilEnded(kTimeout));
        EXPECT_EQ(TheRelay().Outcome().end, RelayEnd::SourceClosed);
    }
}

// Data that arrives faster than one unit at a time is cut exactly as successive receives of at most
// 4095 bytes would cut it, and leaves the buffer (and the lamps) as they would.
TEST_P(TcpWorkerTest, MoreThanAUnitWaitingIsCutAndBufferedAsSuccessiveReceivesWould) {
    const Endpoints endpoints = Endpoints::Pick(true);
    link = StartLinked(Worker(), endpoints, {'S', 'T', 'A', 'L'});
    ASSERT_TRUE(link.Ready());

    link.Send(Worker(), std::string(4095, 'a') + "bc");
    EXPECT_EQ(ReadForwarded(Worker(), link, 4099), std::string(4095, 'a') + "\0bc\0"s);
    EXPECT_EQ(TheRelay().Head(), (BufferHead{'b', 'c', 0, 'a'}));

    // A zero inside the first unit ends its text there; the second unit starts 4095 bytes in, as
    // a second receive would, and the third after 4095 more.
    link.Send(Worker(), "abc\0def"s + std::string(4088 + 4095, 'x') + "yz");
    EXPECT_EQ(ReadForwarded(Worker(), link, 4 + 4096 + 3),
              "abc\0"s + std::string(4095, 'x') + "\0yz\0"s);
    EXPECT_EQ(TheRelay().Head(), (BufferHead{'y', 'z', 0, 'x'}));
}

// A destination that went away ends the relay. A reset is noticed at once, even while the source
// is idle; a plain close reads like a half-close (the destination says it will send nothing
// more), so the relay goes on until a send fails, which must not kill the process.
TEST_P(TcpWorkerTest, DestinationGoneEndsTheWorker) {
    for (const bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "Reset" : "Closed");
        const Endpoints endpoints = Endpoints::Pick(true);
        link = StartLinked(Worker(), endpoints);
        ASSERT_TRUE(link.Ready());
        if (reset) {
            ResetConnection(link.destination);
            EXPECT_TRUE(TheRelay().WaitUntilEnded(1s));
        } else {
            link.destination.Reset();
            EXPECT_FALSE(TheRelay().WaitUntilEnded(kQuiet)) << "a close while idle ended it";
            EXPECT_TRUE(WaitUntil([&] {
                SendAll(link.source.Get(), "more");
                return TheRelay().Outcome().end != RelayEnd::Running;
            }));
        }
        EXPECT_TRUE(ReadUntilClosed(link.source.Get()).closed);
        EXPECT_TRUE(TheRelay().WaitUntilEnded(kTimeout));
        EXPECT_EQ(TheRelay().Outcome().end, RelayEnd::DestinationGone);
    }
}

// Sends the stream from the source, then ends it as a peer does that has said all it had to say.
std::thread SendThenEnd(const Link& link, const std::string& data) {
    return std::thread([&link, &data] {
        SendAll(link.source.Get(), data);
        ::shutdown(link.source.Get(), SHUT_WR);
    });
}

std::atomic<int> g_signalsHandled{0};

void CountSignal(int /*signal*/) {
    g_signalsHandled.fetch_add(1, std::memory_order_relaxed);
}

// A signal handler that runs on the worker's thread interrupts its receives and sends (no
// automatic restart): the stream still arrives whole, cut only into the units of the zero rule.
TEST_P(TcpWorkerTest, StreamArrivesWholeWhileSignalsInterruptTheWorker) {
    struct sigaction action {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    const std::vector<int> before = ThreadIds();
    const Endpoints endpoints = Endpoints::Pick(true);
    link = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(link.Ready());
    std::vector<int> started;
    for (const int id : ThreadIds()) {
        if (std::find(before.begin(), before.end(), id) == before.end()) {
            started.push_back(id);
        }
    }
    ASSERT_EQ(started.size(), 1U) << "cannot tell the worker's thread";

    const std::string data = StreamWithoutZeros(16U << 20);
    std::thread source = SendThenEnd(link, data);
    std::atomic<bool> done{false};
    g_signalsHandled = 0;
    std::thread signaller([&] {
        for (int i = 0; i < 200000 && !done.load(); ++i) {
            ::syscall(SYS_tgkill, ::getpid(), started[0], SIGUSR1);
            std::this_thread::sleep_for(20us);
        }
    });
    // A slow reader keeps the worker's sends waiting, where the signals catch them.
    StreamRead read;
    for (int slice = 0; !read.closed && slice < 4000; ++slice) {
        const StreamRead part = ReadStream(link.destination.Get(), 64 * 1024, 10s);
        read.data += part.data;
        read.closed = part.closed;
        read.reset = part.reset;
        if (part.data.empty() && !part.closed) {
            break;
        }
        std::this_thread::sleep_for(200us);
    }
    done = true;
    signaller.join();
    source.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GT(g_signalsHandled.load(), 0);
    EXPECT_TRUE(read.closed);
    EXPECT_FALSE(read.reset);
    bool wellFormed = false;
    const std::string joined = JoinUnits(read.data, &wellFormed);
    EXPECT_TRUE(wellFormed);
    EXPECT_EQ(joined.size(), data.size());
    EXPECT_TRUE(joined == data) << "the stream arrived changed";
}

// Data never flows back, but a destination that wrote some still receives the whole stream and
// then an orderly close, not a reset that would cut the stream's tail.
TEST_P(TcpWorkerTest, DestinationThatWroteBackGetsTheWholeStreamAndAnOrderlyClose) {
    const Endpoints endpoints = Endpoints::Pick(true);
    link = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(link.Ready());
    ASSERT_TRUE(SendAll(link.destination.Get(), "back"));

    const std::string data = StreamWithoutZeros(8U << 20);
    std::thread source = SendThenEnd(link, data);
    const StreamRead read = ReadUntilClosed(link.destination.Get(), 30s);
    source.join();

    EXPECT_TRUE(read.closed);
    EXPECT_FALSE(read.reset);
    const std::string joined = JoinUnits(read.data);
    EXPECT_EQ(joined.size(), data.size());
    EXPECT_TRUE(joined == data) << "the stream arrived changed";
}

INSTANTIATE_TEST_SUITE_P(TcpWorkers, TcpWorkerTest, ::testing::ValuesIn(kTcpWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });

// An empty datagram is data, not the end of the relay.
TEST(UdpWorkerTest, EmptyDatagramIsForwardedAsOneZeroByte) {
    const Endpoints endpoints = Endpoints::Pick(false);
    const Link link = StartLinked(kUdpServerToClient, endpoints);
    ASSERT_TRUE(link.Ready());

    link.Send(kUdpServerToClient, "");
    EXPECT_EQ(ReadForwarded(kUdpServerToClient, link, 1), "\0"s);
    link.Send(kUdpServerToClient, "next");
    EXPECT_EQ(ReadForwarded(kUdpServerToClient, link, 5), "next\0"s);
}

// Datagrams that queue up faster than the worker takes them are still forwarded one by one, in
// order, each as its own text; the buffer ends as if they had been received one at a time.
TEST(UdpWorkerTest, QueuedDatagramsAreForwardedOneByOneInOrder) {
    const Endpoints endpoints = Endpoints::Pick(false);
    const Link link = StartLinked(kUdpClientToServer, endpoints);
    ASSERT_TRUE(link.Ready());

    std::vector<std::string> sent;
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        const std::string number = std::to_string(i);
        if (i >= 60 && i < 90) {
            // Runs of one length, and runs that end in a shorter one, as the relay may send
            // them in one call: each must still arrive as a datagram of its own.
            sent.push_back(number + std::string(i < 80 ? 509 : 100 - (i % 2) * 50, 'r'));
            expected.push_back(sent.back() + '\0');
        } else if (i % 10 == 0) {
            sent.push_back("");
            expected.push_back("\0"s);
        } else if (i % 3 == 0) {
            sent.push_back(number + "\0tail"s);
            expected.push_back(number + '\0');
        } else {
            sent.push_back(number + std::string(static_cast<std::size_t>(i), 'x'));
            expected.push_back(sent.back() + '\0');
        }
    }
    sent.insert(sent.end(), {"WXYZ", "q"});
    expected.insert(expected.end(), {"WXYZ\0"s, "q\0"s});
    ASSERT_EQ(
        SendDatagrams(link.source.Get(), sent, link.relayEndpoint.address, link.relayEndpoint.port),
        static_cast<int>(sent.size()));

    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(ReadForwarded(kUdpClientToServer, link, expected[i].size()), expected[i])
            << "datagram " << i;
    }
    EXPECT_EQ(link.relay->Head(), (BufferHead{'q', 0, 'Y', 'Z'}));
}

} // namespace
