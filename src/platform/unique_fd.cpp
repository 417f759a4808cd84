#include "platform/unique_fd.h"

#include <unistd.h>

#include <utility>

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void UniqueFd::Reset() noexcept {
    Close();
}

bool UniqueFd::Close() noexcept {
    const int fd = std::exchange(m_fd, -1);
    return fd < 0 || ::close(fd) == 0;
}
