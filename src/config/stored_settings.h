#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "config/forwarding_settings.h"
#include "config/parameter_file.h"
#include "relay/relay_plan.h"

// A value the file holds that its key does not take as written; it is read the way the program
// has always read it, and the relay program says so.
struct SettingFlaw {
    enum class Kind {
        NotANumber, // a port text that is not a whole number: the relay program refuses it
        NotAChoice, // a mode, protocol or forwarding outside its choices: read as the fallback
    };
    Kind kind;
    std::string section;
    std::string key;
    std::string text;    // as written
    std::string takenAs; // NotAChoice: what it is read as, in the operator's words

    friend bool operator==(const SettingFlaw&, const SettingFlaw&) = default;
};

// Everything the parameter file holds for a relay, read in one pass: the seven keys of the
// endpoints, then the forwarding and the allowed sources.
struct StoredSettings {
    std::optional<Parameters> parameters; // none when the file holds no saved pair
    ForwardingSettings forwarding;
    std::string statusListen; // "[Status] Listen": where the relay program serves its metrics
    std::string idleSeconds;  // "[Relay] IdleSeconds": a TCP stream's idle limit; empty or 0: none
    std::string streams;      // "[Relay] Streams": TCP streams served at once; empty: one
    std::vector<SettingFlaw> flaws;

    friend bool operator==(const StoredSettings&, const StoredSettings&) = default;
};

// The settings a parameter file's text holds.
StoredSettings SettingsFromText(std::string_view text);

// The settings of `file`; none when it cannot be read, with the reason in `error` (ENOENT when it
// is missing; EISDIR or EINVAL when it is not a regular file).
std::optional<StoredSettings> ReadStoredSettings(const std::filesystem::path& file,
                                                 std::error_code& error);

// The key a check refused and why, in the dialog's words where the dialog has some.
struct SettingsRefusal {
    std::string section; // with `key`, the value at fault
    std::string key;
    std::string text; // the value as written
    std::string reason;

    // "[Client1] IP=127.0.0.09: IP地址输入有误!", as a log names it.
    std::string Describe() const;
};

// The relay the settings describe, or the first key a check refuses, in the order Run checks:
// the address texts, the ports (0 to 65535, and not 0 on the side the relay connects or sends
// to), a relay that would send to itself (its destination address refused, both endpoints named;
// `isLocal` says which addresses are this machine's), then the allowed sources; then the idle
// limit, the streams at once and the status endpoint. `warnings` name values that are read as
// their fallback.
struct SettingsVerdict {
    std::optional<RelayPlan> plan;
    std::optional<Endpoint> statusEndpoint; // none: no metrics are served
    SettingsRefusal refusal;                // when there is no plan
    std::vector<std::string> warnings;
};
SettingsVerdict CheckSettings(const StoredSettings& settings,
                              const LocalAddressTest& isLocal = IsLocalAddress);
