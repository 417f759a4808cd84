#pragma once

#include <cstdint>
#include <string>

#include "relay/endpoint.h"

// The two configured endpoints: the client endpoint is on the 输入网卡 side, the server endpoint
// on the 输出网卡 side.
enum class RelaySide { Client, Server };

// The set-up step of a worker that failed.
// Wake: the descriptor through which Stop reaches the worker could not be made.
enum class SetupStep { Socket, Bind, Listen, Accept, Connect, Wake };

// How a worker ended, or that it still runs.
enum class RelayEnd {
    Running,
    SetupFailed,     // step, side, endpoint and error say what failed
    SourceClosed,    // the source closed its stream, or its receive failed (error set then)
    DestinationGone, // a send to the TCP destination failed, or its connection failed
    Stopped,         // Stop (or the stop flag) ended it
    HandedOver,      // released for a hand-over: its sockets and unsent bytes go on elsewhere
    Idle,            // TCP: nothing moved for the plan's idle limit
};

// What a relay forwarded and refused so far.
struct RelayCounts {
    std::uint64_t bytesForwarded = 0;
    std::uint64_t datagramsForwarded = 0;
    std::uint64_t datagramsCut = 0; // longer than one unit, forwarded cut
    std::uint64_t bytesDropped = 0; // text: bytes after a unit's first zero, never forwarded
    std::uint64_t refused = 0;      // connections closed or datagrams dropped: not allowed
    // Lost on the way: UDP datagrams the system dropped in the receive queue (it was full), and
    // datagrams or TCP bytes that could not be sent on.
    std::uint64_t datagramsQueueDropped = 0;
    std::uint64_t datagramsUnsent = 0;
    std::uint64_t bytesUnsent = 0;

    friend bool operator==(const RelayCounts&, const RelayCounts&) = default;
    RelayCounts& operator+=(const RelayCounts& more) noexcept {
        bytesForwarded += more.bytesForwarded;
        datagramsForwarded += more.datagramsForwarded;
        datagramsCut += more.datagramsCut;
        bytesDropped += more.bytesDropped;
        refused += more.refused;
        datagramsQueueDropped += more.datagramsQueueDropped;
        datagramsUnsent += more.datagramsUnsent;
        bytesUnsent += more.bytesUnsent;
        return *this;
    }
};

// How a relay ended (or that it runs), with its counts.
struct RelayOutcome : RelayCounts {
    RelayEnd end = RelayEnd::Running;
    SetupStep step = SetupStep::Socket;
    RelaySide side = RelaySide::Client;
    Endpoint endpoint;
    int error = 0; // errno of the failed call; 0 for an orderly end
    Endpoint peer; // TCP: the peer whose connection ended the stream
    // TCP: of the bytes forwarded, those a destination that failed never acknowledged.
    std::uint64_t unacknowledged = 0;
};

// 输入网卡 for the client side, 输出网卡 for the server side.
std::string SideName(RelaySide side);

// "输入网卡 127.0.0.2:5555"
std::string SideEndpointText(RelaySide side, const Endpoint& endpoint);

// For a failed set-up: side, endpoint, step and reason, as in
// "输入网卡 127.0.0.2:5555 无法绑定: 地址已被占用".
std::string DescribeSetupFailure(const RelayOutcome& outcome);

// One line for any outcome: the set-up failure as above, or how the stream ended.
std::string DescribeRelayEnd(const RelayOutcome& outcome);
