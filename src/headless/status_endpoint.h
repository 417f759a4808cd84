#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "relay/endpoint.h"

// Serves GET /metrics over HTTP/1.1 from the relay program's own poll loop, so that a scrape needs
// no thread and no library: one request per connection, its head at most 8 KiB and within 2 s,
// answered whole with Content-Length and Connection: close. Another path gets 404, another method
// 405, a head that is not HTTP/1.x 400; a connection that is not done in time is closed, and with
// every place taken the oldest connection gives way to a new one, so that whoever else holds the
// port, a scrape is answered at once.
class StatusEndpoint {
public:
    using Clock = std::chrono::steady_clock;
    // The metrics text, asked for each GET /metrics.
    using MetricsSource = std::function<std::string()>;

    // Listens on `endpoint`; not Listening() when it cannot, with the reason in `error`.
    StatusEndpoint(const Endpoint& endpoint, MetricsSource metrics, int& error);
    StatusEndpoint(const StatusEndpoint&) = delete;
    StatusEndpoint& operator=(const StatusEndpoint&) = delete;

    bool Listening() const noexcept { return m_listener.Valid(); }
    // Where it listens, as the system bound it.
    const Endpoint& Bound() const noexcept { return m_bound; }

    // Appends what to wait for: new connections, and each connection's request or room for its
    // answer. The poll's timeout must not pass NextDeadline().
    void AddPollEntries(std::vector<pollfd>& entries) const;
    Clock::time_point NextDeadline() const;
    // After a poll: `entries` are the ones AddPollEntries appended, with their results.
    void Serve(const pollfd* entries, Clock::time_point now);

private:
    struct Connection {
        UniqueFd socket;
        std::string received;
        std::string answer; // once the request is read: what is still to be sent
        Clock::time_point deadline;
    };
    void Accept(Clock::time_point now);
    // False once the connection is done with (answered or given up).
    bool Read(Connection& connection);
    bool Send(Connection& connection);

    UniqueFd m_listener;
    Endpoint m_bound;
    MetricsSource m_metrics;
    std::vector<Connection> m_connections;
};
