#include "relay/relay_outcome.h"

#include <algorithm>
#include <cerrno>

#include "platform/error_reason.h"

std::string SideName(RelaySide side) {
    return side == RelaySide::Client ? "输入网卡" : "输出网卡";
}

std::string SideEndpointText(RelaySide side, const Endpoint& endpoint) {
    return SideName(side) + " " + EndpointText(endpoint);
}

namespace {

// How an established connection fails once its peer is gone without a word: its probes or its
// data went unanswered, or the way to it was found broken meanwhile.
bool PeerVanished(int error) {
    return error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH;
}

const char* StepText(SetupStep step) {
    switch (step) {
    case SetupStep::Socket:
        return "无法创建套接字";
    case SetupStep::Bind:
        return "无法绑定";
    case SetupStep::Listen:
        return "无法监听";
    case SetupStep::Accept:
        return "无法接受连接";
    case SetupStep::Connect:
        return "无法连接";
    case SetupStep::Wake:
        return "无法创建唤醒描述符";
    }
    return "";
}

} // namespace

std::string DescribeSetupFailure(const RelayOutcome& outcome) {
    return SideEndpointText(outcome.side, outcome.endpoint) + " " + StepText(outcome.step) + ": " +
           ErrorReasonText(outcome.error);
}

std::string DescribeRelayEnd(const RelayOutcome& outcome) {
    switch (outcome.end) {
    case RelayEnd::Running:
        return "正在运行";
    case RelayEnd::SetupFailed:
        return DescribeSetupFailure(outcome);
    case RelayEnd::SourceClosed:
    case RelayEnd::DestinationGone:
        break;
    case RelayEnd::HandedOver:
        return "已交给下一个进程, 连接继续";
    case RelayEnd::Stopped:
        return "已停止";
    case RelayEnd::Idle:
        return "空闲超时, 已断开";
    }
    const bool source = outcome.end == RelayEnd::SourceClosed;
    std::string text;
    if (outcome.error == 0) {
        text = source ? "数据源已关闭连接" : "目的端已关闭连接";
    } else if (PeerVanished(outcome.error)) {
        text = outcome.peer.Empty() ? "对端无响应" : "对端无响应: " + EndpointText(outcome.peer);
    } else {
        text = (source ? "接收数据失败: " : "发送数据失败: ") + ErrorReasonText(outcome.error);
    }
    // What was counted as forwarded did not all arrive: how much did.
    if (outcome.unacknowledged != 0) {
        const std::uint64_t acknowledged =
            outcome.bytesForwarded - std::min(outcome.unacknowledged, outcome.bytesForwarded);
        text += ", 已转发的 " + std::to_string(outcome.bytesForwarded) + " 字节中目的端确认收到 " +
                std::to_string(acknowledged) + " 字节";
    }
    return text;
}
