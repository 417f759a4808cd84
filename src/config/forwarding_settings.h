#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "relay/allowed_sources.h"
#include "relay/relay_plan.h"

// What the settings dialog keeps beside the endpoints, in sections of its own of the parameter
// file: "[Forward] Mode=Text|Bytes", "[Allow] Sources=<addresses and prefixes, comma-separated>"
// and "[Dialog] WidePorts=0|1". A file without them means text, anyone and the dialog's port range
// of 0 to 10000, as every file did before these settings existed.
struct ForwardingSettings {
    ForwardMode forward = ForwardMode::Text;
    std::string allowedSources; // as written: empty for anyone
    bool widePorts = false;     // the dialog takes ports up to 65535; the relay program always does

    friend bool operator==(const ForwardingSettings&, const ForwardingSettings&) = default;
};

// Writes exactly the three keys; every other byte of the file stays. Empty when they reached the
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
