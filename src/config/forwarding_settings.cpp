#include "config/forwarding_settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "config/profile.h"
#include "config/settings_keys.h"

namespace {

// The entries of a sources text, without blanks; empty entries are skipped.
std::vector<std::string_view> Entries(std::string_view text) {
    std::vector<std::string_view> entries;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = Trim(text.substr(0, comma));
        if (!entry.empty()) {
            entries.push_back(entry);
        }
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    return entries;
}

// "10.1.2.3" or "10.1.2.0/24": the address exactly as inet_pton reads it, the prefix length in
// decimal digits within the family's size.
std::optional<AllowedSources::Prefix> ParsePrefix(std::string_view entry) {
    const std::size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    AllowedSources::Prefix prefix;
    int size = 0;
    if (::inet_pton(AF_INET, address.c_str(), prefix.address.data()) == 1) {
        prefix.family = AF_INET;
        size = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), prefix.address.data()) == 1) {
        prefix.family = AF_INET6;
        size = 128;
    } else {
        return std::nullopt;
    }
    prefix.bits = size;
    if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        int bits = -1;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), bits);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            bits < 0 || bits > size || !std::isdigit(static_cast<unsigned char>(digits.front()))) {
            return std::nullopt;
        }
        prefix.bits = bits;
    }
    return prefix;
}

// " 10.1.2.0/24" for "::ffff:10.1.2.0/120", what an IPv4-mapped prefix names; empty where it names
// more than IPv4 addresses.
std::string V4Form(const AllowedSources::Prefix& mapped) {
    if (mapped.bits < 96) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, mapped.address.data() + 12, text, sizeof text);
    return " " + std::string(text) +
           (mapped.bits == 128 ? "" : "/" + std::to_string(mapped.bits - 96));
}

} // namespace

std::error_code WriteForwardingSettings(const std::filesystem::path& file,
                                        const ForwardingSettings& settings) {
    const ProfileEntry entries[] = {
        {kForwardSection, kForwardModeKey,
         settings.forward == ForwardMode::Bytes ? kBytesModeName : kTextModeName},
        {kAllowSection, kSourcesKey, NormalizedSources(settings.allowedSources)},
        {kDialogSection, kWidePortsKey, settings.widePorts ? "1" : "0"},
    };
    return WriteProfileEntries(entries, file);
}

std::optional<AllowedSources> ParseAllowedSources(std::string_view text, std::string& problem) {
    std::vector<AllowedSources::Prefix> prefixes;
    for (const std::string_view entry : Entries(text)) {
        const std::optional<AllowedSources::Prefix> prefix = ParsePrefix(entry);
        if (!prefix) {
            problem = "允许的来源中有无效的地址或前缀: " + std::string(entry);
            return std::nullopt;
        }
        // The relay's IPv6 sockets take IPv6 peers only, so no peer ever comes as an IPv4-mapped
        // address: such an entry would seem to name IPv4 peers and admit nobody.
        if (prefix->family == AF_INET6 &&
            IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(prefix->address.data()))) {
            problem = "允许的来源中有 IPv4 映射地址: " + std::string(entry) +
                      "; 请直接写 IPv4 地址" + V4Form(*prefix);
            return std::nullopt;
        }
        prefixes.push_back(*prefix);
    }
    // Not blank, yet no entry (",", " , "): a list broken so must not come to mean anyone.
    if (prefixes.empty() && !Trim(text).empty()) {
        problem = "允许的来源中没有地址或前缀: " + std::string(text);
        return std::nullopt;
    }
    return AllowedSources(std::move(prefixes));
}

std::string NormalizedSources(std::string_view text) {
    std::string normalized;
    for (const std::string_view entry : Entries(text)) {
        normalized += (normalized.empty() ? "" : ",") + std::string(entry);
    }
    return normalized;
}
