#include "relay/endpoint.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>

Endpoint::Endpoint(const sockaddr_in& address) : m_length(sizeof address) {
    std::memcpy(&m_address, &address, sizeof address);
}

Endpoint::Endpoint(const sockaddr_in6& address) : m_length(sizeof address) {
    std::memcpy(&m_address, &address, sizeof address);
}

Endpoint Endpoint::FromSockaddr(const sockaddr* address, socklen_t length) {
    Endpoint endpoint;
    if (address == nullptr) {
        return endpoint;
    }
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        endpoint.m_length = sizeof(sockaddr_in);
    } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        endpoint.m_length = sizeof(sockaddr_in6);
    }
    std::memcpy(&endpoint.m_address, address, endpoint.m_length);
    return endpoint;
}

std::uint16_t Endpoint::Port() const noexcept {
    switch (Family()) {
    case AF_INET:
        return ntohs(reinterpret_cast<const sockaddr_in*>(&m_address)->sin_port);
    case AF_INET6:
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_address)->sin6_port);
    default:
        return 0;
    }
}

bool operator==(const Endpoint& a, const Endpoint& b) noexcept {
    return a.m_length == b.m_length && std::memcmp(&a.m_address, &b.m_address, a.m_length) == 0;
}

std::string AddressText(const Endpoint& endpoint) {
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = {};
    if (endpoint.Family() == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(endpoint.Address());
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return text;
    }
    if (endpoint.Family() == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(endpoint.Address());
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        std::string address = text;
        char name[IF_NAMESIZE] = {};
        if (v6->sin6_scope_id != 0) {
            address += '%';
            address += ::if_indextoname(v6->sin6_scope_id, name) != nullptr
                           ? std::string(name)
                           : std::to_string(v6->sin6_scope_id);
        }
        return address;
    }
    return "?";
}

std::string EndpointText(const Endpoint& endpoint) {
    const std::string port = std::to_string(endpoint.Port());
    if (endpoint.Family() == AF_INET6) {
        return "[" + AddressText(endpoint) + "]:" + port;
    }
    return AddressText(endpoint) + ":" + port;
}
