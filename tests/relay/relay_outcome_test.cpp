#include "relay/relay_outcome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>

#include "relay_test_peers.h"

namespace {

using relaytest::EndpointAt;

struct FailureCase {
    const char* name;
    RelaySide side;
    SetupStep step;
    int error;
    std::string expected;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class SetupFailureTextTest : public ::testing::TestWithParam<FailureCase> {};

// What the operator reads: side, endpoint, step and reason, in Chinese.
TEST_P(SetupFailureTextTest, NamesSideEndpointStepAndReason) {
    const FailureCase& c = GetParam();
    RelayOutcome outcome;
    outcome.end = RelayEnd::SetupFailed;
    outcome.side = c.side;
    outcome.step = c.step;
    outcome.endpoint = EndpointAt(c.side == RelaySide::Client ? "127.0.0.2" : "127.0.0.3",
                                  c.side == RelaySide::Client ? 5555 : 6000);
    outcome.error = c.error;
    EXPECT_EQ(DescribeSetupFailure(outcome), c.expected);
    EXPECT_EQ(DescribeRelayEnd(outcome), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, SetupFailureTextTest,
    ::testing::Values(FailureCase{"InUse", RelaySide::Client, SetupStep::Bind, EADDRINUSE,
                                  "输入网卡 127.0.0.2:5555 无法绑定: 地址已被占用"},
                      FailureCase{"NotLocal", RelaySide::Server, SetupStep::Bind, EADDRNOTAVAIL,
                                  "输出网卡 127.0.0.3:6000 无法绑定: 不是本机地址"},
                      FailureCase{"NoPermission", RelaySide::Client, SetupStep::Bind, EACCES,
                                  "输入网卡 127.0.0.2:5555 无法绑定: 没有权限"},
                      FailureCase{"Refused", RelaySide::Server, SetupStep::Connect, ECONNREFUSED,
                                  "输出网卡 127.0.0.3:6000 无法连接: 对方拒绝连接"},
                      FailureCase{"Unreachable", RelaySide::Client, SetupStep::Connect,
                                  EHOSTUNREACH, "输入网卡 127.0.0.2:5555 无法连接: 无法到达"},
                      FailureCase{"TimedOut", RelaySide::Client, SetupStep::Connect, ETIMEDOUT,
                                  "输入网卡 127.0.0.2:5555 无法连接: 连接超时"},
                      FailureCase{"TooManyFiles", RelaySide::Server, SetupStep::Listen, EMFILE,
                                  "输出网卡 127.0.0.3:6000 无法监听: 打开的文件过多"},
                      FailureCase{"Accept", RelaySide::Server, SetupStep::Accept, ENOBUFS,
                                  "输出网卡 127.0.0.3:6000 无法接受连接: 缓冲区空间不足"},
                      FailureCase{"InvalidArgument", RelaySide::Client, SetupStep::Bind, EINVAL,
                                  "输入网卡 127.0.0.2:5555 无法绑定: 参数无效"}),
    [](const auto& tested) { return std::string(tested.param.name); });

TEST(RelayEndTextTest, SaysHowAStreamEnded) {
    const struct {
        RelayEnd end;
        int error;
        std::string expected;
        std::uint64_t unacknowledged = 0;
    } cases[] = {
        {RelayEnd::SourceClosed, 0, "数据源已关闭连接"},
        {RelayEnd::SourceClosed, ECONNRESET, "接收数据失败: 连接被对方重置"},
        {RelayEnd::DestinationGone, 0, "目的端已关闭连接"},
        {RelayEnd::DestinationGone, EPIPE, "发送数据失败: 连接已断开"},
        {RelayEnd::Stopped, 0, "已停止"},
        {RelayEnd::Idle, 0, "空闲超时, 已断开"},
        // A peer gone without a word, found by probes or unacknowledged data, is named.
        {RelayEnd::SourceClosed, ETIMEDOUT, "对端无响应: 198.51.100.2:40000"},
        {RelayEnd::DestinationGone, ETIMEDOUT, "对端无响应: 198.51.100.2:40000"},
        {RelayEnd::DestinationGone, EHOSTUNREACH, "对端无响应: 198.51.100.2:40000"},
        // What the destination never acknowledged did not arrive: the line says how much did.
        {RelayEnd::DestinationGone, ETIMEDOUT,
         "对端无响应: 198.51.100.2:40000, 已转发的 5000 字节中目的端确认收到 1200 字节", 3800},
        {RelayEnd::DestinationGone, EPIPE,
         "发送数据失败: 连接已断开, 已转发的 5000 字节中目的端确认收到 0 字节", 5000},
    };
    for (const auto& c : cases) {
        RelayOutcome outcome;
        outcome.end = c.end;
        outcome.error = c.error;
        outcome.peer = EndpointAt("198.51.100.2", 40000);
        outcome.bytesForwarded = 5000;
        outcome.unacknowledged = c.unacknowledged;
        EXPECT_EQ(DescribeRelayEnd(outcome), c.expected);
    }
}

// Every reason is said in Chinese, never in the system's English: whatever the error number, the
// text has no Latin letter in it.
TEST(RelayEndTextTest, EveryReasonIsInChinese) {
    for (int error = 1; error < 200; ++error) {
        RelayOutcome outcome;
        outcome.end = RelayEnd::SetupFailed;
        outcome.step = SetupStep::Bind;
        outcome.endpoint = EndpointAt("127.0.0.2", 5555);
        outcome.error = error;
        const std::string text = DescribeRelayEnd(outcome);
        EXPECT_FALSE(
            std::any_of(text.begin(), text.end(),
                        [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
            << error << ": " << text;
    }
}

} // namespace
