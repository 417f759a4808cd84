#include "config/forwarding_settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "config/settings_keys.h"
#include "platform/profile.h"

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

} // namespace

std::error_code WriteForwardingSettings(const std::filesystem::path& file,
                                        const ForwardingSettings& settings) {
    const ProfileEntry entries[] = {
        {kForwardSection, kForwardModeKey,
         settings.forward == ForwardMode::Bytes ? kBytesModeName : kTextModeName},
        {kAllowSection, kSourcesKey, NormalizedSources(settings.allowedSources)},
    };
    return WriteProfileEntries(entries, file);
}

std::optional<AllowedSources> ParseAllowedSources(std::string_view text, std::string& problem) {
    // What the file cannot hold would come back cut at the next start.
    if (NormalizedSources(text).size() >= kProfileValueBufferSize) {
        problem = "允许的来源太长, 最多 " + std::to_string(kProfileValueBufferSize - 1) + " 个字符";
        return std::nullopt;
    }
    std::vector<AllowedSources::Prefix> prefixes;
    for (const std::string_view entry : Entries(text)) {
        const std::optional<AllowedSources::Prefix> prefix = ParsePrefix(entry);
        if (!prefix) {
            problem = "允许的来源中有无效的地址或前缀: " + std::string(entry);
            return std::nullopt;
        }
        prefixes.push_back(*prefix);
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
