#pragma once

// What every relay measurement shares: the relays under test as child processes on a core of
// their own, the endpoints, the paths between source and sink, and the small helpers.

#include <netinet/in.h>
#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "relay/endpoint.h"

namespace relaybench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr auto kSetupTimeout = 5s;
inline constexpr auto kTransferTimeout = 60s;

double Seconds(Clock::duration d);
// Text of `size` letters, no zero byte in it.
std::string Letters(std::size_t size);
double Median(std::vector<double> values);

// The process and every process below it, found through the children lists of its threads.
std::vector<pid_t> ProcessTree(pid_t root);

// What a relay and every process it started have used so far: CPU time (user and system, all
// threads) and resident memory (-1 when it cannot be read).
struct ProcessUse {
    double cpuSeconds = 0;
    long rssKiB = -1;
};
ProcessUse ProcessTreeUse(pid_t pid);

// On a machine with more than one core the relay under test gets the last core to itself and the
// source and sink share the others, so the figures show what the relay can carry rather than how
// the scheduler splits one core between a sender running flat out and the relay.
std::optional<int> RelayCore();
cpu_set_t Cores(int first, int last);

// The programs the contenders run; empty where one is not installed.
struct Programs {
    std::string relay;  // tarvel-relay
    std::string tarvel; // the dialog's program, run with --headless
    std::string socat;
    std::string rinetd;
    std::string haproxy;
    std::string nginx; // only where its stream module is installed too
};

enum class Role { OursText, OursBytes, Peer, Direct };

struct Relay {
    const char* name;
    Role role;
    bool carriesUdp;
    // Writes what the relay needs into `folder` and gives its command line for a relay from the
    // client endpoint to the server endpoint; none for the direct path from source to sink, which
    // shows what the machine itself can do.
    std::vector<std::string> (*command)(const Programs& programs,
                                        const std::filesystem::path& folder, bool tcp,
                                        int clientPort, int serverPort);
    // The endpoints' addresses: 127.0.0.2 and 127.0.0.3, or ::1 for both.
    bool ipv6 = false;
    // Ours with its metrics served, and fetched every 100 ms while it is measured.
    bool scraped = false;
    bool AddsZero() const { return role == Role::OursText; }
    // The line our relay logs once it listens or is bound; none for the others.
    const char* WaitingLine(bool tcp) const;
    const char* ClientAddress() const;
    const char* ServerAddress() const;
};

std::vector<std::string> CurrentEnvironment();
// Starts a program (looked up on PATH) with no input and its output appended to the file
// `output`; -1 when it could not.
pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& output,
            std::vector<std::string> environment);
// Sends the signal and waits for the end; a process still there after a few seconds is killed.
void StopProcess(pid_t pid, int signal);

// How long a relay took from its spawn until its port accepted a connection (TCP) or was bound
// (UDP), and until it wrote its waiting line (ours only); in milliseconds, none where it did not.
struct Startup {
    std::optional<double> ready;
    std::optional<double> line;
};

// A relay running as a child process on the relay core, in a scratch folder of its own that also
// takes its output; ended and removed when the round is over.
class RelayProcess {
public:
    RelayProcess(const Relay& relay, const Programs& programs, bool tcp, int clientPort,
                 int serverPort);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;
    pid_t Pid() const { return m_pid; }
    // What the relay wrote so far, for a relay that did not come up.
    std::string Output() const;
    // Probes `ready` until it holds and, with a `line`, looks for that line in the output until it
    // is there, noting when each happened; false when the relay was not ready in time.
    bool AwaitReady(const std::function<bool()>& ready, const char* line);
    const Startup& StartupTimes() const { return m_startup; }
    // Where its metrics are served; 0 for a relay that serves none.
    int StatusPort() const { return m_statusPort; }

private:
    std::filesystem::path m_folder;
    int m_statusPort = 0;
    pid_t m_pid = -1;
    Clock::time_point m_spawned;
    Startup m_startup;
};

// What one measurement saw of a relay: how fast it started, and the smallest and largest resident
// memory of all its processes while it relayed (KiB, 0 where none could be read).
struct Footprint {
    Startup startup;
    long rssMin = 0;
    long rssMax = 0;
};

// Reads the memory of a relay every 20 ms from construction until Stop, which gives the footprint,
// and fetches its metrics every 100 ms where it serves them;
// an empty one for the direct path (no relay).
class RelayWatch {
public:
    explicit RelayWatch(const RelayProcess* relay);
    ~RelayWatch() { Stop(); }
    RelayWatch(const RelayWatch&) = delete;
    RelayWatch& operator=(const RelayWatch&) = delete;
    Footprint Stop();

private:
    void Read();
    void Scrape() const;
    const RelayProcess* m_relay;
    Footprint m_footprint;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

// The source, the relay and the sink of one TCP path, connected.
struct TcpPath {
    std::unique_ptr<RelayProcess> relay;
    UniqueFd source;
    UniqueFd sink;
    bool Ready() const { return source.Valid() && sink.Valid(); }
};

TcpPath OpenTcpPath(const Relay& relay, const Programs& programs);

// The source, the relay and the sink of one UDP path; the source sends to `to`.
struct UdpPath {
    std::unique_ptr<RelayProcess> relay;
    UniqueFd source;
    UniqueFd sink;
    Endpoint to;
    bool Ready() const { return source.Valid() && sink.Valid(); }
};

UdpPath OpenUdpPath(const Relay& relay, const Programs& programs);

} // namespace relaybench
