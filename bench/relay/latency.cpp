// Latency: one 64-byte message at a time from the source through the relay to the sink, over TCP
// or UDP.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "relay_measurements.h"

namespace relaybench {

namespace {

constexpr int kLatencyBlocks = 50;
constexpr int kLatencyBlock = 100; // messages per relay in turn
constexpr std::size_t kMessage = 64;
// A datagram not there by then counts as lost; a relay that loses more has no figure.
constexpr int kDatagramWait = 200; // ms
constexpr int kMostLost = 10;

Latency Percentiles(std::vector<double> samples) {
    Latency latency;
    if (samples.empty()) {
        return latency;
    }
    std::sort(samples.begin(), samples.end());
    latency.p50 = samples[samples.size() / 2];
    latency.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    latency.ok = true;
    return latency;
}

double MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Times source -> (relay) -> sink of one message at a time; false when a message did not arrive.
bool MeasureTcp(const TcpPath& path, std::size_t expectedPerMessage, int messages,
                std::vector<double>& samples) {
    const std::string message = Letters(kMessage);
    std::array<char, 4096> chunk{};
    for (int i = 0; i < messages; ++i) {
        const auto start = Clock::now();
        if (::send(path.source.Get(), message.data(), message.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(message.size())) {
            return false;
        }
        std::size_t got = 0;
        while (got < expectedPerMessage) {
            pollfd entry{path.sink.Get(), POLLIN, 0};
            if (::poll(&entry, 1, 1000) != 1) {
                return false;
            }
            const ssize_t n = ::recv(path.sink.Get(), chunk.data(), chunk.size(), 0);
            if (n <= 0) {
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        samples.push_back(MicrosecondsSince(start));
    }
    return true;
}

// The same with datagrams, each numbered in letters (a zero byte would end a text unit), so that
// one that comes late is not taken for the next; false once too many were lost.
bool MeasureUdp(const UdpPath& path, int messages, std::vector<double>& samples, int& lost) {
    static unsigned number = 0;
    std::string message = Letters(kMessage);
    std::array<char, 4096> chunk{};
    for (int i = 0; i < messages && lost <= kMostLost; ++i) {
        std::snprintf(chunk.data(), chunk.size(), "%08u", ++number % 100000000U);
        std::memcpy(message.data(), chunk.data(), 8);
        const auto start = Clock::now();
        if (::sendto(path.source.Get(), message.data(), message.size(), 0, path.to.Address(),
                     path.to.Length()) != static_cast<ssize_t>(message.size())) {
            return false;
        }
        bool arrived = false;
        while (!arrived) {
            pollfd entry{path.sink.Get(), POLLIN, 0};
            if (::poll(&entry, 1, kDatagramWait) != 1) {
                break;
            }
            const ssize_t n = ::recv(path.sink.Get(), chunk.data(), chunk.size(), 0);
            arrived = n >= 8 && std::memcmp(chunk.data(), message.data(), 8) == 0;
        }
        if (arrived) {
            samples.push_back(MicrosecondsSince(start));
        } else {
            ++lost;
        }
    }
    return lost <= kMostLost;
}

} // namespace

// Paths open side by side, measured in alternating blocks of messages, so that a slow spell of the
// machine falls on all of them alike.
std::vector<Latency> InterleavedLatency(const std::vector<Relay>& relays, const Programs& programs,
                                        bool tcp) {
    std::vector<TcpPath> tcpPaths(relays.size());
    std::vector<UdpPath> udpPaths(relays.size());
    std::vector<bool> ok(relays.size());
    for (std::size_t i = 0; i < relays.size(); ++i) {
        if (tcp) {
            tcpPaths[i] = OpenTcpPath(relays[i], programs);
            ok[i] = tcpPaths[i].Ready();
        } else if (relays[i].carriesUdp) {
            udpPaths[i] = OpenUdpPath(relays[i], programs);
            ok[i] = udpPaths[i].Ready();
        }
    }
    std::vector<std::vector<double>> samples(relays.size());
    std::vector<int> lost(relays.size(), 0);
    for (int block = 0; block < kLatencyBlocks; ++block) {
        for (std::size_t i = 0; i < relays.size(); ++i) {
            if (ok[i] && tcp) {
                ok[i] = MeasureTcp(tcpPaths[i], relays[i].AddsZero() ? kMessage + 1 : kMessage,
                                   kLatencyBlock, samples[i]);
            } else if (ok[i]) {
                ok[i] = MeasureUdp(udpPaths[i], kLatencyBlock, samples[i], lost[i]);
            }
        }
    }
    std::vector<Latency> latencies(relays.size());
    for (std::size_t i = 0; i < relays.size(); ++i) {
        if (ok[i]) {
            latencies[i] = Percentiles(std::move(samples[i]));
        }
    }
    return latencies;
}

} // namespace relaybench
