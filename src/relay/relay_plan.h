#pragma once

#include <chrono>
#include <functional>

#include "relay/allowed_sources.h"
#include "relay/endpoint.h"
#include "relay/relay_outcome.h"

// Which way a relay works: client to server (客户端到服务器端) waits on the server endpoint,
// server to client (服务器端到客户端) on the client endpoint.
enum class RelayMode { ClientToServer, ServerToClient };
enum class RelayProtocol { Udp, Tcp };

// What is forwarded of the data received. Text: each received unit (at most 4095 bytes) up to its
// first zero byte, then one zero byte, which peers written for this tool rely on. Bytes: the bytes
// exactly as received; whole datagrams of up to 65 507 bytes.
enum class ForwardMode { Text, Bytes };

// Everything a relay does, fixed when it starts: nothing the operator types afterwards reaches it.
// TCP listens on the wait endpoint, accepts one connection and connects to the other endpoint;
// the data always flows from the client side to the server side. UDP binds the wait endpoint and
// sends every datagram to the other endpoint.
struct RelayPlan {
    RelayMode mode = RelayMode::ClientToServer;
    RelayProtocol protocol = RelayProtocol::Tcp;
    RelaySide waitSide = RelaySide::Server;
    Endpoint waitEndpoint;
    Endpoint otherEndpoint;
    ForwardMode forward = ForwardMode::Text;
    AllowedSources allowed;
    // TCP: a stream on which nothing moved this long ends; zero for never.
    std::chrono::seconds idleLimit{0};
    // TCP: how many streams are served at the same time; 1 serves one after another. UDP: unused.
    unsigned streams = 1;

    RelaySide OtherSide() const noexcept {
        return waitSide == RelaySide::Client ? RelaySide::Server : RelaySide::Client;
    }
    const Endpoint& EndpointOf(RelaySide side) const noexcept {
        return side == waitSide ? waitEndpoint : otherEndpoint;
    }
    // Where the data comes from: TCP copies from the client side's connection into the server
    // side's, whichever side it listens on; UDP sends on what arrives where it is bound.
    RelaySide SourceSide() const noexcept {
        return protocol == RelayProtocol::Tcp ? RelaySide::Client : waitSide;
    }
    friend bool operator==(const RelayPlan&, const RelayPlan&) = default;
};

// The most TCP streams a relay serves at once: each costs two descriptors.
inline constexpr unsigned kMostStreams = 10000;

// The plan for a mode and protocol between the client and the server endpoint.
RelayPlan MakeRelayPlan(RelayMode mode, RelayProtocol protocol, const Endpoint& client,
                        const Endpoint& server, ForwardMode forward = ForwardMode::Text,
                        AllowedSources allowed = {});

// Whether an address belongs to this machine, as the system delivers to it.
using LocalAddressTest = std::function<bool(const Endpoint& address)>;

// One of this machine's interfaces' addresses, or any address of a loopback network (all of
// 127.0.0.0/8 is this machine's).
bool IsLocalAddress(const Endpoint& address);

// Whether a socket can be bound to `address` here: the wildcard, or one of this machine's
// addresses (by `isLocal`).
bool CanBindHere(const Endpoint& address, const LocalAddressTest& isLocal = IsLocalAddress);

// Whether the relay would send to itself: its other endpoint is its own wait endpoint (the same
// address and port), or one a wildcard wait endpoint takes in (an address of this machine, by
// `isLocal`), or the wildcard, which the system delivers to the loopback address. A UDP relay so
// aimed sends one datagram round and round for ever; a TCP relay connects to its own listener.
bool AimsAtItself(const RelayPlan& plan, const LocalAddressTest& isLocal = IsLocalAddress);

// Whether a relay running `running` can go on under `wanted` without cutting its stream: the same
// direction, protocol, endpoints and forwarding, one stream at a time or several at once, and
// `peer` (who is connected, when anyone is) among the sources `wanted` allows. What may differ
// applies from then on: the allowed sources, the idle limit and how many streams at once.
bool CarriesOn(const RelayPlan& running, const RelayPlan& wanted, const Endpoint& peer);
