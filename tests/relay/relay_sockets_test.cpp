#include "relay/relay_sockets.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <thread>

#include "relay_test_peers.h"

namespace {

using namespace relaytest;

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(SocketHandleTest, ClosesWhenDestroyedOrReplacedAndMovesOwnership) {
    int first = -1;
    int second = -1;
    {
        SocketHandle a(::socket(AF_INET, SOCK_STREAM, 0));
        first = a.Get();
        ASSERT_TRUE(IsOpen(first));

        SocketHandle b(std::move(a));
        EXPECT_FALSE(a.Valid());
        EXPECT_EQ(b.Get(), first);

        SocketHandle c(::socket(AF_INET, SOCK_DGRAM, 0));
        second = c.Get();
        b = std::move(c);
        EXPECT_FALSE(IsOpen(first)) << "the replaced socket must be closed";
        EXPECT_TRUE(IsOpen(second));
    }
    EXPECT_FALSE(IsOpen(second));
}

struct AddressCase {
    const char* name;
    const char* text;
    std::int32_t port;
    const char* expectedAddress;
    std::uint16_t expectedPort;
};

void PrintTo(const AddressCase& c, std::ostream* out) {
    *out << c.name;
}

class SocketAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(SocketAddressTest, UsesTheLow16BitsOfThePortAndInetAddrRules) {
    const AddressCase& c = GetParam();
    const sockaddr_in endpoint = MakeSocketAddress(c.text, c.port);
    EXPECT_EQ(endpoint.sin_family, AF_INET);
    EXPECT_EQ(ntohs(endpoint.sin_port), c.expectedPort);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &endpoint.sin_addr, text, sizeof text);
    EXPECT_STREQ(text, c.expectedAddress);
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, SocketAddressTest,
    ::testing::Values(AddressCase{"Plain", "127.0.0.2", 80, "127.0.0.2", 80},
                      AddressCase{"PortAbove16Bits", "127.0.0.3", 65536 + 80, "127.0.0.3", 80},
                      AddressCase{"NegativePort", "127.0.0.3", -1, "127.0.0.3", 65535},
                      AddressCase{"OctalPart", "010.1.2.3", 1, "8.1.2.3", 1},
                      AddressCase{"Unparsable", "no address", 1, "255.255.255.255", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SocketRoutinesTest, AcceptTakesOneConnectionOnTheLow16BitsOfThePortAndStopsListening) {
    const int port = FreePort(kServerAddress, SOCK_STREAM);
    UseEndpoints(FreePort(kClientAddress, SOCK_STREAM), port + 65536);

    RelayWorker worker;
    ReleasableSocket accepted;
    std::thread acceptor([&] { accepted = AcceptOnServerEndpoint(worker); });
    SocketHandle peer = ConnectWithin(kServerAddress, port);
    acceptor.join();
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(accepted.Valid());

    // The pair is connected, and nobody listens any more.
    ASSERT_TRUE(SendAll(peer.Get(), "x"));
    EXPECT_EQ(ReadStream(accepted.Get(), 1).data, "x");
    SocketHandle late(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(TryConnect(late, kServerAddress, port));
    EXPECT_FALSE(IsListening(kServerAddress, port));
}

TEST(SocketRoutinesTest, FailuresGiveEmptyHandles) {
    const int clientPort = FreePort(kClientAddress, SOCK_STREAM);
    const int serverPort = FreePort(kServerAddress, SOCK_STREAM);
    UseEndpoints(clientPort, serverPort);

    RelayWorker worker;

    // Nobody listens on the client endpoint.
    EXPECT_FALSE(ConnectToClientEndpoint(worker).Valid());

    // The server endpoint is taken by another listener: the bind fails instead of waiting.
    SocketHandle taken = ListenOn(kServerAddress, serverPort);
    ASSERT_TRUE(taken.Valid());
    EXPECT_FALSE(AcceptOnServerEndpoint(worker).Valid());

    // A connect that succeeds gives a usable socket.
    ReleasableSocket client = ConnectToServerEndpoint(worker);
    ASSERT_TRUE(client.Valid());
    SocketHandle server = AcceptWithin(taken.Get());
    ASSERT_TRUE(SendAll(client.Get(), "y"));
    EXPECT_EQ(ReadStream(server.Get(), 1).data, "y");
}

TEST(SocketRoutinesTest, WakeUpMakesExactlyOneConnectionAndClosesIt) {
    const int port = FreePort(kClientAddress, SOCK_STREAM);
    SocketHandle listening = ListenOn(kClientAddress, port);
    ASSERT_TRUE(listening.Valid());

    WakeAcceptingWorker(kClientAddress, port + 65536);

    SocketHandle woken = AcceptWithin(listening.Get());
    ASSERT_TRUE(woken.Valid());
    const StreamRead read = ReadUntilClosed(woken.Get());
    EXPECT_TRUE(read.closed);
    EXPECT_TRUE(read.data.empty());
    EXPECT_FALSE(Readable(listening.Get(), kQuiet)) << "a second connection is pending";
}

// The close a relay gives its destination: all data first, then an orderly end, even when the
// peer sent something the relay never read (a plain close would reset the connection and drop
// what was still on its way).
TEST(SocketRoutinesTest, OrderlyCloseDeliversEverythingDespiteUnreadInput) {
    const int port = FreePort(kServerAddress, SOCK_STREAM);
    const SocketHandle listening = ListenOn(kServerAddress, port);
    SocketHandle peer = ConnectWithin(kServerAddress, port);
    RelayWorker worker;
    ReleasableSocket destination(worker, SocketHandle(::accept(listening.Get(), nullptr, nullptr)));
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
