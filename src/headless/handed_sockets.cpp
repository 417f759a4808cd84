#include "headless/handed_sockets.h"

#include <sys/socket.h>

#include "relay/relay_description.h"
#include "relay/relay_sockets.h"

namespace {

int SocketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

Endpoint PeerEndpoint(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    return Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&address), length);
}

// The type and family every handed socket is checked for first.
std::string KindProblem(int fd, int type, int family) {
    const int got = SocketOption(fd, SO_TYPE);
    if (got < 0) {
        return "不是套接字";
    }
    if (got != type) {
        return type == SOCK_STREAM ? "不是 TCP 套接字" : "不是 UDP 套接字";
    }
    if (SocketOption(fd, SO_DOMAIN) != family) {
        return family == AF_INET ? "不是 IPv4 套接字" : "不是 IPv6 套接字";
    }
    return {};
}

} // namespace

std::string EndpointSocketProblem(int fd, const RelayPlan& plan) {
    const bool tcp = plan.protocol == RelayProtocol::Tcp;
    const Endpoint& wanted = plan.waitEndpoint;
    if (std::string problem = KindProblem(fd, tcp ? SOCK_STREAM : SOCK_DGRAM, wanted.Family());
        !problem.empty()) {
        return problem;
    }
    if (tcp && SocketOption(fd, SO_ACCEPTCONN) != 1) {
        return "没有在监听";
    }
    const Endpoint bound = BoundEndpoint(fd, {});
    // Port 0 lets the system choose: any port of the address is the plan's then.
    const bool samePlace = bound == wanted || (wanted.Port() == 0 && !bound.Empty() &&
                                               AddressText(bound) == AddressText(wanted));
    if (!samePlace) {
        return "绑定在 " + (bound.Empty() ? std::string("未知端点") : EndpointText(bound)) +
               ", 而不是 " + EndpointText(wanted);
    }
    return {};
}

std::string ConnectionProblem(int fd, const Endpoint& peer, std::uint16_t localPort) {
    if (std::string problem = KindProblem(fd, SOCK_STREAM, peer.Family()); !problem.empty()) {
        return problem;
    }
    if (SocketOption(fd, SO_ACCEPTCONN) != 0) {
        return "是监听套接字, 不是连接";
    }
    const Endpoint connectedTo = PeerEndpoint(fd);
    if (!(connectedTo == peer)) {
        return "连到 " +
               (connectedTo.Empty() ? std::string("未知端点") : EndpointText(connectedTo)) +
               ", 而不是 " + EndpointText(peer);
    }
    const Endpoint at = BoundEndpoint(fd, {});
    if (localPort != 0 && at.Port() != localPort) {
        return "在 " + (at.Empty() ? std::string("未知端点") : EndpointText(at)) + ", 而不是端口 " +
               std::to_string(localPort);
    }
    return {};
}
