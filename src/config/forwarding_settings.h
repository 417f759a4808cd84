#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "relay/allowed_sources.h"
#include "relay/relay_plan.h"

// What the settings dialog keeps beside the endpoints, in sections of its own of the parameter
// file: "[Forward] Mode=Text|Bytes" and "[Allow] Sources=<addresses and prefixes,
// comma-separated>". A file without them means text and anyone, as every file did before these
// settings existed.
struct ForwardingSettings {
    ForwardMode forward = ForwardMode::Text;
    std::string allowedSources; // as written: empty for anyone

    friend bool operator==(const ForwardingSettings&, const ForwardingSettings&) = default;
};

// Writes exactly the two keys; every other byte of the file stays. Empty when they reached the
// file, else why not.
std::error_code WriteForwardingSettings(const std::filesystem::path& file,
                                        const ForwardingSettings& settings);

// The sources a text allows: addresses ("10.1.2.3") and prefixes ("10.1.2.0/24"), separated by
// commas, blanks around them ignored; empty (or blank) for anyone. None, with what the operator
// reads about it in `problem`, when an entry is neither or is IPv4-mapped ("::ffff:10.1.2.3"), or
// when the text is not blank but holds no entry at all (","): a list never admits more than it
// says, however long it is.
std::optional<AllowedSources> ParseAllowedSources(std::string_view text, std::string& problem);

// The text as it is stored: the entries without blanks, separated by commas.
std::string NormalizedSources(std::string_view text);
