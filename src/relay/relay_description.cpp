#include "relay/relay_description.h"

namespace {

// "1200 字节", and for UDP the datagrams and those cut, then what the text rule left out and the
// refused sources where there are any.
std::string CountsText(const RelayCounts& counts, RelayProtocol protocol) {
    const bool udp = protocol == RelayProtocol::Udp;
    std::string text = std::to_string(counts.bytesForwarded) + " 字节";
    if (udp) {
        text += ", " + std::to_string(counts.datagramsForwarded) + " 个数据报";
        if (counts.datagramsCut != 0) {
            text +=
                ", 其中 " + std::to_string(counts.datagramsCut) + " 个数据报超过 4095 字节, 已截断";
        }
    }
    if (counts.bytesDropped != 0) {
        text += ", 零字节之后未转发 " + std::to_string(counts.bytesDropped) + " 字节";
    }
    if (counts.refused != 0) {
        text += udp ? ", 丢弃不允许来源的数据报 " + std::to_string(counts.refused) + " 个"
                    : ", 拒绝不允许来源的连接 " + std::to_string(counts.refused) + " 个";
    }
    return text;
}

} // namespace

std::string ModeName(RelayMode mode) {
    return mode == RelayMode::ClientToServer ? "客户端到服务器端" : "服务器端到客户端";
}

std::string DescribePlan(const RelayPlan& plan) {
    return ModeName(plan.mode) + ", " + (plan.protocol == RelayProtocol::Udp ? "UDP" : "TCP") +
           ", " + SideEndpointText(RelaySide::Client, plan.EndpointOf(RelaySide::Client)) + ", " +
           SideEndpointText(RelaySide::Server, plan.EndpointOf(RelaySide::Server)) + ", " +
           (plan.forward == ForwardMode::Bytes ? "原样转发" : "按文本转发") +
           ", 允许的来源: " + AllowedSourcesText(plan.allowed) +
           (plan.idleLimit.count() != 0 && plan.protocol == RelayProtocol::Tcp
                ? ", 空闲 " + std::to_string(plan.idleLimit.count()) + " 秒后断开"
                : "") +
           (plan.streams > 1 && plan.protocol == RelayProtocol::Tcp
                ? ", 同时最多 " + std::to_string(plan.streams) + " 个流"
                : "");
}

std::string DescribeDirection(const RelayPlan& plan) {
    const bool tcp = plan.protocol == RelayProtocol::Tcp;
    const RelaySide from = plan.SourceSide();
    const RelaySide to = from == RelaySide::Client ? RelaySide::Server : RelaySide::Client;
    return std::string(tcp ? "TCP: 在 " : "UDP: 在 ") + SideName(plan.waitSide) +
           (tcp ? " 监听, 连接 " : " 绑定, 发往 ") + SideName(plan.OtherSide()) + "; 数据 " +
           SideName(from) + " → " + SideName(to);
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
    return where + ", 已转发 " + CountsText(status, protocol);
}

std::string DescribeTotals(const RelayOutcome& outcome, RelayProtocol protocol) {
    return "共转发 " + CountsText(outcome, protocol);
}
