#pragma once

// What every relay measurement shares: the relays under test as child processes on a core of
// their own, the endpoints, the paths between source and sink, and the small helpers.

#include <sched.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "relay/socket_handle.h"

namespace relaybench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr auto kSetupTimeout = 5s;
inline constexpr auto kTransferTimeout = 60s;

double Seconds(Clock::duration d);
// Resident memory of a process, -1 when it cannot be read.
long RssKiB(pid_t pid);
std::optional<std::string> FindOnPath(const std::string& name);
// Text of `size` letters, no zero byte in it.
std::string Letters(std::size_t size);
double Median(std::vector<double> values);

// On a machine with more than one core the relay under test gets the last core to itself and the
// source and sink share the others, so the figures show what the relay can carry rather than how
// the scheduler splits one core between a sender running flat out and the relay.
std::optional<int> RelayCore();
cpu_set_t Cores(int first, int last);

// A relay running as a child process on the relay core; ended when the round is over.
class RelayProcess {
public:
    explicit RelayProcess(const std::vector<std::string>& args);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// The programs every measurement runs: which relay, and how to start it.
struct Programs {
    std::string self;  // this benchmark, which serves our relay with --serve
    std::string socat; // empty when socat is not on PATH
};

struct Relay {
    const char* name;
    // Full command for a relay from the client endpoint to the server endpoint; none for the
    // direct path from source to sink, which shows what the machine itself can do.
    std::vector<std::string> (*command)(const Programs& programs, bool tcp, int clientPort,
                                        int serverPort);
    bool addsZero; // our relay ends each forwarded unit with a zero byte
};

std::vector<std::string> OursCommand(const Programs& programs, bool tcp, int clientPort,
                                     int serverPort);
std::vector<std::string> SocatCommand(const Programs& programs, bool tcp, int clientPort,
                                      int serverPort);

// The child side: our relay from the client endpoint to the server endpoint until killed.
int Serve(const std::string& protocol, int clientPort, int serverPort);

// The source, the relay and the sink of one TCP path, connected.
struct TcpPath {
    std::unique_ptr<RelayProcess> relay;
    SocketHandle source;
    SocketHandle sink;
    bool Ready() const { return source.Valid() && sink.Valid(); }
};

TcpPath OpenTcpPath(const Relay& relay, const Programs& programs);

} // namespace relaybench
