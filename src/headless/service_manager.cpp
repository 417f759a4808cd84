#include "headless/service_manager.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "relay/open_socket.h"
#include "relay/relay_sockets.h"

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
    const UniqueFd socket = OpenSocket(AF_UNIX, SOCK_DGRAM);
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

namespace {

// The first descriptor systemd passes, and the most this program ever stores.
constexpr int kFirstPassedDescriptor = 3;
constexpr long kMostPassedDescriptors = 64;

// A variable's value as a whole decimal number; -1 when it is not one.
long NumberVariable(const char* name) {
    const char* const text = std::getenv(name);
    if (text == nullptr) {
        return -1;
    }
    long value = -1;
    const char* const end = text + std::strlen(text);
    const auto [last, error] = std::from_chars(text, end, value);
    return error == std::errc() && last == end && last != text ? value : -1;
}

} // namespace

std::vector<PassedDescriptor> TakePassedDescriptors() {
    const long pid = NumberVariable("LISTEN_PID");
    const long count = NumberVariable("LISTEN_FDS");
    const char* const namesText = std::getenv("LISTEN_FDNAMES");
    std::string names = namesText != nullptr ? namesText : "";
    std::vector<PassedDescriptor> passed;
    if (pid == static_cast<long>(::getpid()) && count > 0 && count <= kMostPassedDescriptors) {
        for (int fd = kFirstPassedDescriptor; fd < kFirstPassedDescriptor + count; ++fd) {
            const std::size_t colon = names.find(':');
            std::string name = names.substr(0, colon);
            names.erase(0, colon == std::string::npos ? names.size() : colon + 1);
            // Inherited across exec on purpose; nothing started from here may hold them.
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            passed.push_back({std::move(name), UniqueFd(fd)});
        }
    }
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    return passed;
}

bool StoreDescriptor(std::string_view name, int descriptor) {
    const int descriptors[] = {descriptor};
    return NotifyServiceManager("FDSTORE=1\nFDNAME=" + std::string(name), descriptors);
}

bool RemoveStoredDescriptors(std::string_view name) {
    return NotifyServiceManager("FDSTOREREMOVE=1\nFDNAME=" + std::string(name));
}

bool WaitForServiceManager(std::chrono::milliseconds bound) {
    // systemd closes the write end it was given once it reads the message; the read end then
    // hangs up.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    const UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const int descriptors[] = {writeEnd.Get()};
    if (!NotifyServiceManager("BARRIER=1", descriptors)) {
        return false;
    }
    writeEnd.Reset();
    // Asked for no event, the read end reports only its hang-up.
    return WaitFor(readEnd.Get(), 0, -1, static_cast<int>(bound.count()));
}
