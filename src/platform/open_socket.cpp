#include "platform/open_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

UniqueFd OpenSocket(int family, int type) {
    return UniqueFd(::socket(family, type | SOCK_CLOEXEC, 0));
}

void KeepToOwnFamily(const UniqueFd& socket, int family) {
    if (family == AF_INET6) {
        const int only = 1;
        ::setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
}
