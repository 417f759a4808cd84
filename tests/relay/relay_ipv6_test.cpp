// IPv6 endpoints beside IPv4: every mode and protocol over ::1, both mixes of the families (the
// gateway case), the messages, and an IPv6 listening socket that never takes IPv4 peers.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <string>

#include "relay_test_links.h"

namespace {

using namespace relaytest;
using namespace std::string_literals;

struct FamilyCase {
    const char* name;
    const char* client; // the 输入网卡 address
    const char* server; // the 输出网卡 address
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
        const PeerEndpoint client{c.client, FreePort(c.client, type)};
        const PeerEndpoint server{c.server, FreePort(c.server, type)};
        const PeerEndpoint& waitOn = worker.waitsOnServer ? server : client;
        const PeerEndpoint& other = worker.waitsOnServer ? client : server;
        const RelayPlan plan =
            MakeRelayPlan(worker.mode, worker.protocol, EndpointAt(client.address, client.port),
                          EndpointAt(server.address, server.port));
        std::string arrived;
        if (worker.tcp) {
            const UniqueFd listener = ListenOn(other.address, other.port);
            ASSERT_TRUE(listener.Valid());
            const Relay relay(plan);
            const UniqueFd incoming = ConnectWithin(waitOn.address, waitOn.port);
            const UniqueFd outgoing = AcceptWithin(listener.Get());
            ASSERT_TRUE(incoming.Valid() && outgoing.Valid());
            const UniqueFd& source = worker.waitsOnServer ? outgoing : incoming;
            const UniqueFd& destination = worker.waitsOnServer ? incoming : outgoing;
            ASSERT_TRUE(SendAll(source.Get(), "ping"));
            arrived = ReadStream(destination.Get(), 5).data;
        } else {
            const UniqueFd destination = BindUdp(other.address, other.port);
            ASSERT_TRUE(destination.Valid());
            const Relay relay(plan);
            ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(waitOn.address, waitOn.port); }));
            const UniqueFd sender = BindUdp(waitOn.address, 0);
            SendDatagram(sender.Get(), "ping", waitOn.address, waitOn.port);
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
                         [](const auto& tested) { return std::string(tested.param.name); });

// An IPv6 endpoint in use is named in brackets, with the same reason as for IPv4.
TEST(Ipv6RelayMessages, EndpointInUseIsNamedInBrackets) {
    for (const WorkerCase& worker : kAllWorkers) {
        SCOPED_TRACE(worker.name);
        const int type = worker.tcp ? SOCK_STREAM : SOCK_DGRAM;
        const int port = FreePort("::1", type);
        const Endpoint taken = EndpointAt("::1", port);
        const UniqueFd occupant = worker.tcp ? ListenOn("::1", port) : BindUdp("::1", port);
        ASSERT_TRUE(occupant.Valid());
        const Endpoint other = EndpointAt("::1", FreePort("::1", type));
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
    const int port = FreePort("::", SOCK_STREAM);
    const int destinationPort = FreePort("::1", SOCK_STREAM);
    const UniqueFd destination = ListenOn("::1", destinationPort);
    const Relay relay(MakeRelayPlan(RelayMode::ServerToClient, RelayProtocol::Tcp,
                                    EndpointAt("::", port), EndpointAt("::1", destinationPort)));
    ASSERT_TRUE(WaitUntil([&] { return IsListening("::", port); }));

    UniqueFd v4(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(TryConnect(v4, "127.0.0.1", port)) << "an IPv4 peer reached the relay";
    EXPECT_FALSE(Readable(destination.Get(), kQuiet));
    EXPECT_EQ(relay.Status().stage, RelayStage::Waiting);

    const UniqueFd v6 = ConnectWithin("::1", port);
    EXPECT_TRUE(v6.Valid());
    EXPECT_TRUE(AcceptWithin(destination.Get()).Valid());
}

} // namespace
