#include "headless/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "relay/socket_handle.h"

bool NotifyServiceManager(std::string_view state, std::span<const int> descriptors) {
    const char* const path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    // A path, or "@name" for a name in the abstract namespace, which starts with a zero byte.
    if ((path[0] != '/' && path[0] != '@') || length < 2 || length >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const SocketHandle socket = OpenSocket(AF_UNIX, SOCK_DGRAM);
    if (!socket.Valid()) {
        return false;
    }

    iovec text{const_cast<char*>(state.data()), state.size()};
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    message.msg_iov = &text;
    message.msg_iovlen = 1;
    std::vector<char> control;
    if (!descriptors.empty()) {
        control.resize(CMSG_SPACE(sizeof(int) * descriptors.size()));
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        std::memcpy(CMSG_DATA(rights), descriptors.data(), sizeof(int) * descriptors.size());
    }
    for (;;) {
        if (::sendmsg(socket.Get(), &message, MSG_NOSIGNAL) >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}
