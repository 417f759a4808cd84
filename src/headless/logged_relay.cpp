#include "headless/logged_relay.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <utility>

#include "headless/service_manager.h"
#include "platform/error_reason.h"
#include "relay/relay_description.h"
#include "relay/relay_sockets.h"

namespace {

// A released relay ends within its finishing and closing bounds; this only keeps a stuck one from
// holding the exit for ever.
constexpr std::chrono::milliseconds kRelayEndBound(3000);

std::string Describe(const RelayEvent& event, RelayProtocol protocol) {
    switch (event.kind) {
    case RelayEvent::Kind::Listening:
        return "等待连接: " + SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Accepted:
        return "已接受连接: 来自 " + EndpointText(event.peer) + ", 在 " +
               SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Resumed:
        return "已接续: 来自 " + EndpointText(event.peer) + " 的连接, 在 " +
               SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Connected:
        return "已连接: " + SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Receiving:
        return "等待数据报: " + SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Refused:
        return "拒绝来源 " + EndpointText(event.peer) + " (不在允许的来源中), 在 " +
               SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::RefusedMore:
        return (protocol == RelayProtocol::Udp ? "又丢弃了 " : "又拒绝了 ") +
               std::to_string(event.count) +
               (protocol == RelayProtocol::Udp ? " 个不允许来源的数据报, 在 "
                                               : " 个不允许来源的连接, 在 ") +
               SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::TextCut:
        return "按文本转发: 第一个零字节之后的数据未转发; 二进制数据请选 原样转发";
    }
    return "";
}

// Data the relay left out is worth a warning: a binary stream relayed as text loses most of it.
LogLevel LevelOf(const RelayEvent& event) {
    return event.kind == RelayEvent::Kind::TextCut ? LogLevel::Warning : LogLevel::Info;
}

LogLevel LevelOf(const RelayOutcome& outcome) {
    if (outcome.end == RelayEnd::SetupFailed) {
        return LogLevel::Error;
    }
    return outcome.error != 0 ? LogLevel::Warning : LogLevel::Info;
}

} // namespace

LoggedRelay::~LoggedRelay() {
    if (m_relay) {
        Stop({});
    }
}

void LoggedRelay::Start(const RelayPlan& plan, bool announce) {
    if (announce) {
        m_log.Info("已启动: " + DescribePlan(plan));
        // Going on from the process before is no start: its count and time go on.
        if (!std::exchange(m_carriedOn, false)) {
            ++m_starts;
            m_startTime = std::time(nullptr);
        }
    }
    m_relay = std::make_unique<Relay>(
        plan, [this, protocol = plan.protocol](const RelayEvent& event) { Told(event, protocol); },
        m_head, &m_kept);
}

void LoggedRelay::Told(const RelayEvent& event, RelayProtocol protocol) {
    m_log.Line(LevelOf(event), Describe(event, protocol));
    if (event.kind == RelayEvent::Kind::Listening || event.kind == RelayEvent::Kind::Receiving ||
        event.kind == RelayEvent::Kind::Resumed) {
        NotifyReady();
    }
    if (event.kind == RelayEvent::Kind::Connected) {
        m_streams.fetch_add(1, std::memory_order_relaxed);
    }
}

RelayOutcome LoggedRelay::Stop(const std::string& why) {
    m_relay->Stop();
    // Released, the relay makes no listener any more: the kept one is this thread's to shut.
    StopListening(m_kept.endpointSocket);
    if (!why.empty()) {
        m_log.Info(why);
    }
    return Finish();
}

RelayOutcome LoggedRelay::Finish() {
    return End(true);
}

RelayOutcome LoggedRelay::End(bool sayHandOver) {
    if (!m_relay->WaitUntilEnded(kRelayEndBound)) {
        m_log.Warning("转发线程未能及时结束");
    }
    const RelayOutcome outcome = m_relay->Outcome();
    if (sayHandOver || outcome.end != RelayEnd::HandedOver) {
        m_log.Line(LevelOf(outcome), "已结束: " + DescribeRelayEnd(outcome));
        m_log.Info(DescribeTotals(outcome, m_relay->Plan().protocol));
    }
    m_ended += outcome;
    m_head = m_relay->Head();
    m_relay.reset();
    return outcome;
}

void LoggedRelay::Replan(const RelayPlan& plan) {
    m_relay->HandOver();
    // Handed on within the process, the stream goes on and has no end to say; one that ended
    // meanwhile has.
    End(false);
    Start(plan, true);
}

HandoverState LoggedRelay::HandOver() {
    HandoverState state;
    state.plan = m_relay->Plan();
    m_relay->HandOver();
    Finish();
    state.totals = m_ended;
    state.streams = m_streams.load(std::memory_order_relaxed);
    state.starts = m_starts;
    state.startTime = m_startTime;
    state.head = m_head;
    if (m_kept.stream) {
        state.peer = m_kept.stream->peer;
        state.unsent = m_kept.stream->unsent;
    }
    return state;
}

void LoggedRelay::TakeOver(const HandoverState& state) {
    m_ended = state.totals;
    m_streams.store(state.streams, std::memory_order_relaxed);
    m_starts = state.starts;
    m_startTime = state.startTime;
    m_head = state.head;
    m_carriedOn = true;
}

RelayMetrics LoggedRelay::Metrics() const {
    RelayMetrics metrics;
    metrics.totals = m_ended;
    metrics.streams = m_streams.load(std::memory_order_relaxed);
    metrics.starts = m_starts;
    metrics.startTime = m_startTime;
    if (m_relay) {
        const RelayStatus status = m_relay->Status();
        metrics.totals += status;
        metrics.connected = status.stage == RelayStage::Relaying;
        metrics.plan = m_relay->Plan();
        metrics.listening =
            status.waitEndpoint.Empty() ? metrics.plan.waitEndpoint : status.waitEndpoint;
    }
    return metrics;
}

void LoggedRelay::NotifyReady() {
    if (!m_ready.exchange(true) && !NotifyServiceManager("READY=1") && errno != ENOENT) {
        m_log.Warning("无法通知 systemd 已就绪: " + ErrorReasonText(errno));
    }
}
