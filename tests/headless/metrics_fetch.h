#pragma once

// The relay program's metrics as the tests fetch them from its status endpoint.

#include <cstdlib>
#include <regex>
#include <string>

#include "relay_test_peers.h"

namespace metricsfetch {

using namespace relaytest;

inline constexpr char kStatusAddress[] = "127.0.0.1";

// What the status endpoint answers to `request`, read until it closes; empty when it cannot be
// reached.
inline std::string Ask(int port, const std::string& request) {
    UniqueFd connection = ConnectWithin(kStatusAddress, port);
    if (!connection.Valid() || !SendAll(connection.Get(), request)) {
        return {};
    }
    return ReadUntilClosed(connection.Get()).data;
}

inline std::string Get(int port, const std::string& path = "/metrics") {
    return Ask(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n");
}

// The body of an answer, after its head.
inline std::string Body(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// The value a sample line of the metrics text gives, or -1.
inline long long Sample(const std::string& metrics, const std::string& name) {
    const std::regex line("(^|\n)" + name + "(\\{[^}]*\\})? (-?[0-9]+)\n");
    std::smatch match;
    return std::regex_search(metrics, match, line) ? std::stoll(match[3]) : -1;
}

// The value of the sample `key` (its name and labels as written), or -1.
inline long long Value(const std::string& metrics, const std::string& key) {
    const std::string line = "\n" + key + " ";
    const std::size_t at = ("\n" + metrics).find(line);
    return at == std::string::npos ? -1 : std::atoll(metrics.c_str() + at + line.size() - 1);
}

} // namespace metricsfetch
