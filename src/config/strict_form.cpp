#include "config/strict_form.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "config/profile.h"
#include "config/settings_keys.h"

namespace {

// A value's documented forms, where the form alone decides; none: the settings check decides.
using FormCheck = bool (*)(std::string_view value);

struct KnownKey {
    const char* section;
    const char* key;
    FormCheck form;
    const char* forms; // the documented forms, as the refusal names them
};

bool IsForwardMode(std::string_view value) {
    return SameProfileName(value, kTextModeName) || SameProfileName(value, kBytesModeName);
}

bool IsOneOrZero(std::string_view value) {
    return value == "1" || value == "0";
}

constexpr std::array kKnownKeys = {
    KnownKey{kModeSection, kNumberKey, nullptr, nullptr},
    KnownKey{kProtocolSection, kNumberKey, nullptr, nullptr},
    KnownKey{kCountSection, kNumberKey, nullptr, nullptr},
    KnownKey{kClientAddressSection, kAddressKey, nullptr, nullptr},
    KnownKey{kClientPortSection, kPortKey, nullptr, nullptr},
    KnownKey{kServerAddressSection, kAddressKey, nullptr, nullptr},
    KnownKey{kServerPortSection, kPortKey, nullptr, nullptr},
    KnownKey{kForwardSection, kForwardModeKey, IsForwardMode, "Text 或 Bytes"},
    KnownKey{kAllowSection, kSourcesKey, nullptr, nullptr},
    KnownKey{kStatusSection, kListenKey, nullptr, nullptr},
    KnownKey{kRelaySection, kIdleSecondsKey, nullptr, nullptr},
    KnownKey{kRelaySection, kStreamsKey, nullptr, nullptr},
    KnownKey{kDialogSection, kWidePortsKey, IsOneOrZero, "1 或 0"},
};

bool IsKnownSection(std::string_view name) {
    return std::any_of(kKnownKeys.begin(), kKnownKeys.end(), [name](const KnownKey& known) {
        return SameProfileName(known.section, name);
    });
}

const KnownKey* FindKey(std::string_view section, std::string_view key) {
    const auto found =
        std::find_if(kKnownKeys.begin(), kKnownKeys.end(), [&](const KnownKey& known) {
            return SameProfileName(known.section, section) && SameProfileName(known.key, key);
        });
    return found == kKnownKeys.end() ? nullptr : &*found;
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7f;
}

// What is wrong with one line, or empty. `section` is the section the line is in (empty before
// the first); it and what was seen so far move on with the line.
std::string LineFault(std::string_view body, std::string& section,
                      std::vector<std::string>& sectionsSeen, std::vector<std::string>& keysSeen) {
    if (const auto control = std::find_if(body.begin(), body.end(), IsControl);
        control != body.end()) {
        return "含有控制字符 (编码 " + std::to_string(static_cast<unsigned char>(*control)) + ")";
    }
    const std::string_view trimmed = Trim(body);
    if (trimmed.empty() || trimmed.front() == ';') {
        return {};
    }
    if (trimmed.front() == '[') {
        const std::size_t close = trimmed.find(']');
        if (close == std::string_view::npos) {
            return "节的标题缺少 ]";
        }
        if (!Trim(trimmed.substr(close + 1)).empty()) {
            return "节的标题 ] 之后还有内容 (每个键单独一行)";
        }
        const std::string name(Trim(trimmed.substr(1, close - 1)));
        if (!IsKnownSection(name)) {
            return "未知的节 [" + name + "]";
        }
        const auto same = [&name](const std::string& seen) { return SameProfileName(seen, name); };
        if (std::any_of(sectionsSeen.begin(), sectionsSeen.end(), same)) {
            return "节 [" + name + "] 出现了两次";
        }
        sectionsSeen.push_back(name);
        keysSeen.clear();
        section = name;
        return {};
    }
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
        return "不是节、键或注释 (注释以 ; 开头)";
    }
    const std::string key(Trim(trimmed.substr(0, equals)));
    if (section.empty()) {
        return "键 " + key + " 不在任何节中";
    }
    const KnownKey* known = FindKey(section, key);
    if (known == nullptr) {
        return "节 [" + section + "] 中没有键 " + key;
    }
    const auto same = [&key](const std::string& seen) { return SameProfileName(seen, key); };
    if (std::any_of(keysSeen.begin(), keysSeen.end(), same)) {
        return "键 [" + section + "] " + key + " 出现了两次";
    }
    keysSeen.push_back(key);
    const std::string_view value = ProfileValueText(trimmed.substr(equals + 1));
    if (known->form != nullptr && !known->form(value)) {
        return "[" + section + "] " + key + "=" + std::string(value) + ": 只能是 " + known->forms;
    }
    return {};
}

} // namespace

std::string FormFault::Describe() const {
    return "第 " + std::to_string(line) + " 行: " + what;
}

std::optional<FormFault> FindFormFault(std::string_view text) {
    // An editor's UTF-8 byte order mark is no part of the first line.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    std::string section;
    std::vector<std::string> sectionsSeen;
    std::vector<std::string> keysSeen;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t newline = text.find('\n');
        std::string_view body = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (body.ends_with('\r')) {
            body.remove_suffix(1);
        }
        if (std::string what = LineFault(body, section, sectionsSeen, keysSeen); !what.empty()) {
            return FormFault{number, std::move(what)};
        }
    }
    return std::nullopt;
}
