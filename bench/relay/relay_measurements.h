#pragma once

// The relay measurements, one file each.

#include <cstddef>
#include <string>
#include <vector>

#include "relay_harness.h"

namespace relaybench {

// How fast the machine wakes a thread blocked on the relay core, and how many datagrams a socket
// with the system's default buffer holds: the limits a blocking relay keeps a paced stream within.
void PrintMachineLimits(int relayCore, std::size_t datagramSize, int rate);

struct TcpResult {
    double megabytes = 0; // of input that reached the sink
    double mbPerSecond = 0;
    double cpuSecondsPerGb = 0; // the relay's, over the transfer
    Footprint relay;
    bool ok = false;
};

// One GiB through the relay; the relay's CPU time and memory watched meanwhile.
TcpResult TcpThroughput(const Relay& relay, const Programs& programs);
// The same over a path already open.
TcpResult TcpTransfer(const Relay& relay, TcpPath& path);

// Where a TCP relay spends its time: one transfer of each relay with a tool attached to it
// ("strace": system calls, "perf": perf stat's software counters, "record": perf record).
void ProfileTcp(const std::vector<Relay>& relays, const Programs& programs,
                const std::string& tool);

struct UdpResult {
    double sentPerSecond = 0;
    double deliveredPerSecond = 0;
    double lossPercent = 0;
    Footprint relay;
    bool ok = false;
};

// Datagrams of `size` bytes for `duration`, at full speed (rate 0) or paced at `rate` per second;
// the relay's memory watched meanwhile.
UdpResult UdpRound(const Relay& relay, const Programs& programs, std::size_t size,
                   Clock::duration duration, int rate);

struct Latency {
    double p50 = 0;
    double p99 = 0;
    bool ok = false;
};

// The latency of every relay over TCP or UDP, in alternating blocks over paths open side by side;
// not measured for a relay that does not carry the protocol.
std::vector<Latency> InterleavedLatency(const std::vector<Relay>& relays, const Programs& programs,
                                        bool tcp);

} // namespace relaybench
