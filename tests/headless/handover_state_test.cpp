#include "headless/handover_state.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

#include <string>

namespace {

using namespace std::string_literals;

Endpoint V4(const char* address, int port) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &v4.sin_addr);
    return Endpoint(v4);
}

Endpoint LinkLocal(int port) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
    v6.sin6_scope_id = ::if_nametoindex("lo");
    return Endpoint(v6);
}

HandoverState Example() {
    HandoverState state;
    state.plan = MakeRelayPlan(RelayMode::ServerToClient, RelayProtocol::Tcp, LinkLocal(0),
                               V4("127.0.0.3", 6000), ForwardMode::Bytes);
    state.totals.bytesForwarded = 123456789012ULL;
    state.totals.datagramsForwarded = 0;
    state.totals.datagramsCut = 3;
    state.totals.bytesDropped = 65002;
    state.plan.idleLimit = std::chrono::seconds(300);
    state.totals.refused = 7;
    state.streams = 41;
    state.starts = 2;
    state.startTime = 1796954021;
    state.head = {0x00, 0xFF, '\n', 'a'};
    state.peer = V4("127.0.0.9", 40000);
    state.unsent = "line\nwith=zero\0and\nnewlines"s;
    state.totals.datagramsQueueDropped = 5;
    state.totals.datagramsUnsent = 6;
    state.totals.bytesUnsent = 7000;
    state.streamEnds = {30, 4, 1, 2, 3, 1};
    state.connectFailures = {9, 1, 0, 2};
    state.durations.Observe(0.25);
    state.durations.Observe(61.125);
    state.durations.Observe(100000.1);
    return state;
}

// The record comes back exactly, endpoints with their scope and the unsent bytes as they were.
TEST(HandoverState, RoundTrips) {
    for (const HandoverState& state : {Example(), HandoverState{}}) {
        HandoverState copy = state;
        if (copy.plan.waitEndpoint.Empty()) {
            // A plan always has its endpoints.
            copy.plan = MakeRelayPlan(RelayMode::ClientToServer, RelayProtocol::Udp,
                                      V4("127.0.0.2", 1), V4("127.0.0.3", 2));
        }
        const std::optional<HandoverState> read = ParseHandoverState(SerializeHandoverState(copy));
        ASSERT_TRUE(read.has_value()) << SerializeHandoverState(copy);
        EXPECT_EQ(*read, copy);
        EXPECT_EQ(EndpointText(read->plan.waitEndpoint), EndpointText(copy.plan.waitEndpoint));
    }
}

// A record of another kind or version, cut short, or with a field missing, doubled or unreadable
// is refused as a whole.
TEST(HandoverState, RefusesWhatItDidNotWrite) {
    const std::string good = SerializeHandoverState(Example());
    const auto replaced = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"Empty", ""},
        {"AnotherVersion", replaced("handover 2", "handover 3")},
        {"UnsentCutShort", good.substr(0, good.size() - 1)},
        {"UnsentLonger", good + "x"},
        {"FieldMissing", replaced("streams=41\n", "")},
        {"FieldDoubled", replaced("streams=41\n", "streams=41\nstreams=42\n")},
        {"UnknownField", replaced("streams=41\n", "flows=41\n")},
        {"NumberWithLetters", replaced("starts=2", "starts=2x")},
        {"NegativeCount", replaced("refused=7", "refused=-7")},
        {"NegativeIdleLimit", replaced("idle-seconds=300", "idle-seconds=-300")},
        {"DroppedMissing", replaced("dropped=65002\n", "")},
        {"HeadNotHex", replaced("head=00ff0a61", "head=00ff0a6g")},
        {"HeadTooShort", replaced("head=00ff0a61", "head=00ff0a")},
        {"ModeUnknown", replaced("mode=server-to-client", "mode=both")},
        {"EndpointCut", replaced("other=0200", "other=02")},
        {"StreamEndsShort", replaced("stream-ends=30,4,1,2,3,1", "stream-ends=30,4,1,2,3")},
        {"StreamEndsLong", replaced("stream-ends=30,4,1,2,3,1", "stream-ends=30,4,1,2,3,1,0")},
        {"ConnectFailuresEmptyCount",
         replaced("connect-failures=9,1,0,2", "connect-failures=9,,0,2")},
        {"DurationsSumNotANumber",
         replaced("durations=1,0,0,1,0,0,0,3,", "durations=1,0,0,1,0,0,0,3,x")},
        // The version before had none of the metrics' own counters; with them it is no record.
        {"FirstVersionWithNewFields", replaced("handover 2", "handover 1")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(ParseHandoverState(c.text).has_value());
    }
}

// A record of the version before (no counters but the totals) still carries the stream across an
// upgrade: it reads with the newer counters at zero.
TEST(HandoverState, ReadsTheVersionBefore) {
    std::string text = SerializeHandoverState(Example());
    text.replace(text.find("handover 2"), 10, "handover 1");
    for (const char* key : {"queue-dropped=", "unsent-datagrams=", "unsent-bytes=", "stream-ends=",
                            "connect-failures=", "durations="}) {
        const std::size_t at = text.find(key);
        ASSERT_NE(at, std::string::npos) << key;
        text.erase(at, text.find('\n', at) + 1 - at);
    }
    const std::optional<HandoverState> read = ParseHandoverState(text);
    ASSERT_TRUE(read.has_value()) << text;
    HandoverState expected = Example();
    expected.totals.datagramsQueueDropped = 0;
    expected.totals.datagramsUnsent = 0;
    expected.totals.bytesUnsent = 0;
    expected.streamEnds = {};
    expected.connectFailures = {};
    expected.durations = {};
    EXPECT_EQ(*read, expected);
}

} // namespace
