// What passes a relay and from whom: bytes forwarded unchanged when the plan says so, and only
// allowed sources served.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "relay/refused_sources.h"
#include "relay/relay_description.h"
#include "relay_test_links.h"

namespace {

using namespace relaytest;
using namespace std::string_literals;

Endpoints PickFor(const WorkerCase& worker) {
    return Endpoints::Pick(worker.tcp);
}

RelayPlan BytesPlan(const WorkerCase& worker, const Endpoints& endpoints) {
    RelayPlan plan = endpoints.Plan(worker);
    plan.forward = ForwardMode::Bytes;
    return plan;
}

class BytesTest : public ::testing::TestWithParam<WorkerCase> {};

// Bytes mode: the stream arrives byte for byte, zeros and all, with the orderly close at its end;
// the counters count the payload and the lamps show the first bytes of recent data.
TEST_P(BytesTest, StreamOrDatagramsArriveUnchanged) {
    const WorkerCase& worker = GetParam();
    const Endpoints endpoints = PickFor(worker);
    Link link = StartLinked(worker, endpoints, {}, BytesPlan(worker, endpoints));
    ASSERT_TRUE(link.Ready());

    if (worker.tcp) {
        const std::string data = RandomBytes(16U << 20, 11);
        std::thread source([&] {
            SendAll(link.source.Get(), data);
            ::shutdown(link.source.Get(), SHUT_WR);
        });
        const StreamRead read = ReadUntilClosed(link.destination.Get(), 30s);
        source.join();
        EXPECT_TRUE(read.closed);
        EXPECT_FALSE(read.reset);
        EXPECT_EQ(read.data.size(), data.size());
        EXPECT_TRUE(read.data == data) << "the stream arrived changed";
        ASSERT_TRUE(link.relay->WaitUntilEnded(kTimeout));
        EXPECT_EQ(link.relay->Outcome().bytesForwarded, data.size());
        return;
    }
    std::size_t total = 0;
    for (const std::size_t size : {0U, 1U, 4095U, 4096U, 65507U}) {
        SCOPED_TRACE(size);
        std::string datagram = RandomBytes(size, static_cast<unsigned>(size));
        if (size > 2) {
            datagram[1] = '\0';
            datagram[size - 1] = '\0';
        }
        link.Send(worker, datagram);
        const auto forwarded = ReceiveDatagram(link.destination.Get());
        ASSERT_TRUE(forwarded.has_value());
        EXPECT_EQ(forwarded->data.size(), size);
        EXPECT_TRUE(forwarded->data == datagram) << "the datagram arrived changed";
        total += size;
    }
    EXPECT_TRUE(WaitUntil([&] { return link.relay->Status().datagramsForwarded == 5; }));
    EXPECT_EQ(link.relay->Status().bytesForwarded, total);
    EXPECT_EQ(link.relay->Status().datagramsCut, 0U);
    link.Send(worker, "\x01\x02\x03"s);
    ASSERT_TRUE(ReceiveDatagram(link.destination.Get()).has_value());
    // No zero is put after data that is forwarded as it is: the fourth byte is the last one's.
    const std::string last = RandomBytes(65507, 65507);
    EXPECT_EQ(link.relay->Head(), (BufferHead{1, 2, 3, static_cast<std::uint8_t>(last[3])}));
}

// Bytes forwarded as they are end as text does: a destination that only half-closes still gets
// everything, one that resets ends the relay (and, with no signal raised, not the process).
class BytesStreamTest : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(BytesStreamTest, EndingsOfABytesStream) {
    const WorkerCase& worker = GetParam();
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "destination resets" : "destination half-closes");
        const Endpoints endpoints = PickFor(worker);
        Link link = StartLinked(worker, endpoints, {}, BytesPlan(worker, endpoints));
        ASSERT_TRUE(link.Ready());
        ::shutdown(link.destination.Get(), SHUT_WR);
        const std::string data = RandomBytes(8U << 20, 5);
        std::thread source([&] {
            SendAll(link.source.Get(), data);
            ::shutdown(link.source.Get(), SHUT_WR);
        });
        const StreamRead read = ReadStream(link.destination.Get(), reset ? 1U << 20 : data.size());
        if (reset) {
            ResetConnection(link.destination);
        }
        ASSERT_TRUE(link.relay->WaitUntilEnded(10s));
        ::shutdown(link.source.Get(), SHUT_RDWR);
        source.join();
        EXPECT_EQ(link.relay->Outcome().end,
                  reset ? RelayEnd::DestinationGone : RelayEnd::SourceClosed);
        EXPECT_TRUE(data.compare(0, read.data.size(), read.data) == 0);
        if (!reset) {
            EXPECT_EQ(read.data.size(), data.size());
        }
    }
}

class TextCutTest : public ::testing::TestWithParam<WorkerCase> {};

// Text mode with binary data: each unit is forwarded up to its first zero, what follows that zero
// is counted byte for byte, and the first cut is reported once however many follow. Each unit is
// sent only once the one before it has arrived, so a unit is exactly what one send carried.
TEST_P(TextCutTest, BytesAfterTheFirstZeroAreCountedAndTheFirstCutReportedOnce) {
    const WorkerCase& worker = GetParam();
    const Endpoints endpoints = PickFor(worker);
    std::atomic<int> cutEvents{0};
    const RelayEventSink events = [&](const RelayEvent& event) {
        cutEvents += event.kind == RelayEvent::Kind::TextCut ? 1 : 0;
    };
    Link link = StartLinked(worker, endpoints, {}, std::nullopt, events);
    ASSERT_TRUE(link.Ready());

    std::mt19937 random(27);
    std::size_t dropped = 0;
    std::size_t forwardedTotal = 0;
    for (int unit = 0; unit < 60; ++unit) {
        SCOPED_TRACE(unit);
        const std::size_t size = 1 + random() % 4095;
        std::string data = RandomBytes(size, static_cast<unsigned>(unit));
        std::replace(data.begin(), data.end(), '\0', 'z');
        // The first units have no zero of their own, later every fourth; the others have one
        // somewhere, often first.
        if (unit >= 3 && unit % 4 != 3) {
            data[unit % 4 == 0 ? 0 : random() % size] = '\0';
        }
        const std::size_t text = data.find('\0');
        const std::string expected =
            text == std::string::npos ? data + '\0' : data.substr(0, text + 1);
        if (text != std::string::npos) {
            dropped += size - text - 1;
        }
        forwardedTotal += expected.size();
        link.Send(worker, data);
        ASSERT_EQ(ReadForwarded(worker, link, expected.size()), expected);
        // Reported before the cut unit is sent, so it is there once the unit has arrived.
        EXPECT_EQ(cutEvents.load(), dropped > 0 ? 1 : 0);
    }
    ASSERT_GT(dropped, 0U);
    EXPECT_TRUE(WaitUntil([&] { return link.relay->Status().bytesForwarded == forwardedTotal; }));
    EXPECT_EQ(link.relay->Status().bytesDropped, dropped);
    EXPECT_EQ(cutEvents.load(), 1);
    // The status line (and with it the lamps' tooltip) and the end line say so.
    const std::string said = "零字节之后未转发 " + std::to_string(dropped) + " 字节";
    const std::string status = DescribeStatus(link.relay->Status(), link.relay->Plan().protocol);
    EXPECT_NE(status.find(said), std::string::npos) << status;
    link.relay->Stop();
    ASSERT_TRUE(link.relay->WaitUntilEnded(kTimeout));
    const std::string totals = DescribeTotals(link.relay->Outcome(), link.relay->Plan().protocol);
    EXPECT_NE(totals.find(said), std::string::npos) << totals;
    EXPECT_EQ(cutEvents.load(), 1);
}

// Bytes mode and text without zeros leave nothing out and report nothing.
TEST_P(TextCutTest, NothingIsCountedWhenNothingIsLeftOut) {
    const WorkerCase& worker = GetParam();
    for (const ForwardMode mode : {ForwardMode::Bytes, ForwardMode::Text}) {
        SCOPED_TRACE(mode == ForwardMode::Bytes ? "bytes" : "text without zeros");
        const Endpoints endpoints = PickFor(worker);
        std::atomic<int> cutEvents{0};
        RelayPlan plan = endpoints.Plan(worker);
        plan.forward = mode;
        Link link = StartLinked(worker, endpoints, {}, plan, [&](const RelayEvent& event) {
            cutEvents += event.kind == RelayEvent::Kind::TextCut ? 1 : 0;
        });
        ASSERT_TRUE(link.Ready());
        const std::string data = mode == ForwardMode::Bytes ? "a\0b\0c"s : "abc"s;
        link.Send(worker, data);
        const std::string expected = mode == ForwardMode::Bytes ? data : data + '\0';
        ASSERT_EQ(ReadForwarded(worker, link, expected.size()), expected);
        EXPECT_TRUE(
            WaitUntil([&] { return link.relay->Status().bytesForwarded == expected.size(); }));
        EXPECT_EQ(link.relay->Status().bytesDropped, 0U);
        EXPECT_EQ(cutEvents.load(), 0);
        EXPECT_EQ(DescribeStatus(link.relay->Status(), link.relay->Plan().protocol).find("零字节"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(AllWorkers, TextCutTest, ::testing::ValuesIn(kAllWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });
INSTANTIATE_TEST_SUITE_P(AllWorkers, BytesTest, ::testing::ValuesIn(kAllWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });
INSTANTIATE_TEST_SUITE_P(TcpWorkers, BytesStreamTest, ::testing::ValuesIn(kTcpWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });

// A TCP connection made from `from` to the endpoint.
UniqueFd ConnectFrom(const char* from, const PeerEndpoint& to) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in local = MakeSocketAddress(from, 0);
    if (::bind(socket.Get(), AsSockaddr(local), sizeof local) != 0 ||
        !TryConnect(socket, to.address, to.port)) {
        socket.Reset();
    }
    return socket;
}

struct AllowCase {
    const char* name;
    std::vector<AllowedSources::Prefix> allowed;
    bool peerAllowed; // 127.0.0.2 (the client side's peers); 127.0.0.99 is never allowed
};

void PrintTo(const AllowCase& c, std::ostream* out) {
    *out << c.name;
}

AllowedSources::Prefix V4Prefix(const char* address, int bits) {
    AllowedSources::Prefix prefix;
    prefix.family = AF_INET;
    prefix.bits = bits;
    ::inet_pton(AF_INET, address, prefix.address.data());
    return prefix;
}

class AllowedSourcesTest : public ::testing::TestWithParam<AllowCase> {};

// A TCP relay closes a connection from a source it does not allow at once and goes on waiting;
// the destination never sees anything of it, and an allowed source after it is relayed. A UDP
// relay drops such a source's datagrams and counts them.
TEST_P(AllowedSourcesTest, OnlyAllowedSourcesAreServed) {
    const AllowCase& c = GetParam();
    for (const WorkerCase& worker : kAllWorkers) {
        SCOPED_TRACE(worker.name);
        const Endpoints endpoints = PickFor(worker);
        const PeerEndpoint waitSide = endpoints.WaitSide(worker);
        const PeerEndpoint other = endpoints.OtherSide(worker);
        RelayPlan plan = endpoints.Plan(worker);
        plan.allowed = AllowedSources(c.allowed);

        if (worker.tcp) {
            const UniqueFd listening = ListenOn(other.address, other.port);
            Relay relay(plan);
            ASSERT_TRUE(WaitUntil([&] { return IsListening(waitSide.address, waitSide.port); }));
            UniqueFd intruder = ConnectFrom("127.0.0.99", waitSide);
            ASSERT_TRUE(intruder.Valid());
            SendAll(intruder.Get(), "SECRET-INTRUDER-DATA");
            // Closed at once, with nothing of the other side.
            const StreamRead toIntruder = ReadUntilClosed(intruder.Get());
            EXPECT_TRUE(toIntruder.closed);
            EXPECT_EQ(toIntruder.data, "");
            EXPECT_FALSE(Readable(listening.Get(), kQuiet)) << "the intruder reached the far side";
            EXPECT_TRUE(WaitUntil([&] { return relay.Status().refused == 1; }));
            EXPECT_TRUE(IsListening(waitSide.address, waitSide.port))
                << "the relay stopped waiting";

            UniqueFd incoming = ConnectFrom("127.0.0.2", waitSide);
            ASSERT_TRUE(incoming.Valid());
            if (!c.peerAllowed) {
                EXPECT_TRUE(ReadUntilClosed(incoming.Get()).closed);
                EXPECT_FALSE(Readable(listening.Get(), kQuiet));
                EXPECT_TRUE(WaitUntil([&] { return relay.Status().refused == 2; }));
                continue;
            }
            UniqueFd outgoing = AcceptWithin(listening.Get());
            ASSERT_TRUE(outgoing.Valid());
            const UniqueFd& source = worker.waitsOnServer ? outgoing : incoming;
            const UniqueFd& destination = worker.waitsOnServer ? incoming : outgoing;
            ASSERT_TRUE(SendAll(source.Get(), "allowed"));
            EXPECT_EQ(ReadStream(destination.Get(), 8).data, "allowed\0"s);
            EXPECT_EQ(AddressText(relay.Status().peer), "127.0.0.2");
            continue;
        }

        const UniqueFd destination = BindUdp(other.address, other.port);
        Relay relay(plan);
        ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(waitSide.address, waitSide.port); }));
        const UniqueFd intruder = BindUdp("127.0.0.99", 0);
        const UniqueFd sender = BindUdp("127.0.0.2", 0);
        for (int i = 0; i < 3; ++i) {
            SendDatagram(intruder.Get(), "SECRET", waitSide.address, waitSide.port);
        }
        SendDatagram(sender.Get(), "mine", waitSide.address, waitSide.port);
        if (c.peerAllowed) {
            const auto forwarded = ReceiveDatagram(destination.Get());
            ASSERT_TRUE(forwarded.has_value());
            EXPECT_EQ(forwarded->data, "mine\0"s);
        }
        EXPECT_FALSE(ReceiveDatagram(destination.Get(), kQuiet).has_value())
            << "a refused datagram reached the destination";
        EXPECT_TRUE(WaitUntil([&] { return relay.Status().refused == (c.peerAllowed ? 3U : 4U); }));
    }
}

// A source refused again and again, from ever new ports, is named once; so is every other
// address. The counters keep the exact number. TCP connections are tried one after the other,
// datagrams sent in rounds, each once the relay has counted the last, so none is lost on the way.
TEST(RefusedSourcesLogTest, EachAddressIsNamedOnceAndEveryRefusalCounted) {
    for (const WorkerCase& worker : kAllWorkers) {
        SCOPED_TRACE(worker.name);
        const Endpoints endpoints = PickFor(worker);
        const PeerEndpoint waitSide = endpoints.WaitSide(worker);
        RelayPlan plan = endpoints.Plan(worker);
        plan.allowed = AllowedSources({V4Prefix("127.0.0.2", 32)});
        std::mutex mutex;
        std::vector<RelayEvent> refusals;
        Relay relay(plan, [&](const RelayEvent& event) {
            if (event.kind == RelayEvent::Kind::Refused ||
                event.kind == RelayEvent::Kind::RefusedMore) {
                const std::lock_guard lock(mutex);
                refusals.push_back(event);
            }
        });
        ASSERT_TRUE(WaitUntil([&] {
            return worker.tcp ? IsListening(waitSide.address, waitSide.port)
                              : IsUdpBound(waitSide.address, waitSide.port);
        }));
        std::uint64_t expected = 0;
        for (const char* intruder : {"127.0.0.99", "127.0.0.98", "127.0.0.99"}) {
            for (int round = 0; round < 100; ++round) {
                if (worker.tcp) {
                    UniqueFd connection = ConnectFrom(intruder, waitSide);
                    ASSERT_TRUE(connection.Valid());
                    EXPECT_TRUE(ReadUntilClosed(connection.Get()).closed);
                    ++expected;
                } else {
                    // A port of its own each round.
                    const UniqueFd sender = BindUdp(intruder, 0);
                    for (int i = 0; i < 5; ++i) {
                        SendDatagram(sender.Get(), "x", waitSide.address, waitSide.port);
                    }
                    expected += 5;
                }
                ASSERT_TRUE(WaitUntil([&] { return relay.Status().refused == expected; }))
                    << relay.Status().refused << " of " << expected;
            }
        }
        const std::lock_guard lock(mutex);
        ASSERT_EQ(refusals.size(), 2U);
        EXPECT_EQ(refusals[0].kind, RelayEvent::Kind::Refused);
        EXPECT_EQ(AddressText(refusals[0].peer), "127.0.0.99");
        EXPECT_EQ(refusals[1].kind, RelayEvent::Kind::Refused);
        EXPECT_EQ(AddressText(refusals[1].peer), "127.0.0.98");
    }
}

// After the first refusal of an address, the log hears how many more there were at most once per
// interval, counting every one since the last time it heard.
TEST(RefusedSourcesLogTest, MoreRefusalsAreSummedUpOncePerInterval) {
    std::vector<RelayEvent> events;
    RelayWorker worker([&](const RelayEvent& event) { events.push_back(event); });
    RefusedSources refused(500ms);
    const Endpoint endpoint = EndpointAt(kServerAddress, 6000);
    const auto refuse = [&](int times, int port) {
        for (int i = 0; i < times; ++i) {
            refused.Refused(worker, RelaySide::Server, endpoint, EndpointAt("10.9.9.9", port + i));
        }
    };
    refuse(40, 1000);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].kind, RelayEvent::Kind::Refused);
    EXPECT_EQ(EndpointText(events[0].peer), "10.9.9.9:1000");
    std::this_thread::sleep_for(600ms);
    refuse(1, 2000);
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(events[1].kind, RelayEvent::Kind::RefusedMore);
    EXPECT_EQ(events[1].count, 40U);
    refuse(7, 3000);
    EXPECT_EQ(events.size(), 2U) << "summed up again within the interval";
    EXPECT_EQ(worker.Status().refused, 48U);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, AllowedSourcesTest,
    ::testing::Values(AllowCase{"AllowedAddress", {V4Prefix("127.0.0.2", 32)}, true},
                      AllowCase{"AllowedPrefix", {V4Prefix("127.0.0.0", 30)}, true},
                      AllowCase{"NotAllowed", {V4Prefix("10.1.2.0", 24)}, false}),
    [](const auto& tested) { return std::string(tested.param.name); });

} // namespace
