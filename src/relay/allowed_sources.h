#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/endpoint.h"

// Who may connect to a TCP relay's listening endpoint or send to a UDP relay's bound endpoint: a
// list of addresses and prefixes, or anyone when the list is empty.
class AllowedSources {
public:
    // An address with the number of its leading bits that must match (32 or 128 for one address).
    struct Prefix {
        int family = AF_INET;
        std::array<std::uint8_t, 16> address{};
        int bits = 32;

        friend bool operator==(const Prefix&, const Prefix&) = default;
    };

    AllowedSources() = default;
    explicit AllowedSources(std::vector<Prefix> prefixes) : m_prefixes(std::move(prefixes)) {}

    bool Anyone() const noexcept { return m_prefixes.empty(); }
    bool Allows(const Endpoint& peer) const noexcept;
    const std::vector<Prefix>& Prefixes() const noexcept { return m_prefixes; }

    friend bool operator==(const AllowedSources&, const AllowedSources&) = default;

private:
    std::vector<Prefix> m_prefixes;
};

// "10.1.2.0/24", or "127.0.0.9" for a single address.
std::string PrefixText(const AllowedSources::Prefix& prefix);

// "任何来源", or the prefixes as in "10.1.2.0/24, 127.0.0.9".
std::string AllowedSourcesText(const AllowedSources& allowed);
