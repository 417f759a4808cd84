#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

// Owns one socket descriptor and closes it when it goes. A socket opened on a relay worker's thread
// is known to the stop mechanism for its whole life, so Stop can release a call blocked on it.
class SocketHandle {
public:
    SocketHandle() noexcept = default;
    explicit SocketHandle(int fd) noexcept;
    ~SocketHandle();

    SocketHandle(SocketHandle&& other) noexcept;
    SocketHandle& operator=(SocketHandle&& other) noexcept;
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    void Reset() noexcept;

private:
    int m_fd = -1;
    bool m_watched = false;
};

// An IPv4 socket address from dotted text (inet_addr rules) and a port of which only the low 16
// bits count.
sockaddr_in MakeSocketAddress(const std::string& address, std::int32_t port);

// Sockets need no start-up here; the routine keeps its place in the workers' sequence.
bool StartSockets();

// Listen on the endpoint, accept exactly one connection and close the listening socket at once.
// The handle is empty when any step fails.
SocketHandle AcceptOnServerEndpoint();
SocketHandle AcceptOnClientEndpoint();

// A TCP socket connected to the endpoint; empty when the connect fails.
SocketHandle ConnectToClientEndpoint();
SocketHandle ConnectToServerEndpoint();

// Completes the pending accept of a worker listening on (address, port) with a connection that is
// closed at once.
void WakeAcceptingWorker(std::string address, int port);
