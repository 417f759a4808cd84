#pragma once

// Network namespaces a test makes for test hosts of its own, named after its process and deleted
// when it ends, whichever way it ends; and the commands that set them up.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

struct CommandResult {
    int status = -1;
    std::string output; // stdout and stderr together
};

inline CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
    if (!pipe)
        return result;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        result.output.append(chunk, n);
    const int status = pclose(pipe.release());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A namespace holding a network card and one holding the card's test host, joined by a veth pair:
// the card "tvc<pid>" in the first, its peer "tvh<pid>" in the second.
class TestNamespaces {
public:
    TestNamespaces()
        : m_names{"tarvel-card-" + std::to_string(getpid()),
                  "tarvel-host-" + std::to_string(getpid())},
          m_card("tvc" + std::to_string(getpid())), m_host("tvh" + std::to_string(getpid())) {}
    ~TestNamespaces() {
        for (const std::string& name : m_created)
            RunCommand("ip netns delete " + name);
    }
    TestNamespaces(const TestNamespaces&) = delete;
    TestNamespaces& operator=(const TestNamespaces&) = delete;

    // False, with the system's reason, when this machine or user may not make namespaces.
    bool Create(std::string& reason) {
        for (const std::string& name : m_names) {
            const CommandResult added = RunCommand("ip netns add " + name);
            if (added.status != 0) {
                reason = "ip netns add " + name + ": " + added.output;
                return false;
            }
            m_created.push_back(name);
        }
        return true;
    }
    const std::string& CardNamespace() const { return m_names[0]; }
    const std::string& HostNamespace() const { return m_names[1]; }
    const std::string& Card() const { return m_card; }

    // Loopback up in the card's namespace, the veth pair between both, each end with its
    // addresses ("198.51.100.1/24", "2001:db8::1/64": IPv6 without duplicate detection, so it is
    // usable at once) and up. Empty when done, else the command that failed and what it said.
    std::string Connect(const std::vector<std::string>& cardAddresses,
                        const std::vector<std::string>& hostAddresses) {
        const std::string inCard = "ip -n " + CardNamespace() + " ";
        const std::string inHost = "ip -n " + HostNamespace() + " ";
        std::vector<std::string> commands = {
            inCard + "link set lo up",
            inCard + "link add " + m_card + " type veth peer name " + m_host + " netns " +
                HostNamespace(),
        };
        for (const auto& [in, device, addresses] : {std::tuple{inCard, m_card, cardAddresses},
                                                    std::tuple{inHost, m_host, hostAddresses}}) {
            for (const std::string& address : addresses) {
                const bool v6 = address.find(':') != std::string::npos;
                commands.push_back(in + "address add " + address + " dev " + device +
                                   (v6 ? " nodad" : ""));
            }
        }
        commands.push_back(inCard + "link set " + m_card + " up");
        commands.push_back(inHost + "link set " + m_host + " up");
        for (const std::string& command : commands) {
            const CommandResult done = RunCommand(command);
            if (done.status != 0)
                return command + ": " + done.output;
        }
        return {};
    }

private:
    std::vector<std::string> m_names;
    std::vector<std::string> m_created;
    std::string m_card;
    std::string m_host;
};
