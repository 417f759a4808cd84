#pragma once

// Running one relay between test peers: which endpoint each kind of relay waits on, and the
// sockets the tests use on either side of it.

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "relay/relay.h"
#include "relay_test_peers.h"

namespace relaytest {

struct WorkerCase {
    const char* name;
    RelayMode mode;
    RelayProtocol protocol;
    bool tcp;
    // The side the relay listens or binds on; data always leaves from the other one for UDP and
    // from the client side for TCP.
    bool waitsOnServer;
};

inline const WorkerCase kUdpClientToServer{"UdpClientToServer", RelayMode::ClientToServer,
                                           RelayProtocol::Udp, false, true};
inline const WorkerCase kTcpClientToServer{"TcpClientToServer", RelayMode::ClientToServer,
                                           RelayProtocol::Tcp, true, true};
inline const WorkerCase kTcpServerToClient{"TcpServerToClient", RelayMode::ServerToClient,
                                           RelayProtocol::Tcp, true, false};
inline const WorkerCase kUdpServerToClient{"UdpServerToClient", RelayMode::ServerToClient,
                                           RelayProtocol::Udp, false, false};

inline const WorkerCase kAllWorkers[] = {kUdpClientToServer, kTcpClientToServer, kTcpServerToClient,
                                         kUdpServerToClient};
inline const WorkerCase kTcpWorkers[] = {kTcpClientToServer, kTcpServerToClient};

inline std::string CaseName(const WorkerCase& c) {
    return c.name;
}
inline void PrintTo(const WorkerCase& c, std::ostream* out) {
    *out << c.name;
}

struct PeerEndpoint {
    const char* address;
    int port;
};

// Free ports for both endpoints.
struct Endpoints {
    PeerEndpoint client{kClientAddress, 0};
    PeerEndpoint server{kServerAddress, 0};

    static Endpoints Pick(bool tcp) {
        Endpoints endpoints;
        const int type = tcp ? SOCK_STREAM : SOCK_DGRAM;
        endpoints.client.port = FreePort(kClientAddress, type);
        endpoints.server.port = FreePort(kServerAddress, type);
        return endpoints;
    }
    PeerEndpoint WaitSide(const WorkerCase& c) const { return c.waitsOnServer ? server : client; }
    PeerEndpoint OtherSide(const WorkerCase& c) const { return c.waitsOnServer ? client : server; }

    RelayPlan Plan(const WorkerCase& c) const {
        return MakeRelayPlan(c.mode, c.protocol, EndpointAt(client.address, client.port),
                             EndpointAt(server.address, server.port));
    }
};

inline std::unique_ptr<Relay> StartRelay(const RelayPlan& plan, BufferHead head = {},
                                         RelayEventSink events = {},
                                         KeptAcrossStreams* kept = nullptr) {
    return std::make_unique<Relay>(plan, std::move(events), head, kept);
}

// A relay with its peers, ready to carry data.
struct Link {
    std::unique_ptr<Relay> relay;
    // TCP: the connection on the client endpoint (the source) and on the server endpoint (the
    // destination). UDP: the socket that sends to the relay and the one bound where it forwards.
    UniqueFd source;
    UniqueFd destination;
    PeerEndpoint relayEndpoint{};

    bool Ready() const { return source.Valid() && destination.Valid(); }

    void Send(const WorkerCase& c, std::string_view data) const {
        if (c.tcp) {
            SendAll(source.Get(), data);
        } else {
            SendDatagram(source.Get(), data, relayEndpoint.address, relayEndpoint.port);
        }
    }
};

// Starts the relay with `plan` (the plain plan of `c` when none is given) and connects peers to it
// on the given endpoints; a TCP relay with what `kept` keeps across streams, when given.
inline Link StartLinked(const WorkerCase& c, const Endpoints& endpoints, BufferHead head = {},
                        const std::optional<RelayPlan>& plan = std::nullopt,
                        RelayEventSink events = {}, KeptAcrossStreams* kept = nullptr) {
    Link link;
    link.relayEndpoint = endpoints.WaitSide(c);
    const PeerEndpoint other = endpoints.OtherSide(c);
    if (c.tcp) {
        UniqueFd listening = ListenOn(other.address, other.port);
        link.relay = StartRelay(plan.value_or(endpoints.Plan(c)), head, std::move(events), kept);
        UniqueFd incoming = ConnectWithin(link.relayEndpoint.address, link.relayEndpoint.port);
        UniqueFd outgoing = AcceptWithin(listening.Get());
        // TCP data always goes from the client endpoint to the server endpoint.
        link.source = std::move(c.waitsOnServer ? outgoing : incoming);
        link.destination = std::move(c.waitsOnServer ? incoming : outgoing);
        // Ready once the relay itself knows both connections.
        WaitUntil([&] { return link.relay->Status().stage == RelayStage::Relaying; });
    } else {
        link.destination = BindUdp(other.address, other.port);
        link.relay = StartRelay(plan.value_or(endpoints.Plan(c)), head, std::move(events));
        if (WaitUntil(
                [&] { return IsUdpBound(link.relayEndpoint.address, link.relayEndpoint.port); })) {
            link.source = BindUdp(other.address, 0);
        }
    }
    return link;
}

// What arrived at the destination: for UDP one datagram, for TCP the next `expected` bytes.
inline std::string ReadForwarded(const WorkerCase& c, const Link& link, std::size_t expected,
                                 std::chrono::milliseconds timeout = kTimeout) {
    if (c.tcp) {
        return ReadStream(link.destination.Get(), expected, timeout).data;
    }
    const auto datagram = ReceiveDatagram(link.destination.Get(), timeout);
    return datagram ? datagram->data : std::string();
}

// True when nothing at all arrives at the destination for a while (a TCP close counts as nothing).
inline bool NothingForwarded(const WorkerCase& c, const Link& link) {
    if (c.tcp) {
        return ReadUntilClosed(link.destination.Get(), kQuiet).data.empty();
    }
    return !ReceiveDatagram(link.destination.Get(), kQuiet).has_value();
}

} // namespace relaytest
