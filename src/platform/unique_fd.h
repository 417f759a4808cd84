#pragma once

// Owns one file descriptor (a socket, a pipe, a file, an eventfd) and closes it when it goes.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Reset(); }

    UniqueFd(UniqueFd&& other) noexcept;
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    void Reset() noexcept;
    // Closes now, for a caller that must know whether the close failed (a file's late write
    // error); true when there was nothing to close.
    bool Close() noexcept;

private:
    int m_fd = -1;
};
