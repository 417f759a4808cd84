// Relay throughput, datagram rate, loss, latency and memory: our relay against socat, both run as
// child processes between the same source and sink on loopback, in interleaved rounds. The targets
// are in bench/README.md.
//
//   relay_throughput [rounds]
//
// Every loop is bounded in count and time. socat is looked up on PATH; without it its rounds are
// skipped.

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "relay_measurements.h"

namespace {

using namespace relaybench;

constexpr auto kUdpBlast = 1500ms;
constexpr auto kUdpPaced = 2s;
constexpr int kPacedRate = 100000;
// A rate a busy machine can still carry, to tell loss from overload apart from loss as such.
constexpr int kGentleRate = 10000;

struct Series {
    std::vector<double> values;
    void Add(bool ok, double value) {
        if (ok) {
            values.push_back(value);
        }
    }
    double Median() const { return relaybench::Median(values); }
};

void PrintRatio(const char* what, double ours, double socat, const char* unit) {
    std::printf("%-34s ours %10.1f %-6s socat %10.1f %-6s ratio %5.2f\n", what, ours, unit, socat,
                unit, socat > 0 ? ours / socat : 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--serve") {
        return Serve(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    const int rounds = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 20) : 5;
    Programs programs;
    programs.self = std::filesystem::canonical("/proc/self/exe").string();
    if (const auto core = RelayCore()) {
        const cpu_set_t others = Cores(0, *core - 1);
        ::sched_setaffinity(0, sizeof others, &others);
        std::printf("relay on core %d, source and sink on cores 0..%d\n", *core, *core - 1);
        PrintMachineLimits(*core, 512, kPacedRate);
    }
    const std::optional<std::string> socatPath = FindOnPath("socat");
    programs.socat = socatPath.value_or("");
    if (!socatPath) {
        std::printf("socat not found on PATH: its rounds are skipped, no ratios.\n");
    }

    std::vector<Relay> relays = {{"ours", OursCommand, true}};
    if (socatPath) {
        relays.push_back({"socat", SocatCommand, false});
    }
    relays.push_back({"direct", nullptr, false});
    const std::size_t n = relays.size();
    std::vector<Series> tcp(n), udp512(n), udp1400(n), paced(n), gentle(n), p50(n), p99(n);
    std::vector<long> rssMin(n, 0), rssMax(n, 0);

    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d/%d\n", round + 1, rounds);
        std::fflush(stdout);
        for (std::size_t k = 0; k < n; ++k) {
            // Alternate the order so neither relay always runs first.
            const std::size_t i = (static_cast<std::size_t>(round) + k) % n;
            const Relay& relay = relays[i];

            const TcpResult t = TcpThroughput(relay, programs);
            tcp[i].Add(t.ok, t.mbPerSecond);
            if (t.ok) {
                rssMin[i] = rssMin[i] == 0 ? t.rssMin : std::min(rssMin[i], t.rssMin);
                rssMax[i] = std::max(rssMax[i], t.rssMax);
            }
            const UdpResult u512 = UdpRound(relay, programs, 512, kUdpBlast, 0);
            udp512[i].Add(u512.ok, u512.deliveredPerSecond);
            const UdpResult u1400 = UdpRound(relay, programs, 1400, kUdpBlast, 0);
            udp1400[i].Add(u1400.ok, u1400.deliveredPerSecond);
            const UdpResult p = UdpRound(relay, programs, 512, kUdpPaced, kPacedRate);
            paced[i].Add(p.ok, p.lossPercent);
            const UdpResult g = UdpRound(relay, programs, 512, kUdpPaced, kGentleRate);
            gentle[i].Add(g.ok, g.lossPercent);
            std::printf("  %-6s tcp %7.1f MB/s%s  udp512 %7.0f/s (sent %7.0f/s)  udp1400 %7.0f/s  "
                        "paced loss %.3f%% (sent %.0f/s)  at %d/s %.3f%%",
                        relay.name, t.mbPerSecond, t.ok ? "" : " (FAILED)", u512.deliveredPerSecond,
                        u512.sentPerSecond, u1400.deliveredPerSecond, p.lossPercent,
                        p.sentPerSecond, kGentleRate, g.lossPercent);
            if (relay.command != nullptr) {
                std::printf("  rss %ld..%ld KiB", t.rssMin, t.rssMax);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        const std::vector<Latency> latencies = InterleavedLatency(relays, programs);
        std::printf("  latency p50/p99 us:");
        for (std::size_t i = 0; i < n; ++i) {
            p50[i].Add(latencies[i].ok, latencies[i].p50);
            p99[i].Add(latencies[i].ok, latencies[i].p99);
            std::printf("  %s %.1f/%.1f%s", relays[i].name, latencies[i].p50, latencies[i].p99,
                        latencies[i].ok ? "" : " (FAILED)");
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    std::printf("\nmedians over %d rounds\n", rounds);
    const double directP50 = p50[n - 1].Median();
    for (std::size_t i = 0; i < n; ++i) {
        std::printf("%-6s tcp %.1f MB/s, udp512 %.0f/s, udp1400 %.0f/s, paced loss %.3f%% "
                    "(at %d/s %.3f%%), "
                    "latency p50 %.1f us (added %.1f) p99 %.1f us",
                    relays[i].name, tcp[i].Median(), udp512[i].Median(), udp1400[i].Median(),
                    paced[i].Median(), kGentleRate, gentle[i].Median(), p50[i].Median(),
                    p50[i].Median() - directP50, p99[i].Median());
        if (relays[i].command != nullptr) {
            std::printf(", relay RSS %ld..%ld KiB", rssMin[i], rssMax[i]);
        }
        std::printf("\n");
    }
    if (n == 3) {
        std::printf("\n");
        PrintRatio("TCP throughput", tcp[0].Median(), tcp[1].Median(), "MB/s");
        PrintRatio("UDP 512-byte datagrams delivered", udp512[0].Median(), udp512[1].Median(),
                   "/s");
        PrintRatio("UDP 1400-byte datagrams delivered", udp1400[0].Median(), udp1400[1].Median(),
                   "/s");
        PrintRatio("latency p50 (total)", p50[0].Median(), p50[1].Median(), "us");
        std::printf("paced %d/s loss: ours %.3f%%, socat %.3f%%\n", kPacedRate, paced[0].Median(),
                    paced[1].Median());
        std::printf("paced %d/s loss: ours %.3f%%, socat %.3f%%\n", kGentleRate, gentle[0].Median(),
                    gentle[1].Median());
    }
    return 0;
}
