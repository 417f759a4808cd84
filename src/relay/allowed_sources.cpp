#include "relay/allowed_sources.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

// The address bytes of an endpoint, in network order.
const std::uint8_t* AddressBytes(const Endpoint& endpoint) {
    if (endpoint.Family() == AF_INET) {
        return reinterpret_cast<const std::uint8_t*>(
            &reinterpret_cast<const sockaddr_in*>(endpoint.Address())->sin_addr);
    }
    return reinterpret_cast<const std::uint8_t*>(
        &reinterpret_cast<const sockaddr_in6*>(endpoint.Address())->sin6_addr);
}

bool Matches(const AllowedSources::Prefix& prefix, const std::uint8_t* address) {
    const int whole = prefix.bits / 8;
    if (std::memcmp(prefix.address.data(), address, static_cast<std::size_t>(whole)) != 0) {
        return false;
    }
    const int rest = prefix.bits % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xFFU << (8 - rest));
    return (prefix.address[static_cast<std::size_t>(whole)] & mask) == (address[whole] & mask);
}

} // namespace

bool AllowedSources::Allows(const Endpoint& peer) const noexcept {
    if (Anyone()) {
        return true;
    }
    const int family = peer.Family();
    if (family != AF_INET && family != AF_INET6) {
        return false;
    }
    const std::uint8_t* address = AddressBytes(peer);
    for (const Prefix& prefix : m_prefixes) {
        if (prefix.family == family && Matches(prefix, address)) {
            return true;
        }
    }
    return false;
}

std::string PrefixText(const AllowedSources::Prefix& prefix) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(prefix.family, prefix.address.data(), text, sizeof text);
    const int whole = prefix.family == AF_INET ? 32 : 128;
    return prefix.bits == whole ? std::string(text)
                                : std::string(text) + "/" + std::to_string(prefix.bits);
}

std::string AllowedSourcesText(const AllowedSources& allowed) {
    if (allowed.Anyone()) {
        return "任何来源";
    }
    std::string text;
    for (const AllowedSources::Prefix& prefix : allowed.Prefixes()) {
        text += (text.empty() ? "" : ", ") + PrefixText(prefix);
    }
    return text;
}
