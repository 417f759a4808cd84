#include "config/local_addresses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>

namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

struct LocalAddress {
    std::string text;
    bool loopback = false;
};

} // namespace

std::optional<std::vector<std::string>> EnumerateLocalIPv4Addresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, IfAddrsDeleter> list(raw);

    std::vector<LocalAddress> found;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        sockaddr_in address{};
        std::copy_n(reinterpret_cast<const unsigned char*>(entry->ifa_addr), sizeof address,
                    reinterpret_cast<unsigned char*>(&address));
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) {
            continue;
        }
        const bool loopback =
            (entry->ifa_flags & IFF_LOOPBACK) != 0 || (ntohl(address.sin_addr.s_addr) >> 24) == 127;
        found.push_back({text, loopback});
    }

    // A relay between two networks wants the real interfaces first; loopback stays available.
    std::stable_partition(found.begin(), found.end(),
                          [](const LocalAddress& a) { return !a.loopback; });
    std::vector<std::string> addresses;
    addresses.reserve(found.size());
    for (LocalAddress& a : found) {
        addresses.push_back(std::move(a.text));
    }
    return addresses;
}
