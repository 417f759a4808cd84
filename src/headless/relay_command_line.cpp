#include "headless/relay_command_line.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "headless/headless_relay.h"
#include "headless/reload_request.h"
#include "platform/error_reason.h"
#include "relay/relay_description.h"

namespace {

// Usage errors, as for the settings: nothing was started.
constexpr int kUsageError = 2;

constexpr char kRelayUsage[] = "用法: tarvel-relay [--config 文件] [--workdir 目录] [--check]\n"
                               "      tarvel-relay --reload 进程号\n";
constexpr char kDialogUsage[] =
    "用法: tarvel\n"
    "      tarvel --headless [--config 文件] [--workdir 目录] [--check]\n"
    "      tarvel --headless --reload 进程号\n";

constexpr char kDialogPurpose[] =
    "不带参数启动时打开对话框; 带 --headless 时不开窗口, 与 tarvel-relay 一样运行保存的转发。\n";

constexpr char kRelayDescription[] =
    "在本机的两个端点之间单向转发一路 TCP 或 UDP 数据, 不开窗口, 按对话框保存在\n"
    "InfoFile/ParameterSet.inf (或 --config 指定的文件) 中的设置运行。TCP 数据流结束后\n"
    "立即接受下一个连接。\n"
    "\n"
    "选项:\n"
    "  --config 文件   参数文件 (默认为工作目录中的 InfoFile/ParameterSet.inf)。\n"
    "  --workdir 目录  工作目录 (默认为当前目录)。\n"
    "  --check         只读取并检查参数文件: 打印转发设置或拒绝的原因, 不绑定任何端点\n"
    "                  (端口是否已被占用只有启动或重新加载时才能知道)。\n"
    "  --reload 进程号 让该转发进程重新读取参数文件, 并等它完成: 新设置生效时退出码为 0,\n"
    "                  转发保留原设置时为 1 (原因见转发的日志)。systemctl reload 用它。\n"
    "  -h, --help      显示本帮助。\n"
    "  -v, --version   显示版本信息。\n"
    "\n"
    "信号: SIGTERM 或 SIGINT 停止, SIGHUP 重新读取参数文件 (新设置不可用时继续按原设置\n"
    "      转发), SIGUSR1 记录一行状态, SIGUSR2 (systemd 重启时) 交给下一个进程接续。\n"
    "退出码: 0 已停止 (--check: 设置可用), 1 无法建立转发, 2 设置不可用, "
    "3 已有一个按同一参数文件运行的实例, 18 找不到参数文件; --reload: 4 进程没有回应。\n";

int UsageError(const std::string& text, CommandLineOwner owner) {
    std::fprintf(stderr, "%s\n%s", text.c_str(),
                 owner == CommandLineOwner::RelayProgram ? kRelayUsage : kDialogUsage);
    return kUsageError;
}

// Where the relay waits and where it sends, and where the metrics are served, as --check says it.
std::string DescribeEndpoints(const PlanReading& reading) {
    const RelayPlan& plan = *reading.plan;
    const bool tcp = plan.protocol == RelayProtocol::Tcp;
    return std::string(tcp ? "在 " : "绑定 ") + SideEndpointText(plan.waitSide, plan.waitEndpoint) +
           (tcp ? " 监听, 连接 " : ", 发往 ") +
           SideEndpointText(plan.OtherSide(), plan.otherEndpoint) + "; 指标: " +
           (reading.statusEndpoint ? "http://" + EndpointText(*reading.statusEndpoint) + "/metrics"
                                   : std::string("不提供"));
}

// --check: the file read and checked as a start would, short of taking the ports. The verdict
// comes first; the exit code is the one a start would end with.
int CheckOnly(const std::filesystem::path& parameterFile) {
    const PlanReading reading = ReadRelayPlan(parameterFile);
    const std::string unboundable = reading.plan ? UnboundableEndpoint(reading) : std::string();
    int exitCode = kHeadlessEnded;
    if (!reading.plan) {
        std::printf("%s\n", reading.problem.c_str());
        exitCode = reading.exitCode;
    } else if (!unboundable.empty()) {
        std::printf("无法启动: %s\n", unboundable.c_str());
        exitCode = kHeadlessSetupFailed;
    } else {
        std::printf("设置可用: %s; %s\n", DescribePlan(*reading.plan).c_str(),
                    DescribeEndpoints(reading).c_str());
    }
    for (const std::string& warning : reading.warnings) {
        std::printf("警告: %s\n", warning.c_str());
    }
    return exitCode;
}

// --reload PID: what a service's reload runs; its exit code says whether the new settings took
// over.
int ReloadRunning(const char* pidText, CommandLineOwner owner) {
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(pidText, &end, 10);
    if (errno != 0 || end == pidText || *end != '\0' || pid <= 0 || pid > INT_MAX) {
        return UsageError("--reload 需要转发进程的进程号, 而不是 '" + std::string(pidText) + "'。",
                          owner);
    }
    return RequestReload(static_cast<pid_t>(pid));
}

} // namespace

int RunRelayCommandLine(int argc, char** argv, CommandLineOwner owner) {
    enum Option { kHeadless = 256, kWorkdir, kConfig, kCheck, kReload };
    static const option kOptions[] = {
        {"headless", no_argument, nullptr, kHeadless},
        {"workdir", required_argument, nullptr, kWorkdir},
        {"config", required_argument, nullptr, kConfig},
        {"check", no_argument, nullptr, kCheck},
        {"reload", required_argument, nullptr, kReload},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    bool headless = owner == CommandLineOwner::RelayProgram;
    bool check = false;
    const char* workdir = nullptr;
    const char* config = nullptr;
    const char* reload = nullptr;
    // Our own messages, in the product's language, instead of getopt's.
    opterr = 0;
    optind = 1;
    for (;;) {
        const int previous = optind;
        const int option = ::getopt_long(argc, argv, "+:hv", kOptions, nullptr);
        if (option == -1) {
            break;
        }
        const std::string given = previous < argc ? argv[previous] : "";
        switch (option) {
        case kHeadless:
            headless = true;
            break;
        case kWorkdir:
            workdir = optarg;
            break;
        case kConfig:
            config = optarg;
            break;
        case kCheck:
            check = true;
            break;
        case kReload:
            reload = optarg;
            break;
        case 'h':
            std::printf(
                "%s%s\n%s", owner == CommandLineOwner::RelayProgram ? kRelayUsage : kDialogUsage,
                owner == CommandLineOwner::RelayProgram ? "" : kDialogPurpose, kRelayDescription);
            return 0;
        case 'v':
            std::printf("%s %s\n",
                        owner == CommandLineOwner::RelayProgram ? "tarvel-relay" : "tarvel",
                        TARVEL_VERSION);
            return 0;
        case ':':
            return UsageError("'" + given + "' 后面缺少值。", owner);
        default:
            return UsageError("未知选项 '" + given + "'。", owner);
        }
    }
    if (optind < argc) {
        std::string extra;
        for (int i = optind; i < argc; ++i) {
            extra += (extra.empty() ? "" : " ") + std::string(argv[i]);
        }
        return UsageError("多余的参数: " + extra, owner);
    }
    if (!headless) {
        return UsageError("对话框不带参数启动; 不开窗口运行请加 --headless。", owner);
    }
    if (reload != nullptr) {
        return ReloadRunning(reload, owner);
    }

    RelayLog log;
    // A file named on the command line is where the caller is, not in the working folder.
    std::filesystem::path parameterFile = kParameterFilePath;
    if (config != nullptr) {
        std::error_code error;
        parameterFile = std::filesystem::absolute(config, error);
    }
    if (workdir != nullptr) {
        std::error_code error;
        std::filesystem::current_path(workdir, error);
        if (error) {
            log.Error("无法进入工作目录 " + std::string(workdir) + ": " +
                      ErrorReasonText(error.value()));
            return kUsageError;
        }
    }
    return check ? CheckOnly(parameterFile) : RunHeadlessRelay(log, parameterFile);
}
