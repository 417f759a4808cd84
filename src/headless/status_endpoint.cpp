#include "headless/status_endpoint.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "headless/http_request.h"
#include "headless/relay_metrics.h"
#include "platform/open_socket.h"

namespace {

// A scraper has this long to send its request and take the answer.
constexpr std::chrono::seconds kExchangeBound(2);
// Connections served at once. A new one takes the place of the oldest that has said nothing yet
// (else of the oldest) when all are taken, so that no crowd of idle or slow clients keeps a scrape
// waiting: a scrape sends its request at once and is answered within the turn that reads it.
constexpr std::size_t kMostConnections = 256;
// Connections taken per turn: a scrape taken before its request arrived keeps its place for
// several turns however many come after it, and the turns read what came meanwhile.
constexpr std::size_t kAcceptsPerTurn = 32;
// Connections the system completes and queues for accepting, the next turns' to take.
constexpr int kListenQueue = 4096;

std::string Answer(int status, const char* reason, const char* contentType, const std::string& body,
                   const char* extraHeader = "") {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
           extraHeader + "\r\n" + body;
}

std::string Plain(int status, const char* reason, const char* extraHeader = "") {
    return Answer(status, reason, "text/plain; charset=utf-8", std::string(reason) + "\n",
                  extraHeader);
}

} // namespace

StatusEndpoint::StatusEndpoint(const Endpoint& endpoint, MetricsSource metrics, int& error)
    : m_metrics(std::move(metrics)) {
    UniqueFd listener = OpenSocket(endpoint.Family(), SOCK_STREAM | SOCK_NONBLOCK);
    if (!listener.Valid()) {
        error = errno;
        return;
    }
    KeepToOwnFamily(listener, endpoint.Family());
    const int reuse = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    // A connection is handed over once its first bytes came: a scrape arrives with its request and
    // is answered at once, while one that says nothing takes no place until the bound has passed.
    const int deferSeconds = static_cast<int>(kExchangeBound.count());
    ::setsockopt(listener.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
    if (::bind(listener.Get(), endpoint.Address(), endpoint.Length()) != 0 ||
        ::listen(listener.Get(), kListenQueue) != 0) {
        error = errno;
        return;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
    m_bound = Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&bound), length);
    m_listener = std::move(listener);
}

void StatusEndpoint::AddPollEntries(std::vector<pollfd>& entries) const {
    entries.push_back({m_listener.Get(), POLLIN, 0});
    for (const Connection& connection : m_connections) {
        entries.push_back({connection.socket.Get(),
                           static_cast<short>(connection.answer.empty() ? POLLIN : POLLOUT), 0});
    }
}

StatusEndpoint::Clock::time_point StatusEndpoint::NextDeadline() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Connection& connection : m_connections) {
        next = std::min(next, connection.deadline);
    }
    return next;
}

void StatusEndpoint::Serve(const pollfd* entries, Clock::time_point now) {
    // The connections first, by the entries they had; the listener's new ones join afterwards.
    // Every deadline is checked on every turn: a connection that keeps sending is not spared.
    std::size_t entry = 1;
    std::erase_if(m_connections, [&](Connection& connection) {
        const short revents = entries[entry++].revents;
        if (revents != 0 && !(connection.answer.empty() ? Read(connection) : Send(connection))) {
            return true;
        }
        return now >= connection.deadline;
    });
    if ((entries[0].revents & POLLIN) != 0) {
        Accept(now);
    }
}

void StatusEndpoint::Accept(Clock::time_point now) {
    // A few per turn, so that a flood of connections can neither hold the loop nor push out a
    // scrape whose request is on its way.
    for (std::size_t taken = 0; taken < kAcceptsPerTurn; ++taken) {
        UniqueFd accepted(
            ::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!accepted.Valid()) {
            return; // nothing more waiting, or a connection that went before it was taken
        }
        if (m_connections.size() == kMostConnections) {
            // The oldest silent one, the least likely a scrape; else the oldest.
            const auto silent =
                std::find_if(m_connections.begin(), m_connections.end(), [](const Connection& c) {
                    return c.received.empty() && c.answer.empty();
                });
            m_connections.erase(silent != m_connections.end() ? silent : m_connections.begin());
        }
        m_connections.push_back({std::move(accepted), {}, {}, now + kExchangeBound});
        // A scraper sends its request with the connection: answered now, it needs no place.
        if (!Read(m_connections.back())) {
            m_connections.pop_back();
        }
    }
}

bool StatusEndpoint::Read(Connection& connection) {
    char chunk[2048];
    for (;;) {
        const ssize_t got = ::recv(connection.socket.Get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0) {
            return false; // gone before its request was complete
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            }
            return false;
        }
        connection.received.append(chunk, static_cast<std::size_t>(got));
        const HttpRequestHead head = ParseRequestHead(connection.received);
        switch (head.state) {
        case HttpRequestHead::State::Incomplete:
            continue;
        case HttpRequestHead::State::Malformed:
            connection.answer = Plain(400, "Bad Request");
            break;
        case HttpRequestHead::State::TooLarge:
            connection.answer = Plain(431, "Request Header Fields Too Large");
            break;
        case HttpRequestHead::State::Complete:
            if (head.method != "GET") {
                connection.answer = Plain(405, "Method Not Allowed", "Allow: GET\r\n");
            } else if (head.path != "/metrics") {
                connection.answer = Plain(404, "Not Found");
            } else {
                connection.answer = Answer(200, "OK", kMetricsContentType, m_metrics());
            }
            break;
        }
        return Send(connection);
    }
}

bool StatusEndpoint::Send(Connection& connection) {
    while (!connection.answer.empty()) {
        const ssize_t sent = ::send(connection.socket.Get(), connection.answer.data(),
                                    connection.answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        connection.answer.erase(0, static_cast<std::size_t>(sent));
    }
    // Answered: the end of the answer, then the connection goes. What the scraper sent beyond its
    // request head is read first, as closing with unread data would reset the connection and could
    // take the answer with it.
    ::shutdown(connection.socket.Get(), SHUT_WR);
    char rest[512];
    while (::recv(connection.socket.Get(), rest, sizeof rest, MSG_DONTWAIT) > 0) {
    }
    return false;
}
