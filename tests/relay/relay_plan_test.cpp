// A relay that would send to itself, told from its plan.
#include "relay/relay_plan.h"

#include <gtest/gtest.h>

#include <string>

#include "relay_test_peers.h"

namespace {

using relaytest::EndpointAt;

// This machine, as the cases see it: loopback, 10.0.0.5 and 2001:db8::5.
bool FakeLocal(const Endpoint& address) {
    const std::string text = AddressText(address);
    return text.starts_with("127.") || text == "::1" || text == "10.0.0.5" || text == "2001:db8::5";
}

// Same port and family, and an address that reaches the wait endpoint: the same address, one a
// wildcard wait endpoint takes in, or the wildcard as the destination (delivered to loopback).
TEST(AimsAtItselfTest, Table) {
    const struct {
        const char* wait;
        int waitPort;
        const char* other;
        int otherPort;
        bool itself;
    } cases[] = {
        {"127.0.0.2", 5000, "127.0.0.2", 5000, true},
        {"127.0.0.2", 5000, "127.0.0.2", 5001, false},
        {"127.0.0.2", 5000, "127.0.0.3", 5000, false},
        {"0.0.0.0", 5000, "127.0.0.9", 5000, true},
        {"0.0.0.0", 5000, "10.0.0.5", 5000, true},
        {"0.0.0.0", 5000, "192.0.2.7", 5000, false},
        {"0.0.0.0", 5000, "0.0.0.0", 5000, true},
        {"127.0.0.1", 5000, "0.0.0.0", 5000, true},
        {"127.0.0.2", 5000, "0.0.0.0", 5000, false},
        {"10.0.0.5", 5000, "10.0.0.5", 5000, true},
        {"::1", 5000, "::1", 5000, true},
        {"::", 5000, "2001:db8::5", 5000, true},
        {"::", 5000, "2001:db8::6", 5000, false},
        {"::1", 5000, "::", 5000, true},
        {"::", 5000, "::", 5000, true},
        // An IPv6-only endpoint never takes IPv4 data, nor the other way round.
        {"::", 5000, "127.0.0.1", 5000, false},
        {"0.0.0.0", 5000, "::1", 5000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.wait) + ":" + std::to_string(c.waitPort) + " -> " + c.other +
                     ":" + std::to_string(c.otherPort));
        for (const RelayProtocol protocol : {RelayProtocol::Udp, RelayProtocol::Tcp}) {
            // Server to client waits on the client endpoint and sends to the server endpoint.
            const RelayPlan plan =
                MakeRelayPlan(RelayMode::ServerToClient, protocol, EndpointAt(c.wait, c.waitPort),
                              EndpointAt(c.other, c.otherPort));
            EXPECT_EQ(AimsAtItself(plan, FakeLocal), c.itself);
        }
    }
}

// The machine's own addresses: every address of the loopback network, and none from the
// documentation ranges no machine holds.
TEST(IsLocalAddressTest, LoopbackNetworksAreThisMachinesOthersNot) {
    for (const char* local : {"127.0.0.1", "127.0.0.2", "127.255.0.1", "::1"}) {
        EXPECT_TRUE(IsLocalAddress(EndpointAt(local, 0))) << local;
    }
    for (const char* remote : {"192.0.2.7", "198.51.100.200", "2001:db8::dead"}) {
        EXPECT_FALSE(IsLocalAddress(EndpointAt(remote, 0))) << remote;
    }
}

} // namespace
