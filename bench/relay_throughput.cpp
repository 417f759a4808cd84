// Relay throughput, datagram rate, loss, latency and memory: our relay against socat, both run as
// child processes between the same source and sink on loopback, in interleaved rounds.
//
//   relay_throughput [rounds]
//
// Every loop is bounded in count and time. socat is looked up on PATH; without it its rounds are
// skipped.

#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "relay/relay_control.h"
#include "relay/relay_sockets.h"
#include "relay/relay_state.h"
#include "relay/relay_workers.h"
#include "relay_test_peers.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The sockets of the test peers serve the benchmark's source and sink too.
using relaytest::AcceptWithin;
using relaytest::AsSockaddr;
using relaytest::BindUdp;
using relaytest::ConnectWithin;
using relaytest::FreePort;
using relaytest::IsUdpBound;
using relaytest::kClientAddress;
using relaytest::kServerAddress;
using relaytest::ListenOn;

constexpr std::size_t kTcpTotal = std::size_t{1} << 30; // input bytes per TCP round
constexpr std::size_t kSourceWrite = std::size_t{1} << 20;
constexpr std::size_t kSinkRead = std::size_t{256} << 10;
constexpr auto kUdpBlast = 1500ms;
constexpr std::size_t kBatch = 64; // datagrams per call of the test sender and sink
constexpr auto kUdpPaced = 2s;
constexpr int kPacedRate = 100000;
// A rate a busy machine can still carry, to tell loss from overload apart from loss as such.
constexpr int kGentleRate = 10000;
constexpr int kLatencyBlocks = 50;
constexpr int kLatencyBlock = 100; // messages per relay in turn
constexpr int kWakeUps = 2000;
constexpr auto kSetupTimeout = 5s;
constexpr auto kTransferTimeout = 60s;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

long RssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

std::optional<std::string> FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate =
            std::filesystem::path(dirs.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        start = end + 1;
    }
    return std::nullopt;
}

// On a machine with more than one core the relay under test gets the last core to itself and the
// source and sink share the others, so the figures show what the relay can carry rather than how
// the scheduler splits one core between a sender running flat out and the relay.
std::optional<int> RelayCore() {
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (cores < 2) {
        return std::nullopt;
    }
    return static_cast<int>(cores - 1);
}

cpu_set_t Cores(int first, int last) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int core = first; core <= last; ++core) {
        CPU_SET(core, &set);
    }
    return set;
}

// A relay running as a child process; ended when the round is over.
class RelayProcess {
public:
    explicit RelayProcess(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        // The child inherits the spawning thread's cores, so it runs on its own core from the
        // start, all its threads included.
        cpu_set_t own;
        ::sched_getaffinity(0, sizeof own, &own);
        if (const auto core = RelayCore()) {
            const cpu_set_t relayCore = Cores(*core, *core);
            ::sched_setaffinity(0, sizeof relayCore, &relayCore);
        }
        if (::posix_spawn(&m_pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        ::sched_setaffinity(0, sizeof own, &own);
    }
    ~RelayProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

struct Relay {
    const char* name;
    // Full command for a relay from the client endpoint to the server endpoint; none for the
    // direct path from source to sink, which shows what the machine itself can do.
    std::vector<std::string> (*command)(const std::string& self, const std::string& socat, bool tcp,
                                        int clientPort, int serverPort);
    bool addsZero; // our relay ends each forwarded unit with a zero byte
};

std::vector<std::string> OursCommand(const std::string& self, const std::string&, bool tcp,
                                     int clientPort, int serverPort) {
    return {self, "--serve", tcp ? "tcp" : "udp", std::to_string(clientPort),
            std::to_string(serverPort)};
}

std::vector<std::string> SocatCommand(const std::string&, const std::string& socat, bool tcp,
                                      int clientPort, int serverPort) {
    const std::string client = std::to_string(clientPort);
    const std::string server = std::to_string(serverPort);
    if (tcp) {
        return {socat, "-u", "TCP4-LISTEN:" + client + ",bind=" + kClientAddress + ",reuseaddr",
                std::string("TCP4:") + kServerAddress + ":" + server};
    }
    return {socat, "-u", "UDP4-RECV:" + client + ",bind=" + kClientAddress,
            std::string("UDP4-SENDTO:") + kServerAddress + ":" + server};
}

std::string Letters(std::size_t size) {
    std::string text(size, 'a');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

// A relay that blocks between datagrams keeps a paced stream only while its wake-ups take less time
// than its receive buffer covers at that rate. Both are the machine's, so they are printed first:
// the wake-up of a thread blocked on the relay's core, handed a message from another core, and how
// many datagrams a socket with the system's default buffer holds unread.
void PrintMachineLimits(int relayCore, std::size_t datagramSize, int rate) {
    std::array<int, 2> ends{};
    if (::pipe(ends.data()) != 0) {
        return;
    }
    std::vector<double> wakeUps;
    std::thread sleeper([&] {
        const cpu_set_t core = Cores(relayCore, relayCore);
        ::sched_setaffinity(0, sizeof core, &core);
        Clock::rep sentAt = 0;
        while (::read(ends[0], &sentAt, sizeof sentAt) == sizeof sentAt && sentAt >= 0) {
            const Clock::time_point sent{Clock::duration(sentAt)};
            wakeUps.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        }
    });
    for (int i = 0; i <= kWakeUps; ++i) {
        std::this_thread::sleep_for(1ms); // the sleeper is blocked again by then
        const Clock::rep now = i < kWakeUps ? Clock::now().time_since_epoch().count() : -1;
        if (::write(ends[1], &now, sizeof now) != sizeof now) {
            break;
        }
    }
    ::close(ends[1]);
    sleeper.join();
    ::close(ends[0]);
    std::sort(wakeUps.begin(), wakeUps.end());

    SocketHandle unread = BindUdp(kServerAddress, 0);
    sockaddr_in at{};
    socklen_t length = sizeof at;
    ::getsockname(unread.Get(), reinterpret_cast<sockaddr*>(&at), &length);
    SocketHandle sender = BindUdp(kClientAddress, 0);
    const std::string payload = Letters(datagramSize);
    for (int i = 0; i < 5000; ++i) {
        ::sendto(sender.Get(), payload.data(), payload.size(), MSG_DONTWAIT, AsSockaddr(at),
                 sizeof at);
    }
    int held = 0;
    std::array<char, 2048> chunk{};
    while (::recv(unread.Get(), chunk.data(), chunk.size(), MSG_DONTWAIT) >= 0) {
        ++held;
    }

    if (!wakeUps.empty()) {
        const auto over =
            std::count_if(wakeUps.begin(), wakeUps.end(), [](double us) { return us > 1000; });
        std::printf("wake-up on the relay core: p50 %.0f us, p99 %.0f us, max %.0f us, %ld of %zu "
                    "over 1 ms\n",
                    wakeUps[wakeUps.size() / 2], wakeUps[wakeUps.size() * 99 / 100], wakeUps.back(),
                    static_cast<long>(over), wakeUps.size());
    }
    std::printf("default receive buffer: %d datagrams of %zu bytes, %.2f ms at %d/s\n", held,
                datagramSize, 1000.0 * held / rate, rate);
}

// The source, the relay and the sink of one TCP round, connected.
struct TcpPath {
    std::unique_ptr<RelayProcess> relay;
    SocketHandle source;
    SocketHandle sink;
    bool Ready() const { return source.Valid() && sink.Valid(); }
};

TcpPath OpenTcpPath(const Relay& relay, const std::string& self, const std::string& socat) {
    TcpPath path;
    const int clientPort = FreePort(kClientAddress, SOCK_STREAM);
    const int serverPort = FreePort(kServerAddress, SOCK_STREAM);
    SocketHandle listening = ListenOn(kServerAddress, serverPort);
    if (relay.command == nullptr) {
        path.source = ConnectWithin(kServerAddress, serverPort, kSetupTimeout);
    } else {
        path.relay = std::make_unique<RelayProcess>(
            relay.command(self, socat, true, clientPort, serverPort));
        path.source = ConnectWithin(kClientAddress, clientPort, kSetupTimeout);
    }
    if (path.source.Valid()) {
        path.sink = AcceptWithin(listening.Get(), kSetupTimeout);
    }
    return path;
}

struct TcpResult {
    double mbPerSecond = 0;
    long rssMin = 0;
    long rssMax = 0;
    bool ok = false;
};

TcpResult TcpThroughput(const Relay& relay, const std::string& self, const std::string& socat) {
    TcpResult result;
    TcpPath path = OpenTcpPath(relay, self, socat);
    if (!path.Ready()) {
        return result;
    }
    std::atomic<bool> done{false};
    std::size_t inputReceived = 0;
    Clock::time_point finished;
    std::thread sink([&] {
        std::vector<char> chunk(kSinkRead);
        const auto deadline = Clock::now() + kTransferTimeout;
        while (Clock::now() < deadline) {
            const ssize_t got = ::recv(path.sink.Get(), chunk.data(), chunk.size(), 0);
            if (got <= 0) {
                break;
            }
            const auto zeros = std::count(chunk.data(), chunk.data() + got, '\0');
            inputReceived += static_cast<std::size_t>(got) - static_cast<std::size_t>(zeros);
        }
        finished = Clock::now();
        done = true;
    });
    const pid_t relayPid = path.relay ? path.relay->Pid() : -1;
    result.rssMin = result.rssMax = RssKiB(relayPid);
    std::thread monitor([&] {
        for (int i = 0; i < 20000 && !done && relayPid > 0; ++i) {
            const long rss = RssKiB(relayPid);
            if (rss > 0) {
                result.rssMin = std::min(result.rssMin, rss);
                result.rssMax = std::max(result.rssMax, rss);
            }
            std::this_thread::sleep_for(20ms);
        }
    });

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
    monitor.join();
    result.ok = inputReceived == kTcpTotal;
    result.mbPerSecond = static_cast<double>(inputReceived) / 1e6 / Seconds(finished - start);
    return result;
}

struct UdpResult {
    double sentPerSecond = 0;
    double deliveredPerSecond = 0;
    double lossPercent = 0;
    bool ok = false;
};

// Sends datagrams of the given size for the given time, at full speed (rate 0) or paced.
UdpResult UdpRound(const Relay& relay, const std::string& self, const std::string& socat,
                   std::size_t size, Clock::duration duration, int rate) {
    UdpResult result;
    const int clientPort = FreePort(kClientAddress, SOCK_DGRAM);
    const int serverPort = FreePort(kServerAddress, SOCK_DGRAM);
    SocketHandle sink = BindUdp(kServerAddress, serverPort);
    const int wanted = 4 << 20;
    ::setsockopt(sink.Get(), SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    std::optional<RelayProcess> process;
    if (relay.command != nullptr) {
        process.emplace(relay.command(self, socat, false, clientPort, serverPort));
        const auto setupDeadline = Clock::now() + kSetupTimeout;
        while (!IsUdpBound(kClientAddress, clientPort) && Clock::now() < setupDeadline) {
            std::this_thread::sleep_for(2ms);
        }
        if (!IsUdpBound(kClientAddress, clientPort)) {
            return result;
        }
    }
    if (!sink.Valid()) {
        return result;
    }

    std::atomic<bool> sending{true};
    std::size_t delivered = 0;
    std::thread receiver([&] {
        // The sink takes datagrams in batches so that it leaves the relay as much CPU as it can.
        std::vector<char> chunks(kBatch * 2048);
        std::array<iovec, kBatch> parts{};
        std::array<mmsghdr, kBatch> messages{};
        for (std::size_t i = 0; i < kBatch; ++i) {
            parts[i] = {chunks.data() + i * 2048, 2048};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        auto quietSince = Clock::now();
        const auto deadline = Clock::now() + duration + kTransferTimeout;
        while (Clock::now() < deadline) {
            pollfd entry{sink.Get(), POLLIN, 0};
            if (::poll(&entry, 1, 50) == 1) {
                int got = 0;
                while ((got = ::recvmmsg(sink.Get(), messages.data(), kBatch, MSG_DONTWAIT,
                                         nullptr)) > 0) {
                    delivered += static_cast<std::size_t>(got);
                }
                quietSince = Clock::now();
            } else if (!sending && Clock::now() - quietSince > 300ms) {
                break;
            }
        }
    });

    SocketHandle source = BindUdp(kClientAddress, 0);
    const sockaddr_in to = relay.command != nullptr ? MakeSocketAddress(kClientAddress, clientPort)
                                                    : MakeSocketAddress(kServerAddress, serverPort);
    const std::string payload = Letters(size);
    // The sender, too, hands datagrams over in batches.
    iovec part{const_cast<char*>(payload.data()), payload.size()};
    std::array<mmsghdr, kBatch> batch{};
    for (mmsghdr& m : batch) {
        m.msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
        m.msg_hdr.msg_namelen = sizeof to;
        m.msg_hdr.msg_iov = &part;
        m.msg_hdr.msg_iovlen = 1;
    }
    std::size_t sent = 0;
    std::size_t skipped = 0;
    const auto start = Clock::now();
    auto now = start;
    while (now - start < duration) {
        std::size_t due = sent + 256;
        if (rate > 0) {
            // Paced by spinning: a sleep can oversleep by milliseconds. A sender held up by the
            // machine catches up by one batch at most and gives up the other slots it missed, so
            // the relay sees a paced stream, never a burst larger than any receive buffer.
            const auto scheduled = static_cast<std::size_t>(Seconds(now - start) * rate);
            skipped = std::max(skipped, scheduled - std::min(scheduled, sent + kBatch));
            due = scheduled - skipped;
        }
        while (sent < due) {
            const auto count = static_cast<unsigned>(std::min<std::size_t>(due - sent, kBatch));
            const int done = ::sendmmsg(source.Get(), batch.data(), count, 0);
            if (done > 0) {
                sent += static_cast<std::size_t>(done);
            } else if (rate == 0) {
                break;
            }
        }
        now = Clock::now();
    }
    const double elapsed = Seconds(now - start);
    sending = false;
    receiver.join();
    result.ok = sent > 0;
    result.sentPerSecond = static_cast<double>(sent) / elapsed;
    result.deliveredPerSecond = static_cast<double>(delivered) / elapsed;
    result.lossPercent = 100.0 * (1.0 - static_cast<double>(delivered) / static_cast<double>(sent));
    return result;
}

struct Latency {
    double p50 = 0;
    double p99 = 0;
    bool ok = false;
};

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

// The latency of every relay, measured in alternating blocks of messages over paths open side by
// side, so that a slow spell of the machine falls on all of them alike.
std::vector<Latency> InterleavedLatency(const std::vector<Relay>& relays, const std::string& self,
                                        const std::string& socat) {
    std::vector<TcpPath> paths;
    for (const Relay& relay : relays) {
        paths.push_back(OpenTcpPath(relay, self, socat));
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

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The child side: our relay from the client endpoint to the server endpoint until killed.
int Serve(const std::string& protocol, int clientPort, int serverPort) {
    g_relaySettings.Set({kClientAddress, kServerAddress, clientPort, serverPort});
    g_stopRelay = 0;
    StartRelayWorker(protocol == "tcp" ? TcpServerToClientThread : UdpServerToClientThread);
    for (int i = 0; i < 6000; ++i) { // ten minutes at most
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

struct Series {
    std::vector<double> values;
    void Add(bool ok, double value) {
        if (ok) {
            values.push_back(value);
        }
    }
    double Median() const { return ::Median(values); }
};

void PrintRatio(const char* what, double ours, double socat, const char* unit, double target,
                bool higherIsBetter) {
    const double ratio = socat > 0 ? ours / socat : 0;
    std::printf("%-34s ours %10.1f %-6s socat %10.1f %-6s ratio %5.2f (target %s %.2f)\n", what,
                ours, unit, socat, unit, ratio, higherIsBetter ? ">=" : "<=", target);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--serve") {
        return Serve(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    const int rounds = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 20) : 5;
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    if (const auto core = RelayCore()) {
        const cpu_set_t others = Cores(0, *core - 1);
        ::sched_setaffinity(0, sizeof others, &others);
        std::printf("relay on core %d, source and sink on cores 0..%d\n", *core, *core - 1);
        PrintMachineLimits(*core, 512, kPacedRate);
    }
    const std::optional<std::string> socatPath = FindOnPath("socat");
    const std::string socat = socatPath.value_or("");
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

            const TcpResult t = TcpThroughput(relay, self, socat);
            tcp[i].Add(t.ok, t.mbPerSecond);
            if (t.ok) {
                rssMin[i] = rssMin[i] == 0 ? t.rssMin : std::min(rssMin[i], t.rssMin);
                rssMax[i] = std::max(rssMax[i], t.rssMax);
            }
            const UdpResult u512 = UdpRound(relay, self, socat, 512, kUdpBlast, 0);
            udp512[i].Add(u512.ok, u512.deliveredPerSecond);
            const UdpResult u1400 = UdpRound(relay, self, socat, 1400, kUdpBlast, 0);
            udp1400[i].Add(u1400.ok, u1400.deliveredPerSecond);
            const UdpResult p = UdpRound(relay, self, socat, 512, kUdpPaced, kPacedRate);
            paced[i].Add(p.ok, p.lossPercent);
            const UdpResult g = UdpRound(relay, self, socat, 512, kUdpPaced, kGentleRate);
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
        const std::vector<Latency> latencies = InterleavedLatency(relays, self, socat);
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
        PrintRatio("TCP throughput", tcp[0].Median(), tcp[1].Median(), "MB/s", 1.4, true);
        PrintRatio("UDP 512-byte datagrams delivered", udp512[0].Median(), udp512[1].Median(), "/s",
                   5.0, true);
        PrintRatio("UDP 1400-byte datagrams delivered", udp1400[0].Median(), udp1400[1].Median(),
                   "/s", 5.0, true);
        PrintRatio("latency p50 (total)", p50[0].Median(), p50[1].Median(), "us", 1.0, false);
        std::printf("paced %d/s loss: ours %.3f%% (target <= 0.01%%), socat %.3f%%\n", kPacedRate,
                    paced[0].Median(), paced[1].Median());
        std::printf("paced %d/s loss: ours %.3f%%, socat %.3f%%\n", kGentleRate, gentle[0].Median(),
                    gentle[1].Median());
    }
    return 0;
}
