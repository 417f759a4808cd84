// Relay throughput, CPU, datagram rate, loss, latency and memory: our program against the relays a
// user would pick instead, all run as child processes between the same source and sink on
// loopback, in interleaved rounds, with the direct path as the machine's limit. The targets are in
// bench/README.md.
//
//   relay_throughput [rounds] [--program PATH]
//
// PATH is the program to measure as "ours" (by default the one this build made). Every loop is
// bounded in count and time; a peer that is not installed is skipped.

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "contenders.h"
#include "relay_measurements.h"
#include "report.h"

namespace {

using namespace relaybench;

constexpr auto kUdpBlast = 1500ms;
constexpr auto kUdpPaced = 2s;
constexpr int kPacedRate = 100000;
// A rate a busy machine can still carry, to tell loss from overload apart from loss as such.
constexpr int kGentleRate = 10000;

#ifdef TARVEL_EXECUTABLE
constexpr const char* kBuiltProgram = TARVEL_EXECUTABLE;
#else
constexpr const char* kBuiltProgram = "";
#endif

// Throughput, datagram rates and loss of one contender in one round.
void MeasureRound(const Relay& relay, const Programs& programs, Figures& figures) {
    const TcpResult t = TcpThroughput(relay, programs);
    figures.tcp.Add(t.ok, t.mbPerSecond);
    std::printf("  %-11s tcp %7.1f MB/s%s", relay.name, t.mbPerSecond, t.ok ? "" : " (FAILED)");
    if (relay.command != nullptr) {
        figures.tcpCpu.Add(t.ok, t.cpuSecondsPerGb);
        if (t.ok) {
            figures.rssMin = figures.rssMin == 0 ? t.rssMin : std::min(figures.rssMin, t.rssMin);
            figures.rssMax = std::max(figures.rssMax, t.rssMax);
        }
        std::printf(" cpu %.3f s/GB rss %ld..%ld KiB", t.cpuSecondsPerGb, t.rssMin, t.rssMax);
    }
    if (relay.carriesUdp) {
        const UdpResult u512 = UdpRound(relay, programs, 512, kUdpBlast, 0);
        figures.udp512.Add(u512.ok, u512.deliveredPerSecond);
        const UdpResult u1400 = UdpRound(relay, programs, 1400, kUdpBlast, 0);
        figures.udp1400.Add(u1400.ok, u1400.deliveredPerSecond);
        const UdpResult p = UdpRound(relay, programs, 512, kUdpPaced, kPacedRate);
        figures.paced.Add(p.ok, p.lossPercent);
        const UdpResult g = UdpRound(relay, programs, 512, kUdpPaced, kGentleRate);
        figures.gentle.Add(g.ok, g.lossPercent);
        std::printf("\n  %-11s udp512 %7.0f/s (sent %7.0f/s)  udp1400 %7.0f/s  loss at %d/s "
                    "%.3f%% (sent %.0f/s), at %d/s %.3f%%",
                    "", u512.deliveredPerSecond, u512.sentPerSecond, u1400.deliveredPerSecond,
                    kPacedRate, p.lossPercent, p.sentPerSecond, kGentleRate, g.lossPercent);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// The latency of every contender over one protocol, the direct path's taken off for the added.
void MeasureLatency(const std::vector<Relay>& relays, const Programs& programs, bool tcp,
                    std::vector<Figures>& figures) {
    const std::vector<Latency> latencies = InterleavedLatency(relays, programs, tcp);
    const Latency& direct = latencies.back();
    std::printf("  %s latency p50/p99 us:", tcp ? "TCP" : "UDP");
    for (std::size_t i = 0; i < relays.size(); ++i) {
        const Latency& l = latencies[i];
        if (!tcp && !relays[i].carriesUdp) {
            continue;
        }
        Figures& f = figures[i];
        (tcp ? f.tcpP50 : f.udpP50).Add(l.ok, l.p50);
        (tcp ? f.tcpP99 : f.udpP99).Add(l.ok, l.p99);
        (tcp ? f.tcpAdded : f.udpAdded).Add(l.ok && direct.ok, l.p50 - direct.p50);
        std::printf("  %s %.1f/%.1f%s", relays[i].name, l.p50, l.p99, l.ok ? "" : " (FAILED)");
    }
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    std::string program = kBuiltProgram;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--program" && i + 1 < argc) {
            program = argv[++i];
        } else if (!arg.empty() && arg[0] != '-') {
            rounds = std::clamp(std::atoi(arg.c_str()), 1, 20);
        } else {
            std::fprintf(stderr, "usage: relay_throughput [rounds] [--program PATH]\n");
            return 2;
        }
    }
    if (const auto core = RelayCore()) {
        const cpu_set_t others = Cores(0, *core - 1);
        ::sched_setaffinity(0, sizeof others, &others);
        std::printf("relay on core %d, source and sink on cores 0..%d\n", *core, *core - 1);
        PrintMachineLimits(*core, 512, kPacedRate);
    }
    const Programs programs = FindPrograms(program);
    const std::vector<Relay> relays = Contenders(programs);
    std::printf("ours: %s\n", programs.tarvel.c_str());
    std::vector<Figures> figures(relays.size());

    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d/%d\n", round + 1, rounds);
        std::fflush(stdout);
        for (std::size_t k = 0; k < relays.size(); ++k) {
            // Rotate the order so that no contender always runs first.
            const std::size_t i = (static_cast<std::size_t>(round) + k) % relays.size();
            MeasureRound(relays[i], programs, figures[i]);
        }
        MeasureLatency(relays, programs, true, figures);
        MeasureLatency(relays, programs, false, figures);
    }
    PrintReport(relays, figures, rounds, kPacedRate, kGentleRate);
    return 0;
}
