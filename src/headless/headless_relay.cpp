#include "headless/headless_relay.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "config/stored_settings.h"
#include "headless/handover.h"
#include "headless/logged_relay.h"
#include "headless/relay_metrics.h"
#include "headless/service_manager.h"
#include "headless/status_endpoint.h"
#include "platform/error_reason.h"
#include "platform/single_instance.h"
#include "platform/unique_fd.h"
#include "relay/relay.h"
#include "relay/relay_description.h"
#include "relay/relay_sockets.h"

namespace {

// The lock name every relay of a parameter file takes, whichever program runs it.
constexpr char kRelayLockName[] = "tarvel-relay";

// The signals the relay answers, blocked in this thread (and so in the relay threads it starts)
// and read from a descriptor instead of handlers, so none of them can kill the process half-way.
class RelaySignals {
public:
    RelaySignals() {
        sigemptyset(&m_set);
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE}) {
            sigaddset(&m_set, signal);
        }
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
        m_fd = UniqueFd(::signalfd(-1, &m_set, SFD_CLOEXEC | SFD_NONBLOCK));
    }
    ~RelaySignals() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    RelaySignals(const RelaySignals&) = delete;
    RelaySignals& operator=(const RelaySignals&) = delete;

    int Descriptor() const { return m_fd.Get(); }
    // The signal that came, or 0.
    int Take() const {
        signalfd_siginfo info{};
        return ::read(m_fd.Get(), &info, sizeof info) == sizeof info
                   ? static_cast<int>(info.ssi_signo)
                   : 0;
    }

private:
    sigset_t m_set{};
    sigset_t m_previous{};
    UniqueFd m_fd;
};

} // namespace

PlanReading ReadRelayPlan(const std::filesystem::path& parameterFile) {
    // Named in full: a service's log is read far from its working folder.
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(parameterFile, error);
    const std::optional<StoredSettings> stored = ReadStoredSettings(file, error);
    PlanReading reading;
    if (!stored) {
        const bool missing = error == std::errc::no_such_file_or_directory;
        reading.problem =
            missing ? "参数文件 " + file.string() + " 不存在"
                    : "无法读取参数文件 " + file.string() + ": " + ErrorReasonText(error.value());
        // Only a regular file is a parameter file, as the dialog sees it.
        reading.exitCode =
            missing || error == std::errc::is_a_directory || error == std::errc::invalid_argument
                ? kMissingParameterFileExitCode
                : kHeadlessUnusableSettings;
        return reading;
    }
    SettingsVerdict verdict = CheckSettings(*stored);
    reading.warnings = std::move(verdict.warnings);
    if (!verdict.plan) {
        reading.problem = "参数文件 " + file.string() + ": " + verdict.refusal.Describe();
        reading.exitCode = kHeadlessUnusableSettings;
        return reading;
    }
    reading.plan = std::move(verdict.plan);
    reading.statusEndpoint = verdict.statusEndpoint;
    return reading;
}

namespace {

// Whether a TCP relay that ended so takes the next connection with the same plan: a stream that
// ended, or one accepted connection whose other side could not be reached. Anything else wrong
// with the listening endpoint ends the process.
bool TakesNextStream(const RelayPlan& plan, const RelayOutcome& outcome) {
    if (plan.protocol != RelayProtocol::Tcp) {
        return false;
    }
    return outcome.end == RelayEnd::SourceClosed || outcome.end == RelayEnd::DestinationGone ||
           outcome.end == RelayEnd::Idle ||
           (outcome.end == RelayEnd::SetupFailed && outcome.step == SetupStep::Connect);
}

// Values read as their fallback, each named once per reading.
void LogWarnings(RelayLog& log, const PlanReading& reading) {
    for (const std::string& warning : reading.warnings) {
        log.Warning(warning);
    }
}

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
    case SIGUSR2:
        return "SIGUSR2";
    case SIGPIPE:
        return "SIGPIPE";
    }
    return "?";
}

// Where the metrics are served, as the file asked for it; none when it asks for none.
class StatusService {
public:
    StatusService(RelayLog& log, const LoggedRelay& relay) : m_log(log), m_relay(relay) {}

    // Serves at `wanted` (none: nowhere) from now on. False, with the reason logged, when it
    // cannot listen there; what was served before goes on then.
    bool ServeAt(const std::optional<Endpoint>& wanted) {
        if (wanted == m_wanted) {
            return true;
        }
        std::unique_ptr<StatusEndpoint> endpoint;
        if (wanted) {
            int error = 0;
            endpoint = std::make_unique<StatusEndpoint>(
                *wanted, [this] { return MetricsText(m_relay.Metrics()); }, error);
            if (!endpoint->Listening()) {
                m_log.Error("状态接口 " + EndpointText(*wanted) +
                            " 无法绑定: " + ErrorReasonText(error));
                return false;
            }
            m_log.Info("指标: http://" + EndpointText(endpoint->Bound()) + "/metrics");
        }
        m_endpoint = std::move(endpoint);
        m_wanted = wanted;
        return true;
    }

    StatusEndpoint* Endpoint() const { return m_endpoint.get(); }

private:
    RelayLog& m_log;
    const LoggedRelay& m_relay;
    std::optional<::Endpoint> m_wanted;
    std::unique_ptr<StatusEndpoint> m_endpoint;
};

// SIGHUP: the file is read again. The same plan goes on untouched; one that keeps the running
// stream's endpoints and forwarding (and allows its peer) takes over without cutting it; any other
// ends the running relay, but only in favour of a plan that can start. Where the metrics are served
// changes without touching the relay.
void Reload(LoggedRelay& relay, StatusService& status, RelayLog& log,
            const std::filesystem::path& parameterFile) {
    const PlanReading reading = ReadRelayPlan(parameterFile);
    LogWarnings(log, reading);
    if (!reading.plan) {
        log.Warning("收到 SIGHUP, 参数文件不可用, 继续按原设置转发: " + reading.problem);
        return;
    }
    status.ServeAt(reading.statusEndpoint);
    const RelayPlan& running = relay.Running().Plan();
    if (*reading.plan == running) {
        log.Info("收到 SIGHUP, 设置未改变, 继续转发");
    } else if (CarriesOn(running, *reading.plan, relay.Running().Status().peer)) {
        log.Info("收到 SIGHUP, 设置已改变, 端点与转发方式未变, 连接继续");
        relay.Replan(*reading.plan);
    } else {
        relay.Stop("收到 SIGHUP, 设置已改变, 按新设置重新启动转发");
        relay.ReleaseEndpointSocket();
        relay.Start(*reading.plan, true);
    }
}

// What ended a wait of the main loop.
struct Wake {
    bool signalled = false;
    bool relayEnded = false;
};

// Until a signal or the relay's end, serving the metrics meanwhile.
Wake WaitForSignalOrEnd(const RelaySignals& signals, const LoggedRelay& relay,
                        StatusEndpoint* status) {
    for (;;) {
        std::vector<pollfd> entries = {{signals.Descriptor(), POLLIN, 0},
                                       {relay.EndedDescriptor(), POLLIN, 0}};
        int timeout = -1;
        if (status != nullptr) {
            status->AddPollEntries(entries);
            timeout = PollTimeoutUntil(status->NextDeadline());
        }
        if (::poll(entries.data(), entries.size(), timeout) < 0 && errno != EINTR) {
            return {true, false};
        }
        if (status != nullptr) {
            status->Serve(&entries[2], StatusEndpoint::Clock::now());
        }
        const Wake wake{entries[0].revents != 0, entries[1].revents != 0};
        if (wake.signalled || wake.relayEnded) {
            return wake;
        }
    }
}

} // namespace

int RunHeadlessRelay(RelayLog& log, const std::filesystem::path& parameterFile) {
    // Before anything is opened here, so that a descriptor this process opened is never taken
    // for one it was passed.
    PassedDescriptors passed = TakePassedDescriptors();
    // Taken over from the start, so no signal kills the process half-way.
    const RelaySignals signals;
    // What the process before this one handed over leaves systemd's store at once.
    HandedOver handed = TakeHandedOver(std::move(passed), log);
    std::error_code ignored;
    const std::filesystem::path owner = std::filesystem::weakly_canonical(
        std::filesystem::absolute(parameterFile, ignored), ignored);
    // One name for every program that relays, so that none of them relays a file twice.
    const SingleInstanceLock instanceLock(LockNameFor(kRelayLockName, owner));
    if (!instanceLock.Warning().empty()) {
        log.Warning(instanceLock.Warning());
    }
    if (!instanceLock.IsFirstInstance()) {
        log.Error("已有一个转发进程在按 " + owner.string() + " 转发, 本实例不再启动");
        return kHeadlessAlreadyRunning;
    }
    const PlanReading reading = ReadRelayPlan(parameterFile);
    LogWarnings(log, reading);
    if (!reading.plan) {
        log.Error(reading.problem);
        return reading.exitCode;
    }

    LoggedRelay relay(log);
    StatusService status(log, relay);
    if (!status.ServeAt(reading.statusEndpoint)) {
        return kHeadlessSetupFailed;
    }
    GoOnWith(std::move(handed), *reading.plan, relay, log);
    relay.Start(*reading.plan, true);
    // Until a stop signal, or an end that takes no next stream. A stop signal stops as Stop does,
    // without the dialog's pause.
    const auto exitCode = [](const RelayOutcome& outcome) {
        return outcome.end == RelayEnd::SetupFailed ? kHeadlessSetupFailed : kHeadlessEnded;
    };
    for (;;) {
        if (!WaitForSignalOrEnd(signals, relay, status.Endpoint()).signalled) {
            const RelayPlan plan = relay.Running().Plan();
            const RelayOutcome outcome = relay.Finish();
            if (!TakesNextStream(plan, outcome)) {
                return exitCode(outcome);
            }
            relay.Start(plan, false);
            continue;
        }
        switch (const int signal = signals.Take()) {
        case SIGTERM:
        case SIGINT:
            return exitCode(relay.Stop(std::string("收到 ") + SignalName(signal) + ", 停止转发"));
        case 0:
            break;
        case SIGHUP:
            Reload(relay, status, log, parameterFile);
            break;
        case SIGUSR1:
            log.Info("收到 SIGUSR1, " +
                     DescribeStatus(relay.Running().Status(), relay.Running().Plan().protocol));
            break;
        case SIGUSR2:
            // What systemd sends on a restart (RestartKillSignal): the stream goes on in the
            // next process. Without systemd there is nobody to hand it to.
            log.Info("收到 SIGUSR2, 交给下一个进程接续");
            if (HandOverToServiceManager(relay, log)) {
                return kHeadlessEnded;
            }
            return exitCode(relay.Stop("不在 systemd 下, 无法交接, 停止转发"));
        default:
            log.Info(std::string("收到 ") + SignalName(signal) + ", 已忽略");
            break;
        }
    }
}
