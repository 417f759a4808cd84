#include "headless/headless_relay.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <optional>

#include "app/input_checks.h"
#include "config/parameter_file.h"
#include "platform/scan_unsigned.h"
#include "platform/single_instance.h"
#include "relay/relay_control.h"
#include "relay/relay_sockets.h"
#include "relay/relay_state.h"
#include "relay/relay_workers.h"

namespace {

// How often the wait for a stop signal looks whether the worker has ended by itself.
constexpr timespec kEndCheckInterval{0, 200'000'000};
// A released worker ends at once; this only keeps a stuck one from holding the exit.
constexpr std::chrono::milliseconds kWorkerEndBound(2000);

RelayWorkerProc WorkerFor(const SavedParameters& saved) {
    if (saved.clientToServer) {
        return saved.udp ? UdpClientToServerThread : TcpClientToServerThread;
    }
    return saved.udp ? UdpServerToClientThread : TcpServerToClientThread;
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

// What the dialog would say of these settings: Run's address check, then the data exchange's
// range check of the ports. Empty when they can be used.
std::string RefusalOf(const SavedParameters& saved) {
    if (!IsValidIpText(saved.clientAddress) || !IsValidIpText(saved.serverAddress)) {
        return kBadAddressMessage;
    }
    for (const std::int32_t port : {saved.clientPort, saved.serverPort}) {
        if (port < 0 || static_cast<std::uint32_t>(port) > kLargestPort) {
            return OutOfRangeMessage(0, kLargestPort);
        }
    }
    return {};
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

bool StillRunning() {
    const std::optional<RelayOutcome> outcome = LastRelayOutcome();
    return outcome && outcome->end == RelayEnd::Running;
}

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
    const std::optional<SavedParameters> saved = ReadSavedParameters(kParameterFilePath);
    if (!saved) {
        // What Run says with nothing chosen.
        log.Line(std::string(kNoModeMessage) + " (" + kParameterFilePath + " 中没有保存的设置)");
        return kHeadlessUnusableSettings;
    }
    if (const std::string refusal = RefusalOf(*saved); !refusal.empty()) {
        log.Line(refusal + " (" + kParameterFilePath + ")");
        return kHeadlessUnusableSettings;
    }

    const RelaySettings settings{saved->clientAddress, saved->serverAddress, saved->clientPort,
                                 saved->serverPort};
    g_relaySettings.Set(settings);
    log.Line(std::string("已启动: ") +
             (saved->clientToServer ? "客户端到服务器端" : "服务器端到客户端") + ", " +
             (saved->udp ? "UDP" : "TCP") + ", " +
             SideEndpointText(RelaySide::Client, SideEndpoint(settings, RelaySide::Client)) + ", " +
             SideEndpointText(RelaySide::Server, SideEndpoint(settings, RelaySide::Server)));
    g_stopRelay = 0;
    StartRelayWorker(WorkerFor(*saved),
                     [&log](const RelayEvent& event) { log.Line(Describe(event)); });

    // Until a stop signal, or the worker's own end. A signal stops as Stop does, without the
    // dialog's pause: the release reaches every call the worker may be blocked in.
    while (StillRunning()) {
        if (const int signal = stopSignals.Wait(kEndCheckInterval)) {
            log.Line(std::string("收到 ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
                     ", 停止转发");
            RequestRelayStop();
            break;
        }
    }
    if (!WaitForRelayWorkers(kWorkerEndBound)) {
        log.Line("转发线程未能及时结束");
    }

    const RelayOutcome outcome = LastRelayOutcome().value_or(RelayOutcome{});
    log.Line("已结束: " + DescribeRelayEnd(outcome));
    std::string totals = "共转发 " + std::to_string(outcome.bytesForwarded) + " 字节";
    if (saved->udp) {
        totals += ", " + std::to_string(outcome.datagramsForwarded) + " 个数据报";
    }
    log.Line(totals);
    return outcome.end == RelayEnd::SetupFailed ? kHeadlessSetupFailed : kHeadlessEnded;
}
