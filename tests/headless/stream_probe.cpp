// The far ends of a relay for the service check: paced senders and counting receivers that say
// what went missing. Run inside the network namespace of the booted system.
//   stream_probe udp-send ADDRESS PORT RATE COUNT       COUNT datagrams, RATE a second, numbered
//   stream_probe udp-receive ADDRESS PORT COUNT SECONDS  until COUNT numbers or SECONDS passed
//   stream_probe tcp-send ADDRESS PORT FILE RATE         FILE over one connection, RATE bytes/s
//   stream_probe tcp-receive ADDRESS PORT FILE SECONDS   one connection into FILE, until its end
//   stream_probe tcp-receive-each ADDRESS PORT FILE COUNT SECONDS
//                                                        COUNT connections at once into FILE.0, ...
//   stream_probe tcp-knock ADDRESS PORT SECONDS          connects and closes again and again
//   stream_probe tcp-sink ADDRESS PORT SECONDS           takes connections and closes them
// Each prints one line of what it saw and exits 0 when nothing was lost, refused or broken.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/open_socket.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

sockaddr_in Address(const char* address, const char* port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    ::inet_pton(AF_INET, address, &to.sin_addr);
    return to;
}

const sockaddr* As(const sockaddr_in& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

bool WaitReadable(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

// Numbered datagrams ("17\n"), sent in steps of a millisecond so that the rate holds.
int UdpSend(const sockaddr_in& to, long rate, long count) {
    const UniqueFd socket = OpenSocket(AF_INET, SOCK_DGRAM);
    const auto start = Clock::now();
    long failed = 0;
    for (long sent = 0; sent < count;) {
        const long due = std::min(
            count,
            rate *
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start)
                        .count() /
                    1'000'000 +
                1);
        for (; sent < due; ++sent) {
            const std::string text = std::to_string(sent) + "\n";
            if (::sendto(socket.Get(), text.data(), text.size(), 0, As(to), sizeof to) < 0) {
                ++failed;
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    std::printf("sent %ld datagrams in %.2f s, %ld sends failed\n", count,
                std::chrono::duration<double>(Clock::now() - start).count(), failed);
    return failed == 0 ? 0 : 1;
}

int UdpReceive(const sockaddr_in& at, long count, long seconds) {
    const UniqueFd socket = OpenSocket(AF_INET, SOCK_DGRAM);
    const int size = 8 << 20;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (::bind(socket.Get(), As(at), sizeof at) != 0) {
        std::perror("bind");
        return 2;
    }
    std::vector<bool> seen(static_cast<std::size_t>(count), false);
    long distinct = 0;
    long duplicates = 0;
    long strange = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    // Until every number came, or the time is up: a restart may hold them back for a while.
    while (distinct < count && Clock::now() < deadline) {
        if (!WaitReadable(socket.Get(), 100ms)) {
            continue;
        }
        char text[256];
        const ssize_t got = ::recv(socket.Get(), text, sizeof text - 1, 0);
        if (got <= 0) {
            continue;
        }
        text[got] = '\0';
        char* end = nullptr;
        const long number = std::strtol(text, &end, 10);
        if (end == text || number < 0 || number >= count) {
            ++strange;
        } else if (seen[static_cast<std::size_t>(number)]) {
            ++duplicates;
        } else {
            seen[static_cast<std::size_t>(number)] = true;
            ++distinct;
        }
    }
    std::printf("received %ld of %ld datagrams, %ld lost, %ld twice, %ld not ours\n", distinct,
                count, count - distinct, duplicates, strange);
    return distinct == count && duplicates == 0 ? 0 : 1;
}

int TcpSend(const sockaddr_in& to, const char* file, long rate) {
    std::ifstream in(file, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const UniqueFd socket = OpenSocket(AF_INET, SOCK_STREAM);
    if (::connect(socket.Get(), As(to), sizeof to) != 0) {
        std::perror("connect");
        return 2;
    }
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < data.size()) {
        const auto due = static_cast<std::size_t>(
            rate *
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count() /
            1'000'000);
        const std::size_t chunk = std::min(data.size(), std::max(due, sent + 1)) - sent;
        const ssize_t done = ::send(socket.Get(), data.data() + sent, chunk, MSG_NOSIGNAL);
        if (done < 0) {
            std::printf("the connection broke after %zu of %zu bytes: %s\n", sent, data.size(),
                        std::strerror(errno));
            return 1;
        }
        sent += static_cast<std::size_t>(done);
        std::this_thread::sleep_for(1ms);
    }
    // The end of the stream, then the relay's close once it passed everything on.
    ::shutdown(socket.Get(), SHUT_WR);
    char rest[512];
    while (WaitReadable(socket.Get(), 30000ms) && ::recv(socket.Get(), rest, sizeof rest, 0) > 0) {
    }
    std::printf("sent %zu bytes over one connection in %.2f s\n", sent,
                std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}

// A socket listening at `at`; empty (the reason printed) when it cannot listen there.
UniqueFd ListenAt(const sockaddr_in& at, int backlog) {
    UniqueFd listener = OpenSocket(AF_INET, SOCK_STREAM);
    const int reuse = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (::bind(listener.Get(), As(at), sizeof at) != 0 || ::listen(listener.Get(), backlog) != 0) {
        std::perror("listen");
        return UniqueFd();
    }
    return listener;
}

int TcpReceive(const sockaddr_in& at, const char* file, long seconds) {
    const UniqueFd listener = ListenAt(at, 5);
    if (!listener.Valid()) {
        return 2;
    }
    if (!WaitReadable(listener.Get(), std::chrono::seconds(seconds))) {
        std::printf("no connection came\n");
        return 1;
    }
    const UniqueFd connection(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::ofstream out(file, std::ios::binary);
    std::size_t received = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    char chunk[65536];
    bool ended = false;
    while (Clock::now() < deadline && WaitReadable(connection.Get(), 1000ms)) {
        const ssize_t got = ::recv(connection.Get(), chunk, sizeof chunk, 0);
        if (got <= 0) {
            ended = got == 0;
            break;
        }
        out.write(chunk, got);
        received += static_cast<std::size_t>(got);
    }
    // Every byte came over this one connection: the relay never made a second one.
    const bool another = WaitReadable(listener.Get(), 500ms);
    std::printf("received %zu bytes over one connection, %s, %s\n", received,
                ended ? "which ended in order" : "which did not end in order",
                another ? "then another connection came" : "and no other came");
    return ended && !another ? 0 : 1;
}

// COUNT connections at once, each into a file of its own in the order they came, until each has
// ended; a connection beyond COUNT is a fault.
int TcpReceiveEach(const sockaddr_in& at, const std::string& file, long count, long seconds) {
    const UniqueFd listener = ListenAt(at, static_cast<int>(count));
    if (!listener.Valid() || count <= 0) {
        return 2;
    }
    enum class State { Open, Ended, Broken };
    struct Incoming {
        UniqueFd connection;
        std::ofstream out;
        State state = State::Open;
    };
    std::vector<Incoming> incoming;
    std::size_t received = 0;
    bool another = false;
    const auto open = [&incoming] {
        return std::count_if(incoming.begin(), incoming.end(),
                             [](const Incoming& in) { return in.state == State::Open; });
    };
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    char chunk[65536];
    while (Clock::now() < deadline &&
           (incoming.size() < static_cast<std::size_t>(count) || open() > 0)) {
        std::vector<pollfd> entries{{listener.Get(), POLLIN, 0}};
        for (const Incoming& in : incoming) {
            entries.push_back({in.state == State::Open ? in.connection.Get() : -1, POLLIN, 0});
        }
        if (::poll(entries.data(), entries.size(), 1000) < 0) {
            continue;
        }
        if ((entries[0].revents & POLLIN) != 0) {
            UniqueFd connection(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (incoming.size() == static_cast<std::size_t>(count)) {
                another = true;
            } else if (connection.Valid()) {
                const std::string name = file + "." + std::to_string(incoming.size());
                incoming.push_back({std::move(connection), std::ofstream(name, std::ios::binary)});
            }
        }
        for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
            if (entries[i + 1].revents == 0) {
                continue;
            }
            Incoming& in = incoming[i];
            const ssize_t got = ::recv(in.connection.Get(), chunk, sizeof chunk, 0);
            if (got <= 0) {
                in.state = got == 0 ? State::Ended : State::Broken;
                in.out.close();
                continue;
            }
            in.out.write(chunk, got);
            received += static_cast<std::size_t>(got);
        }
    }
    another = another || WaitReadable(listener.Get(), 500ms);
    const auto ended = std::count_if(incoming.begin(), incoming.end(),
                                     [](const Incoming& in) { return in.state == State::Ended; });
    std::printf("received %zu bytes over %zu connections, %ld of them ended in order, %s\n",
                received, incoming.size(), static_cast<long>(ended),
                another ? "then another connection came" : "and no other came");
    return ended == count && !another ? 0 : 1;
}

// Connections that are refused while the relay is being restarted.
int TcpKnock(const sockaddr_in& to, long seconds) {
    long made = 0;
    long refused = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        const UniqueFd socket = OpenSocket(AF_INET, SOCK_STREAM);
        if (::connect(socket.Get(), As(to), sizeof to) == 0) {
            ++made;
        } else {
            ++refused;
        }
        std::this_thread::sleep_for(5ms);
    }
    std::printf("%ld connections made, %ld refused\n", made, refused);
    return refused == 0 && made > 0 ? 0 : 1;
}

// The far end of the knocks: every connection taken and closed at once.
int TcpSink(const sockaddr_in& at, long seconds) {
    const UniqueFd listener = ListenAt(at, 64);
    if (!listener.Valid()) {
        return 2;
    }
    long taken = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        if (WaitReadable(listener.Get(), 100ms)) {
            const UniqueFd connection(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            taken += connection.Valid() ? 1 : 0;
        }
    }
    std::printf("took %ld connections\n", taken);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc == 6 && mode == "udp-send") {
        return UdpSend(Address(argv[2], argv[3]), std::atol(argv[4]), std::atol(argv[5]));
    }
    if (argc == 6 && mode == "udp-receive") {
        return UdpReceive(Address(argv[2], argv[3]), std::atol(argv[4]), std::atol(argv[5]));
    }
    if (argc == 6 && mode == "tcp-send") {
        return TcpSend(Address(argv[2], argv[3]), argv[4], std::atol(argv[5]));
    }
    if (argc == 7 && mode == "tcp-receive-each") {
        return TcpReceiveEach(Address(argv[2], argv[3]), argv[4], std::atol(argv[5]),
                              std::atol(argv[6]));
    }
    if (argc == 6 && mode == "tcp-receive") {
        return TcpReceive(Address(argv[2], argv[3]), argv[4], std::atol(argv[5]));
    }
    if (argc == 5 && mode == "tcp-knock") {
        return TcpKnock(Address(argv[2], argv[3]), std::atol(argv[4]));
    }
    if (argc == 5 && mode == "tcp-sink") {
        return TcpSink(Address(argv[2], argv[3]), std::atol(argv[4]));
    }
    std::fprintf(stderr, "usage: see the head of stream_probe.cpp\n");
    return 2;
}
