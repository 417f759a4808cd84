#pragma once

// The relay program as an operator's service runs it, for the tests: the real program, started
// with no display in its environment, in a working folder of the test's own.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "relay_test_peers.h"

namespace relayprogram {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using relaytest::kTimeout;
using relaytest::Readable;
using relaytest::WaitUntil;

// The relay program services run, and the dialog's program, which runs the same relay with
// --headless.
inline constexpr char kRelayProgram[] = TARVEL_RELAY_EXECUTABLE;
#ifdef TARVEL_EXECUTABLE
inline constexpr const char* kDialogProgram = TARVEL_EXECUTABLE;
#else
inline constexpr const char* kDialogProgram = nullptr; // a build without the dialog
#endif

// The programs a case runs: the relay program, and the dialog's where this build has it.
inline std::vector<bool> DialogProgramOrNot() {
    return kDialogProgram != nullptr ? std::vector<bool>{false, true} : std::vector<bool>{false};
}

// A working folder with its own lock folder, removed afterwards.
class Folder {
public:
    Folder() {
        char name[] = "/tmp/tarvel-headless-XXXXXX";
        m_path = ::mkdtemp(name);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const fs::path& Path() const { return m_path; }

    void WriteParameters(const std::string& content) const {
        fs::create_directories(m_path / "InfoFile");
        std::ofstream(m_path / "InfoFile/ParameterSet.inf", std::ios::binary) << content;
    }

private:
    fs::path m_path;
};

inline std::string Parameters(int clientToServer, int udp, const std::string& client,
                              int clientPort, const std::string& server, int serverPort) {
    return "[ClientOrServer]\nNumber=" + std::to_string(clientToServer) +
           "\n[UDpOrTCp]\nNumber=" + std::to_string(udp) +
           "\n[IP]\nNumber=1\n[Client1]\nIP=" + client +
           "\n[ClientPost1]\nPost=" + std::to_string(clientPort) + "\n[Server1]\nIP=" + server +
           "\n[ServerPost1]\nPost=" + std::to_string(serverPort) + "\n";
}

// How the test starts the program besides its arguments.
struct Start {
    // The folder of the single-instance locks ($XDG_RUNTIME_DIR); the working folder when empty.
    fs::path lockFolder{};
    // More environment entries ("NAME=value").
    std::vector<std::string> environment{};
    // Standard error counts as the journal's stream (JOURNAL_STREAM names it).
    bool journal = false;
    // The dialog's program with --headless instead of the relay program.
    bool dialogProgram = false;
    // Another program altogether, run the same way (a peer of the test's).
    const char* executable = nullptr;
    // Descriptors handed to the program as systemd hands on its store: from 3 on, counted in
    // $LISTEN_FDS, with $LISTEN_PID the program's own (names go in `environment`).
    std::vector<int> passed{};
    // $LISTEN_FDS claiming this many instead, with descriptor 3 closed first (-1: as passed).
    int claimed = -1;
};

// The program, running until it ends or the test ends it.
class Program {
public:
    Program(const Folder& folder, std::vector<std::string> arguments, const Start& start = {}) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            if (!text.starts_with("DISPLAY=") && !text.starts_with("WAYLAND_DISPLAY=") &&
                !text.starts_with("XDG_RUNTIME_DIR=") && !text.starts_with("JOURNAL_STREAM=") &&
                !text.starts_with("NOTIFY_SOCKET=")) {
                environment.emplace_back(text);
            }
        }
        environment.push_back(
            "XDG_RUNTIME_DIR=" +
            (start.lockFolder.empty() ? folder.Path() : start.lockFolder).string());
        environment.insert(environment.end(), start.environment.begin(), start.environment.end());
        const char* const program = start.executable != nullptr ? start.executable
                                    : start.dialogProgram       ? kDialogProgram
                                                                : kRelayProgram;
        if (start.dialogProgram) {
            arguments.insert(arguments.begin(), "--headless");
        }
        arguments.insert(arguments.begin(), program);
        // Only the program itself knows its process id before it runs: a shell says it and then
        // becomes the program.
        if (!start.passed.empty() || start.claimed >= 0) {
            const bool claims = start.claimed >= 0;
            environment.push_back("LISTEN_FDS=" +
                                  std::to_string(claims ? static_cast<std::size_t>(start.claimed)
                                                        : start.passed.size()));
            arguments.insert(arguments.begin(), {"/bin/sh", "-c",
                                                 std::string(claims ? "exec 3<&-; " : "") +
                                                     "LISTEN_PID=$$ exec \"$0\" \"$@\""});
        }

        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        if (start.journal) {
            struct stat status {};
            ::fstat(err[1], &status);
            environment.push_back("JOURNAL_STREAM=" + std::to_string(status.st_dev) + ":" +
                                  std::to_string(status.st_ino));
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        // Moved out of the way first, so that no placing overwrites one still to be placed.
        std::vector<UniqueFd> moved;
        for (std::size_t i = 0; i < start.passed.size(); ++i) {
            moved.emplace_back(::fcntl(start.passed[i], F_DUPFD_CLOEXEC, 100));
            posix_spawn_file_actions_adddup2(&actions, moved.back().Get(), 3 + static_cast<int>(i));
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        if (::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Program() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
        ::close(m_err);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Signal(int signal) const { ::kill(m_pid, signal); }

    // The exit code once the program has ended within the timeout, or -1.
    int Wait(std::chrono::milliseconds timeout = kTimeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_pid > 0) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return -1;
            }
            std::this_thread::sleep_for(5ms);
        }
        return m_exitCode;
    }

    // Everything written so far to standard output and standard error.
    std::string Out() { return Drain(m_out, m_outText); }
    std::string Err() { return Drain(m_err, m_errText); }

private:
    static std::string Drain(int fd, std::string& text) {
        char chunk[4096];
        while (Readable(fd, 0ms)) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            text.append(chunk, static_cast<std::size_t>(got));
        }
        return text;
    }

    pid_t m_pid = -1;
    int m_exitCode = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outText;
    std::string m_errText;
};

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Until the log holds `text`, or the timeout passed.
inline bool LogShows(Program& program, const std::string& text,
                     std::chrono::milliseconds timeout = kTimeout) {
    return WaitUntil([&] { return Contains(program.Err(), text); }, timeout);
}

// How often `text` is in the log.
inline std::size_t Count(const std::string& log, const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++count;
    }
    return count;
}

// A TCP relay's parameter file on the two loopback endpoints, as most cases need one, and a
// listener of the test's where the relay connects. With `clientToServer` 1 the relay waits on the
// server side (127.0.0.3) and connects to the client side, with 0 the other way round; the data
// goes from the client side to the server side either way. `more` follows the endpoints.
struct TcpSetting {
    explicit TcpSetting(int clientToServer, const std::string& more = {})
        : waitsOnServer(clientToServer == 1),
          otherListener(waitsOnServer
                            ? relaytest::ListenOn(relaytest::kClientAddress, clientPort)
                            : relaytest::ListenOn(relaytest::kServerAddress, serverPort)) {
        Write(more);
    }

    // The file again, with `more` after the same endpoints.
    void Write(const std::string& more = {}) const {
        folder.WriteParameters(Parameters(waitsOnServer ? 1 : 0, 0, relaytest::kClientAddress,
                                          clientPort, relaytest::kServerAddress, serverPort) +
                               more);
    }
    std::vector<std::string> Arguments() const { return {"--workdir", folder.Path().string()}; }

    const char* WaitAddress() const {
        return waitsOnServer ? relaytest::kServerAddress : relaytest::kClientAddress;
    }
    int WaitPort() const { return waitsOnServer ? serverPort : clientPort; }

    // The next stream: the connection the test makes to the relay and the one the relay makes to
    // the test, as source and destination.
    struct Stream {
        UniqueFd source;
        UniqueFd destination;
    };
    Stream Connect() const {
        UniqueFd waiting = relaytest::ConnectWithin(WaitAddress(), WaitPort());
        UniqueFd other = relaytest::AcceptWithin(otherListener.Get());
        return waitsOnServer ? Stream{std::move(other), std::move(waiting)}
                             : Stream{std::move(waiting), std::move(other)};
    }

    const Folder folder;
    const bool waitsOnServer;
    const int clientPort = relaytest::LowFreePort(relaytest::kClientAddress, SOCK_STREAM);
    const int serverPort = relaytest::LowFreePort(relaytest::kServerAddress, SOCK_STREAM);
    const UniqueFd otherListener;
};

} // namespace relayprogram
