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

} // namespace

std::string DescribePlan(const RelayPlan& plan) {
    return std::string(plan.mode == RelayMode::ClientToServer ? "客户端到服务器端"
                                                              : "服务器端到客户端") +
           ", " + (plan.protocol == RelayProtocol::Udp ? "UDP" : "TCP") + ", " +
           SideEndpointText(RelaySide::Client, plan.EndpointOf(RelaySide::Client)) + ", " +
           SideEndpointText(RelaySide::Server, plan.EndpointOf(RelaySide::Server));
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
    return where + ", 已转发 " +
           Counts(status.bytesForwarded, status.datagramsForwarded, status.datagramsCut, protocol);
}

std::string DescribeTotals(const RelayOutcome& outcome, RelayProtocol protocol) {
    return "共转发 " + Counts(outcome.bytesForwarded, outcome.datagramsForwarded,
                              outcome.datagramsCut, protocol);
}
