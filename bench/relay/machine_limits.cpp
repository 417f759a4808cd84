// A relay that blocks between datagrams keeps a paced stream only while its wake-ups take less time
// than its receive buffer covers at that rate. Both are the machine's, so they are printed first:
// the wake-up of a thread blocked on the relay's core, handed a message from another core, and how
// many datagrams a socket with the system's default buffer holds unread.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <thread>

#include "relay_measurements.h"
#include "relay_test_peers.h"

namespace relaybench {

using relaytest::AsSockaddr;
using relaytest::BindUdp;
using relaytest::kClientAddress;
using relaytest::kServerAddress;

namespace {
constexpr int kWakeUps = 2000;
} // namespace

void PrintMachineLimits(int relayCore, std::size_t datagramSize, int rate) {
    std::array<int, 2> ends{};
    if (::pipe(ends.data()) != 0) {
        return;
    }
    std::vector<double> wakeUps;
    std::thread sleeper([&] {
        const cpu_set_t core = Cores(relayCore, relayCore);
        ::sched_setaffinity(0, sizeof core, &core);
        Clock::rep sentAt = 0;
        while (::read(ends[0], &sentAt, sizeof sentAt) == sizeof sentAt && sentAt >= 0) {
            const Clock::time_point sent{Clock::duration(sentAt)};
            wakeUps.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        }
    });
    for (int i = 0; i <= kWakeUps; ++i) {
        std::this_thread::sleep_for(1ms); // the sleeper is blocked again by then
        const Clock::rep now = i < kWakeUps ? Clock::now().time_since_epoch().count() : -1;
        if (::write(ends[1], &now, sizeof now) != sizeof now) {
            break;
        }
    }
    ::close(ends[1]);
    sleeper.join();
    ::close(ends[0]);
    std::sort(wakeUps.begin(), wakeUps.end());

    UniqueFd unread = BindUdp(kServerAddress, 0);
    sockaddr_in at{};
    socklen_t length = sizeof at;
    ::getsockname(unread.Get(), reinterpret_cast<sockaddr*>(&at), &length);
    UniqueFd sender = BindUdp(kClientAddress, 0);
    const std::string payload = Letters(datagramSize);
    for (int i = 0; i < 5000; ++i) {
        ::sendto(sender.Get(), payload.data(), payload.size(), MSG_DONTWAIT, AsSockaddr(at),
                 sizeof at);
    }
    int held = 0;
    std::array<char, 2048> chunk{};
    while (::recv(unread.Get(), chunk.data(), chunk.size(), MSG_DONTWAIT) >= 0) {
        ++held;
    }

    if (!wakeUps.empty()) {
        const auto over =
            std::count_if(wakeUps.begin(), wakeUps.end(), [](double us) { return us > 1000; });
        std::printf("wake-up on the relay core: p50 %.0f us, p99 %.0f us, max %.0f us, %ld of %zu "
                    "over 1 ms\n",
                    wakeUps[wakeUps.size() / 2], wakeUps[wakeUps.size() * 99 / 100], wakeUps.back(),
                    static_cast<long>(over), wakeUps.size());
    }
    std::printf("default receive buffer: %d datagrams of %zu bytes, %.2f ms at %d/s\n", held,
                datagramSize, 1000.0 * held / rate, rate);
}

} // namespace relaybench
