// Latency: one 64-byte message at a time from the source through the relay to the sink.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>

#include "relay_measurements.h"

namespace relaybench {

namespace {

constexpr int kLatencyBlocks = 50;
constexpr int kLatencyBlock = 100; // messages per relay in turn

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

// Times source -> (relay) -> sink of one 64-byte message at a time, in microseconds; false when a
// message did not arrive.
bool MeasureLatency(const TcpPath& path, std::size_t expectedPerMessage, int messages,
                    std::vector<double>& samples) {
    const std::string message = Letters(64);
    std::array<char, 4096> chunk{};
    for (int i = 0; i < messages; ++i) {
        const auto start = Clock::now();
        if (::send(path.source.Get(), message.data(), message.size(), MSG_NOSIGNAL) != 64) {
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
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return true;
}

} // namespace

// The latency of every relay, measured in alternating blocks of messages over paths open side by
// side, so that a slow spell of the machine falls on all of them alike.
std::vector<Latency> InterleavedLatency(const std::vector<Relay>& relays,
                                        const Programs& programs) {
    std::vector<TcpPath> paths;
    for (const Relay& relay : relays) {
        paths.push_back(OpenTcpPath(relay, programs));
    }
    std::vector<std::vector<double>> samples(relays.size());
    std::vector<bool> ok(relays.size());
    for (std::size_t i = 0; i < relays.size(); ++i) {
        ok[i] = paths[i].Ready();
    }
    for (int block = 0; block < kLatencyBlocks; ++block) {
        for (std::size_t i = 0; i < relays.size(); ++i) {
            if (ok[i]) {
                ok[i] = MeasureLatency(paths[i], relays[i].addsZero ? 65 : 64, kLatencyBlock,
                                       samples[i]);
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
