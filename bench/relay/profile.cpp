// Where a TCP relay spends its time: one transfer through each relay with a tool attached to the
// relay process once the path is open, and what the tool saw per MB moved.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "relay_measurements.h"

namespace relaybench {

namespace {

// The tool attached to the relay and every process it started, such as nginx's worker.
std::vector<std::string> ToolCommand(const std::string& tool, pid_t pid,
                                     const std::filesystem::path& output) {
    std::string target;
    for (const pid_t member : ProcessTree(pid)) {
        if (!target.empty()) {
            target += ',';
        }
        target += std::to_string(member);
    }
    if (tool == "strace") {
        return {"strace", "-c", "-f", "-q", "-p", target, "-o", output.string()};
    }
    if (tool == "perf") {
        return {"perf", "stat", "-e", "task-clock,context-switches,cpu-migrations,page-faults",
                "-p",   target, "-o", output.string()};
    }
    return {"perf", "record", "-q", "-e", "cpu-clock", "-g", "-p", target, "-o", output.string()};
}

// System calls in strace's summary, from its total line.
long StraceCalls(const std::filesystem::path& output) {
    std::ifstream file(output);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string percent;
        double seconds = 0;
        double perCall = 0;
        long calls = 0;
        if (fields >> percent >> seconds >> perCall >> calls && percent == "100.00") {
            return calls;
        }
    }
    return 0;
}

} // namespace

void ProfileTcp(const std::vector<Relay>& relays, const Programs& programs,
                const std::string& tool) {
    for (const Relay& relay : relays) {
        if (relay.command == nullptr) {
            continue;
        }
        TcpPath path = OpenTcpPath(relay, programs);
        if (!path.Ready()) {
            continue;
        }
        const std::filesystem::path output =
            std::filesystem::temp_directory_path() /
            (std::string("relay-profile-") + relay.name + (tool == "record" ? ".data" : ".txt"));
        std::error_code ignored;
        std::filesystem::remove(output, ignored);
        const pid_t tracer =
            Spawn(ToolCommand(tool, path.relay->Pid(), output), "/dev/null", CurrentEnvironment());
        if (tracer < 0) {
            std::printf("%s could not be started\n", tool == "strace" ? "strace" : "perf");
            return;
        }
        std::this_thread::sleep_for(500ms); // attached by then
        const TcpResult result = TcpTransfer(relay, path);
        StopProcess(tracer, SIGINT);
        std::printf("\n%s: %.0f MB at %.1f MB/s, relay CPU %.3f s/GB (with the tool attached)%s\n",
                    relay.name, result.megabytes, result.mbPerSecond, result.cpuSecondsPerGb,
                    result.ok ? "" : " (FAILED)");
        if (tool == "record") {
            std::printf("perf report --no-children -i %s\n", output.c_str());
            continue;
        }
        std::ifstream file(output);
        std::printf("%s", std::string((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>())
                              .c_str());
        if (tool == "strace" && result.megabytes > 0) {
            std::printf("system calls per MB: %.1f\n",
                        static_cast<double>(StraceCalls(output)) / result.megabytes);
        }
        std::filesystem::remove(output, ignored);
    }
}

} // namespace relaybench
