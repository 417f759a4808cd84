#pragma once

// Owns one socket descriptor and closes it when it goes.
class SocketHandle {
public:
    SocketHandle() noexcept = default;
    explicit SocketHandle(int fd) noexcept : m_fd(fd) {}
    ~SocketHandle() { Reset(); }

    SocketHandle(SocketHandle&& other) noexcept;
    SocketHandle& operator=(SocketHandle&& other) noexcept;
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    void Reset() noexcept;

private:
    int m_fd = -1;
};

// A new socket of `family` (AF_INET or AF_INET6) and `type` (SOCK_STREAM or SOCK_DGRAM, optionally
// with SOCK_NONBLOCK). It is close-on-exec: a program started from the dialog must never hold a
// relay endpoint or keep a connection from closing.
SocketHandle OpenSocket(int family, int type);

// An IPv6 socket that listens or is bound takes IPv6 peers only: without it, binding the IPv6
// wildcard would take IPv4 peers too, by surprise. Nothing for an IPv4 socket.
void KeepToOwnFamily(const SocketHandle& socket, int family);
