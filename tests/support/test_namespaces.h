#pragma once

// Network namespaces a test makes for test hosts of its own, named after its process and deleted
// when it ends, whichever way it ends; and the commands that set them up.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
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

class TestNamespaces {
public:
    // One namespace per role, e.g. {"card", "host"}.
    explicit TestNamespaces(const std::vector<std::string>& roles) {
        for (const std::string& role : roles)
            m_names.push_back("tarvel-" + role + "-" + std::to_string(getpid()));
    }
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
    const std::string& Name(std::size_t role) const { return m_names.at(role); }

private:
    std::vector<std::string> m_names;
    std::vector<std::string> m_created;
};
