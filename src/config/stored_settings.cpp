#include "config/stored_settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "config/parameter_checks.h"
#include "config/profile.h"
#include "config/settings_keys.h"
#include "platform/scan_unsigned.h"
#include "relay/relay_outcome.h"

namespace {

// 127.0.0.0/8 or ::1: reachable from this machine only.
bool IsLoopback(const Endpoint& endpoint) {
    if (endpoint.Family() == AF_INET) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(endpoint.Address());
        return (ntohl(address->sin_addr.s_addr) >> 24) == 127;
    }
    const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(endpoint.Address())->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&address);
}

// 0.0.0.0 or [::]: every address the machine has.
bool IsWildcard(const Endpoint& endpoint) {
    if (endpoint.Family() == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(endpoint.Address())->sin_addr.s_addr ==
               INADDR_ANY;
    }
    const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(endpoint.Address())->sin6_addr;
    return IN6_IS_ADDR_UNSPECIFIED(&address);
}

// As atoi reads a number: blanks, a sign, digits up to the first other character. A value beyond
// the int range is clamped instead of being left undefined.
int ToNumber(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// A sign and decimal digits, nothing else: what a port text must be for the relay program.
bool IsWholeNumber(std::string_view text) {
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// A TCP stream's idle limit: whole seconds in decimal digits; none (zero) when the text is empty.
std::optional<std::chrono::seconds> IdleLimitFromText(std::string_view text) {
    std::uint32_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    // from_chars takes neither a sign nor blanks: digits only, and all of them.
    if (!text.empty() && (error != std::errc() || end != text.data() + text.size())) {
        return std::nullopt;
    }
    return std::chrono::seconds(seconds);
}

// How many TCP streams are served at once: 1 to kMostStreams in decimal digits; one when the text
// is empty.
std::optional<unsigned> StreamsFromText(std::string_view text) {
    if (text.empty()) {
        return 1u;
    }
    unsigned streams = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), streams);
    if (error != std::errc() || end != text.data() + text.size() || streams < 1 ||
        streams > kMostStreams) {
        return std::nullopt;
    }
    return streams;
}

// Reads the file's values one key at a time, noting those the key does not take as written.
class SettingsReader {
public:
    explicit SettingsReader(std::string_view text, std::vector<SettingFlaw>& flaws)
        : m_text(text), m_flaws(flaws) {}

    // A value of the original keys, cut as their 255-byte buffer always cut it.
    std::string Text(const char* section, const char* key) const {
        return ReadProfileValue(m_text, section, key);
    }
    // A value of a key this program added, whatever its length: a list cut short would admit
    // what it never said.
    std::string Whole(const char* section, const char* key) const {
        return ReadProfileValue(m_text, section, key, ValueLength::Whole);
    }

    // A choice of two written as "1" and "0"; anything else reads as atoi reads it (1 for the
    // first choice, any other number for the second), and is noted.
    bool OneOrZero(const char* section, const std::string& oneMeans, const std::string& zeroMeans) {
        const std::string text = Text(section, kNumberKey);
        const bool one = ToNumber(text) == 1;
        if (text != "1" && text != "0") {
            m_flaws.push_back({SettingFlaw::Kind::NotAChoice, section, kNumberKey, text,
                               one ? oneMeans : zeroMeans});
        }
        return one;
    }

    std::int32_t Port(const char* section) {
        const std::string text = Text(section, kPortKey);
        if (!IsWholeNumber(text)) {
            m_flaws.push_back({SettingFlaw::Kind::NotANumber, section, kPortKey, text, {}});
        }
        return ToNumber(text);
    }

private:
    std::string_view m_text;
    std::vector<SettingFlaw>& m_flaws;
};

} // namespace

StoredSettings SettingsFromText(std::string_view text) {
    StoredSettings settings;
    SettingsReader reader(text, settings.flaws);
    // Only a file that says it holds one saved pair has endpoints.
    if (ToNumber(reader.Text(kCountSection, kNumberKey)) == 1) {
        Parameters& saved = settings.parameters.emplace();
        saved.clientToServer =
            reader.OneOrZero(kModeSection, "客户端到服务器端", "服务器端到客户端");
        saved.udp = reader.OneOrZero(kProtocolSection, "UDP", "TCP");
        saved.clientAddress = reader.Text(kClientAddressSection, kAddressKey);
        saved.clientPort = reader.Port(kClientPortSection);
        saved.serverAddress = reader.Text(kServerAddressSection, kAddressKey);
        saved.serverPort = reader.Port(kServerPortSection);
    }

    // Files from before these keys existed have neither: text, from anyone.
    const std::string mode = reader.Whole(kForwardSection, kForwardModeKey);
    if (SameProfileName(mode, kBytesModeName)) {
        settings.forwarding.forward = ForwardMode::Bytes;
    } else if (!mode.empty() && !SameProfileName(mode, kTextModeName)) {
        settings.flaws.push_back(
            {SettingFlaw::Kind::NotAChoice, kForwardSection, kForwardModeKey, mode, kTextModeName});
    }
    settings.forwarding.allowedSources = reader.Whole(kAllowSection, kSourcesKey);
    // The dialog's alone: only "1" widens its port range, which the relay program never narrows.
    settings.forwarding.widePorts = reader.Whole(kDialogSection, kWidePortsKey) == "1";
    settings.statusListen = reader.Whole(kStatusSection, kListenKey);
    settings.idleSeconds = reader.Whole(kRelaySection, kIdleSecondsKey);
    settings.streams = reader.Whole(kRelaySection, kStreamsKey);
    return settings;
}

std::optional<StoredSettings> ReadStoredSettings(const std::filesystem::path& file,
                                                 std::error_code& error) {
    const std::optional<std::string> text = ReadProfileText(file, error);
    if (!text) {
        return std::nullopt;
    }
    return SettingsFromText(*text);
}

std::string SettingsRefusal::Describe() const {
    return "[" + section + "] " + key + "=" + text + ": " + reason;
}

SettingsVerdict CheckSettings(const StoredSettings& settings, const LocalAddressTest& isLocal) {
    SettingsVerdict verdict;
    const auto refuse = [&verdict](std::string section, std::string key, std::string text,
                                   std::string reason) {
        verdict.refusal = {std::move(section), std::move(key), std::move(text), std::move(reason)};
        return verdict;
    };
    for (const SettingFlaw& flaw : settings.flaws) {
        if (flaw.kind == SettingFlaw::Kind::NotAChoice) {
            verdict.warnings.push_back("[" + flaw.section + "] " + flaw.key + "=" + flaw.text +
                                       ": 不是可选的值, 按 " + flaw.takenAs + " 处理");
        }
    }
    if (!settings.parameters) {
        return refuse(kCountSection, kNumberKey, "", "没有保存的设置");
    }
    const Parameters& saved = *settings.parameters;

    // The address texts, client first, then the ports, as Run checks them.
    for (const auto& [section, address] : {std::pair{kClientAddressSection, &saved.clientAddress},
                                           {kServerAddressSection, &saved.serverAddress}}) {
        if (!EndpointFromText(*address, 0)) {
            return refuse(section, kAddressKey, *address, kBadAddressMessage);
        }
    }
    for (const auto& [section, port] : {std::pair{kClientPortSection, saved.clientPort},
                                        {kServerPortSection, saved.serverPort}}) {
        const auto flaw =
            std::find_if(settings.flaws.begin(), settings.flaws.end(),
                         [section = std::string_view(section)](const SettingFlaw& f) {
                             return f.kind == SettingFlaw::Kind::NotANumber && f.section == section;
                         });
        if (flaw != settings.flaws.end()) {
            return refuse(section, kPortKey, flaw->text, "不是整数");
        }
        if (port < 0 || static_cast<std::uint32_t>(port) > kLargestSocketPort) {
            return refuse(section, kPortKey, std::to_string(port),
                          OutOfRangeMessage(0, kLargestSocketPort));
        }
    }
    // Both texts and both ports passed: the endpoints are there.
    const Endpoint client = *EndpointFromText(saved.clientAddress, saved.clientPort);
    const Endpoint server = *EndpointFromText(saved.serverAddress, saved.serverPort);
    RelayPlan plan =
        MakeRelayPlan(saved.clientToServer ? RelayMode::ClientToServer : RelayMode::ServerToClient,
                      saved.udp ? RelayProtocol::Udp : RelayProtocol::Tcp, client, server);
    // Port 0 lets the system choose where the relay listens or binds; where it connects or sends,
    // no peer is there, and the relay would find that out only after taking a client.
    if (plan.otherEndpoint.Port() == 0) {
        const bool otherIsClient = plan.OtherSide() == RelaySide::Client;
        return refuse(otherIsClient ? kClientPortSection : kServerPortSection, kPortKey, "0",
                      SideName(plan.OtherSide()) + " 的端口不能为 0: 转发要" +
                          (plan.protocol == RelayProtocol::Udp ? "发送" : "连接") + "到这个端口");
    }
    // A relay aimed at itself is an address the operator got wrong: the side it sends to.
    if (AimsAtItself(plan, isLocal)) {
        const bool otherIsClient = plan.OtherSide() == RelaySide::Client;
        return refuse(otherIsClient ? kClientAddressSection : kServerAddressSection, kAddressKey,
                      otherIsClient ? saved.clientAddress : saved.serverAddress,
                      std::string(kBadAddressMessage) + " " +
                          SideEndpointText(plan.OtherSide(), plan.otherEndpoint) + " 就是本转发" +
                          (plan.protocol == RelayProtocol::Udp ? "接收" : "监听") + "的 " +
                          SideEndpointText(plan.waitSide, plan.waitEndpoint) +
                          ", 数据会转发给自己");
    }

    const ForwardingSettings& forwarding = settings.forwarding;
    std::string problem;
    std::optional<AllowedSources> allowed = ParseAllowedSources(forwarding.allowedSources, problem);
    if (!allowed) {
        return refuse(kAllowSection, kSourcesKey, forwarding.allowedSources, problem);
    }
    const std::optional<std::chrono::seconds> idleLimit = IdleLimitFromText(settings.idleSeconds);
    if (!idleLimit) {
        return refuse(kRelaySection, kIdleSecondsKey, settings.idleSeconds,
                      "不是秒数 (0 到 4294967295, 0 表示不限)");
    }
    const std::optional<unsigned> streams = StreamsFromText(settings.streams);
    if (!streams) {
        return refuse(kRelaySection, kStreamsKey, settings.streams,
                      "不是同时转发的流数 (1 到 " + std::to_string(kMostStreams) + ")");
    }
    if (!settings.statusListen.empty()) {
        verdict.statusEndpoint = ListenEndpointFromText(settings.statusListen);
        if (!verdict.statusEndpoint) {
            return refuse(kStatusSection, kListenKey, settings.statusListen,
                          "不是 地址:端口 (IPv4 地址, 或方括号中的 IPv6 地址, 端口 1 到 65535)");
        }
        // The metrics name the relay's own endpoints: not for every network to read.
        if (!IsLoopback(*verdict.statusEndpoint)) {
            const bool everywhere = IsWildcard(*verdict.statusEndpoint);
            verdict.warnings.push_back("[" + std::string(kStatusSection) + "] " + kListenKey + "=" +
                                       settings.statusListen +
                                       (everywhere ? ": 在所有网络上提供" : ": 不是本机回环地址") +
                                       "; 指标会写出本转发的端点, 请放在管理地址上");
        }
    }
    plan.forward = forwarding.forward;
    plan.allowed = std::move(*allowed);
    plan.idleLimit = *idleLimit;
    plan.streams = *streams;
    verdict.plan = std::move(plan);
    return verdict;
}
