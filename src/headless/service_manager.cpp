#include "headless/service_manager.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/descriptor_waits.h"
#include "platform/open_socket.h"

bool NotifyServiceManager(std::string_view state, std::span<const int> descriptors) {
    const char* const path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr) {
        errno = ENOENT;
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    // A path, or "@name" for a name in the abstract namespace, which starts with a zero byte.
    if ((path[0] != '/' && path[0] != '@') || length < 2 || length >= sizeof address.sun_path) {
        errno = EINVAL;
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

// The first descriptor systemd passes, and the most this program ever stores (the units'
// FileDescriptorStoreMax).
constexpr int kFirstPassedDescriptor = 3;
constexpr long kMostPassedDescriptors = 4096;

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

// The names of $LISTEN_FDNAMES, one per descriptor; "unknown" for each when it is not set.
std::vector<std::string> PassedNames(long count) {
    const char* const text = std::getenv("LISTEN_FDNAMES");
    if (text == nullptr) {
        return std::vector<std::string>(static_cast<std::size_t>(count), "unknown");
    }
    std::vector<std::string> names;
    const std::string_view all(text);
    for (std::size_t start = 0;;) {
        const std::size_t colon = all.find(':', start);
        names.emplace_back(all.substr(start, colon - start));
        if (colon == std::string_view::npos) {
            return names;
        }
        start = colon + 1;
    }
}

// The variables' verdict: the descriptors, or why none is taken. Every descriptor they name that
// is open becomes close-on-exec: inherited across exec on purpose, nothing started from here may
// hold them. Refused, those are closed, so that none holds a port the relay binds afresh; this
// process opened none of them, having opened nothing yet.
PassedDescriptors CheckPassed() {
    PassedDescriptors passed;
    const char* const countText = std::getenv("LISTEN_FDS");
    if (countText == nullptr || NumberVariable("LISTEN_PID") != static_cast<long>(::getpid())) {
        return passed;
    }
    const long count = NumberVariable("LISTEN_FDS");
    const long limit = std::min(::sysconf(_SC_OPEN_MAX), static_cast<long>(INT_MAX));
    if (count <= 0 || count > limit - kFirstPassedDescriptor) {
        passed.refusal = "LISTEN_FDS=" + std::string(countText) + " 不是有效的描述符数目";
        return passed;
    }
    long closed = -1;
    std::vector<UniqueFd> open;
    for (long fd = kFirstPassedDescriptor; fd < kFirstPassedDescriptor + count; ++fd) {
        if (::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) == 0) {
            open.emplace_back(static_cast<int>(fd));
        } else if (closed < 0) {
            closed = fd;
        }
    }
    const std::vector<std::string> names = PassedNames(count);
    if (closed >= 0) {
        passed.refusal = "LISTEN_FDS=" + std::to_string(count) + " 中的描述符 " +
                         std::to_string(closed) + " 并未打开";
    } else if (names.size() != static_cast<std::size_t>(count)) {
        passed.refusal = "LISTEN_FDNAMES 有 " + std::to_string(names.size()) +
                         " 个名字, 与 LISTEN_FDS=" + std::to_string(count) + " 不符";
    } else if (count > kMostPassedDescriptors) {
        passed.refusal = "LISTEN_FDS=" + std::to_string(count) + " 多于本程序保管的描述符";
    }
    if (!passed.refusal.empty()) {
        return passed;
    }
    for (std::size_t i = 0; i < open.size(); ++i) {
        passed.descriptors.push_back({names[i], std::move(open[i])});
    }
    return passed;
}

} // namespace

PassedDescriptors TakePassedDescriptors() {
    PassedDescriptors passed = CheckPassed();
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
