#include "platform/descriptor_waits.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <limits>

int PollTimeoutUntil(std::chrono::steady_clock::time_point deadline) {
    if (deadline == std::chrono::steady_clock::time_point::max()) {
        return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        left.count(), 0, std::numeric_limits<int>::max()));
}

bool WaitFor(int fd, short events, int wakeFd, int timeoutMs) {
    pollfd entries[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    // An interrupted wait goes on for what is left of the timeout, not the whole of it again.
    const auto deadline =
        timeoutMs < 0 ? std::chrono::steady_clock::time_point::max()
                      : std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int ready = ::poll(entries, count, PollTimeoutUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (count == 2 && entries[1].revents != 0) {
            errno = ECANCELED;
            return false;
        }
        return true;
    }
}
