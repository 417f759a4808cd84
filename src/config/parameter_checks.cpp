#include "config/parameter_checks.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <charconv>

#include "platform/scan_unsigned.h"

namespace {

constexpr std::size_t kLongestAddressText = 99;
constexpr unsigned long kLargestAddressPart = 255;
constexpr int kAddressParts = 4;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The part's value, saturated: any part too long for 32 bits counts as larger than 255.
unsigned long PartValue(std::string_view digits) {
    unsigned long value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > kLargestAddressPart)
            return kLargestAddressPart + 1;
    }
    return value;
}

} // namespace

bool IsValidIpText(std::string_view text) {
    if (text.empty() || text.size() > kLongestAddressText)
        return false;
    int parts = 0;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t start = rest.find_first_not_of('.');
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        const std::string_view part = rest.substr(0, rest.find('.'));
        rest.remove_prefix(part.size());
        ++parts;
        if (!std::all_of(part.begin(), part.end(), IsDigit))
            return false;
        if (PartValue(part) > kLargestAddressPart)
            return false;
    }
    return parts == kAddressParts;
}

namespace {

// An IPv6 literal as inet_pton reads it, with "%interface" after a link-local address (which
// means nothing without it) and nowhere else. An IPv4-mapped address ("::ffff:10.0.0.1") is no
// IPv6 endpoint the relay can use: its IPv6 sockets take IPv6 peers only, so it could neither
// listen nor be bound there (the system refuses it), and as a destination it is the IPv4 address
// written another way, which the operator writes as such.
std::optional<Endpoint> IPv6EndpointFromText(std::string_view address, std::uint16_t port) {
    const std::size_t percent = address.find('%');
    const std::string literal(address.substr(0, percent));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, literal.c_str(), &v6.sin6_addr) != 1 ||
        IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
        return std::nullopt;
    const bool linkLocal = IN6_IS_ADDR_LINKLOCAL(&v6.sin6_addr);
    if (percent == std::string_view::npos)
        return linkLocal ? std::nullopt : std::optional<Endpoint>(Endpoint(v6));
    const std::string interface(address.substr(percent + 1));
    v6.sin6_scope_id = interface.empty() ? 0 : ::if_nametoindex(interface.c_str());
    if (!linkLocal || v6.sin6_scope_id == 0)
        return std::nullopt;
    return Endpoint(v6);
}

} // namespace

std::optional<Endpoint> EndpointFromText(std::string_view address, std::int32_t port) {
    if (address.size() > kLongestAddressText || port < 0 ||
        static_cast<std::uint32_t>(port) > kLargestSocketPort)
        return std::nullopt;
    if (address.find(':') != std::string_view::npos)
        return IPv6EndpointFromText(address, static_cast<std::uint16_t>(port));
    if (!IsValidIpText(address))
        return std::nullopt;
    // inet_aton reads parts as inet_addr does (a leading zero means octal) but, unlike it, tells
    // a text it cannot read from 255.255.255.255.
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_aton(std::string(address).c_str(), &v4.sin_addr) == 0)
        return std::nullopt;
    return Endpoint(v4);
}

std::optional<Endpoint> ListenEndpointFromText(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view digits = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit) ||
        error != std::errc() || end != digits.data() + digits.size() || port < 1 ||
        port > kLargestSocketPort) {
        return std::nullopt;
    }
    std::string_view address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
        return address.find(':') != std::string_view::npos
                   ? IPv6EndpointFromText(address, static_cast<std::uint16_t>(port))
                   : std::nullopt;
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, std::string(address).c_str(), &v4.sin_addr) != 1) {
        return std::nullopt;
    }
    return Endpoint(v4);
}
