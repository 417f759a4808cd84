#include "config/stored_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// A file as the dialog saves it, with the values given as written.
std::string File(const std::string& mode, const std::string& protocol, const std::string& client,
                 const std::string& clientPort, const std::string& server,
                 const std::string& serverPort, const std::string& more = "") {
    return "[ClientOrServer]\nNumber=" + mode + "\n[UDpOrTCp]\nNumber=" + protocol +
           "\n[IP]\nNumber=1\n[Client1]\nIP=" + client + "\n[ClientPost1]\nPost=" + clientPort +
           "\n[Server1]\nIP=" + server + "\n[ServerPost1]\nPost=" + serverPort + "\n" + more;
}

TEST(CheckSettings, ModeDecidesTheSideWaitedOnAndTheFileTheForwarding) {
    SettingsVerdict verdict = CheckSettings(
        SettingsFromText(File("1", "0", "127.0.0.2", "5000", "127.0.0.3", "6000",
                              "[Forward]\nMode=bytes\n[Allow]\nSources=10.1.2.0/24, 127.0.0.9\n")));
    ASSERT_TRUE(verdict.plan.has_value()) << verdict.refusal.Describe();
    EXPECT_EQ(verdict.plan->protocol, RelayProtocol::Tcp);
    EXPECT_EQ(verdict.plan->waitSide, RelaySide::Server);
    EXPECT_EQ(EndpointText(verdict.plan->waitEndpoint), "127.0.0.3:6000");
    EXPECT_EQ(EndpointText(verdict.plan->otherEndpoint), "127.0.0.2:5000");
    EXPECT_EQ(verdict.plan->forward, ForwardMode::Bytes);
    EXPECT_EQ(AllowedSourcesText(verdict.plan->allowed), "10.1.2.0/24, 127.0.0.9");
    EXPECT_TRUE(verdict.warnings.empty());

    verdict =
        CheckSettings(SettingsFromText(File("0", "1", "127.0.0.2", "5000", "127.0.0.3", "6000")));
    ASSERT_TRUE(verdict.plan.has_value());
    EXPECT_EQ(verdict.plan->protocol, RelayProtocol::Udp);
    EXPECT_EQ(verdict.plan->waitSide, RelaySide::Client);
    EXPECT_EQ(EndpointText(verdict.plan->waitEndpoint), "127.0.0.2:5000");
    EXPECT_EQ(verdict.plan->forward, ForwardMode::Text);
}

// The first key a check refuses is named with its text, in the order Run checks. A port text that
// is not a whole number is refused, never read as the number it starts with.
TEST(CheckSettings, RefusalsNameTheKeyAndItsText) {
    const struct {
        const char* name;
        std::string file;
        std::string refusal;
    } cases[] = {
        {"NothingSaved", "[IP]\nNumber=2\n", "[IP] Number=: 没有保存的设置"},
        {"ClientAddress", File("1", "0", "1.2.3", "5000", "127.0.0.09", "-1"),
         "[Client1] IP=1.2.3: IP地址输入有误!"},
        {"ServerAddressNoConversionReads", File("1", "0", "127.0.0.2", "5000", "127.0.0.09", "1"),
         "[Server1] IP=127.0.0.09: IP地址输入有误!"},
        {"PortLetters", File("1", "0", "127.0.0.2", "abc", "127.0.0.3", "1"),
         "[ClientPost1] Post=abc: 不是整数"},
        {"PortDigitsThenLetters", File("1", "0", "127.0.0.2", "1", "127.0.0.3", "7401xyz"),
         "[ServerPost1] Post=7401xyz: 不是整数"},
        {"PortWithAZeroByteInside", File("1", "0", "127.0.0.2", "74\0"s + "01", "127.0.0.3", "1"),
         "[ClientPost1] Post=74\0"s + "01: 不是整数"},
        {"PortMissing", "[IP]\nNumber=1\n[Client1]\nIP=127.0.0.2\n[Server1]\nIP=127.0.0.3\n",
         "[ClientPost1] Post=: 不是整数"},
        {"PortAboveRange", File("1", "0", "127.0.0.2", "65536", "127.0.0.3", "1"),
         "[ClientPost1] Post=65536: 请输入一个在 0 和 65535 之间的整数。"},
        {"PortNegative", File("1", "0", "127.0.0.2", "1", "127.0.0.3", "-1"),
         "[ServerPost1] Post=-1: 请输入一个在 0 和 65535 之间的整数。"},
        // Where the relay connects or sends, port 0 names no peer; the range is checked first.
        {"PortZeroWhereTcpConnects", File("1", "0", "127.0.0.2", "0", "127.0.0.3", "0"),
         "[ClientPost1] Post=0: 输入网卡 的端口不能为 0: 转发要连接到这个端口"},
        {"PortZeroWhereUdpSends", File("0", "1", "127.0.0.2", "0", "127.0.0.3", "0"),
         "[ServerPost1] Post=0: 输出网卡 的端口不能为 0: 转发要发送到这个端口"},
        {"PortOutOfRangeBeforePortZero", File("1", "1", "127.0.0.2", "0", "127.0.0.3", "70000"),
         "[ServerPost1] Post=70000: 请输入一个在 0 和 65535 之间的整数。"},
        {"Sources",
         File("1", "0", "127.0.0.2", "1", "127.0.0.3", "2", "[Allow]\nSources=10.1.2/24\n"),
         "[Allow] Sources=10.1.2/24: 允许的来源中有无效的地址或前缀: 10.1.2/24"},
        {"SourcesWithoutAnEntry",
         File("1", "0", "127.0.0.2", "1", "127.0.0.3", "2", "[Allow]\nSources= , \n"),
         "[Allow] Sources=,: 允许的来源中没有地址或前缀: ,"},
        {"IdleSecondsWithAUnit",
         File("1", "0", "127.0.0.2", "1", "127.0.0.3", "2", "[Relay]\nIdleSeconds=5min\n"),
         "[Relay] IdleSeconds=5min: 不是秒数 (0 到 4294967295, 0 表示不限)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SettingsVerdict verdict = CheckSettings(SettingsFromText(c.file));
        EXPECT_FALSE(verdict.plan.has_value());
        EXPECT_EQ(verdict.refusal.Describe(), c.refusal);
    }
}

// Every port a socket has is taken on either side, where the relay waits and where it connects or
// sends (there from 1: port 0 is refused above); the dialog's narrower range is the dialog's own.
TEST(CheckSettings, EveryPortUpTo65535IsTakenOnEitherSide) {
    const struct {
        const char* mode;
        const char* protocol;
        const char* clientPort;
        const char* serverPort;
        const char* waitEndpoint;
        const char* otherEndpoint;
    } cases[] = {
        {"1", "0", "20000", "0", "127.0.0.3:0", "127.0.0.2:20000"},
        {"1", "1", "1", "65535", "127.0.0.3:65535", "127.0.0.2:1"},
        {"0", "0", "0", "65535", "127.0.0.2:0", "127.0.0.3:65535"},
        {"0", "1", "51820", "20000", "127.0.0.2:51820", "127.0.0.3:20000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.clientPort) + " " + c.serverPort);
        const SettingsVerdict verdict = CheckSettings(SettingsFromText(
            File(c.mode, c.protocol, "127.0.0.2", c.clientPort, "127.0.0.3", c.serverPort)));
        ASSERT_TRUE(verdict.plan.has_value()) << verdict.refusal.Describe();
        EXPECT_EQ(EndpointText(verdict.plan->waitEndpoint), c.waitEndpoint);
        EXPECT_EQ(EndpointText(verdict.plan->otherEndpoint), c.otherEndpoint);
    }
}

// A mode, protocol or forwarding outside its choices is read as it always was, and named once.
TEST(CheckSettings, ValuesOutsideTheirChoicesFallBackWithAWarning) {
    const SettingsVerdict verdict = CheckSettings(SettingsFromText(
        File("9", "7", "127.0.0.2", "1", "127.0.0.3", "2", "[Forward]\nMode=Garbage\n")));
    ASSERT_TRUE(verdict.plan.has_value());
    EXPECT_EQ(verdict.plan->mode, RelayMode::ServerToClient);
    EXPECT_EQ(verdict.plan->protocol, RelayProtocol::Tcp);
    EXPECT_EQ(verdict.plan->forward, ForwardMode::Text);
    EXPECT_EQ(verdict.warnings,
              (std::vector<std::string>{
                  "[ClientOrServer] Number=9: 不是可选的值, 按 服务器端到客户端 处理",
                  "[UDpOrTCp] Number=7: 不是可选的值, 按 TCP 处理",
                  "[Forward] Mode=Garbage: 不是可选的值, 按 Text 处理",
              }));

    // "1abc" has always meant 1.
    const StoredSettings oneWithLetters =
        SettingsFromText(File("1abc", "1", "127.0.0.2", "1", "127.0.0.3", "2"));
    EXPECT_TRUE(oneWithLetters.parameters->clientToServer);
    EXPECT_EQ(CheckSettings(oneWithLetters).warnings,
              std::vector<std::string>{
                  "[ClientOrServer] Number=1abc: 不是可选的值, 按 客户端到服务器端 处理"});
}

// A status endpoint anyone on a network can reach is named: the metrics give the relay's endpoints
// away. Loopback addresses are not.
TEST(CheckSettings, StatusEndpointOffLoopbackIsWarned) {
    const struct {
        const char* listen;
        const char* warning; // empty: none
    } cases[] = {
        {"127.0.0.1:9101", ""},
        {"127.9.8.7:9101", ""},
        {"[::1]:9101", ""},
        {"0.0.0.0:9101", "[Status] Listen=0.0.0.0:9101: 在所有网络上提供; 指标会写出本转发的端点, "
                         "请放在管理地址上"},
        {"[::]:9101",
         "[Status] Listen=[::]:9101: 在所有网络上提供; 指标会写出本转发的端点, 请放在管理地址上"},
        {"192.0.2.10:9101", "[Status] Listen=192.0.2.10:9101: 不是本机回环地址; "
                            "指标会写出本转发的端点, 请放在管理地址上"},
        {"[2001:db8::1]:9101", "[Status] Listen=[2001:db8::1]:9101: 不是本机回环地址; "
                               "指标会写出本转发的端点, 请放在管理地址上"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listen);
        const SettingsVerdict verdict = CheckSettings(SettingsFromText(File(
            "0", "1", "127.0.0.2", "1", "127.0.0.3", "2", "[Status]\nListen="s + c.listen + "\n")));
        ASSERT_TRUE(verdict.plan.has_value());
        EXPECT_EQ(verdict.warnings, *c.warning == '\0' ? std::vector<std::string>{}
                                                       : std::vector<std::string>{c.warning});
    }
}

// The keys this program added are read whole: an allowed-sources list of 2 000 characters keeps its
// last entry, where the original keys' 254 characters would have cut "127.0.0.2/32" to
// "127.0.0.2/3" and let 127.0.0.0/3 in. The original keys stay cut as they always were.
TEST(SettingsFromText, TheKeysThisProgramAddedAreReadWhole) {
    std::string list;
    while (list.size() < 2000) {
        list += "10.0.0.1,";
    }
    list += "127.0.0.2/32";
    const StoredSettings settings =
        SettingsFromText(File("1", "0", std::string(300, '1'), "1", "127.0.0.3", "2",
                              "[Allow]\nSources=" + list +
                                  "\n[Status]\nListen=127.0.0.1:" + std::string(300, '9') + "\n"));
    EXPECT_EQ(settings.forwarding.allowedSources, list);
    EXPECT_EQ(settings.statusListen.size(), 10 + 300U);
    EXPECT_EQ(settings.parameters->clientAddress, std::string(254, '1'));

    const SettingsVerdict verdict = CheckSettings(SettingsFromText(
        File("1", "0", "127.0.0.2", "1", "127.0.0.3", "2", "[Allow]\nSources=" + list + "\n")));
    ASSERT_TRUE(verdict.plan.has_value()) << verdict.refusal.Describe();
    EXPECT_TRUE(AllowedSourcesText(verdict.plan->allowed).ends_with(", 127.0.0.2"));
}

// [Relay] IdleSeconds: whole seconds into the plan, 0 or nothing for no limit; anything else is
// refused with the key named, so a typing error never leaves a stream without its limit.
TEST(CheckSettings, IdleSecondsGiveThePlansIdleLimit) {
    const struct {
        std::string text;  // none: no such key
        long long seconds; // -1: refused
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"30", 30},
        {" 600 ", 600},
        {"4294967295", 4294967295LL},
        {"4294967296", -1},
        {"-5", -1},
        {"+5", -1},
        {"5s", -1},
        {"1.5", -1},
        {"5 5", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const SettingsVerdict verdict =
            CheckSettings(SettingsFromText(File("1", "0", "127.0.0.2", "1", "127.0.0.3", "2",
                                                "[relay]\nidleseconds=" + c.text + "\n")));
        ASSERT_EQ(verdict.plan.has_value(), c.seconds >= 0) << verdict.refusal.Describe();
        if (verdict.plan) {
            EXPECT_EQ(verdict.plan->idleLimit.count(), c.seconds);
        } else {
            EXPECT_EQ(verdict.refusal.section, "Relay");
            EXPECT_EQ(verdict.refusal.key, "IdleSeconds");
        }
    }
    const SettingsVerdict none =
        CheckSettings(SettingsFromText(File("1", "0", "127.0.0.2", "1", "127.0.0.3", "2")));
    ASSERT_TRUE(none.plan.has_value());
    EXPECT_EQ(none.plan->idleLimit.count(), 0);
}

// A relay that would send to itself is refused at its destination's address, both endpoints
// named: UDP and TCP, in both directions, the same endpoint or a wildcard that takes it in.
TEST(CheckSettings, ARelayAimedAtItselfIsRefused) {
    const struct {
        const char* name;
        std::string file;
        std::string refusal; // empty: a plan
    } cases[] = {
        {"UdpSameEndpoint", File("0", "1", "127.0.0.2", "5000", "127.0.0.2", "5000"),
         "[Server1] IP=127.0.0.2: IP地址输入有误! 输出网卡 127.0.0.2:5000 就是本转发接收的 "
         "输入网卡 127.0.0.2:5000, 数据会转发给自己"},
        {"TcpSameEndpoint", File("1", "0", "127.0.0.2", "5000", "127.0.0.2", "5000"),
         "[Client1] IP=127.0.0.2: IP地址输入有误! 输入网卡 127.0.0.2:5000 就是本转发监听的 "
         "输出网卡 127.0.0.2:5000, 数据会转发给自己"},
        {"UdpWildcardTakesItIn", File("0", "1", "0.0.0.0", "5000", "127.0.0.3", "5000"),
         "[Server1] IP=127.0.0.3: IP地址输入有误! 输出网卡 127.0.0.3:5000 就是本转发接收的 "
         "输入网卡 0.0.0.0:5000, 数据会转发给自己"},
        {"MixedFamilies", File("1", "0", "0.0.0.0", "5000", "::1", "5000"), ""},
        {"SameAddressOtherPort", File("0", "1", "127.0.0.2", "5000", "127.0.0.2", "5001"), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SettingsVerdict verdict = CheckSettings(SettingsFromText(c.file));
        EXPECT_EQ(verdict.plan.has_value(), c.refusal.empty());
        if (!c.refusal.empty()) {
            EXPECT_EQ(verdict.refusal.Describe(), c.refusal);
        }
    }
    // Whether an address is this machine's is asked of the test given.
    const StoredSettings wildcard =
        SettingsFromText(File("0", "1", "0.0.0.0", "5000", "192.0.2.7", "5000"));
    EXPECT_TRUE(CheckSettings(wildcard).plan.has_value());
    EXPECT_FALSE(CheckSettings(wildcard, [](const Endpoint&) { return true; }).plan.has_value());
}

} // namespace
