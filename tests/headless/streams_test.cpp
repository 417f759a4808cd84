// Several TCP streams at once through one relay program ([Relay] Streams=N): each accepted
// connection gets its own connection to the other side and is relayed and ended alone; a
// connection beyond N waits in the listener's queue, is counted and said, and is served once a
// stream ends. With one stream (the default) the relay serves one after another, as always.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "metrics_fetch.h"
#include "relay_program.h"
#include "relay_test_peers.h"

namespace {

using namespace relaytest;
using namespace relayprogram;
using namespace metricsfetch;

std::string StatusAt(int port) {
    return "[Status]\nListen=" + std::string(kStatusAddress) + ":" + std::to_string(port) + "\n";
}

// Sends all of `data` on the stream's source and closes it, while the destination is read to its
// end, both beside the test's thread, so that several streams move at once: what the destination
// received.
std::future<std::string> Carry(TcpSetting::Stream& stream, std::string data) {
    return std::async(std::launch::async, [source = std::move(stream.source),
                                           destination = stream.destination.Get(),
                                           data = std::move(data)]() mutable {
        std::thread sender([&] {
            SendAll(source.Get(), data);
            source.Reset();
        });
        std::string received = ReadUntilClosed(destination, std::chrono::seconds(20)).data;
        sender.join();
        return received;
    });
}

// One stream at a time: a second client's connect completes into the queue, and it is served,
// byte for byte, only once the first stream ended.
TEST(StreamsTest, OneStreamServesTheSecondClientWhenTheFirstEnds) {
    const TcpSetting setting(1, "[Forward]\nMode=Bytes\n");
    Program relay(setting.folder, setting.Arguments());
    TcpSetting::Stream first = setting.Connect();
    ASSERT_TRUE(first.source.Valid() && first.destination.Valid()) << relay.Err();
    UniqueFd second = ConnectWithin(setting.WaitAddress(), setting.WaitPort());
    ASSERT_TRUE(second.Valid());
    EXPECT_FALSE(Readable(setting.otherListener.Get(), kQuiet)) << "served before its turn";

    const std::string firstData = RandomBytes(300000, 1);
    EXPECT_EQ(Carry(first, firstData).get(), firstData);
    UniqueFd other = AcceptWithin(setting.otherListener.Get());
    ASSERT_TRUE(other.Valid()) << relay.Err();
    TcpSetting::Stream next = setting.waitsOnServer
                                  ? TcpSetting::Stream{std::move(other), std::move(second)}
                                  : TcpSetting::Stream{std::move(second), std::move(other)};
    const std::string secondData = RandomBytes(300000, 2);
    EXPECT_EQ(Carry(next, secondData).get(), secondData);
}

// Four streams at once in both forwardings and both directions: each arrives whole on its own
// destination connection while a fifth waits in the queue, counted and said once; the fifth is
// served when one ends. Every stream ends with its own end line, and the totals add up.
TEST(StreamsTest, FourStreamsAtOnceEachArriveWholeAndAFifthWaitsItsTurn) {
    const struct {
        const char* name;
        int clientToServer;
        bool bytes;
    } cases[] = {
        {"BytesServerSide", 1, true},
        {"BytesClientSide", 0, true},
        {"TextServerSide", 1, false},
        {"TextClientSide", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int statusPort = FreePort(kStatusAddress, SOCK_STREAM);
        const TcpSetting setting(c.clientToServer,
                                 std::string("[Forward]\nMode=") + (c.bytes ? "Bytes" : "Text") +
                                     "\n[Relay]\nStreams=4\n" + StatusAt(statusPort));
        Program relay(setting.folder, setting.Arguments());
        std::vector<TcpSetting::Stream> streams;
        for (int i = 0; i < 4; ++i) {
            streams.push_back(setting.Connect());
            ASSERT_TRUE(streams.back().source.Valid() && streams.back().destination.Valid())
                << relay.Err();
        }
        UniqueFd fifth = ConnectWithin(setting.WaitAddress(), setting.WaitPort());
        ASSERT_TRUE(fifth.Valid());
        EXPECT_FALSE(Readable(setting.otherListener.Get(), kQuiet)) << "a fifth stream at once";
        std::string metrics;
        EXPECT_TRUE(WaitUntil([&] {
            metrics = Body(Get(statusPort));
            return Sample(metrics, "tarvel_streams_waiting") == 1;
        })) << metrics;
        EXPECT_EQ(Sample(metrics, "tarvel_connected"), 4);
        EXPECT_TRUE(LogShows(relay, "新的连接在监听队列中等待 (现有 1 个)")) << relay.Err();

        std::vector<std::string> sent;
        std::vector<std::future<std::string>> received;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            sent.push_back(c.bytes ? RandomBytes(1 << 20, static_cast<unsigned>(i))
                                   : StreamWithoutZeros((1 << 20) + i));
            received.push_back(Carry(streams[i], sent[i]));
        }
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const std::string got = received[i].get();
            EXPECT_TRUE((c.bytes ? got : JoinUnits(got)) == sent[i]) << "stream " << i;
        }

        UniqueFd other = AcceptWithin(setting.otherListener.Get());
        ASSERT_TRUE(other.Valid()) << relay.Err();
        TcpSetting::Stream last = setting.waitsOnServer
                                      ? TcpSetting::Stream{std::move(other), std::move(fifth)}
                                      : TcpSetting::Stream{std::move(fifth), std::move(other)};
        EXPECT_EQ(Carry(last, "fifth").get(), c.bytes ? "fifth" : std::string("fifth") + '\0');
        EXPECT_TRUE(WaitUntil([&] {
            metrics = Body(Get(statusPort));
            return Sample(metrics, "tarvel_connected") == 0;
        })) << metrics;
        EXPECT_EQ(Sample(metrics, "tarvel_streams_total"), 5);
        EXPECT_EQ(Sample(metrics, "tarvel_streams_waiting"), 0);
        EXPECT_EQ(Value(metrics, "tarvel_stream_ends_total{reason=\"source_closed\"}"), 5)
            << metrics;
        if (c.bytes) {
            EXPECT_EQ(Sample(metrics, "tarvel_forwarded_bytes_total"), (4 << 20) + 5);
        }
        relay.Signal(SIGTERM);
        EXPECT_EQ(relay.Wait(), 0);
        const std::string log = relay.Err();
        EXPECT_EQ(Count(log, "的流, 数据源已关闭连接"), 5u) << log;
        EXPECT_EQ(Count(log, "新的连接在监听队列中等待"), 1u) << log;
    }
}

// Among several streams, a source that is not allowed is closed at once, and a destination that
// resets ends only its own stream: the others go on to their ends, whole.
TEST(StreamsTest, ARefusedSourceAndAResetPeerEndOnlyTheirOwnStream) {
    const TcpSetting setting(0, "[Forward]\nMode=Bytes\n[Allow]\nSources=127.0.0.1\n"
                                "[Relay]\nStreams=4\n");
    Program relay(setting.folder, setting.Arguments());
    std::vector<TcpSetting::Stream> streams;
    for (int i = 0; i < 3; ++i) {
        streams.push_back(setting.Connect());
        ASSERT_TRUE(streams.back().destination.Valid()) << relay.Err();
    }
    UniqueFd stranger(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in from = MakeSocketAddress("127.0.0.99", 0);
    ASSERT_EQ(::bind(stranger.Get(), AsSockaddr(from), sizeof from), 0);
    ASSERT_TRUE(TryConnect(stranger, setting.WaitAddress(), setting.WaitPort()));
    EXPECT_TRUE(ReadUntilClosed(stranger.Get()).closed);
    EXPECT_FALSE(Readable(setting.otherListener.Get(), kQuiet)) << "the stranger was relayed";

    ASSERT_TRUE(SendAll(streams[1].source.Get(), "before"));
    EXPECT_EQ(ReadStream(streams[1].destination.Get(), 6).data, "before");
    ResetConnection(streams[1].destination);
    EXPECT_TRUE(LogShows(relay, ":" +
                                    std::to_string(LocalEndpoint(streams[1].source.Get()).Port()) +
                                    " 的流, 发送数据失败"))
        << relay.Err();
    for (const std::size_t i : {0u, 2u}) {
        const std::string data = RandomBytes(500000, static_cast<unsigned>(i));
        EXPECT_EQ(Carry(streams[i], data).get(), data) << "stream " << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return Count(relay.Err(), "已结束: 来自") == 3; })) << relay.Err();
    EXPECT_TRUE(Contains(relay.Err(), "拒绝来源 127.0.0.99")) << relay.Err();
}

// The number of streams is a whole number from 1 to the bound; anything else is refused by
// --check and by a start, naming the key.
TEST(StreamsTest, StreamsOutsideItsRangeIsRefused) {
    for (const char* value : {"0", "10001", "-1", "four", "4x", ""}) {
        SCOPED_TRACE(value);
        const TcpSetting setting(1, std::string("[Relay]\nStreams=") + value + "\n");
        Program check(setting.folder, {"--check", "--workdir", setting.folder.Path().string()});
        if (std::string(value).empty()) {
            EXPECT_EQ(check.Wait(), 0) << check.Out(); // no value: one at a time
            continue;
        }
        EXPECT_EQ(check.Wait(), 2);
        EXPECT_TRUE(Contains(check.Out(), std::string("[Relay] Streams=") + value +
                                              ": 不是同时转发的流数 (1 到 10000)"))
            << check.Out();
    }
    const TcpSetting accepted(1, "[Relay]\nStreams=10000\n");
    Program check(accepted.folder, {"--check", "--workdir", accepted.folder.Path().string()});
    EXPECT_EQ(check.Wait(), 0);
    EXPECT_TRUE(Contains(check.Out(), "同时最多 10000 个流")) << check.Out();
}

} // namespace
