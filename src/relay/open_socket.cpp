#include "relay/socket_handle.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

SocketHandle::SocketHandle(SocketHandle&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

SocketHandle& SocketHandle::operator=(SocketHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void SocketHandle::Reset() noexcept {
    if (m_fd >= 0) {
        ::close(std::exchange(m_fd, -1));
    }
}

SocketHandle OpenSocket(int family, int type) {
    return SocketHandle(::socket(family, type | SOCK_CLOEXEC, 0));
}

void KeepToOwnFamily(const SocketHandle& socket, int family) {
    if (family == AF_INET6) {
        const int only = 1;
        ::setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
}
