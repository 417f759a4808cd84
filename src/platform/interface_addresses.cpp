#include "platform/interface_addresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <bit>
#include <cstring>
#include <memory>

namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

// The bits set in a netmask.
int PrefixLength(const sockaddr* mask) {
    if (mask == nullptr) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(
        mask->sa_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(mask)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr));
    const std::size_t size = mask->sa_family == AF_INET ? 4 : 16;
    int bits = 0;
    for (std::size_t i = 0; i < size; ++i) {
        bits += std::popcount(bytes[i]);
    }
    return bits;
}

} // namespace

std::optional<std::vector<InterfaceAddress>> ReadInterfaceAddresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, IfAddrsDeleter> list(raw);
    std::vector<InterfaceAddress> addresses;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr ||
            (entry->ifa_addr->sa_family != AF_INET && entry->ifa_addr->sa_family != AF_INET6)) {
            continue;
        }
        InterfaceAddress& address = addresses.emplace_back();
        std::memcpy(&address.address, entry->ifa_addr,
                    entry->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in)
                                                          : sizeof(sockaddr_in6));
        address.prefixLength = entry->ifa_netmask != nullptr &&
                                       entry->ifa_netmask->sa_family == entry->ifa_addr->sa_family
                                   ? PrefixLength(entry->ifa_netmask)
                                   : 0;
        address.up = (entry->ifa_flags & IFF_UP) != 0;
        address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        address.interfaceName = entry->ifa_name != nullptr ? entry->ifa_name : "";
    }
    return addresses;
}
