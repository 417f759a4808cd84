// Relay throughput, CPU, datagram rate, loss, latency, memory and start time: our program against
// the relays a user would pick instead, all run as child processes between the same source and sink
// on loopback, in interleaved rounds, with the direct path as the machine's limit. The targets are
// in bench/README.md.
//
//   relay_throughput [rounds] [--relay-program PATH] [--program PATH] [--only NAME,...]
//                    [--profile strace|perf|record]
//
// --relay-program is the tarvel-relay to measure as "ours", --program the tarvel whose --headless
// is measured as "ours-dialog" (by default the ones this build made); --only keeps the contenders
// named (and the direct path); --profile makes one TCP transfer through each with the tool attached
// instead of the rounds. Every loop is bounded in count and time; a peer that is not installed is
// skipped.

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
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

constexpr const char* kBuiltRelayProgram = TARVEL_RELAY_EXECUTABLE;
#ifdef TARVEL_EXECUTABLE
constexpr const char* kBuiltProgram = TARVEL_EXECUTABLE;
#else
constexpr const char* kBuiltProgram = "";
#endif

// Its start and its memory while it relayed, kept as readings of the measure's series.
void AddFootprint(const Footprint& relay, bool ok, Series& start, Series& line, Series& rss) {
    start.Add(relay.startup.ready.has_value(), relay.startup.ready.value_or(0));
    if (relay.startup.line) {
        line.Add(true, *relay.startup.line);
    }
    if (ok && relay.rssMax > 0) {
        rss.Add(true, static_cast<double>(relay.rssMin) / 1024);
        rss.Add(true, static_cast<double>(relay.rssMax) / 1024);
    }
}

// Throughput, datagram rates and loss of one contender in one round.
void MeasureRound(const Relay& relay, const Programs& programs, Figures& figures) {
    const TcpResult t = TcpThroughput(relay, programs);
    figures.tcp.Add(t.ok, t.mbPerSecond);
    std::printf("  %-11s tcp %7.1f MB/s%s", relay.name, t.mbPerSecond, t.ok ? "" : " (FAILED)");
    if (relay.command != nullptr) {
        figures.tcpCpu.Add(t.ok, t.cpuSecondsPerGb);
        AddFootprint(t.relay, t.ok, figures.tcpStart, figures.tcpLine, figures.tcpRss);
        std::printf(" cpu %.3f s/GB rss %ld..%ld KiB start %.2f ms", t.cpuSecondsPerGb,
                    t.relay.rssMin, t.relay.rssMax, t.relay.startup.ready.value_or(0));
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
        if (relay.command != nullptr) {
            for (const UdpResult* u : {&u512, &u1400, &p, &g}) {
                AddFootprint(u->relay, u->ok, figures.udpStart, figures.udpLine, figures.udpRss);
            }
            std::printf(" rss %ld..%ld KiB start %.2f ms", u512.relay.rssMin, u512.relay.rssMax,
                        u512.relay.startup.ready.value_or(0));
        }
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

bool InList(std::string_view list, std::string_view name) {
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        if (list.substr(0, comma) == name) {
            return true;
        }
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return false;
}

struct Options {
    int rounds = 5;
    std::string relayProgram = kBuiltRelayProgram;
    std::string program = kBuiltProgram;
    std::string only; // names separated by commas, empty for all
    std::string tool;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool valued = i + 1 < argc;
        if (arg == "--relay-program" && valued) {
            options.relayProgram = argv[++i];
        } else if (arg == "--program" && valued) {
            options.program = argv[++i];
        } else if (arg == "--only" && valued) {
            options.only = argv[++i];
        } else if (arg == "--profile" && valued) {
            options.tool = argv[++i];
        } else if (!arg.empty() && arg[0] != '-') {
            options.rounds = std::clamp(std::atoi(arg.c_str()), 1, 20);
        } else {
            return std::nullopt;
        }
    }
    if (!options.tool.empty() && options.tool != "strace" && options.tool != "perf" &&
        options.tool != "record") {
        return std::nullopt;
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: relay_throughput [rounds] [--relay-program PATH] [--program PATH] "
                     "[--only NAME,...] [--profile strace|perf|record]\n");
        return 2;
    }
    if (const auto core = RelayCore()) {
        const cpu_set_t others = Cores(0, *core - 1);
        ::sched_setaffinity(0, sizeof others, &others);
        std::printf("relay on core %d, source and sink on cores 0..%d\n", *core, *core - 1);
        PrintMachineLimits(*core, 512, kPacedRate);
    }
    const Programs programs = FindPrograms(options->relayProgram, options->program);
    std::vector<Relay> relays = Contenders(programs);
    std::erase_if(relays, [&](const Relay& relay) {
        return !options->only.empty() && relay.role != Role::Direct &&
               !InList(options->only, relay.name);
    });
    if (!options->tool.empty()) {
        ProfileTcp(relays, programs, options->tool);
        return 0;
    }
    const int rounds = options->rounds;
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
