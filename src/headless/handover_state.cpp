#include "headless/handover_state.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstring>
#include <map>
#include <string>

namespace {

constexpr std::string_view kHeader = "tarvel-relay handover 3\n";
// The versions before: one "peer" line for the one stream they could hand over instead of the list
// of streams; the first also without the metrics' own counters.
constexpr std::string_view kSecondHeader = "tarvel-relay handover 2\n";
constexpr std::string_view kFirstHeader = "tarvel-relay handover 1\n";
// The last line: the length of the bytes not yet sent, which follow it as they are (every stream's
// in the order of the list).
constexpr std::string_view kUnsentKey = "unsent";
// How many streams are listed, and each one's line: "stream-K=PEER,UNSENT-LENGTH".
constexpr std::string_view kHandedKey = "handed";
std::string StreamKey(std::size_t k) {
    return "stream-" + std::to_string(k);
}

constexpr char kHexDigits[] = "0123456789abcdef";

std::string Hex(const void* data, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<const unsigned char*>(data)[i];
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
    }
    return text;
}

bool FromHex(std::string_view text, unsigned char* out, std::size_t length) {
    if (text.size() != 2 * length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const char* high = std::strchr(kHexDigits, text[2 * i]);
        const char* low = std::strchr(kHexDigits, text[2 * i + 1]);
        if (text[2 * i] == '\0' || text[2 * i + 1] == '\0' || high == nullptr || low == nullptr) {
            return false;
        }
        out[i] = static_cast<unsigned char>((high - kHexDigits) << 4 | (low - kHexDigits));
    }
    return true;
}

// An endpoint as the bytes of its socket address, so that it comes back exactly (scope included).
std::string EndpointField(const Endpoint& endpoint) {
    return Hex(endpoint.Address(), endpoint.Length());
}

std::optional<Endpoint> ParseEndpoint(std::string_view text) {
    if (text.empty()) {
        return Endpoint();
    }
    sockaddr_storage address{};
    const std::size_t length = text.size() / 2;
    if (length > sizeof address ||
        !FromHex(text, reinterpret_cast<unsigned char*>(&address), length)) {
        return std::nullopt;
    }
    const Endpoint endpoint = Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&address),
                                                     static_cast<socklen_t>(length));
    return endpoint.Empty() ? std::nullopt : std::optional<Endpoint>(endpoint);
}

template <typename Number> bool ParseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// Counts as a comma-separated list, every one of them there.
template <std::size_t N> std::string CountsField(const std::array<std::uint64_t, N>& counts) {
    std::string text;
    for (const std::uint64_t count : counts) {
        text += (text.empty() ? "" : ",") + std::to_string(count);
    }
    return text;
}

template <std::size_t N>
bool ParseCounts(std::string_view text, std::array<std::uint64_t, N>& counts) {
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t comma = i + 1 < N ? text.find(',') : text.size();
        if (comma == std::string_view::npos || !ParseNumber(text.substr(0, comma), counts[i])) {
            return false;
        }
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return true;
}

// A histogram as its buckets' counts, then its count, then its sum (written so that it reads back
// exactly).
std::string HistogramField(const DurationHistogram& histogram) {
    char sum[64];
    const auto written = std::to_chars(sum, sum + sizeof sum, histogram.sum);
    return CountsField(histogram.within) + "," + std::to_string(histogram.count) + "," +
           std::string(sum, written.ptr);
}

bool ParseHistogram(std::string_view text, DurationHistogram& histogram) {
    const std::size_t sumAt = text.rfind(',');
    const std::size_t countAt =
        sumAt == std::string_view::npos ? sumAt : text.rfind(',', sumAt - 1);
    if (countAt == std::string_view::npos) {
        return false;
    }
    const std::string_view sum = text.substr(sumAt + 1);
    const auto [end, error] = std::from_chars(sum.data(), sum.data() + sum.size(), histogram.sum);
    return ParseCounts(text.substr(0, countAt), histogram.within) &&
           ParseNumber(text.substr(countAt + 1, sumAt - countAt - 1), histogram.count) &&
           !sum.empty() && error == std::errc() && end == sum.data() + sum.size() &&
           histogram.sum >= 0;
}

} // namespace

std::string SerializeHandoverState(const HandoverState& state) {
    const RelayPlan& plan = state.plan;
    std::string text(kHeader);
    const auto line = [&text](std::string_view key, const std::string& value) {
        text.append(key).append("=").append(value).append("\n");
    };
    line("mode", plan.mode == RelayMode::ClientToServer ? "client-to-server" : "server-to-client");
    line("protocol", plan.protocol == RelayProtocol::Tcp ? "tcp" : "udp");
    line("forward", plan.forward == ForwardMode::Bytes ? "bytes" : "text");
    line("wait", EndpointField(plan.waitEndpoint));
    line("other", EndpointField(plan.otherEndpoint));
    line("idle-seconds", std::to_string(plan.idleLimit.count()));
    line("bytes", std::to_string(state.totals.bytesForwarded));
    line("datagrams", std::to_string(state.totals.datagramsForwarded));
    line("cut", std::to_string(state.totals.datagramsCut));
    line("dropped", std::to_string(state.totals.bytesDropped));
    line("refused", std::to_string(state.totals.refused));
    line("streams", std::to_string(state.streams));
    line("starts", std::to_string(state.starts));
    line("start-time", std::to_string(state.startTime));
    line("head", Hex(state.head.data(), state.head.size()));
    line("queue-dropped", std::to_string(state.totals.datagramsQueueDropped));
    line("unsent-datagrams", std::to_string(state.totals.datagramsUnsent));
    line("unsent-bytes", std::to_string(state.totals.bytesUnsent));
    line("stream-ends", CountsField(state.streamEnds));
    line("connect-failures", CountsField(state.connectFailures));
    line("durations", HistogramField(state.durations));
    line(kHandedKey, std::to_string(state.handed.size()));
    std::string unsent;
    for (std::size_t k = 0; k < state.handed.size(); ++k) {
        const HandedStream& stream = state.handed[k];
        line(StreamKey(k), EndpointField(stream.peer) + "," + std::to_string(stream.unsent.size()));
        unsent += stream.unsent;
    }
    line(kUnsentKey, std::to_string(unsent.size()));
    return text + unsent;
}

std::optional<HandoverState> ParseHandoverState(std::string_view text) {
    const int version = text.starts_with(kHeader)         ? 3
                        : text.starts_with(kSecondHeader) ? 2
                        : text.starts_with(kFirstHeader)  ? 1
                                                          : 0;
    if (version == 0) {
        return std::nullopt;
    }
    text.remove_prefix(kHeader.size()); // every header is as long
    std::map<std::string, std::string, std::less<>> fields;
    std::size_t lines = 0;
    for (;; ++lines) {
        const std::size_t end = text.find('\n');
        const std::size_t equals = text.substr(0, end).find('=');
        if (end == std::string_view::npos || equals == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view key = text.substr(0, equals);
        fields.emplace(key, text.substr(equals + 1, end - equals - 1));
        text.remove_prefix(end + 1);
        if (key == kUnsentKey) {
            break;
        }
    }

    HandoverState state;
    RelayPlan& plan = state.plan;
    const auto field = [&fields](std::string_view key) -> std::string_view {
        const auto found = fields.find(key);
        return found != fields.end() ? std::string_view(found->second) : std::string_view("?");
    };
    const auto choice = [&field](std::string_view key, std::string_view first,
                                 std::string_view second, bool& isFirst) {
        isFirst = field(key) == first;
        return isFirst || field(key) == second;
    };
    bool clientToServer = false;
    bool tcp = false;
    bool bytes = false;
    std::size_t unsent = 0;
    std::chrono::seconds::rep idleSeconds = 0;
    const std::optional<Endpoint> wait = ParseEndpoint(field("wait"));
    const std::optional<Endpoint> other = ParseEndpoint(field("other"));
    std::size_t handed = 0;
    if (version == 3 && (!ParseNumber(field(kHandedKey), handed) || handed > fields.size())) {
        return std::nullopt;
    }
    // Every field once: a doubled one leaves fewer fields than lines.
    const std::size_t kFields = version == 1 ? 17 : version == 2 ? 23 : 23 + handed;
    if (fields.size() != kFields || lines + 1 != kFields ||
        !choice("mode", "client-to-server", "server-to-client", clientToServer) ||
        !choice("protocol", "tcp", "udp", tcp) || !choice("forward", "bytes", "text", bytes) ||
        !wait || wait->Empty() || !other || other->Empty() ||
        !ParseNumber(field("bytes"), state.totals.bytesForwarded) ||
        !ParseNumber(field("datagrams"), state.totals.datagramsForwarded) ||
        !ParseNumber(field("cut"), state.totals.datagramsCut) ||
        !ParseNumber(field("dropped"), state.totals.bytesDropped) ||
        !ParseNumber(field("idle-seconds"), idleSeconds) || idleSeconds < 0 ||
        !ParseNumber(field("refused"), state.totals.refused) ||
        !ParseNumber(field("streams"), state.streams) ||
        !ParseNumber(field("starts"), state.starts) ||
        !ParseNumber(field("start-time"), state.startTime) ||
        !FromHex(field("head"), state.head.data(), state.head.size()) ||
        !ParseNumber(field(kUnsentKey), unsent) || unsent != text.size()) {
        return std::nullopt;
    }
    if (version != 1 && (!ParseNumber(field("queue-dropped"), state.totals.datagramsQueueDropped) ||
                         !ParseNumber(field("unsent-datagrams"), state.totals.datagramsUnsent) ||
                         !ParseNumber(field("unsent-bytes"), state.totals.bytesUnsent) ||
                         !ParseCounts(field("stream-ends"), state.streamEnds) ||
                         !ParseCounts(field("connect-failures"), state.connectFailures) ||
                         !ParseHistogram(field("durations"), state.durations))) {
        return std::nullopt;
    }
    plan = MakeRelayPlan(clientToServer ? RelayMode::ClientToServer : RelayMode::ServerToClient,
                         tcp ? RelayProtocol::Tcp : RelayProtocol::Udp,
                         clientToServer ? *other : *wait, clientToServer ? *wait : *other,
                         bytes ? ForwardMode::Bytes : ForwardMode::Text);
    plan.idleLimit = std::chrono::seconds(idleSeconds);
    if (version < 3) {
        // One stream at most, named by its peer alone; without one the bytes are nobody's.
        const std::optional<Endpoint> peer = ParseEndpoint(field("peer"));
        if (!peer) {
            return std::nullopt;
        }
        if (!peer->Empty()) {
            state.handed.push_back({*peer, std::string(text)});
        }
        return state;
    }
    for (std::size_t k = 0; k < handed; ++k) {
        const std::string_view stream = field(StreamKey(k));
        const std::size_t comma = stream.find(',');
        std::size_t length = 0;
        const std::optional<Endpoint> peer =
            comma == std::string_view::npos ? std::nullopt : ParseEndpoint(stream.substr(0, comma));
        if (!peer || peer->Empty() || !ParseNumber(stream.substr(comma + 1), length) ||
            length > text.size()) {
            return std::nullopt;
        }
        state.handed.push_back({*peer, std::string(text.substr(0, length))});
        text.remove_prefix(length);
    }
    return text.empty() ? std::optional<HandoverState>(std::move(state)) : std::nullopt;
}
