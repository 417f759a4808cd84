#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

// A socket address of either family: where a relay listens, binds, connects or sends, or where a
// peer came from.
class Endpoint {
public:
    Endpoint() = default;
    explicit Endpoint(const sockaddr_in& address);
    explicit Endpoint(const sockaddr_in6& address);
    // What a socket call reported; an address of another family gives an empty endpoint.
    static Endpoint FromSockaddr(const sockaddr* address, socklen_t length);

    bool Empty() const noexcept { return m_length == 0; }
    int Family() const noexcept { return Empty() ? AF_UNSPEC : m_address.ss_family; }
    const sockaddr* Address() const noexcept {
        return reinterpret_cast<const sockaddr*>(&m_address);
    }
    socklen_t Length() const noexcept { return m_length; }
    std::uint16_t Port() const noexcept;

    friend bool operator==(const Endpoint& a, const Endpoint& b) noexcept;

private:
    sockaddr_storage m_address{};
    socklen_t m_length = 0;
};

// The address alone, as an operator writes it: "127.0.0.2", "2001:db8::1", "fe80::1%eth0".
std::string AddressText(const Endpoint& endpoint);

// Address and port: "127.0.0.2:5555", "[2001:db8::1]:5555".
std::string EndpointText(const Endpoint& endpoint);
