#include "headless/headless_relay.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <optional>

#include "config/parameter_checks.h"
#include "config/parameter_file.h"
#include "platform/single_instance.h"
#include "relay/relay.h"
#include "relay/relay_description.h"

namespace {

// How often the wait for a signal looks whether the relay has ended by itself.
constexpr timespec kEndCheckInterval{0, 200'000'000};
// A released relay ends within its finishing and closing bounds; this only keeps a stuck one from
// holding the exit for ever.
constexpr std::chrono::milliseconds kRelayEndBound(3000);

std::string Describe(const RelayEvent& event) {
    switch (event.kind) {
    case RelayEvent::Kind::Listening:
        return "等待连接: " + SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Accepted:
        return "已接受连接: 来自 " + EndpointText(event.peer) + ", 在 " +
               SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Connected:
        return "已连接: " + SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Receiving:
        return "等待数据报: " + SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::Refused:
        return "拒绝来源 " + EndpointText(event.peer) + " (不在允许的来源中), 在 " +
               SideEndpointText(event.side, event.endpoint);
    case RelayEvent::Kind::RefusedMore:
        return "又丢弃了 " + std::to_string(event.count) + " 个不允许来源的数据报, 在 " +
               SideEndpointText(event.side, event.endpoint);
    }
    return "";
}

// The signals the relay answers, blocked in this thread (and so in the relay threads it starts)
// and taken by sigtimedwait instead of handlers, so none of them can kill the process half-way.
class RelaySignals {
public:
    RelaySignals() {
        sigemptyset(&m_set);
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGPIPE}) {
            sigaddset(&m_set, signal);
        }
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
    }
    ~RelaySignals() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    RelaySignals(const RelaySignals&) = delete;
    RelaySignals& operator=(const RelaySignals&) = delete;

    // The signal that came within the interval, or 0.
    int Wait(const timespec& interval) const {
        const int signal = sigtimedwait(&m_set, nullptr, &interval);
        return signal > 0 ? signal : 0;
    }

private:
    sigset_t m_set{};
    sigset_t m_previous{};
};

// The plan the parameter file in the current directory gives, or what is wrong with it, in the
// dialog's words where the dialog has some.
struct PlanReading {
    std::optional<RelayPlan> plan;
    std::string problem;
    int exitCode = kHeadlessEnded;
};

PlanReading ReadPlan() {
    if (!ParameterFileExists(kParameterFilePath)) {
        return {std::nullopt, kMissingParameterFileMessage, kMissingParameterFileExitCode};
    }
    const std::optional<Parameters> saved = ReadParameters(kParameterFilePath);
    if (!saved) {
        // What Run says with nothing chosen.
        return {std::nullopt,
                std::string(kNoModeMessage) + " (" + kParameterFilePath + " 中没有保存的设置)",
                kHeadlessUnusableSettings};
    }
    const ForwardingSettings forwarding = ReadForwardingSettings(kParameterFilePath);
    const std::optional<RelayPlan> plan = PlanFromParameters(*saved, forwarding);
    if (const std::string refusal = RefusalOf(*saved, forwarding); !refusal.empty() || !plan) {
        return {std::nullopt,
                (refusal.empty() ? std::string(kBadAddressMessage) : refusal) + " (" +
                    kParameterFilePath + ")",
                kHeadlessUnusableSettings};
    }
    return {plan, {}, kHeadlessEnded};
}

// One relay at a time, started from a plan and ended with its totals in the log.
class LoggedRelay {
public:
    explicit LoggedRelay(RelayLog& log) : m_log(log) {}

    void Start(const RelayPlan& plan) {
        m_log.Line("已启动: " + DescribePlan(plan));
        m_relay = std::make_unique<Relay>(
            plan, [this](const RelayEvent& event) { m_log.Line(Describe(event)); });
    }

    // Stops the relay when `stop`, waits for its end and logs how it ended. Its outcome.
    RelayOutcome End(bool stop) {
        if (stop) {
            m_relay->Stop();
        }
        if (!m_relay->WaitUntilEnded(kRelayEndBound)) {
            m_log.Line("转发线程未能及时结束");
        }
        const RelayOutcome outcome = m_relay->Outcome();
        m_log.Line("已结束: " + DescribeRelayEnd(outcome));
        m_log.Line(DescribeTotals(outcome, m_relay->Plan().protocol));
        m_relay.reset();
        return outcome;
    }

    bool EndedByItself() const { return m_relay->WaitUntilEnded(std::chrono::milliseconds(0)); }
    const Relay& Running() const { return *m_relay; }

private:
    RelayLog& m_log;
    std::unique_ptr<Relay> m_relay;
};

const char* SignalName(int signal) {
    switch (signal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGPIPE:
        return "SIGPIPE";
    }
    return "?";
}

// SIGHUP: the file is read again; only a plan that differs ends the running relay, and only in
// favour of a plan that can start.
void Reload(LoggedRelay& relay, RelayLog& log) {
    const PlanReading reading = ReadPlan();
    if (!reading.plan) {
        log.Line("收到 SIGHUP, 参数文件不可用, 继续按原设置转发: " + reading.problem);
    } else if (*reading.plan == relay.Running().Plan()) {
        log.Line("收到 SIGHUP, 设置未改变, 继续转发");
    } else {
        log.Line("收到 SIGHUP, 设置已改变, 按新设置重新启动转发");
        relay.End(true);
        relay.Start(*reading.plan);
    }
}

} // namespace

int RunHeadlessRelay(const std::string& applicationName, RelayLog& log) {
    // Taken over from the start, so no signal kills the process half-way.
    const RelaySignals signals;
    const SingleInstanceLock instanceLock(applicationName);
    if (!instanceLock.IsFirstInstance()) {
        log.Line("已有一个 " + applicationName + " 在运行, 本实例不再启动");
        return kHeadlessEnded;
    }
    const PlanReading reading = ReadPlan();
    if (!reading.plan) {
        log.Line(reading.problem);
        return reading.exitCode;
    }

    LoggedRelay relay(log);
    relay.Start(*reading.plan);
    // Until a stop signal, or the relay's own end. A stop signal stops as Stop does, without the
    // dialog's pause.
    bool stop = false;
    while (!stop && !relay.EndedByItself()) {
        switch (const int signal = signals.Wait(kEndCheckInterval)) {
        case 0:
            break;
        case SIGTERM:
        case SIGINT:
            log.Line(std::string("收到 ") + SignalName(signal) + ", 停止转发");
            stop = true;
            break;
        case SIGHUP:
            Reload(relay, log);
            break;
        case SIGUSR1:
            log.Line("收到 SIGUSR1, " +
                     DescribeStatus(relay.Running().Status(), relay.Running().Plan().protocol));
            break;
        default:
            log.Line(std::string("收到 ") + SignalName(signal) + ", 已忽略");
            break;
        }
    }
    const RelayOutcome outcome = relay.End(stop);
    return outcome.end == RelayEnd::SetupFailed ? kHeadlessSetupFailed : kHeadlessEnded;
}
