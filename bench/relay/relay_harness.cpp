#include "relay_harness.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "relay/relay.h"
#include "relay_test_peers.h"

extern char** environ;

namespace relaybench {

using relaytest::AcceptWithin;
using relaytest::ConnectWithin;
using relaytest::FreePort;
using relaytest::kClientAddress;
using relaytest::kServerAddress;
using relaytest::ListenOn;

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

RelayProcess::RelayProcess(const std::vector<std::string>& args) {
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

RelayProcess::~RelayProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

std::vector<std::string> OursCommand(const Programs& programs, bool tcp, int clientPort,
                                     int serverPort) {
    return {programs.self, "--serve", tcp ? "tcp" : "udp", std::to_string(clientPort),
            std::to_string(serverPort)};
}

std::vector<std::string> SocatCommand(const Programs& programs, bool tcp, int clientPort,
                                      int serverPort) {
    const std::string client = std::to_string(clientPort);
    const std::string server = std::to_string(serverPort);
    if (tcp) {
        return {programs.socat, "-u",
                "TCP4-LISTEN:" + client + ",bind=" + kClientAddress + ",reuseaddr",
                std::string("TCP4:") + kServerAddress + ":" + server};
    }
    return {programs.socat, "-u", "UDP4-RECV:" + client + ",bind=" + kClientAddress,
            std::string("UDP4-SENDTO:") + kServerAddress + ":" + server};
}

int Serve(const std::string& protocol, int clientPort, int serverPort) {
    const ::Relay relay(MakeRelayPlan(RelayMode::ServerToClient,
                                      protocol == "tcp" ? RelayProtocol::Tcp : RelayProtocol::Udp,
                                      relaytest::EndpointAt(kClientAddress, clientPort),
                                      relaytest::EndpointAt(kServerAddress, serverPort)));
    for (int i = 0; i < 6000; ++i) { // ten minutes at most
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

TcpPath OpenTcpPath(const Relay& relay, const Programs& programs) {
    TcpPath path;
    const int clientPort = FreePort(kClientAddress, SOCK_STREAM);
    const int serverPort = FreePort(kServerAddress, SOCK_STREAM);
    SocketHandle listening = ListenOn(kServerAddress, serverPort);
    if (relay.command == nullptr) {
        path.source = ConnectWithin(kServerAddress, serverPort, kSetupTimeout);
    } else {
        path.relay =
            std::make_unique<RelayProcess>(relay.command(programs, true, clientPort, serverPort));
        path.source = ConnectWithin(kClientAddress, clientPort, kSetupTimeout);
    }
    if (path.source.Valid()) {
        path.sink = AcceptWithin(listening.Get(), kSetupTimeout);
    }
    return path;
}

} // namespace relaybench
