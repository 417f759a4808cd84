#include "relay/relay_plan.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

RelayPlan MakeRelayPlan(RelayMode mode, RelayProtocol protocol, const Endpoint& client,
                        const Endpoint& server, ForwardMode forward, AllowedSources allowed) {
    RelayPlan plan;
    plan.mode = mode;
    plan.protocol = protocol;
    plan.forward = forward;
    plan.allowed = std::move(allowed);
    // Client to server waits on the server endpoint, server to client on the client endpoint,
    // whatever the protocol.
    const bool waitOnServer = mode == RelayMode::ClientToServer;
    plan.waitSide = waitOnServer ? RelaySide::Server : RelaySide::Client;
    plan.waitEndpoint = waitOnServer ? server : client;
    plan.otherEndpoint = waitOnServer ? client : server;
    return plan;
}

namespace {

// The address of an endpoint as bytes in network order (4 or 16 of them), its family's scope apart.
struct AddressBytes {
    int family = AF_UNSPEC;
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scope = 0; // IPv6: the interface of a link-local address

    std::size_t Size() const { return family == AF_INET ? 4 : 16; }
    bool Wildcard() const {
        return std::all_of(bytes.begin(), bytes.begin() + Size(), [](auto b) { return b == 0; });
    }
    friend bool operator==(const AddressBytes&, const AddressBytes&) = default;
};

AddressBytes BytesOf(const sockaddr* address) {
    AddressBytes result;
    if (address == nullptr) {
        return result;
    }
    result.family = address->sa_family;
    if (result.family == AF_INET) {
        std::memcpy(result.bytes.data(), &reinterpret_cast<const sockaddr_in*>(address)->sin_addr,
                    4);
    } else if (result.family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        std::memcpy(result.bytes.data(), &v6->sin6_addr, 16);
        result.scope = v6->sin6_scope_id;
    }
    return result;
}

int PrefixLength(const AddressBytes& mask) {
    int bits = 0;
    for (std::size_t i = 0; i < mask.Size(); ++i) {
        bits += std::popcount(mask.bytes[i]);
    }
    return bits;
}

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

} // namespace

bool IsLocalAddress(const Endpoint& address) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    const std::unique_ptr<ifaddrs, IfAddrsDeleter> owned(list);
    // The machine's addresses as prefixes, matched as allowed sources are (a link-local address
    // whatever interface was written with it).
    std::vector<AllowedSources::Prefix> own;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const AddressBytes bytes = BytesOf(entry->ifa_addr);
        if (bytes.family != AF_INET && bytes.family != AF_INET6) {
            continue;
        }
        AllowedSources::Prefix prefix{bytes.family, bytes.bytes,
                                      static_cast<int>(bytes.Size() * 8)};
        // The system takes in a loopback interface's whole network, not only its address.
        if ((entry->ifa_flags & IFF_LOOPBACK) != 0 && entry->ifa_netmask != nullptr) {
            prefix.bits = PrefixLength(BytesOf(entry->ifa_netmask));
        }
        own.push_back(prefix);
    }
    return !own.empty() && AllowedSources(std::move(own)).Allows(address);
}

bool CanBindHere(const Endpoint& address, const LocalAddressTest& isLocal) {
    return BytesOf(address.Address()).Wildcard() || isLocal(address);
}

bool AimsAtItself(const RelayPlan& plan, const LocalAddressTest& isLocal) {
    const Endpoint& wait = plan.waitEndpoint;
    const Endpoint& other = plan.otherEndpoint;
    if (wait.Family() != other.Family() || wait.Port() != other.Port()) {
        return false;
    }
    const AddressBytes waitAddress = BytesOf(wait.Address());
    const AddressBytes otherAddress = BytesOf(other.Address());
    if (otherAddress.Wildcard()) {
        // Sent or connected to the wildcard, data goes to the loopback address.
        AddressBytes loopback{waitAddress.family};
        loopback.bytes[0] = waitAddress.family == AF_INET ? 127 : 0;
        loopback.bytes[waitAddress.Size() - 1] = 1;
        return waitAddress.Wildcard() || waitAddress == loopback;
    }
    return otherAddress == waitAddress || (waitAddress.Wildcard() && isLocal(other));
}

bool CarriesOn(const RelayPlan& running, const RelayPlan& wanted, const Endpoint& peer) {
    return running.mode == wanted.mode && running.protocol == wanted.protocol &&
           running.waitEndpoint == wanted.waitEndpoint &&
           running.otherEndpoint == wanted.otherEndpoint && running.forward == wanted.forward &&
           (running.streams > 1) == (wanted.streams > 1) &&
           (peer.Empty() || wanted.allowed.Allows(peer));
}
