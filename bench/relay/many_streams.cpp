// Many TCP streams at once through one relay: ours with [Relay] Streams=1000 (text and bytes)
// against nginx's stream module and haproxy, each a child process on a core of its own, measured
// in interleaved rounds with the load (stream_load.cpp) on the other cores:
//   - 1 000 streams of 1 MiB at once: aggregate throughput, and the relay's largest resident
//   memory;
//   - short streams (connect, 100 bytes, close), 50 at a time and one at a time: streams a second,
//     and the longest time in which none ended (a stall).
//
//   relay_many_streams [rounds] [--relay-program PATH]

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "contenders.h"
#include "relay_test_peers.h"
#include "stream_load.h"

namespace {

using namespace relaybench;
using relaytest::kClientAddress;
using relaytest::kServerAddress;

constexpr int kManyStreams = 1000;
constexpr const char* kBuiltRelayProgram = TARVEL_RELAY_EXECUTABLE;

std::string At(const char* address, int port) {
    return std::string(address) + ":" + std::to_string(port);
}

// Ours, serving up to kManyStreams streams at once, waiting on the client endpoint.
std::vector<std::string> Ours(const Programs& programs, const std::filesystem::path& folder,
                              int clientPort, int serverPort, const char* mode) {
    std::filesystem::create_directories(folder / "InfoFile");
    std::ofstream(folder / "InfoFile/ParameterSet.inf")
        << "[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=0\n[IP]\nNumber=1\n[Client1]\nIP="
        << kClientAddress << "\n[ClientPost1]\nPost=" << clientPort
        << "\n[Server1]\nIP=" << kServerAddress << "\n[ServerPost1]\nPost=" << serverPort
        << "\n[Forward]\nMode=" << mode << "\n[Relay]\nStreams=" << kManyStreams << "\n";
    return {programs.relay, "--workdir", folder.string()};
}
std::vector<std::string> OursText(const Programs& programs, const std::filesystem::path& folder,
                                  bool, int clientPort, int serverPort) {
    return Ours(programs, folder, clientPort, serverPort, "Text");
}
std::vector<std::string> OursBytes(const Programs& programs, const std::filesystem::path& folder,
                                   bool, int clientPort, int serverPort) {
    return Ours(programs, folder, clientPort, serverPort, "Bytes");
}

// One worker process, with connections enough for every stream's two.
std::vector<std::string> Nginx(const Programs& programs, const std::filesystem::path& folder, bool,
                               int clientPort, int serverPort) {
    const std::filesystem::path config = folder / "nginx.conf";
    std::ofstream(config) << "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n"
                             "worker_processes 1;\nworker_rlimit_nofile 8192;\n"
                             "error_log error.log;\npid nginx.pid;\n"
                             "events { worker_connections 4096; }\nstream {\n    server {\n"
                             "        listen "
                          << At(kClientAddress, clientPort) << " backlog=4096;\n        proxy_pass "
                          << At(kServerAddress, serverPort) << ";\n    }\n}\n";
    const std::string prefix = folder.string() + "/";
    return {programs.nginx,       "-p", prefix,       "-c", config.string(), "-e",
            prefix + "error.log", "-g", "daemon off;"};
}

// Its defaults, with connections enough and the timeouts it asks for.
std::vector<std::string> Haproxy(const Programs& programs, const std::filesystem::path& folder,
                                 bool, int clientPort, int serverPort) {
    const std::filesystem::path config = folder / "haproxy.cfg";
    std::ofstream(config) << "global\n    maxconn 4096\ndefaults\n    mode tcp\n    maxconn 4096\n"
                             "    timeout connect 5s\n    timeout client 120s\n"
                             "    timeout server 120s\nfrontend relay\n    bind "
                          << At(kClientAddress, clientPort)
                          << "\n    default_backend sink\nbackend sink\n    server sink "
                          << At(kServerAddress, serverPort) << "\n";
    return {programs.haproxy, "-db", "-f", config.string()};
}

struct Measure {
    const char* name;
    std::size_t streams;
    std::size_t atOnce;
    std::size_t bytes;
    Clock::duration limit;
};

const Measure kMeasures[] = {
    {"1000 x 1 MiB", kManyStreams, kManyStreams, 1 << 20, 60s},
    {"short, 50 at a time", 20000, 50, 100, 3s},
    {"short, one at a time", 5000, 1, 100, 2s},
};

// Readings of one contender in one measure over the rounds.
struct Readings {
    std::vector<double> rate; // MB/s for the long streams, streams a second for the short
    std::vector<double> rssMiB;
    std::vector<double> gapMs;
    int failed = 0;
};

void MeasureOnce(const Relay& relay, const Programs& programs, const Measure& measure,
                 Readings& readings) {
    // Below 10000, which the relay's port check takes; fresh for each measure, so that the
    // connections an earlier one closed never stand in its way.
    const int clientPort = relaytest::LowFreePort(kClientAddress, SOCK_STREAM);
    const int serverPort = relaytest::LowFreePort(kServerAddress, SOCK_STREAM);
    RelayProcess process(relay, programs, true, clientPort, serverPort);
    if (!process.AwaitReady([&] { return relaytest::IsListening(kClientAddress, clientPort); },
                            relay.WaitingLine(true))) {
        std::printf("  %s: did not come up: %s\n", relay.name, process.Output().c_str());
        ++readings.failed;
        return;
    }
    RelayWatch watch(&process);
    const StreamLoadResult result =
        RunStreamLoad({kClientAddress, clientPort, kServerAddress, serverPort, measure.streams,
                       measure.atOnce, measure.bytes, measure.limit});
    const Footprint footprint = watch.Stop();
    const bool timed = measure.streams > measure.atOnce; // short streams: as many as fit the time
    if (!result.ok && !(timed && result.ended > 0)) {
        std::printf("  %s, %s: %s\n", relay.name, measure.name, result.problem.c_str());
        ++readings.failed;
        return;
    }
    readings.rate.push_back(timed ? static_cast<double>(result.ended) / result.seconds
                                  : static_cast<double>(measure.streams * measure.bytes) /
                                        result.seconds / 1e6);
    readings.rssMiB.push_back(static_cast<double>(footprint.rssMax) / 1024);
    readings.gapMs.push_back(result.longestGapMs);
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    std::string relayProgram = kBuiltRelayProgram;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--relay-program" && i + 1 < argc) {
            relayProgram = argv[++i];
        } else {
            rounds = std::clamp(std::atoi(argv[i]), 1, 10);
        }
    }
    // Each stream costs the load three descriptors.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (const auto core = RelayCore()) {
        const cpu_set_t others = Cores(0, *core - 1);
        ::sched_setaffinity(0, sizeof others, &others);
    }
    const Programs programs = FindPrograms(relayProgram, "");
    std::vector<Relay> relays = {{"ours", Role::OursText, false, OursText},
                                 {"ours-bytes", Role::OursBytes, false, OursBytes}};
    if (!programs.nginx.empty()) {
        relays.push_back({"nginx", Role::Peer, false, Nginx});
    }
    if (!programs.haproxy.empty()) {
        relays.push_back({"haproxy", Role::Peer, false, Haproxy});
    }
    std::map<std::string, std::map<std::string, Readings>> figures;
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d of %d\n", round + 1, rounds);
        std::fflush(stdout);
        for (const Measure& measure : kMeasures) {
            for (std::size_t k = 0; k < relays.size(); ++k) {
                const Relay& relay = relays[(k + static_cast<std::size_t>(round)) % relays.size()];
                MeasureOnce(relay, programs, measure, figures[measure.name][relay.name]);
            }
        }
    }
    std::printf("\nmedians over %d rounds (failed rounds apart)\n", rounds);
    std::printf("%-22s %-11s %12s %14s %16s\n", "measure", "relay", "rate", "largest RSS MiB",
                "longest gap ms");
    for (const Measure& measure : kMeasures) {
        for (const Relay& relay : relays) {
            Readings& readings = figures[measure.name][relay.name];
            const bool long_ = measure.streams == measure.atOnce;
            std::printf("%-22s %-11s %9.0f %s %14.1f %16.1f%s\n", measure.name, relay.name,
                        Median(readings.rate), long_ ? "MB/s" : "/s  ", Median(readings.rssMiB),
                        Median(readings.gapMs),
                        readings.failed != 0
                            ? (" (" + std::to_string(readings.failed) + " failed)").c_str()
                            : "");
        }
    }
    return 0;
}
