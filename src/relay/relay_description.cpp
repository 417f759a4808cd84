#include "relay/relay_description.h"

namespace {

std::string Counts(std::uint64_t bytes, std::uint64_t datagrams, std::uint64_t cut,
                   RelayProtocol protocol) {
    std::string text = std::to_string(bytes) + " 字节";
    if (protocol == RelayProtocol::Udp) {
        text += ", " + std::to_string(datagrams) + " 个数据报";
        if (cut != 0) {
            text += ", 其中 " + std::to_string(cut) + " 个数据报超过 4095 字节, 已截断";
        }
    }
    return text;
}

// Connections closed or datagrams dropped because their source is not allowed.
std::string RefusedText(std::uint64_t refused, RelayProtocol protocol) {
    return protocol == RelayProtocol::Udp
               ? "丢弃不允许来源的数据报 " + std::to_string(refused) + " 个"
               : "拒绝不允许来源的连接 " + std::to_string(refused) + " 个";
}

} // namespace

std::string DescribePlan(const RelayPlan& plan) {
    return std::string(plan.mode == RelayMode::ClientToServer ? "客户端到服务器端"
                                                              : "服务器端到客户端") +
           ", " + (plan.protocol == RelayProtocol::Udp ? "UDP" : "TCP") + ", " +
           SideEndpointText(RelaySide::Client, plan.EndpointOf(RelaySide::Client)) + ", " +
           SideEndpointText(RelaySide::Server, plan.EndpointOf(RelaySide::Server)) + ", " +
           (plan.forward == ForwardMode::Bytes ? "原样转发" : "按文本转发") +
           ", 允许的来源: " + AllowedSourcesText(plan.allowed);
}

std::string DescribeStatus(const RelayStatus& status, RelayProtocol protocol) {
    std::string where;
    switch (status.stage) {
    case RelayStage::Starting:
        where = "正在启动";
        break;
    case RelayStage::Waiting:
        where = (protocol == RelayProtocol::Udp ? "正在接收数据报: " : "等待连接: ") +
                SideEndpointText(status.waitSide, status.waitEndpoint);
        break;
    case RelayStage::Relaying:
        where = "正在转发, 来自 " + EndpointText(status.peer);
        break;
    case RelayStage::Ended:
        where = "已结束";
        break;
    }
    if (protocol == RelayProtocol::Udp && !status.peer.Empty()) {
        where += ", 最近来自 " + EndpointText(status.peer);
    }
    std::string text =
        where + ", 已转发 " +
        Counts(status.bytesForwarded, status.datagramsForwarded, status.datagramsCut, protocol);
    if (status.refused != 0) {
        text += ", " + RefusedText(status.refused, protocol);
    }
    return text;
}
std::string DescribeTotals(const RelayOutcome& outcome, RelayProtocol protocol) {
    std::string text = "共转发 " + Counts(outcome.bytesForwarded, outcome.datagramsForwarded,
                                          outcome.datagramsCut, protocol);
    if (outcome.refused != 0) {
        text += ", " + RefusedText(outcome.refused, protocol);
    }
    return text;
}
