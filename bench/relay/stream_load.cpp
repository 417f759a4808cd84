#include "stream_load.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "relay_test_peers.h"

namespace relaybench {

namespace {

// Reads every stream the relay brings to its end, counting the ends and the bytes; tells the
// sources of each end through `ended`.
class Sink {
public:
    Sink(const StreamLoad& load, int endedFd)
        : m_load(load), m_endedFd(endedFd),
          m_listener(relaytest::ListenOn(load.sinkAddress, load.sinkPort, 4096)) {}

    bool Listening() const { return m_listener.Valid(); }

    void Run(Clock::time_point deadline, const std::atomic<bool>& stop) {
        const UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
        ::fcntl(m_listener.Get(), F_SETFL, ::fcntl(m_listener.Get(), F_GETFL) | O_NONBLOCK);
        epoll_event entry{EPOLLIN, {}};
        entry.data.fd = m_listener.Get();
        ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, m_listener.Get(), &entry);
        std::vector<char> buffer(256 * 1024);
        std::vector<epoll_event> ready(512);
        Clock::time_point lastEnd = Clock::now();
        while (ended < m_load.streams && Clock::now() < deadline && !stop) {
            const int count = ::epoll_wait(epoll.Get(), ready.data(), 512, 10);
            for (int i = 0; i < count; ++i) {
                const int fd = ready[static_cast<std::size_t>(i)].data.fd;
                if (fd == m_listener.Get()) {
                    for (int accepted; (accepted = ::accept4(fd, nullptr, nullptr,
                                                             SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                        epoll_event stream{EPOLLIN, {}};
                        stream.data.fd = accepted;
                        ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, accepted, &stream);
                    }
                    continue;
                }
                ssize_t got = 0;
                while ((got = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0) {
                    received += static_cast<std::uint64_t>(got);
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    ::close(fd);
                    const Clock::time_point now = Clock::now();
                    longestGap = std::max(longestGap, now - lastEnd);
                    lastEnd = now;
                    ++ended;
                    const std::uint64_t one = 1;
                    [[maybe_unused]] const ssize_t written = ::write(m_endedFd, &one, sizeof one);
                }
            }
        }
    }

    std::atomic<std::size_t> ended{0};
    std::atomic<std::uint64_t> received{0};
    Clock::duration longestGap{};

private:
    const StreamLoad& m_load;
    const int m_endedFd;
    UniqueFd m_listener;
};

// A source: connects, sends its bytes as the relay takes them, then closes.
struct Source {
    UniqueFd socket;
    std::size_t sent = 0;
};

} // namespace

StreamLoadResult RunStreamLoad(const StreamLoad& load) {
    StreamLoadResult result;
    const UniqueFd endedFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    Sink sink(load, endedFd.Get());
    if (!sink.Listening()) {
        result.problem = "sink cannot listen";
        return result;
    }
    const std::string data = Letters(load.bytes);
    const Clock::time_point begin = Clock::now();
    const Clock::time_point deadline = begin + load.limit;
    std::atomic<bool> stop{false};
    std::thread sinkThread([&] { sink.Run(deadline, stop); });

    const UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event wake{EPOLLIN, {}};
    wake.data.u64 = UINT64_MAX;
    ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, endedFd.Get(), &wake);
    std::vector<Source> sources(load.streams);
    std::size_t begun = 0;
    std::vector<epoll_event> ready(512);
    while (sink.ended < load.streams && Clock::now() < deadline && result.problem.empty()) {
        // New sources while fewer than `atOnce` are under way; from many loopback addresses, so
        // that the closed connections' ports never run short.
        while (begun < load.streams && begun - sink.ended < load.atOnce) {
            Source& source = sources[begun];
            source.socket = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            const int on = 1;
            ::setsockopt(source.socket.Get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            const std::string from = "127.0.1." + std::to_string(1 + begun % 250);
            const sockaddr_in local = relaytest::MakeSocketAddress(from.c_str(), 0);
            const sockaddr_in relay =
                relaytest::MakeSocketAddress(load.relayAddress, load.relayPort);
            ::bind(source.socket.Get(), relaytest::AsSockaddr(local), sizeof local);
            if (::connect(source.socket.Get(), relaytest::AsSockaddr(relay), sizeof relay) != 0 &&
                errno != EINPROGRESS) {
                result.problem = "connect failed: errno " + std::to_string(errno);
                break;
            }
            epoll_event entry{EPOLLOUT, {}};
            entry.data.u64 = begun;
            ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, source.socket.Get(), &entry);
            ++begun;
        }
        const int count = ::epoll_wait(epoll.Get(), ready.data(), 512, 10);
        for (int i = 0; i < count; ++i) {
            const std::uint64_t which = ready[static_cast<std::size_t>(i)].data.u64;
            if (which == UINT64_MAX) {
                std::uint64_t ends = 0;
                [[maybe_unused]] const ssize_t got = ::read(endedFd.Get(), &ends, sizeof ends);
                continue;
            }
            Source& source = sources[which];
            while (source.sent < data.size()) {
                const ssize_t sent = ::send(source.socket.Get(), data.data() + source.sent,
                                            data.size() - source.sent, MSG_NOSIGNAL);
                if (sent <= 0) {
                    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                        result.problem = "send failed: errno " + std::to_string(errno);
                    }
                    break;
                }
                source.sent += static_cast<std::size_t>(sent);
            }
            if (source.sent == data.size()) {
                source.socket.Reset(); // all given: the close follows it
            }
        }
    }
    stop = true;
    sinkThread.join();
    result.seconds = Seconds(Clock::now() - begin);
    result.ended = sink.ended;
    result.received = sink.received;
    result.longestGapMs = Seconds(sink.longestGap) * 1000;
    result.ok = result.problem.empty() && result.ended == load.streams &&
                result.received >= load.streams * load.bytes;
    if (result.problem.empty() && !result.ok) {
        result.problem = std::to_string(result.ended) + " of " + std::to_string(load.streams) +
                         " streams ended, " + std::to_string(result.received) + " bytes";
    }
    return result;
}

} // namespace relaybench
