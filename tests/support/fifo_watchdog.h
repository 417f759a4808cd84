#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

// Keeps a test that reads a named pipe from hanging: once `timeout` has passed, it opens the pipe
// for writing and closes it again, again and again until it is stopped, which releases a reader
// blocked in open or read. Fired() tells whether a reader was there to release.
class FifoWatchdog {
public:
    FifoWatchdog(std::filesystem::path fifo, std::chrono::milliseconds timeout)
        : m_thread([this, fifo = std::move(fifo), timeout] { Watch(fifo, timeout); }) {}
    ~FifoWatchdog() {
        {
            const std::lock_guard lock(m_mutex);
            m_stopped = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    FifoWatchdog(const FifoWatchdog&) = delete;
    FifoWatchdog& operator=(const FifoWatchdog&) = delete;

    bool Fired() const { return m_fired; }

private:
    void Watch(const std::filesystem::path& fifo, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, timeout, [this] { return m_stopped; }))
            return;
        while (
            !m_wake.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_stopped; })) {
            // Succeeds only while someone has the pipe open for reading.
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                m_fired = true;
                ::close(fd);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopped = false;
    std::atomic<bool> m_fired{false};
    std::thread m_thread;
};
