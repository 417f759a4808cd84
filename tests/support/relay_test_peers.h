#pragma once

// Test peers for the relay: sockets on the two loopback endpoints, bounded waits and counters.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "relay/endpoint.h"
#include "relay/relay_sockets.h"

namespace relaytest {

// Random bytes, zeros among them, the same for the same seed.
inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& byte : data) {
        byte = static_cast<char>(random());
    }
    return data;
}

using namespace std::chrono_literals;

inline constexpr const char* kClientAddress = "127.0.0.2";
inline constexpr const char* kServerAddress = "127.0.0.3";
// Long enough for a loaded machine, short enough that a hang fails quickly.
inline constexpr std::chrono::milliseconds kTimeout = 3s;
// How long to watch for data that must not come.
inline constexpr std::chrono::milliseconds kQuiet = 250ms;

inline const sockaddr* AsSockaddr(const sockaddr_in& endpoint) {
    return reinterpret_cast<const sockaddr*>(&endpoint);
}

// An IPv4 socket address from dotted text; only the port's low 16 bits count.
inline sockaddr_in MakeSocketAddress(const char* address, int port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(static_cast<std::uint16_t>(static_cast<unsigned>(port) & 0xFFFFU));
    ::inet_pton(AF_INET, address, &endpoint.sin_addr);
    return endpoint;
}

// The endpoint of an IPv4 text or, with a colon in it, an IPv6 literal such as "::1".
inline Endpoint EndpointAt(const char* address, int port) {
    if (std::strchr(address, ':') == nullptr) {
        return Endpoint(MakeSocketAddress(address, port));
    }
    sockaddr_in6 endpoint{};
    endpoint.sin6_family = AF_INET6;
    endpoint.sin6_port = htons(static_cast<std::uint16_t>(static_cast<unsigned>(port) & 0xFFFFU));
    ::inet_pton(AF_INET6, address, &endpoint.sin6_addr);
    return Endpoint(endpoint);
}

inline int FamilyOf(const char* address) {
    return std::strchr(address, ':') == nullptr ? AF_INET : AF_INET6;
}

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A port the system just handed out on the address, for the given socket type.
inline int FreePort(const char* address, int type) {
    UniqueFd probe(::socket(FamilyOf(address), type, 0));
    const Endpoint any = EndpointAt(address, 0);
    if (::bind(probe.Get(), any.Address(), any.Length()) != 0) {
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
    return Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&bound), length).Port();
}

// A port the settings accept (at most 10000) for which `fits` holds, or -1.
// Each process starts somewhere else at random: started side by side with successive process ids,
// processes would otherwise walk through the same ports one step apart.
template <class Fits> int PickLowPort(Fits fits) {
    static unsigned next = std::random_device{}() % 8000;
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int port = static_cast<int>(2000 + next++ % 8000);
        if (fits(port)) {
            return port;
        }
    }
    return -1;
}

// A port the settings accept that is free on the address.
inline int LowFreePort(const char* address, int type) {
    return PickLowPort([&](int port) {
        const UniqueFd probe(::socket(FamilyOf(address), type, 0));
        const Endpoint endpoint = EndpointAt(address, port);
        return ::bind(probe.Get(), endpoint.Address(), endpoint.Length()) == 0;
    });
}

inline UniqueFd ListenOn(const char* address, int port, int backlog = 5) {
    UniqueFd listening(::socket(FamilyOf(address), SOCK_STREAM, 0));
    const int reuse = 1;
    ::setsockopt(listening.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    const Endpoint endpoint = EndpointAt(address, port);
    if (::bind(listening.Get(), endpoint.Address(), endpoint.Length()) != 0 ||
        ::listen(listening.Get(), backlog) != 0) {
        listening.Reset();
    }
    return listening;
}

inline UniqueFd BindUdp(const char* address, int port) {
    UniqueFd bound(::socket(FamilyOf(address), SOCK_DGRAM, 0));
    const Endpoint endpoint = EndpointAt(address, port);
    if (::bind(bound.Get(), endpoint.Address(), endpoint.Length()) != 0) {
        bound.Reset();
    }
    return bound;
}

inline bool Readable(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
}

inline UniqueFd AcceptWithin(int listening, std::chrono::milliseconds timeout = kTimeout) {
    if (!Readable(listening, timeout)) {
        return UniqueFd();
    }
    return UniqueFd(::accept(listening, nullptr, nullptr));
}

inline bool TryConnect(const UniqueFd& socket, const char* address, int port) {
    const Endpoint endpoint = EndpointAt(address, port);
    return ::connect(socket.Get(), endpoint.Address(), endpoint.Length()) == 0;
}

// Connects once the endpoint listens; a refused attempt is retried until the timeout.
inline UniqueFd ConnectWithin(const char* address, int port,
                              std::chrono::milliseconds timeout = kTimeout) {
    UniqueFd connected;
    WaitUntil(
        [&] {
            connected = UniqueFd(::socket(FamilyOf(address), SOCK_STREAM, 0));
            if (TryConnect(connected, address, port)) {
                return true;
            }
            connected.Reset();
            return false;
        },
        timeout);
    return connected;
}

// An endpoint as the kernel's socket tables print it: the address as 32-bit words in the machine's
// order, then the port.
inline std::string SocketTableEndpoint(const char* address, int port) {
    const Endpoint endpoint = EndpointAt(address, port);
    const auto* bytes = reinterpret_cast<const unsigned char*>(endpoint.Address()) +
                        (endpoint.Family() == AF_INET ? offsetof(sockaddr_in, sin_addr)
                                                      : offsetof(sockaddr_in6, sin6_addr));
    std::string wanted;
    for (std::size_t at = 0; at < (endpoint.Family() == AF_INET ? 4U : 16U); at += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes + at, sizeof word);
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08X", word);
        wanted += hex;
    }
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", static_cast<unsigned>(port));
    return wanted + portHex;
}

// Looks the endpoint up in one of the kernel's socket tables, so the check itself makes no
// connection and takes no port.
inline bool InSocketTable(const char* table, const char* address, int port, unsigned wantedState) {
    std::FILE* file = std::fopen(table, "r");
    if (file == nullptr) {
        return false;
    }
    const std::string wanted = SocketTableEndpoint(address, port);
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file) != nullptr) {
        char local[64] = {};
        char remote[64] = {};
        unsigned state = 0;
        if (std::sscanf(line, " %*d: %63s %63s %x", local, remote, &state) == 3) {
            found = local == wanted && state == wantedState;
        }
    }
    std::fclose(file);
    return found;
}

// The inode of the IPv4 TCP socket from `local` to `remote`: 0 once no process holds it (closed,
// the kernel finishing it alone), -1 when there is none.
inline long TcpSocketInode(const Endpoint& local, const Endpoint& remote) {
    std::FILE* file = std::fopen("/proc/net/tcp", "r");
    if (file == nullptr) {
        return -1;
    }
    const std::string wantedLocal = SocketTableEndpoint(AddressText(local).c_str(), local.Port());
    const std::string wantedRemote =
        SocketTableEndpoint(AddressText(remote).c_str(), remote.Port());
    char line[512];
    long inode = -1;
    while (inode < 0 && std::fgets(line, sizeof line, file) != nullptr) {
        char localText[64] = {};
        char remoteText[64] = {};
        long found = 0;
        if (std::sscanf(line, " %*d: %63s %63s %*x %*s %*s %*s %*s %*s %ld", localText, remoteText,
                        &found) == 3 &&
            localText == wantedLocal && remoteText == wantedRemote) {
            inode = found;
        }
    }
    std::fclose(file);
    return inode;
}

// The local endpoint of a socket.
inline Endpoint LocalEndpoint(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&address), length);
}

// True while a TCP socket listens on the endpoint.
inline bool IsListening(const char* address, int port) {
    return InSocketTable(FamilyOf(address) == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6", address,
                         port, 0x0A);
}

// True while a UDP socket is bound to the endpoint.
inline bool IsUdpBound(const char* address, int port) {
    return InSocketTable(FamilyOf(address) == AF_INET ? "/proc/net/udp" : "/proc/net/udp6", address,
                         port, 0x07);
}

// Closes a TCP connection with a reset instead of an orderly close.
inline void ResetConnection(UniqueFd& socket) {
    const linger abort{1, 0};
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    socket.Reset();
}

inline bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

inline void SendDatagram(int fd, std::string_view data, const char* address, int port) {
    const Endpoint endpoint = EndpointAt(address, port);
    ::sendto(fd, data.data(), data.size(), 0, endpoint.Address(), endpoint.Length());
}

// Hands all datagrams to the system in one call; returns how many it took.
inline int SendDatagrams(int fd, const std::vector<std::string>& data, const char* address,
                         int port) {
    const Endpoint endpoint = EndpointAt(address, port);
    std::vector<iovec> parts(data.size());
    std::vector<mmsghdr> messages(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        parts[i] = {const_cast<char*>(data[i].data()), data[i].size()};
        messages[i].msg_hdr.msg_name = const_cast<sockaddr*>(endpoint.Address());
        messages[i].msg_hdr.msg_namelen = endpoint.Length();
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    return ::sendmmsg(fd, messages.data(), static_cast<unsigned int>(messages.size()), 0);
}

struct StreamRead {
    std::string data;
    bool closed = false;
    bool reset = false; // closed by a reset rather than in order
};

// Reads until `expected` bytes came, the peer closed, or the timeout passed.
inline StreamRead ReadStream(int fd, std::size_t expected,
                             std::chrono::milliseconds timeout = kTimeout) {
    StreamRead result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[8192];
    while (result.data.size() < expected) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Readable(fd, left)) {
            break;
        }
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            result.closed = true;
            result.reset = got < 0;
            break;
        }
        result.data.append(chunk, static_cast<std::size_t>(got));
    }
    return result;
}

// Everything that arrives until the peer closes (or the timeout passes).
inline StreamRead ReadUntilClosed(int fd, std::chrono::milliseconds timeout = kTimeout) {
    return ReadStream(fd, std::string::npos, timeout);
}

struct Datagram {
    std::string data;
    sockaddr_in from{};
};

inline std::optional<Datagram> ReceiveDatagram(int fd,
                                               std::chrono::milliseconds timeout = kTimeout) {
    if (!Readable(fd, timeout)) {
        return std::nullopt;
    }
    Datagram datagram;
    char chunk[65536];
    socklen_t length = sizeof datagram.from;
    const ssize_t got = ::recvfrom(fd, chunk, sizeof chunk, 0,
                                   reinterpret_cast<sockaddr*>(&datagram.from), &length);
    if (got < 0) {
        return std::nullopt;
    }
    datagram.data.assign(chunk, static_cast<std::size_t>(got));
    return datagram;
}

inline std::size_t CountEntries(const char* directory) {
    std::size_t count = 0;
    if (DIR* dir = ::opendir(directory)) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// A thread that was just joined can still be listed for a moment while it finishes exiting, and
// a worker's sockets close as it ends: count once the number has held still for a while.
inline std::size_t SettledCount(const char* directory) {
    std::size_t count = CountEntries(directory);
    for (int stable = 0, rounds = 0; stable < 3 && rounds < 400; ++rounds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::size_t again = CountEntries(directory);
        stable = again == count ? stable + 1 : 0;
        count = again;
    }
    return count;
}

// Thread ids of this process, to tell a thread that was started from the ones before it.
inline std::vector<int> ThreadIds() {
    std::vector<int> ids;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ids.push_back(std::atoi(entry->d_name));
            }
        }
        ::closedir(dir);
    }
    return ids;
}

// Bytes of a long stream, none of them zero, so the zeros the relay adds mark its units.
inline std::string StreamWithoutZeros(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    }
    return data;
}

// The relay's unit rule undone: a stream relayed as units of text plus a zero, with the zeros
// taken out again. Also checks the units: never empty, at most 4095 bytes, the last one complete.
inline std::string JoinUnits(const std::string& forwarded, bool* wellFormed = nullptr) {
    std::string joined;
    joined.reserve(forwarded.size());
    bool ok = forwarded.empty() || forwarded.back() == '\0';
    std::size_t unit = 0;
    for (const char ch : forwarded) {
        if (ch != '\0') {
            joined += ch;
            ++unit;
            continue;
        }
        ok = ok && unit > 0 && unit <= 4095;
        unit = 0;
    }
    if (wellFormed != nullptr) {
        *wellFormed = ok;
    }
    return joined;
}

} // namespace relaytest
