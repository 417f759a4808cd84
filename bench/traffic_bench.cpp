// Cost of one traffic sample on this machine: the query that builds the answer from /proc and
// /sys, the parse, and both together as the graph's sampling tick does them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "platform/perf_data_layout.h"
#include "platform/perf_data_linux.h"
#include "traffic/net_traffic.h"
#include "traffic/perf_data_parser.h"

namespace {

void BM_SampleTraffic(benchmark::State& state) {
    NetTraffic traffic;
    if (traffic.InterfaceNames().empty()) {
        state.SkipWithError("no network interfaces");
        return;
    }
    traffic.SampleTraffic(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(traffic.SampleTraffic(0));
}
BENCHMARK(BM_SampleTraffic)->Unit(benchmark::kMicrosecond);

void BM_QueryOnly(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(NetTraffic::kBufferStep);
    for (auto _ : state) {
        std::uint32_t size = NetTraffic::kBufferStep;
        benchmark::DoNotOptimize(QueryNetworkPerfData("510", buffer.data(), &size));
    }
}
BENCHMARK(BM_QueryOnly)->Unit(benchmark::kMicrosecond);

void BM_ParseOnly(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(NetTraffic::kBufferStep);
    std::uint32_t size = NetTraffic::kBufferStep;
    if (QueryNetworkPerfData("510", buffer.data(), &size) != ERROR_SUCCESS) {
        state.SkipWithError("query failed");
        return;
    }
    buffer.resize(size);
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseNetworkObjects(buffer, kBytesTotalCounterIndex));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}
BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
