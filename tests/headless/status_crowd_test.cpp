// The status port crowded by 1 000 idle connections and 200 that send a byte a second, each
// coming back a second after the relay lets it go: every scrape is still answered within a second,
// and the relay's stream goes on byte for byte.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "relay_program.h"
#include "relay_test_peers.h"

namespace {

using namespace relaytest;
using namespace relayprogram;
using Clock = std::chrono::steady_clock;

constexpr char kStatusAddress[] = "127.0.0.1";
constexpr int kIdle = 1000;
constexpr int kSlow = 200;

// The crowd: connections opened without waiting, held, and opened again a second after the
// relay closes them. The slow ones send one byte of a request head a second, never ending it.
class Crowd {
public:
    explicit Crowd(int port) : m_port(port), m_members(kIdle + kSlow) {}

    // Until `stop`, or `bound` at the latest.
    void Run(const std::atomic<bool>& stop, Clock::duration bound) {
        const Clock::time_point end = Clock::now() + bound;
        std::vector<pollfd> entries(m_members.size());
        while (!stop && Clock::now() < end) {
            const Clock::time_point now = Clock::now();
            for (std::size_t i = 0; i < m_members.size(); ++i) {
                Member& member = m_members[i];
                if (!member.socket.Valid() && now >= member.next) {
                    Open(member);
                } else if (member.socket.Valid() && i >= kIdle && now >= member.next) {
                    ::send(member.socket.Get(), "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                    member.next = now + std::chrono::seconds(1);
                }
                entries[i] = {member.socket.Valid() ? member.socket.Get() : -1, POLLIN, 0};
            }
            ::poll(entries.data(), entries.size(), 50);
            for (std::size_t i = 0; i < m_members.size(); ++i) {
                // Closed by the relay (or never connected): back in a second.
                if ((entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    m_members[i].socket.Reset();
                    m_members[i].next = Clock::now() + std::chrono::seconds(1);
                }
            }
        }
    }

    long Opened() const { return m_opened; }

private:
    struct Member {
        UniqueFd socket;
        Clock::time_point next;
    };

    void Open(Member& member) {
        member.socket = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        const sockaddr_in to = MakeSocketAddress(kStatusAddress, m_port);
        ::connect(member.socket.Get(), AsSockaddr(to), sizeof to);
        member.next = Clock::now() + std::chrono::seconds(1);
        ++m_opened;
    }

    const int m_port;
    std::vector<Member> m_members;
    long m_opened = 0;
};

TEST(StatusCrowdTest, ScrapesAreAnsweredWithinASecondWhileTheCrowdHoldsThePort) {
    // The crowd, the stream and the scrapes need more descriptors than the usual 1 024.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, static_cast<rlim_t>(kIdle + kSlow + 64)) << "descriptor limit";

    TcpSetting relay(0, "[Forward]\nMode=Bytes\n");
    const int statusPort = FreePort(kStatusAddress, SOCK_STREAM);
    relay.Write("[Forward]\nMode=Bytes\n[Status]\nListen=127.0.0.1:" + std::to_string(statusPort) +
                "\n");
    Program program(relay.folder, relay.Arguments());
    ASSERT_TRUE(WaitUntil([&] { return IsListening(relay.WaitAddress(), relay.WaitPort()); }));
    TcpSetting::Stream stream = relay.Connect();
    ASSERT_TRUE(stream.source.Valid() && stream.destination.Valid());

    std::atomic<bool> stop{false};
    Crowd crowd(statusPort);
    std::thread crowding([&] { crowd.Run(stop, std::chrono::seconds(45)); });
    // The stream meanwhile: a chunk every 100 ms, read on the other side as it comes.
    const std::string sent = StreamWithoutZeros(4 << 20);
    std::string received;
    std::thread reading([&] {
        received = ReadStream(stream.destination.Get(), sent.size(), std::chrono::seconds(60)).data;
    });
    std::thread writing([&] {
        constexpr std::size_t kChunk = 16 << 10;
        for (std::size_t at = 0; at < sent.size() && !stop; at += kChunk) {
            SendAll(stream.source.Get(), std::string_view(sent).substr(at, kChunk));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    // The crowd gathers first.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::vector<double> seconds;
    int answered = 0;
    std::string unanswered; // what the first scrape not answered got
    const Clock::time_point end = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < end) {
        const Clock::time_point start = Clock::now();
        std::string answer;
        if (UniqueFd scrape = ConnectWithin(kStatusAddress, statusPort, std::chrono::seconds(5));
            scrape.Valid() && SendAll(scrape.Get(), "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n")) {
            answer = ReadUntilClosed(scrape.Get(), std::chrono::seconds(5)).data;
        }
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (answer.starts_with("HTTP/1.1 200 OK\r\n")) {
            ++answered;
        } else if (unanswered.empty()) {
            unanswered = answer.empty() ? "(nothing)" : answer.substr(0, answer.find('\r'));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    writing.join();
    reading.join();
    stop = true;
    crowding.join();

    std::sort(seconds.begin(), seconds.end());
    std::printf("scrapes %zu, answered %d, median %.4f s, slowest %.4f s; crowd connections "
                "opened %ld\n",
                seconds.size(), answered, seconds[seconds.size() / 2], seconds.back(),
                crowd.Opened());
    EXPECT_EQ(answered, static_cast<int>(seconds.size())) << "one got " << unanswered;
    EXPECT_LE(seconds.back(), 1.0);
    EXPECT_GT(crowd.Opened(), kIdle + kSlow) << "the relay let nobody of the crowd go";
    EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();
}

} // namespace
