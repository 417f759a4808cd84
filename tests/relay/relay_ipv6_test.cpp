// IPv6 endpoints beside IPv4: every mode and protocol over ::1, both mixes of the families (the
// gateway case), the messages, and an IPv6 listening socket that never takes IPv4 peers.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <string>

#include "relay_test_links.h"

namespace {

using namespace relaytest;
using namespace std::string_literals;

Endpoint At(const std::string& address, int port) {
    if (address.find(':') == std::string::npos) {
        return EndpointAt(address.c_str(), port);
    }
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr);
    return Endpoint(v6);
}

SocketHandle Open(const Endpoint& endpoint, int type) {
    return SocketHandle(::socket(endpoint.Family(), type, 0));
}

// A port the system just handed out on the address.
int FreePortAt(const std::string& address, int type) {
    const Endpoint any = At(address, 0);
    const SocketHandle probe = Open(any, type);
    if (::bind(probe.Get(), any.Address(), any.Length()) != 0) {
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
    return Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&bound), length).Port();
}

SocketHandle Bound(const Endpoint& endpoint, int type) {
    SocketHandle socket = Open(endpoint, type);
    if (::bind(socket.Get(), endpoint.Address(), endpoint.Length()) != 0) {
        socket.Reset();
    }
    return socket;
}

SocketHandle Listening(const Endpoint& endpoint) {
    SocketHandle socket = Bound(endpoint, SOCK_STREAM);
    if (socket.Valid() && ::listen(socket.Get(), 5) != 0) {
        socket.Reset();
    }
    return socket;
}

bool Connect(const SocketHandle& socket, const Endpoint& to) {
    return ::connect(socket.Get(), to.Address(), to.Length()) == 0;
}

SocketHandle ConnectWithinTo(const Endpoint& to) {
    SocketHandle connected;
    WaitUntil([&] {
        connected = Open(to, SOCK_STREAM);
        if (Connect(connected, to)) {
            return true;
        }
        connected.Reset();
        return false;
    });
    return connected;
}

struct FamilyCase {
    const char* name;
    std::string client; // the 输入网卡 address
    std::string server; // the 输出网卡 address
};

void PrintTo(const FamilyCase& c, std::ostream* out) {
    *out << c.name;
}

class Ipv6RelayTest : public ::testing::TestWithParam<FamilyCase> {};

// "ping" through every kind of relay, its sockets made for the family of their endpoint.
TEST_P(Ipv6RelayTest, EveryModeAndProtocolRelays) {
    const FamilyCase& c = GetParam();
    for (const WorkerCase& worker : kAllWorkers) {
        SCOPED_TRACE(worker.name);
        const int type = worker.tcp ? SOCK_STREAM : SOCK_DGRAM;
        const Endpoint client = At(c.client, FreePortAt(c.client, type));
        const Endpoint server = At(c.server, FreePortAt(c.server, type));
        const Endpoint& waitOn = worker.waitsOnServer ? server : client;
        const Endpoint& other = worker.waitsOnServer ? client : server;
        const RelayPlan plan = MakeRelayPlan(worker.mode, worker.protocol, client, server);
        std::string arrived;
        if (worker.tcp) {
            const SocketHandle listener = Listening(other);
            ASSERT_TRUE(listener.Valid());
            const Relay relay(plan);
            const SocketHandle incoming = ConnectWithinTo(waitOn);
            const SocketHandle outgoing = AcceptWithin(listener.Get());
            ASSERT_TRUE(incoming.Valid() && outgoing.Valid());
            const SocketHandle& source = worker.waitsOnServer ? outgoing : incoming;
            const SocketHandle& destination = worker.waitsOnServer ? incoming : outgoing;
            ASSERT_TRUE(SendAll(source.Get(), "ping"));
            arrived = ReadStream(destination.Get(), 5).data;
        } else {
            const SocketHandle destination = Bound(other, SOCK_DGRAM);
            ASSERT_TRUE(destination.Valid());
            const Relay relay(plan);
            ASSERT_TRUE(WaitUntil([&] { return relay.Status().stage == RelayStage::Waiting; }));
            const SocketHandle sender = Open(waitOn, SOCK_DGRAM);
            ::sendto(sender.Get(), "ping", 4, 0, waitOn.Address(), waitOn.Length());
            const auto datagram = ReceiveDatagram(destination.Get());
            arrived = datagram ? datagram->data : "";
        }
        EXPECT_EQ(arrived, "ping\0"s);
    }
}

INSTANTIATE_TEST_SUITE_P(Families, Ipv6RelayTest,
                         ::testing::Values(FamilyCase{"BothIPv6", "::1", "::1"},
                                           FamilyCase{"IPv6InIPv4Out", "::1", "127.0.0.3"},
                                           FamilyCase{"IPv4InIPv6Out", "127.0.0.2", "::1"}),
                         [](const auto& info) { return std::string(info.param.name); });

// An IPv6 endpoint in use is named in brackets, with the same reason as for IPv4.
TEST(Ipv6RelayMessages, EndpointInUseIsNamedInBrackets) {
    for (const WorkerCase& worker : kAllWorkers) {
        SCOPED_TRACE(worker.name);
        const int type = worker.tcp ? SOCK_STREAM : SOCK_DGRAM;
        const int port = FreePortAt("::1", type);
        const Endpoint taken = At("::1", port);
        const SocketHandle occupant = worker.tcp ? Listening(taken) : Bound(taken, type);
        ASSERT_TRUE(occupant.Valid());
        const Endpoint other = At("::1", FreePortAt("::1", type));
        const Relay relay(MakeRelayPlan(worker.mode, worker.protocol,
                                        worker.waitsOnServer ? other : taken,
                                        worker.waitsOnServer ? taken : other));
        ASSERT_TRUE(relay.WaitUntilEnded(kTimeout));
        EXPECT_EQ(DescribeSetupFailure(relay.Outcome()),
                  std::string(worker.waitsOnServer ? "输出网卡" : "输入网卡") +
                      " [::1]:" + std::to_string(port) + " 无法绑定: 地址已被占用");
    }
}

// A relay waiting on the IPv6 wildcard takes IPv6 peers only: an IPv4 connection to the same port
// is refused and the relay goes on waiting for its own.
TEST(Ipv6RelayMessages, AnIPv4PeerNeverReachesAnIPv6ListeningSocket) {
    const int port = FreePortAt("::", SOCK_STREAM);
    const SocketHandle destination = Listening(At("::1", FreePortAt("::1", SOCK_STREAM)));
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(destination.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
    const Endpoint other = Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&bound), length);
    const Relay relay(
        MakeRelayPlan(RelayMode::ServerToClient, RelayProtocol::Tcp, At("::", port), other));
    ASSERT_TRUE(WaitUntil([&] { return relay.Status().stage == RelayStage::Waiting; }));

    SocketHandle v4 = Open(At("127.0.0.1", port), SOCK_STREAM);
    EXPECT_FALSE(Connect(v4, At("127.0.0.1", port))) << "an IPv4 peer reached the relay";
    EXPECT_FALSE(Readable(destination.Get(), kQuiet));
    EXPECT_EQ(relay.Status().stage, RelayStage::Waiting);

    const SocketHandle v6 = ConnectWithinTo(At("::1", port));
    EXPECT_TRUE(v6.Valid());
    EXPECT_TRUE(AcceptWithin(destination.Get()).Valid());
}

} // namespace
