#include "relay_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "relay_test_peers.h"

extern char** environ;

namespace relaybench {

using relaytest::AcceptWithin;
using relaytest::BindUdp;
using relaytest::ConnectWithin;
using relaytest::IsUdpBound;
using relaytest::kClientAddress;
using relaytest::kServerAddress;
using relaytest::ListenOn;
using relaytest::LowFreePort;

namespace {

constexpr auto kStopTimeout = 5s;

// utime and stime of a whole process, all its threads, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const std::size_t afterName = line.rfind(')');
    if (afterName == std::string::npos) {
        return 0;
    }
    // After the name: state, then fields 4 to 13, then utime and stime (fields 14 and 15).
    std::istringstream fields(line.substr(afterName + 1));
    std::string skipped;
    for (int i = 3; i <= 13; ++i) {
        fields >> skipped;
    }
    unsigned long long user = 0;
    unsigned long long system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
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

// This process's environment with the runtime folder moved into `folder`, so that each of our
// relays holds a single-instance lock of its own and two of them can run side by side.
std::vector<std::string> ChildEnvironment(const std::filesystem::path& folder) {
    std::vector<std::string> environment = CurrentEnvironment();
    std::erase_if(environment,
                  [](const std::string& entry) { return entry.starts_with("XDG_RUNTIME_DIR="); });
    environment.push_back("XDG_RUNTIME_DIR=" + folder.string());
    return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string Letters(std::size_t size) {
    std::string text(size, 'a');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<pid_t> ProcessTree(pid_t root) {
    std::vector<pid_t> tree{root};
    for (std::size_t i = 0; i < tree.size() && i < 64; ++i) {
        const std::filesystem::path tasks = "/proc/" + std::to_string(tree[i]) + "/task";
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
            std::ifstream children(task.path() / "children");
            pid_t child = 0;
            while (children >> child) {
                tree.push_back(child);
            }
        }
    }
    return tree;
}

ProcessUse ProcessTreeUse(pid_t pid) {
    ProcessUse use;
    if (pid <= 0) {
        return use;
    }
    for (const pid_t member : ProcessTree(pid)) {
        use.cpuSeconds += CpuSeconds(member);
        if (const long rss = RssKiB(member); rss >= 0) {
            use.rssKiB = std::max(use.rssKiB, 0L) + rss;
        }
    }
    return use;
}

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

std::vector<std::string> CurrentEnvironment() {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    return environment;
}

pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& output,
            std::vector<std::string> environment) {
    std::vector<std::string> texts = args;
    const std::vector<char*> argv = Pointers(texts);
    const std::vector<char*> envp = Pointers(environment);
    // Only the standard descriptors reach the child: a copy of a path's socket would keep that
    // connection from closing.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void StopProcess(pid_t pid, int signal) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, signal);
    const auto deadline = Clock::now() + kStopTimeout;
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(2ms);
    }
}

RelayProcess::RelayProcess(const Relay& relay, const Programs& programs, bool tcp, int clientPort,
                           int serverPort) {
    std::string name = (std::filesystem::temp_directory_path() / "tarvel-bench-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
        return;
    }
    m_folder = name;
    const std::vector<std::string> args =
        relay.command(programs, m_folder, tcp, clientPort, serverPort);
    if (relay.scraped) {
        m_statusPort = relaytest::FreePort("127.0.0.1", SOCK_STREAM);
        std::ofstream(m_folder / "InfoFile/ParameterSet.inf", std::ios::app)
            << "[Status]\nListen=127.0.0.1:" << m_statusPort << "\n";
    }
    // The child inherits the spawning thread's cores, so it runs on its own core from the
    // start, all its threads included.
    cpu_set_t own;
    ::sched_getaffinity(0, sizeof own, &own);
    if (const auto core = RelayCore()) {
        const cpu_set_t relayCore = Cores(*core, *core);
        ::sched_setaffinity(0, sizeof relayCore, &relayCore);
    }
    const std::vector<std::string> environment = ChildEnvironment(m_folder);
    m_spawned = Clock::now();
    m_pid = Spawn(args, m_folder / "output.txt", environment);
    ::sched_setaffinity(0, sizeof own, &own);
}

RelayProcess::~RelayProcess() {
    StopProcess(m_pid, SIGTERM);
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
}

std::string RelayProcess::Output() const {
    std::ifstream file(m_folder / "output.txt");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text.substr(0, 2000);
}

bool RelayProcess::AwaitReady(const std::function<bool()>& ready, const char* line) {
    const auto sinceSpawn = [&] {
        return std::chrono::duration<double, std::milli>(Clock::now() - m_spawned).count();
    };
    // Probed often, so that the times resolve a start of a millisecond or two; the relay has a
    // core of its own.
    while (Clock::now() - m_spawned < kSetupTimeout) {
        if (!m_startup.ready && ready()) {
            m_startup.ready = sinceSpawn();
        }
        if (line != nullptr && !m_startup.line && Output().find(line) != std::string::npos) {
            m_startup.line = sinceSpawn();
        }
        if (m_startup.ready && (line == nullptr || m_startup.line)) {
            break;
        }
        std::this_thread::sleep_for(100us);
    }
    return m_startup.ready.has_value();
}

RelayWatch::RelayWatch(const RelayProcess* relay) : m_relay(relay) {
    if (relay == nullptr) {
        return;
    }
    m_footprint.startup = relay->StartupTimes();
    Read();
    m_reader = std::thread([this] {
        for (int i = 0; i < 20000 && !m_stop; ++i) {
            std::this_thread::sleep_for(20ms);
            Read();
            if (i % 5 == 4) {
                Scrape();
            }
        }
    });
}

Footprint RelayWatch::Stop() {
    m_stop = true;
    if (m_reader.joinable()) {
        m_reader.join();
    }
    return m_footprint;
}

// One GET /metrics, read to its end, as a Prometheus server's scrape would.
void RelayWatch::Scrape() const {
    if (m_relay->StatusPort() == 0) {
        return;
    }
    UniqueFd connection = relaytest::ConnectWithin("127.0.0.1", m_relay->StatusPort());
    if (connection.Valid() &&
        relaytest::SendAll(connection.Get(), "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n")) {
        relaytest::ReadUntilClosed(connection.Get());
    }
}

void RelayWatch::Read() {
    const long rss = ProcessTreeUse(m_relay->Pid()).rssKiB;
    if (rss > 0) {
        m_footprint.rssMin = m_footprint.rssMin == 0 ? rss : std::min(m_footprint.rssMin, rss);
        m_footprint.rssMax = std::max(m_footprint.rssMax, rss);
    }
}

const char* Relay::WaitingLine(bool tcp) const {
    if (role != Role::OursText && role != Role::OursBytes) {
        return nullptr;
    }
    return tcp ? "等待连接" : "等待数据报";
}

const char* Relay::ClientAddress() const {
    return ipv6 ? "::1" : kClientAddress;
}

const char* Relay::ServerAddress() const {
    return ipv6 ? "::1" : kServerAddress;
}

TcpPath OpenTcpPath(const Relay& relay, const Programs& programs) {
    TcpPath path;
    const char* client = relay.ClientAddress();
    const char* server = relay.ServerAddress();
    const int clientPort = LowFreePort(client, SOCK_STREAM);
    const int serverPort = LowFreePort(server, SOCK_STREAM);
    UniqueFd listening = ListenOn(server, serverPort);
    if (relay.command == nullptr) {
        path.source = ConnectWithin(server, serverPort, kSetupTimeout);
    } else {
        path.relay = std::make_unique<RelayProcess>(relay, programs, true, clientPort, serverPort);
        // Each probe is one attempt to connect; the first that succeeds is the path's.
        path.relay->AwaitReady(
            [&] {
                path.source = ConnectWithin(client, clientPort, 0ms);
                return path.source.Valid();
            },
            relay.WaitingLine(true));
    }
    if (path.source.Valid()) {
        path.sink = AcceptWithin(listening.Get(), kSetupTimeout);
    }
    if (!path.Ready() && path.relay) {
        std::printf("  %s: TCP relay did not come up; it wrote: %s\n", relay.name,
                    path.relay->Output().c_str());
    }
    return path;
}

UdpPath OpenUdpPath(const Relay& relay, const Programs& programs) {
    UdpPath path;
    const char* client = relay.ClientAddress();
    const char* server = relay.ServerAddress();
    const int clientPort = LowFreePort(client, SOCK_DGRAM);
    const int serverPort = LowFreePort(server, SOCK_DGRAM);
    path.sink = BindUdp(server, serverPort);
    const int wanted = 4 << 20;
    ::setsockopt(path.sink.Get(), SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    path.source = BindUdp(client, 0);
    if (relay.command == nullptr) {
        path.to = relaytest::EndpointAt(server, serverPort);
        return path;
    }
    path.relay = std::make_unique<RelayProcess>(relay, programs, false, clientPort, serverPort);
    path.to = relaytest::EndpointAt(client, clientPort);
    // Open once a datagram went through, as a TCP path is once the sink accepted: a relay may be
    // bound before it relays (nginx's master process binds, its worker relays). Sent again only
    // after long, since a second one that arrived would count in the measurement.
    const auto relayed = [&] {
        relaytest::SendDatagram(path.source.Get(), "open", client, clientPort);
        return relaytest::ReceiveDatagram(path.sink.Get(), 1s).has_value();
    };
    if (!path.relay->AwaitReady([&] { return IsUdpBound(client, clientPort); },
                                relay.WaitingLine(false)) ||
        !relaytest::WaitUntil(relayed, kSetupTimeout)) {
        std::printf("  %s: UDP relay did not come up; it wrote: %s\n", relay.name,
                    path.relay->Output().c_str());
        path.source.Reset();
    }
    return path;
}

} // namespace relaybench
