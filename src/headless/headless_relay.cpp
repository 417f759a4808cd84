#include "headless/headless_relay.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "config/stored_settings.h"
#include "headless/service_manager.h"
#include "platform/error_reason.h"
#include "platform/single_instance.h"
#include "relay/relay.h"
#include "relay/relay_description.h"

namespace {

// The lock name every relay of a parameter file takes, whichever program runs it.
constexpr char kRelayLockName[] = "tarvel-relay";

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
// and read from a descriptor instead of handlers, so none of them can kill the process half-way.
class RelaySignals {
public:
    RelaySignals() {
        sigemptyset(&m_set);
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGPIPE}) {
            sigaddset(&m_set, signal);
        }
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
        m_fd = ::signalfd(-1, &m_set, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~RelaySignals() {
        ::close(m_fd);
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    RelaySignals(const RelaySignals&) = delete;
    RelaySignals& operator=(const RelaySignals&) = delete;

    int Descriptor() const { return m_fd; }
    // The signal that came, or 0.
    int Take() const {
        signalfd_siginfo info{};
        return ::read(m_fd, &info, sizeof info) == sizeof info ? static_cast<int>(info.ssi_signo)
                                                               : 0;
    }

private:
    sigset_t m_set{};
    sigset_t m_previous{};
    int m_fd = -1;
};

} // namespace

PlanReading ReadRelayPlan(const std::filesystem::path& parameterFile) {
    // Named in full: a service's log is read far from its working folder.
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(parameterFile, error);
    const std::optional<StoredSettings> stored = ReadStoredSettings(file, error);
    if (!stored) {
        if (error == std::errc::no_such_file_or_directory) {
            return {std::nullopt,
                    "参数文件 " + file.string() + " 不存在",
                    {},
                    kMissingParameterFileExitCode};
        }
        return {std::nullopt,
                "无法读取参数文件 " + file.string() + ": " + ErrorReasonText(error.value()),
                {},
                error == std::errc::is_a_directory || error == std::errc::invalid_argument
                    ? kMissingParameterFileExitCode
                    : kHeadlessUnusableSettings};
    }
    SettingsVerdict verdict = CheckSettings(*stored);
    if (!verdict.plan) {
        return {std::nullopt, "参数文件 " + file.string() + ": " + verdict.refusal.Describe(),
                std::move(verdict.warnings), kHeadlessUnusableSettings};
    }
    return {std::move(verdict.plan), {}, std::move(verdict.warnings), kHeadlessEnded};
}

namespace {

LogLevel LevelOf(const RelayOutcome& outcome) {
    if (outcome.end == RelayEnd::SetupFailed) {
        return LogLevel::Error;
    }
    return outcome.error != 0 ? LogLevel::Warning : LogLevel::Info;
}

// Whether a TCP relay that ended so takes the next connection with the same plan: a stream that
// ended, or one accepted connection whose other side could not be reached. Anything else wrong
// with the listening endpoint ends the process.
bool TakesNextStream(const RelayPlan& plan, const RelayOutcome& outcome) {
    if (plan.protocol != RelayProtocol::Tcp) {
        return false;
    }
    return outcome.end == RelayEnd::SourceClosed || outcome.end == RelayEnd::DestinationGone ||
           (outcome.end == RelayEnd::SetupFailed && outcome.step == SetupStep::Connect);
}

// One relay at a time, started from a plan and ended with its totals in the log. A TCP relay's
// listening socket is kept here from one relay to the next. The descriptor turns readable when the
// running relay has ended by itself.
class LoggedRelay {
public:
    explicit LoggedRelay(RelayLog& log)
        : m_log(log), m_ended(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~LoggedRelay() {
        if (m_relay) {
            End(true);
        }
    }
    LoggedRelay(const LoggedRelay&) = delete;
    LoggedRelay& operator=(const LoggedRelay&) = delete;

    // `announce`: a new plan, said in the log; the next stream of the same plan only says where it
    // waits.
    void Start(const RelayPlan& plan, bool announce) {
        if (announce) {
            m_log.Info("已启动: " + DescribePlan(plan));
        }
        m_relay = std::make_unique<Relay>(
            plan,
            [this](const RelayEvent& event) {
                m_log.Info(Describe(event));
                if (event.kind == RelayEvent::Kind::Listening ||
                    event.kind == RelayEvent::Kind::Receiving) {
                    NotifyReady();
                }
            },
            BufferHead{}, &m_listener);
        m_watcher = std::thread([this] {
            while (!m_relay->WaitUntilEnded(std::chrono::hours(1))) {
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(m_ended.Get(), &one, sizeof one);
        });
    }

    // Stops the relay when `stop`, waits for its end and logs how it ended. Its outcome.
    RelayOutcome End(bool stop) {
        if (stop) {
            m_relay->Stop();
        }
        if (!m_relay->WaitUntilEnded(kRelayEndBound)) {
            m_log.Warning("转发线程未能及时结束");
        }
        m_watcher.join();
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(m_ended.Get(), &count, sizeof count);
        const RelayOutcome outcome = m_relay->Outcome();
        m_log.Line(LevelOf(outcome), "已结束: " + DescribeRelayEnd(outcome));
        m_log.Info(DescribeTotals(outcome, m_relay->Plan().protocol));
        m_relay.reset();
        return outcome;
    }

    // Lets the listening endpoint go, as before a relay with another plan.
    void ReleaseListener() { m_listener.Reset(); }

    int EndedDescriptor() const { return m_ended.Get(); }
    const Relay& Running() const { return *m_relay; }

private:
    // systemd counts the service as started from here on; elsewhere there is nobody to tell.
    void NotifyReady() {
        if (!m_ready.exchange(true)) {
            NotifyServiceManager("READY=1");
        }
    }

    RelayLog& m_log;
    SocketHandle m_listener; // only the running relay's worker uses it while one runs
    std::unique_ptr<Relay> m_relay;
    std::thread m_watcher; // writes m_ended once the relay has ended
    SocketHandle m_ended;  // an eventfd
    std::atomic<bool> m_ready{false};
};

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
    case SIGPIPE:
        return "SIGPIPE";
    }
    return "?";
}

// SIGHUP: the file is read again; only a plan that differs ends the running relay, and only in
// favour of a plan that can start.
void Reload(LoggedRelay& relay, RelayLog& log, const std::filesystem::path& parameterFile) {
    const PlanReading reading = ReadRelayPlan(parameterFile);
    LogWarnings(log, reading);
    if (!reading.plan) {
        log.Warning("收到 SIGHUP, 参数文件不可用, 继续按原设置转发: " + reading.problem);
    } else if (*reading.plan == relay.Running().Plan()) {
        log.Info("收到 SIGHUP, 设置未改变, 继续转发");
    } else {
        log.Info("收到 SIGHUP, 设置已改变, 按新设置重新启动转发");
        relay.End(true);
        relay.ReleaseListener();
        relay.Start(*reading.plan, true);
    }
}

// Until a signal or the relay's end; true for a signal.
bool WaitForSignalOrEnd(const RelaySignals& signals, const LoggedRelay& relay) {
    pollfd entries[2] = {{signals.Descriptor(), POLLIN, 0}, {relay.EndedDescriptor(), POLLIN, 0}};
    while (::poll(entries, 2, -1) < 0 && errno == EINTR) {
    }
    return entries[0].revents != 0;
}

} // namespace

int RunHeadlessRelay(RelayLog& log, const std::filesystem::path& parameterFile) {
    // Taken over from the start, so no signal kills the process half-way.
    const RelaySignals signals;
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
    relay.Start(*reading.plan, true);
    // Until a stop signal, or an end that takes no next stream. A stop signal stops as Stop does,
    // without the dialog's pause.
    for (;;) {
        const bool signalled = WaitForSignalOrEnd(signals, relay);
        const int signal = signalled ? signals.Take() : 0;
        if (!signalled || signal == SIGTERM || signal == SIGINT) {
            if (signalled) {
                log.Info(std::string("收到 ") + SignalName(signal) + ", 停止转发");
            }
            const RelayPlan plan = relay.Running().Plan();
            const RelayOutcome outcome = relay.End(signalled);
            if (signalled || !TakesNextStream(plan, outcome)) {
                return outcome.end == RelayEnd::SetupFailed ? kHeadlessSetupFailed : kHeadlessEnded;
            }
            relay.Start(plan, false);
            continue;
        }
        switch (signal) {
        case 0:
            break;
        case SIGHUP:
            Reload(relay, log, parameterFile);
            break;
        case SIGUSR1:
            log.Info("收到 SIGUSR1, " +
                     DescribeStatus(relay.Running().Status(), relay.Running().Plan().protocol));
            break;
        default:
            log.Info(std::string("收到 ") + SignalName(signal) + ", 已忽略");
            break;
        }
    }
}
