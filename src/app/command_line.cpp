#include "app/command_line.h"

#include "headless/headless_relay.h"
#include "platform/single_instance.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QTranslator>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

// Usage errors, as for the settings: nothing was started.
constexpr int kUsageError = 2;

// The command-line parser's own words, in the product's language.
class ParserTexts : public QTranslator {
public:
    QString translate(const char* context, const char* sourceText, const char* /*disambiguation*/,
                      int /*n*/) const override {
        if (qstrcmp(context, "QCommandLineParser") != 0)
            return {};
        static const QHash<QString, QString> texts{
            {QStringLiteral("Displays help on commandline options."),
             QStringLiteral("显示本帮助。")},
            {QStringLiteral("Displays help including Qt specific options."),
             QStringLiteral("显示本帮助, 连同 Qt 的通用选项。")},
            {QStringLiteral("Displays version information."), QStringLiteral("显示版本信息。")},
            {QStringLiteral("Missing value after '%1'."), QStringLiteral("'%1' 后面缺少值。")},
            {QStringLiteral("Unexpected value after '%1'."), QStringLiteral("'%1' 后面不能带值。")},
            {QStringLiteral("Unknown option '%1'."), QStringLiteral("未知选项 '%1'。")},
            {QStringLiteral("Unknown options: %1."), QStringLiteral("未知选项: %1。")},
            {QStringLiteral("[options]"), QStringLiteral("[选项]")},
            {QStringLiteral("Usage: %1"), QStringLiteral("用法: %1")},
            {QStringLiteral("Options:"), QStringLiteral("选项:")},
            {QStringLiteral("Arguments:"), QStringLiteral("参数:")},
        };
        return texts.value(QString::fromUtf8(sourceText));
    }
    bool isEmpty() const override { return false; }
};

int UsageError(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    return kUsageError;
}

} // namespace

int RunCommandLine(int argc, char** argv) {
    // Only the core of the toolkit: this path opens no window and needs no display.
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVEL_VERSION));
    ParserTexts texts;
    QCoreApplication::installTranslator(&texts);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("在本机的两个端点之间单向转发一路 TCP 或 UDP 数据。\n"
                       "不带参数启动时打开对话框; 带 --headless 时不开窗口, "
                       "按对话框保存在 InfoFile/ParameterSet.inf (或 --config 指定的文件) 中的"
                       "设置运行, TCP 数据流结束后立即接受下一个连接, "
                       "收到 SIGTERM 或 SIGINT 时停止, 收到 SIGHUP 时重新读取参数文件, "
                       "收到 SIGUSR1 时记录一行状态。\n"
                       "退出码: 0 已停止, 1 无法建立转发, 2 设置不可用, "
                       "3 已有一个按同一参数文件运行的实例, 18 找不到参数文件。"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("不开窗口, 运行参数文件中保存的转发。"));
    const QCommandLineOption workdir(QStringLiteral("workdir"),
                                     QStringLiteral("工作目录, 其中有 InfoFile/ParameterSet.inf "
                                                    "(默认为当前目录)。"),
                                     QStringLiteral("目录"));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("参数文件 (默认为工作目录中的 "
                                                   "InfoFile/ParameterSet.inf)。"),
                                    QStringLiteral("文件"));
    parser.addOption(headless);
    parser.addOption(workdir);
    parser.addOption(config);

    if (!parser.parse(QCoreApplication::arguments()))
        return UsageError(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return UsageError(QStringLiteral("多余的参数: %1")
                              .arg(parser.positionalArguments().join(QLatin1Char(' '))));
    if (!parser.isSet(headless))
        return UsageError(QStringLiteral("对话框不带参数启动; 不开窗口运行请加 --headless。"));

    RelayLog log;
    // A file named on the command line is where the caller is, not in the working folder.
    std::filesystem::path parameterFile = kParameterFilePath;
    if (parser.isSet(config)) {
        std::error_code error;
        parameterFile = std::filesystem::absolute(parser.value(config).toStdString(), error);
    }
    if (parser.isSet(workdir)) {
        std::error_code error;
        std::filesystem::current_path(parser.value(workdir).toStdString(), error);
        if (error) {
            log.Error("无法进入工作目录 " + parser.value(workdir).toStdString() + ": " +
                      error.message());
            return kUsageError;
        }
    }
    return RunHeadlessRelay(ApplicationNameFromPath(argv[0]), log, parameterFile);
}
