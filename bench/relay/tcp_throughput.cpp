// TCP: one GiB from the source through the relay to the sink, counted without the zeros our relay
// adds in text mode, and the relay's CPU time and resident memory meanwhile.
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "relay_measurements.h"

namespace relaybench {

namespace {
constexpr std::size_t kTcpTotal = std::size_t{1} << 30; // input bytes per round
constexpr std::size_t kSourceWrite = std::size_t{1} << 20;
constexpr std::size_t kSinkRead = std::size_t{256} << 10;

// The zero bytes in what arrived. Every contender's sink looks for them alike, so that text mode's
// count costs the sink no more than the others'; memchr runs at memory speed over data where zeros
// are rare.
std::size_t Zeros(const char* data, std::size_t size) {
    std::size_t zeros = 0;
    const char* const end = data + size;
    while (const void* zero = std::memchr(data, 0, static_cast<std::size_t>(end - data))) {
        ++zeros;
        data = static_cast<const char*>(zero) + 1;
    }
    return zeros;
}
} // namespace

TcpResult TcpThroughput(const Relay& relay, const Programs& programs) {
    TcpPath path = OpenTcpPath(relay, programs);
    return path.Ready() ? TcpTransfer(relay, path) : TcpResult{};
}

TcpResult TcpTransfer(const Relay& relay, TcpPath& path) {
    TcpResult result;
    std::size_t inputReceived = 0;
    std::size_t strayZeros = 0; // from a relay that should add none
    Clock::time_point finished;
    std::thread sink([&] {
        std::vector<char> chunk(kSinkRead);
        const auto deadline = Clock::now() + kTransferTimeout;
        while (Clock::now() < deadline) {
            const ssize_t got = ::recv(path.sink.Get(), chunk.data(), chunk.size(), 0);
            if (got <= 0) {
                break;
            }
            const std::size_t zeros = Zeros(chunk.data(), static_cast<std::size_t>(got));
            inputReceived += static_cast<std::size_t>(got) - (relay.AddsZero() ? zeros : 0);
            strayZeros += relay.AddsZero() ? 0 : zeros;
        }
        finished = Clock::now();
    });
    const pid_t relayPid = path.relay ? path.relay->Pid() : -1;
    const double cpuBefore = ProcessTreeUse(relayPid).cpuSeconds;
    RelayWatch watch(path.relay.get());

    const std::string block = Letters(kSourceWrite);
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < kTcpTotal && Clock::now() - start < kTransferTimeout) {
        const ssize_t wrote = ::send(path.source.Get(), block.data(),
                                     std::min(block.size(), kTcpTotal - sent), MSG_NOSIGNAL);
        if (wrote <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    path.source.Reset();
    sink.join();
    // Before the relay is ended: what it used to carry this transfer.
    const double cpu = ProcessTreeUse(relayPid).cpuSeconds - cpuBefore;
    result.relay = watch.Stop();
    result.ok = inputReceived == kTcpTotal && strayZeros == 0;
    result.megabytes = static_cast<double>(inputReceived) / 1e6;
    result.mbPerSecond = result.megabytes / Seconds(finished - start);
    result.cpuSecondsPerGb = cpu / (result.megabytes / 1e3);
    return result;
}

} // namespace relaybench
