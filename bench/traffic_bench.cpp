// Cost of one traffic sample, as the graph's sampling tick takes it: one read of the kernel's
// interface table and the walk over it.
//   BM_Sample/<n>:  a fixture tree with n interfaces listed, all up
//   BM_SampleLive:  this machine's (or, under `ip netns exec`, a namespace's) interfaces;
//                   bench/traffic_netns.sh runs it with 500 cards
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "traffic/net_traffic.h"

namespace fs = std::filesystem;

namespace {

// A fake /proc/net/dev and /sys/class/net with loopback and n - 1 cards, removed at the end.
class FixtureTree {
public:
    explicit FixtureTree(int interfaces)
        : m_root(fs::temp_directory_path() /
                 ("tarvel-bench-" + std::to_string(getpid()) + "-" + std::to_string(interfaces))) {
        std::ofstream table(Create(m_root) / "dev");
        table << "Inter-|   Receive                                                |  Transmit\n"
                 " face |bytes    packets errs drop fifo frame compressed multicast|bytes    "
                 "packets errs drop fifo colls carrier compressed\n";
        for (int i = 0; i < interfaces; ++i) {
            const std::string name = i == 0 ? "lo" : "veth" + std::to_string(i);
            const fs::path sys = Create(m_root / "class" / name);
            std::ofstream(sys / "flags") << (i == 0 ? "0x9\n" : "0x1003\n");
            std::ofstream(sys / "speed") << "10000\n";
            table << name << ": 1234567890 1234567 0 0 0 0 0 0 987654321 765432 0 0 0 0 0 0\n";
        }
    }
    ~FixtureTree() { fs::remove_all(m_root); }
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;

    NetDevPaths Paths() const { return {(m_root / "dev").string(), (m_root / "class").string()}; }

private:
    static fs::path Create(const fs::path& path) {
        fs::create_directories(path);
        return path;
    }
    fs::path m_root;
};

void Sample(benchmark::State& state, NetTraffic& traffic) {
    if (traffic.InterfaceNames().empty()) {
        state.SkipWithError("no network interfaces");
        return;
    }
    traffic.SampleTraffic(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(traffic.SampleTraffic(0));
    state.counters["interfaces"] = static_cast<double>(traffic.InterfaceNames().size());
}

void BM_Sample(benchmark::State& state) {
    const FixtureTree tree(static_cast<int>(state.range(0)));
    NetTraffic traffic(tree.Paths());
    Sample(state, traffic);
}
BENCHMARK(BM_Sample)->Arg(2)->Arg(50)->Arg(500)->Unit(benchmark::kMicrosecond);

void BM_SampleLive(benchmark::State& state) {
    NetTraffic traffic;
    Sample(state, traffic);
}
BENCHMARK(BM_SampleLive)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
