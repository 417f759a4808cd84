#include "relay/relay_outcome.h"

#include "platform/error_reason.h"

std::string SideName(RelaySide side) {
    return side == RelaySide::Client ? "输入网卡" : "输出网卡";
}

std::string SideEndpointText(RelaySide side, const Endpoint& endpoint) {
    return SideName(side) + " " + EndpointText(endpoint);
}

namespace {

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
        return outcome.error == 0 ? "数据源已关闭连接"
                                  : "接收数据失败: " + ErrorReasonText(outcome.error);
    case RelayEnd::DestinationGone:
        return outcome.error == 0 ? "目的端已关闭连接"
                                  : "发送数据失败: " + ErrorReasonText(outcome.error);
    case RelayEnd::Stopped:
        return "已停止";
    }
    return "";
}
