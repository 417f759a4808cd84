#include "headless/headless_relay.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <optional>

#include "config/parameter_checks.h"
#include "config/parameter_file.h"
#include "platform/single_instance.h"
#include "relay/relay.h"

namespace {

// How often the wait for a stop signal looks whether the worker has ended by itself.
constexpr timespec kEndCheckInterval{0, 200'000'000};
// A released worker ends at once; this only keeps a stuck one from holding the exit.
constexpr std::chrono::milliseconds kWorkerEndBound(2000);

// "客户端到服务器端, TCP, 输入网卡 127.0.0.2:5555, 输出网卡 127.0.0.3:6666"
std::string DescribePlan(const RelayPlan& plan) {
    return std::string(plan.mode == RelayMode::ClientToServer ? "客户端到服务器端"
                                                              : "服务器端到客户端") +
           ", " + (plan.protocol == RelayProtocol::Udp ? "UDP" : "TCP") + ", " +
           SideEndpointText(RelaySide::Client, plan.EndpointOf(RelaySide::Client)) + ", " +
           SideEndpointText(RelaySide::Server, plan.EndpointOf(RelaySide::Server));
}

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
    }
    return "";
}

// SIGTERM and SIGINT, blocked in this thread (and so in the worker it starts) and taken by
// sigtimedwait instead of a handler.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGINT);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
    }
    ~StopSignals() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that came within the interval, or 0.
    int Wait(const timespec& interval) const {
        const int signal = sigtimedwait(&m_set, nullptr, &interval);
        return signal > 0 ? signal : 0;
    }

private:
    sigset_t m_set{};
    sigset_t m_previous{};
};

} // namespace

int RunHeadlessRelay(const std::string& applicationName, RelayLog& log) {
    // Taken over from the start, so a stop signal never kills the process half-way.
    const StopSignals stopSignals;
    const SingleInstanceLock instanceLock(applicationName);
    if (!instanceLock.IsFirstInstance()) {
        log.Line("已有一个 " + applicationName + " 在运行, 本实例不再启动");
        return kHeadlessEnded;
    }
    if (!ParameterFileExists(kParameterFilePath)) {
        log.Line(kMissingParameterFileMessage);
        return kMissingParameterFileExitCode;
    }
    const std::optional<Parameters> saved = ReadParameters(kParameterFilePath);
    if (!saved) {
        // What Run says with nothing chosen.
        log.Line(std::string(kNoModeMessage) + " (" + kParameterFilePath + " 中没有保存的设置)");
        return kHeadlessUnusableSettings;
    }
    const std::optional<RelayPlan> plan = PlanFromParameters(*saved);
    if (const std::string refusal = RefusalOf(*saved); !refusal.empty() || !plan) {
        log.Line((refusal.empty() ? std::string(kBadAddressMessage) : refusal) + " (" +
                 kParameterFilePath + ")");
        return kHeadlessUnusableSettings;
    }

    log.Line("已启动: " + DescribePlan(*plan));
    Relay relay(*plan, [&log](const RelayEvent& event) { log.Line(Describe(event)); });

    // Until a stop signal, or the relay's own end. A signal stops as Stop does, without the
    // dialog's pause: the release reaches every call the worker may be blocked in.
    while (!relay.WaitUntilEnded(std::chrono::milliseconds(0))) {
        if (const int signal = stopSignals.Wait(kEndCheckInterval)) {
            log.Line(std::string("收到 ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
                     ", 停止转发");
            relay.Stop();
            break;
        }
    }
    if (!relay.WaitUntilEnded(kWorkerEndBound)) {
        log.Line("转发线程未能及时结束");
    }

    const RelayOutcome outcome = relay.Outcome();
    log.Line("已结束: " + DescribeRelayEnd(outcome));
    std::string totals = "共转发 " + std::to_string(outcome.bytesForwarded) + " 字节";
    if (saved->udp) {
        totals += ", " + std::to_string(outcome.datagramsForwarded) + " 个数据报";
    }
    log.Line(totals);
    return outcome.end == RelayEnd::SetupFailed ? kHeadlessSetupFailed : kHeadlessEnded;
}
