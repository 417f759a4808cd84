#include "relay/relay_sockets.h"

#include "relay/relay.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "relay_test_peers.h"

namespace {

using namespace relaytest;

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, ClosesWhenDestroyedOrReplacedAndMovesOwnership) {
    int first = -1;
    int second = -1;
    {
        UniqueFd a(::socket(AF_INET, SOCK_STREAM, 0));
        first = a.Get();
        ASSERT_TRUE(IsOpen(first));

        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.Valid());
        EXPECT_EQ(b.Get(), first);

        UniqueFd c(::socket(AF_INET, SOCK_DGRAM, 0));
        second = c.Get();
        b = std::move(c);
        EXPECT_FALSE(IsOpen(first)) << "the replaced socket must be closed";
        EXPECT_TRUE(IsOpen(second));
    }
    EXPECT_FALSE(IsOpen(second));
}

TEST(SocketRoutinesTest, AcceptTakesOneConnectionAndStopsListening) {
    const int port = FreePort(kServerAddress, SOCK_STREAM);

    RelayWorker worker;
    UniqueFd accepted;
    std::thread acceptor(
        [&] { accepted = AcceptOne(worker, RelaySide::Server, EndpointAt(kServerAddress, port)); });
    UniqueFd peer = ConnectWithin(kServerAddress, port);
    acceptor.join();
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(accepted.Valid());

    // The pair is connected, and nobody listens any more.
    ASSERT_TRUE(SendAll(peer.Get(), "x"));
    EXPECT_EQ(ReadStream(accepted.Get(), 1).data, "x");
    UniqueFd late(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(TryConnect(late, kServerAddress, port));
    EXPECT_FALSE(IsListening(kServerAddress, port));
}

// A kept listening socket outlives each accept: a peer that connects between two relays is
// queued, not refused, and the next accept takes it.
TEST(SocketRoutinesTest, AKeptListenerGoesOnListeningBetweenAccepts) {
    const int port = FreePort(kServerAddress, SOCK_STREAM);
    const Endpoint endpoint = EndpointAt(kServerAddress, port);
    UniqueFd kept;
    for (const char* text : {"first", "second", "third"}) {
        SCOPED_TRACE(text);
        // The first peer finds the listener made by the accept; later ones connect before it.
        UniqueFd peer;
        if (kept.Valid()) {
            peer = UniqueFd(::socket(AF_INET, SOCK_STREAM, 0));
            ASSERT_TRUE(TryConnect(peer, kServerAddress, port)) << "refused between two accepts";
        }
        RelayWorker worker;
        UniqueFd accepted;
        std::thread acceptor(
            [&] { accepted = AcceptOne(worker, RelaySide::Server, endpoint, {}, &kept); });
        if (!peer.Valid()) {
            peer = ConnectWithin(kServerAddress, port);
        }
        acceptor.join();
        ASSERT_TRUE(accepted.Valid());
        ASSERT_TRUE(SendAll(peer.Get(), text));
        EXPECT_EQ(ReadStream(accepted.Get(), std::strlen(text)).data, text);
        EXPECT_TRUE(kept.Valid());
        EXPECT_TRUE(IsListening(kServerAddress, port));
    }
    kept.Reset();
    EXPECT_FALSE(IsListening(kServerAddress, port));
}

// A relay asked to wait on port 0 says where the system put it: its status and its events, the
// refusals among them, name the port actually bound, and peers reach the relay there.
TEST(SocketRoutinesTest, APortZeroRelaySaysThePortTheSystemBound) {
    // Nobody on loopback is allowed, so each peer's arrival shows as a refusal.
    const AllowedSources elsewhere({AllowedSources::Prefix{AF_INET, {192, 0, 2}, 24}});
    for (const RelayProtocol protocol : {RelayProtocol::Tcp, RelayProtocol::Udp}) {
        for (const char* address : {kServerAddress, "::1"}) {
            const bool tcp = protocol == RelayProtocol::Tcp;
            SCOPED_TRACE(std::string(tcp ? "TCP " : "UDP ") + address);
            std::mutex mutex;
            std::vector<RelayEvent> events;
            const RelayPlan plan =
                MakeRelayPlan(RelayMode::ClientToServer, protocol, EndpointAt(kClientAddress, 9),
                              EndpointAt(address, 0), ForwardMode::Text, elsewhere);
            Relay relay(plan, [&](const RelayEvent& event) {
                const std::lock_guard lock(mutex);
                events.push_back(event);
            });
            ASSERT_TRUE(WaitUntil([&] { return relay.Status().stage == RelayStage::Waiting; }));
            const Endpoint bound = relay.Status().waitEndpoint;
            const int port = bound.Port();
            ASSERT_NE(port, 0);
            EXPECT_EQ(EndpointText(bound), EndpointText(EndpointAt(address, port)));
            EXPECT_TRUE(tcp ? IsListening(address, port) : IsUdpBound(address, port));

            UniqueFd peer;
            if (tcp) {
                peer = ConnectWithin(address, port);
                ASSERT_TRUE(peer.Valid());
            } else {
                peer = BindUdp(address, 0);
                SendDatagram(peer.Get(), "x", address, port);
            }
            ASSERT_TRUE(WaitUntil([&] { return relay.Status().refused == 1; }));
            relay.Stop();
            ASSERT_TRUE(relay.WaitUntilEnded(kTimeout));
            const std::lock_guard lock(mutex);
            ASSERT_EQ(events.size(), 2u);
            EXPECT_EQ(events[0].kind,
                      tcp ? RelayEvent::Kind::Listening : RelayEvent::Kind::Receiving);
            EXPECT_EQ(events[1].kind, RelayEvent::Kind::Refused);
            for (const RelayEvent& event : events)
                EXPECT_EQ(event.endpoint, bound);
        }
    }
}

TEST(SocketRoutinesTest, FailuresGiveEmptyHandles) {
    const Endpoint client = EndpointAt(kClientAddress, FreePort(kClientAddress, SOCK_STREAM));
    const int serverPort = FreePort(kServerAddress, SOCK_STREAM);
    const Endpoint server = EndpointAt(kServerAddress, serverPort);

    RelayWorker worker;

    // Nobody listens on the client endpoint.
    EXPECT_FALSE(ConnectOut(worker, RelaySide::Client, client).Valid());

    // The server endpoint is taken by another listener: the bind fails instead of waiting.
    UniqueFd taken = ListenOn(kServerAddress, serverPort);
    ASSERT_TRUE(taken.Valid());
    EXPECT_FALSE(AcceptOne(worker, RelaySide::Server, server).Valid());

    // A connect that succeeds gives a usable socket.
    UniqueFd connected = ConnectOut(worker, RelaySide::Server, server);
    ASSERT_TRUE(connected.Valid());
    UniqueFd accepted = AcceptWithin(taken.Get());
    ASSERT_TRUE(SendAll(connected.Get(), "y"));
    EXPECT_EQ(ReadStream(accepted.Get(), 1).data, "y");
}

// The close a relay gives its destination: all data first, then an orderly end, even when the
// peer sent something the relay never read (a plain close would reset the connection and drop
// what was still on its way).
TEST(SocketRoutinesTest, OrderlyCloseDeliversEverythingDespiteUnreadInput) {
    const int port = FreePort(kServerAddress, SOCK_STREAM);
    const UniqueFd listening = ListenOn(kServerAddress, port);
    UniqueFd peer = ConnectWithin(kServerAddress, port);
    UniqueFd destination(::accept(listening.Get(), nullptr, nullptr));
    ASSERT_TRUE(peer.Valid() && destination.Valid());
    ASSERT_TRUE(SendAll(peer.Get(), "back"));
    // More than the buffers between the two hold before the peer reads.
    const std::string data(1 << 20, 'd');
    std::thread sender([&] {
        SendAll(destination.Get(), data);
        CloseOrderly(destination);
    });

    const StreamRead read = ReadUntilClosed(peer.Get(), 10s);
    peer.Reset();
    sender.join();

    EXPECT_TRUE(read.closed);
    EXPECT_FALSE(read.reset);
    EXPECT_EQ(read.data.size(), data.size());
    EXPECT_FALSE(destination.Valid());
}

} // namespace
