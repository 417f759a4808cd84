#include "relay/relay_plan.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/interface_addresses.h"

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

} // namespace

bool IsLocalAddress(const Endpoint& address) {
    const std::optional<std::vector<InterfaceAddress>> interfaces = ReadInterfaceAddresses();
    if (!interfaces) {
        return false;
    }
    // The machine's addresses as prefixes, matched as allowed sources are (a link-local address
    // whatever interface was written with it).
    std::vector<AllowedSources::Prefix> own;
    for (const InterfaceAddress& entry : *interfaces) {
        const AddressBytes bytes = BytesOf(entry.Address());
        AllowedSources::Prefix prefix{bytes.family, bytes.bytes,
                                      static_cast<int>(bytes.Size() * 8)};
        // The system takes in a loopback interface's whole network, not only its address.
        if (entry.loopback && entry.prefixLength > 0) {
            prefix.bits = entry.prefixLength;
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
