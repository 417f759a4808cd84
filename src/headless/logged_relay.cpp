#include "headless/logged_relay.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <utility>

#include <algorithm>
#include <utility>

#include "headless/service_manager.h"
#include "platform/error_reason.h"
#include "relay/refused_sources.h"
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
    case RelayEvent::Kind::StreamEnded:
        return "已结束: 来自 " + EndpointText(event.peer) + " 的流, " +
               DescribeRelayEnd(event.outcome);
    case RelayEvent::Kind::StreamsWaiting:
        return "同时转发的流已满, 新的连接在监听队列中等待 (现有 " + std::to_string(event.count) +
               " 个), 在 " + SideEndpointText(event.side, event.endpoint) +
               "; 可在参数文件中调大 [Relay] Streams";
    }
    return "";
}

// Data the relay left out is worth a warning: a binary stream relayed as text loses most of it.
LogLevel LevelOf(const RelayEvent& event) {
    return event.kind == RelayEvent::Kind::TextCut || event.kind == RelayEvent::Kind::StreamsWaiting
               ? LogLevel::Warning
               : LogLevel::Info;
}

LogLevel LevelOf(const RelayOutcome& outcome) {
    if (outcome.end == RelayEnd::SetupFailed) {
        return LogLevel::Error;
    }
    return outcome.error != 0 ? LogLevel::Warning : LogLevel::Info;
}

} // namespace

void FailedConnects::Failed(RelayLog& log, const RelayOutcome& outcome, const Endpoint& peer) {
    if (std::find(m_named.begin(), m_named.end(), outcome.error) == m_named.end()) {
        m_named.push_back(outcome.error);
        log.Error("来自 " + EndpointText(peer) + " 的连接无法转发: " +
                  DescribeSetupFailure(outcome) + " (同样的失败之后每分钟最多记一次)");
        return;
    }
    ++m_unsaid;
    m_where = SideEndpointText(outcome.side, outcome.endpoint);
    if (std::chrono::steady_clock::now() - m_lastSummary >= kRefusedSummaryInterval) {
        SayUnsaid(log);
    }
}

void FailedConnects::SayUnsaid(RelayLog& log) {
    if (m_unsaid != 0) {
        log.Warning("又有 " + std::to_string(m_unsaid) + " 个连接因无法连接 " + m_where +
                    " 而未能转发");
    }
    m_unsaid = 0;
    m_lastSummary = std::chrono::steady_clock::now();
}

LoggedRelay::~LoggedRelay() {
    if (m_relay) {
        Stop({});
    }
}

void LoggedRelay::Start(const RelayPlan& plan, StartKind kind) {
    m_bound.store(false, std::memory_order_relaxed);
    m_relay = std::make_unique<Relay>(
        plan, [this, plan, kind](const RelayEvent& event) { Told(event, plan, kind); }, m_head,
        &m_kept);
}

void LoggedRelay::Told(const RelayEvent& event, const RelayPlan& plan, StartKind kind) {
    using Kind = RelayEvent::Kind;
    const bool bound = event.kind == Kind::Listening || event.kind == Kind::Receiving ||
                       event.kind == Kind::Resumed;
    if (bound && !m_bound.exchange(true)) {
        // Started only now that its endpoint is there: a bind that fails starts nothing.
        if (kind == StartKind::NewPlan) {
            m_log.Info("已启动: " + DescribePlan(plan));
            // Going on from the process before is no start: its count and time go on.
            if (!std::exchange(m_carriedOn, false)) {
                m_starts.fetch_add(1, std::memory_order_relaxed);
                m_startTime.store(std::time(nullptr), std::memory_order_relaxed);
            }
        }
        NotifyReady();
    }
    if (plan.protocol == RelayProtocol::Tcp && plan.streams > 1) {
        return ToldOfStreams(event, plan, kind);
    }
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    switch (event.kind) {
    case Kind::Listening:
        if (kind == StartKind::Replanned || !m_sayWaiting) {
            return;
        }
        break;
    case Kind::Resumed: {
        // A stream this process goes on with: from the relay before in this process it keeps its
        // beginning; one handed over by the process before begins here.
        std::int64_t none = 0;
        m_streamBegan.compare_exchange_strong(none, now, std::memory_order_relaxed);
        if (kind == StartKind::Replanned) {
            return;
        }
        break;
    }
    case Kind::Accepted: {
        // Said with the connection to the other side: a connect that fails names the peer itself.
        const std::lock_guard lock(m_acceptedMutex);
        m_accepted = Describe(event, plan.protocol);
        m_acceptedPeer = event.peer;
        return;
    }
    case Kind::Connected: {
        m_streams.fetch_add(1, std::memory_order_relaxed);
        m_streamBegan.store(now, std::memory_order_relaxed);
        const std::lock_guard lock(m_acceptedMutex);
        if (!m_accepted.empty()) {
            m_log.Info(m_accepted);
            m_accepted.clear();
        }
        break;
    }
    default:
        break;
    }
    m_log.Line(LevelOf(event), Describe(event, plan.protocol));
}

void LoggedRelay::ToldOfStreams(const RelayEvent& event, const RelayPlan& plan, StartKind kind) {
    using Kind = RelayEvent::Kind;
    switch (event.kind) {
    case Kind::Listening:
    case Kind::Resumed:
        if (kind == StartKind::Replanned) {
            return;
        }
        break;
    case Kind::Connected:
        m_streams.fetch_add(1, std::memory_order_relaxed);
        m_log.Info("已接受连接: 来自 " + EndpointText(event.peer) + ", 在 " +
                   SideEndpointText(event.side, event.endpoint));
        m_log.Info("已连接: " + SideEndpointText(plan.OtherSide(), plan.otherEndpoint));
        return;
    case Kind::StreamEnded: {
        const RelayOutcome& outcome = event.outcome;
        const std::lock_guard lock(m_countsMutex);
        if (outcome.end == RelayEnd::SetupFailed) {
            ++m_connectFailures[static_cast<std::size_t>(ConnectFailureOf(outcome.error))];
            m_failedConnects.Failed(m_log, outcome, event.peer);
            return;
        }
        ++m_streamEnds[static_cast<std::size_t>(StreamEndReasonOf(outcome))];
        m_durations.Observe(event.seconds);
        m_log.Line(LevelOf(outcome), Describe(event, plan.protocol));
        m_log.Info(DescribeTotals(outcome, plan.protocol));
        return;
    }
    case Kind::StreamsWaiting:
        // Once: a relay that is often full would otherwise say it all day.
        if (m_saidStreamsWaiting.exchange(true)) {
            return;
        }
        break;
    default:
        break;
    }
    m_log.Line(LevelOf(event), Describe(event, plan.protocol));
}

RelayOutcome LoggedRelay::Stop(const std::string& why, Door door) {
    m_relay->Stop();
    // Released, the relay makes no listener any more: the kept one is this thread's to shut.
    if (door == Door::Close) {
        StopListening(m_kept.endpointSocket);
    }
    if (!why.empty()) {
        m_log.Info(why);
    }
    const RelayOutcome outcome = Finish();
    const std::lock_guard lock(m_countsMutex);
    m_failedConnects.SayUnsaid(m_log);
    return outcome;
}

RelayOutcome LoggedRelay::Finish() {
    return End(true);
}

RelayOutcome LoggedRelay::End(bool sayHandOver) {
    if (!m_relay->WaitUntilEnded(kRelayEndBound)) {
        m_log.Warning("转发线程未能及时结束");
    }
    const RelayOutcome outcome = m_relay->Outcome();
    LogEnd(outcome, sayHandOver);
    m_ended += outcome;
    // Not said in the log, a hand-over goes on in this process.
    CountEnd(outcome, !sayHandOver);
    m_head = m_relay->Head();
    m_relay.reset();
    return outcome;
}

void LoggedRelay::LogEnd(const RelayOutcome& outcome, bool sayHandOver) {
    std::string accepted;
    Endpoint peer;
    {
        const std::lock_guard lock(m_acceptedMutex);
        accepted = std::exchange(m_accepted, {});
        peer = m_acceptedPeer;
    }
    const bool failedConnect =
        outcome.end == RelayEnd::SetupFailed && outcome.step == SetupStep::Connect;
    m_sayWaiting = !failedConnect;
    if (failedConnect) {
        const std::lock_guard lock(m_countsMutex);
        m_failedConnects.Failed(m_log, outcome, peer);
        return;
    }
    if (!accepted.empty()) {
        m_log.Info(accepted); // the connection came, and the relay ended before it connected out
    }
    if (!m_bound.load(std::memory_order_relaxed) && outcome.end == RelayEnd::SetupFailed) {
        // It never started: nothing ended and nothing was forwarded.
        m_log.Error("无法启动: " + DescribeSetupFailure(outcome));
        return;
    }
    if (sayHandOver || outcome.end != RelayEnd::HandedOver) {
        m_log.Line(LevelOf(outcome), "已结束: " + DescribeRelayEnd(outcome));
        m_log.Info(DescribeTotals(outcome, m_relay->Plan().protocol));
    }
}

void LoggedRelay::CountEnd(const RelayOutcome& outcome, bool goesOnHere) {
    const std::lock_guard lock(m_countsMutex);
    if (outcome.end == RelayEnd::SetupFailed && outcome.step == SetupStep::Connect) {
        ++m_connectFailures[static_cast<std::size_t>(ConnectFailureOf(outcome.error))];
    }
    const std::int64_t began = m_streamBegan.load(std::memory_order_relaxed);
    if (began == 0 || (goesOnHere && outcome.end == RelayEnd::HandedOver)) {
        return;
    }
    m_streamBegan.store(0, std::memory_order_relaxed);
    const StreamEndReason reason = StreamEndReasonOf(outcome);
    ++m_streamEnds[static_cast<std::size_t>(reason)];
    // A stream handed on has not ended: the next process times it.
    if (reason != StreamEndReason::HandedOn) {
        const std::chrono::steady_clock::duration lasted =
            std::chrono::steady_clock::now().time_since_epoch() -
            std::chrono::steady_clock::duration(began);
        m_durations.Observe(std::chrono::duration<double>(lasted).count());
    }
}

void LoggedRelay::Replan(const RelayPlan& plan) {
    m_relay->HandOver();
    // Handed on within the process, the stream goes on and has no end to say; one that ended
    // meanwhile has.
    End(false);
    Start(plan, StartKind::Replanned);
}

HandoverState LoggedRelay::HandOver() {
    HandoverState state;
    state.plan = m_relay->Plan();
    m_relay->HandOver();
    Finish();
    state.totals = m_ended;
    state.streams = m_streams.load(std::memory_order_relaxed);
    state.starts = m_starts.load(std::memory_order_relaxed);
    state.startTime = m_startTime.load(std::memory_order_relaxed);
    state.head = m_head;
    state.streamEnds = m_streamEnds;
    state.connectFailures = m_connectFailures;
    state.durations = m_durations;
    // One list, whichever relay left them: the one stream at a time, or several.
    if (m_kept.stream) {
        m_kept.streams.insert(m_kept.streams.begin(), std::move(*m_kept.stream));
        m_kept.stream.reset();
    }
    for (const LiveStream& stream : m_kept.streams) {
        state.handed.push_back({stream.peer, stream.unsent});
    }
    return state;
}

void LoggedRelay::TakeOver(const HandoverState& state) {
    m_ended = state.totals;
    m_streams.store(state.streams, std::memory_order_relaxed);
    m_starts.store(state.starts, std::memory_order_relaxed);
    m_startTime.store(state.startTime, std::memory_order_relaxed);
    m_head = state.head;
    m_streamEnds = state.streamEnds;
    m_connectFailures = state.connectFailures;
    m_durations = state.durations;
    m_carriedOn = true;
}

RelayMetrics LoggedRelay::Metrics() const {
    RelayMetrics metrics;
    metrics.totals = m_ended;
    metrics.streams = m_streams.load(std::memory_order_relaxed);
    metrics.starts = m_starts.load(std::memory_order_relaxed);
    metrics.startTime = m_startTime.load(std::memory_order_relaxed);
    {
        const std::lock_guard lock(m_countsMutex);
        metrics.streamEnds = m_streamEnds;
        metrics.connectFailures = m_connectFailures;
        metrics.durations = m_durations;
    }
    metrics.process = ReadProcessFigures();
    if (m_relay) {
        const RelayStatus status = m_relay->Status();
        metrics.totals += status;
        metrics.connected = m_relay->Plan().streams > 1            ? status.streamsConnected
                            : status.stage == RelayStage::Relaying ? 1
                                                                   : 0;
        metrics.waiting = status.streamsWaiting;
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
