#include "config/local_addresses.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <utility>

#include "platform/interface_addresses.h"

namespace {

// Where an address goes in the lists: the IPv4 ones first, their loopback addresses behind the
// others, then the IPv6 ones, loopback last.
enum class Rank { IPv4, IPv4Loopback, IPv6, IPv6Loopback };

struct LocalAddress {
    std::string text;
    Rank rank;
};

std::optional<LocalAddress> IPv4Entry(const InterfaceAddress& entry) {
    sockaddr_in address{};
    std::copy_n(reinterpret_cast<const unsigned char*>(entry.Address()), sizeof address,
                reinterpret_cast<unsigned char*>(&address));
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) {
        return std::nullopt;
    }
    const bool loopback = entry.loopback || (ntohl(address.sin_addr.s_addr) >> 24) == 127;
    return LocalAddress{text, loopback ? Rank::IPv4Loopback : Rank::IPv4};
}

// Global and unique-local addresses as they are; link-local ones only with their interface, as
// they mean nothing without it.
std::optional<LocalAddress> IPv6Entry(const InterfaceAddress& entry) {
    sockaddr_in6 address{};
    std::copy_n(reinterpret_cast<const unsigned char*>(entry.Address()), sizeof address,
                reinterpret_cast<unsigned char*>(&address));
    const in6_addr& bytes = address.sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&bytes)) {
        return LocalAddress{"::1", Rank::IPv6Loopback};
    }
    if (IN6_IS_ADDR_UNSPECIFIED(&bytes) || IN6_IS_ADDR_MULTICAST(&bytes) ||
        IN6_IS_ADDR_V4MAPPED(&bytes) || IN6_IS_ADDR_SITELOCAL(&bytes)) {
        return std::nullopt;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, &bytes, text, sizeof text) == nullptr) {
        return std::nullopt;
    }
    if (IN6_IS_ADDR_LINKLOCAL(&bytes)) {
        return LocalAddress{std::string(text) + "%" + entry.interfaceName, Rank::IPv6};
    }
    return LocalAddress{text, Rank::IPv6};
}

} // namespace

std::optional<std::vector<std::string>> EnumerateLocalAddresses() {
    const std::optional<std::vector<InterfaceAddress>> interfaces = ReadInterfaceAddresses();
    if (!interfaces) {
        return std::nullopt;
    }
    std::vector<LocalAddress> found;
    for (const InterfaceAddress& entry : *interfaces) {
        if (!entry.up) {
            continue;
        }
        std::optional<LocalAddress> address =
            entry.Family() == AF_INET ? IPv4Entry(entry) : IPv6Entry(entry);
        if (address) {
            found.push_back(std::move(*address));
        }
    }

    // A relay between two networks wants the real interfaces first; loopback stays available.
    std::stable_sort(found.begin(), found.end(),
                     [](const LocalAddress& a, const LocalAddress& b) { return a.rank < b.rank; });
    std::vector<std::string> addresses;
    addresses.reserve(found.size());
    for (LocalAddress& a : found) {
        addresses.push_back(std::move(a.text));
    }
    return addresses;
}
