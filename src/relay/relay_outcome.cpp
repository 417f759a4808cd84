#include "relay/relay_outcome.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

std::string EndpointText(const sockaddr_in& endpoint) {
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &endpoint.sin_addr, address, sizeof address);
    return std::string(address) + ":" + std::to_string(ntohs(endpoint.sin_port));
}

std::string SideName(RelaySide side) {
    return side == RelaySide::Client ? "输入网卡" : "输出网卡";
}

std::string SideEndpointText(RelaySide side, const sockaddr_in& endpoint) {
    return SideName(side) + " " + EndpointText(endpoint);
}

std::string ErrorReasonText(int error) {
    switch (error) {
    case EADDRINUSE:
        return "地址已被占用";
    case EADDRNOTAVAIL:
        return "不是本机地址";
    case EACCES:
    case EPERM:
        return "没有权限";
    case ECONNREFUSED:
        return "对方拒绝连接";
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ETIMEDOUT:
        return "无法到达";
    default: {
        char text[256] = {};
        // The GNU form returns the text, which need not be the buffer.
        return ::strerror_r(error, text, sizeof text);
    }
    }
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
