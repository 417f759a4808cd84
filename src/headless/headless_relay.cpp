#include "headless/headless_relay.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "config/profile.h"
#include "config/stored_settings.h"
#include "config/strict_form.h"
#include "headless/handover.h"
#include "headless/logged_relay.h"
#include "headless/relay_metrics.h"
#include "headless/reload_request.h"
#include "headless/service_manager.h"
#include "headless/status_endpoint.h"
#include "platform/descriptor_waits.h"
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
    // The signal that came (its ssi_signo 0 when none had).
    signalfd_siginfo Take() const {
        signalfd_siginfo info{};
        if (::read(m_fd.Get(), &info, sizeof info) != sizeof info) {
            info.ssi_signo = 0;
        }
        return info;
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
    const std::optional<std::string> text = ReadProfileText(file, error, kLargestStrictFile);
    PlanReading reading;
    const auto refuse = [&reading, &file](const std::string& problem) {
        reading.problem = "参数文件 " + file.string() + problem;
        reading.exitCode = kHeadlessUnusableSettings;
        return reading;
    };
    if (!text) {
        if (error == std::errc::file_too_large) {
            return refuse(" 太大: 超过 " + std::to_string(kLargestStrictFile / 1024) + " KiB");
        }
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
    // Nothing the relay does not understand is skipped: a typo must not change who passes.
    if (const std::optional<FormFault> fault = FindFormFault(*text)) {
        return refuse(" " + fault->Describe());
    }
    SettingsVerdict verdict = CheckSettings(SettingsFromText(*text));
    reading.warnings = std::move(verdict.warnings);
    if (!verdict.plan) {
        return refuse(": " + verdict.refusal.Describe());
    }
    reading.plan = std::move(verdict.plan);
    reading.statusEndpoint = verdict.statusEndpoint;
    return reading;
}

std::string UnboundableEndpoint(const PlanReading& reading) {
    const RelayPlan& plan = *reading.plan;
    if (!CanBindHere(plan.waitEndpoint)) {
        return SideEndpointText(plan.waitSide, plan.waitEndpoint) +
               " 无法绑定: " + ErrorReasonText(EADDRNOTAVAIL);
    }
    if (reading.statusEndpoint && !CanBindHere(*reading.statusEndpoint)) {
        return "状态接口 " + EndpointText(*reading.statusEndpoint) +
               " 无法绑定: " + ErrorReasonText(EADDRNOTAVAIL);
    }
    return {};
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
    // `name`: the relay's, which its metrics carry.
    StatusService(RelayLog& log, const LoggedRelay& relay, std::string name)
        : m_log(log), m_relay(relay), m_name(std::move(name)) {}

    // The endpoint that serves at `wanted` (none: nowhere), listening already, for Serve to take
    // over; none, with the reason in `problem`, when it cannot listen there.
    struct Prepared {
        std::optional<::Endpoint> wanted;
        std::unique_ptr<StatusEndpoint> endpoint;
    };
    std::optional<Prepared> Prepare(const std::optional<::Endpoint>& wanted,
                                    std::string& problem) const {
        Prepared prepared{wanted, nullptr};
        if (!wanted || wanted == m_wanted) {
            return prepared;
        }
        int error = 0;
        prepared.endpoint = std::make_unique<StatusEndpoint>(
            *wanted,
            [this] {
                RelayMetrics metrics = m_relay.Metrics();
                metrics.name = m_name;
                return MetricsText(metrics);
            },
            error);
        if (!prepared.endpoint->Listening()) {
            problem = "状态接口 " + EndpointText(*wanted) + " 无法绑定: " + ErrorReasonText(error);
            return std::nullopt;
        }
        return prepared;
    }
    // Serves as `prepared` says from now on.
    void Serve(Prepared prepared) {
        if (prepared.wanted == m_wanted) {
            return;
        }
        if (prepared.endpoint) {
            m_log.Info("指标: http://" + EndpointText(prepared.endpoint->Bound()) + "/metrics");
        }
        m_endpoint = std::move(prepared.endpoint);
        m_wanted = prepared.wanted;
    }

    StatusEndpoint* Endpoint() const { return m_endpoint.get(); }

private:
    RelayLog& m_log;
    const LoggedRelay& m_relay;
    const std::string m_name;
    std::optional<::Endpoint> m_wanted;
    std::unique_ptr<StatusEndpoint> m_endpoint;
};

// What a reload that keeps the running relay changes, in a few words.
std::string DescribeChange(const RelayPlan& running, const RelayPlan& wanted) {
    std::string change;
    const auto add = [&change](const std::string& part) {
        change += (change.empty() ? "" : ", ") + part;
    };
    if (!(running.allowed == wanted.allowed)) {
        add("允许的来源: " + AllowedSourcesText(wanted.allowed));
    }
    if (running.idleLimit != wanted.idleLimit) {
        add(wanted.idleLimit.count() == 0
                ? std::string("不再因空闲断开")
                : "空闲 " + std::to_string(wanted.idleLimit.count()) + " 秒后断开");
    }
    return change;
}

// SIGHUP: the file is read again, and its plan prepared whole before the running relay is touched:
// the file read and checked, the status endpoint and (where it moves) the relay's endpoint bound.
// Only then does the new plan take over: the same plan goes on untouched; one that keeps the
// running stream's endpoints and forwarding (and allows its peer) takes over without cutting it;
// any other replaces the running relay, on its listening socket where the endpoint stays. If any
// step fails, the running relay and its stream go on as they were. True when the new settings
// took over.
bool Reload(LoggedRelay& relay, StatusService& status, RelayLog& log,
            const std::filesystem::path& parameterFile) {
    const auto fail = [&log](const std::string& problem) {
        log.Error("收到 SIGHUP, 重新加载失败, 继续按原设置转发: " + problem);
        return false;
    };
    const PlanReading reading = ReadRelayPlan(parameterFile);
    LogWarnings(log, reading);
    if (!reading.plan) {
        return fail(reading.problem);
    }
    const RelayPlan& wanted = *reading.plan;
    std::string problem;
    std::optional<StatusService::Prepared> prepared =
        status.Prepare(reading.statusEndpoint, problem);
    if (!prepared) {
        return fail(problem);
    }
    const RelayPlan running = relay.Running().Plan();
    if (wanted == running) {
        status.Serve(std::move(*prepared));
        log.Info("收到 SIGHUP, 设置未改变, 继续转发");
        return true;
    }
    if (CarriesOn(running, wanted, relay.Running().Status().peer)) {
        status.Serve(std::move(*prepared));
        log.Info("收到 SIGHUP, 已按新设置继续转发, 连接不断开: " + DescribeChange(running, wanted));
        relay.Replan(wanted);
        return true;
    }
    // A relay on the same endpoint keeps its socket: whoever waits in its queue is served next.
    const bool sameEndpoint = wanted.protocol == running.protocol &&
                              wanted.waitEndpoint == running.waitEndpoint &&
                              relay.Kept().endpointSocket.Valid();
    UniqueFd endpointSocket;
    if (!sameEndpoint) {
        SetupStep failed = SetupStep::Socket;
        endpointSocket = MakeEndpointSocket(wanted.protocol, wanted.waitEndpoint, failed);
        if (!endpointSocket.Valid()) {
            const int error = errno;
            RelayOutcome setup;
            setup.end = RelayEnd::SetupFailed;
            setup.step = failed;
            setup.side = wanted.waitSide;
            setup.endpoint = wanted.waitEndpoint;
            setup.error = error;
            return fail(DescribeSetupFailure(setup));
        }
    }
    status.Serve(std::move(*prepared));
    relay.Stop("收到 SIGHUP, 设置已改变, 按新设置重新启动转发",
               sameEndpoint ? LoggedRelay::Door::KeepOpen : LoggedRelay::Door::Close);
    if (!sameEndpoint) {
        relay.Kept().endpointSocket = std::move(endpointSocket);
    }
    relay.Start(wanted, StartKind::NewPlan);
    return true;
}

// Several streams at once cost two descriptors each: the soft limit (often 1024) goes up to the
// hard one, which the system or the unit's LimitNOFILE sets.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
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
    // First, since it opens nothing: the passed descriptors (two for each stream handed over) are
    // checked against the limit.
    RaiseDescriptorLimit();
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
    // The file's name names the relay: "video" for /etc/tarvel/video.inf.
    StatusService status(log, relay, parameterFile.stem().string());
    std::string problem;
    std::optional<StatusService::Prepared> prepared =
        status.Prepare(reading.statusEndpoint, problem);
    if (!prepared) {
        log.Error(problem);
        return kHeadlessSetupFailed;
    }
    status.Serve(std::move(*prepared));
    GoOnWith(std::move(handed), *reading.plan, relay, log);
    relay.Start(*reading.plan, StartKind::NewPlan);
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
            relay.Start(plan, StartKind::NextStream);
            continue;
        }
        const signalfd_siginfo received = signals.Take();
        switch (const int signal = static_cast<int>(received.ssi_signo)) {
        case SIGTERM:
        case SIGINT:
            NotifyServiceManager("STOPPING=1");
            return exitCode(relay.Stop(std::string("收到 ") + SignalName(signal) + ", 停止转发"));
        case 0:
            break;
        case SIGHUP: {
            // systemd counts the service as reloading until it hears READY=1 again.
            NotifyServiceManager("RELOADING=1");
            const bool done = Reload(relay, status, log, parameterFile);
            NotifyServiceManager("READY=1");
            AnswerReload(received, done);
            break;
        }
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
