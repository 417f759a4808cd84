#include "desktop/shell.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

namespace {

// A started program whose watcher goes: its outcome is no longer reported, and a program still
// running is ended quietly instead of with the toolkit's warning.
class WatchedProcess : public QProcess {
public:
    using QProcess::QProcess;
    ~WatchedProcess() override {
        QObject::disconnect(this, nullptr, nullptr, nullptr);
        if (state() != NotRunning) {
            kill();
            waitForFinished(1000);
        }
    }
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;
};

void StartWithQProcess(const QString& program, const QStringList& arguments, QObject* owner,
                       ProgramOutcome outcome) {
    auto* process = new WatchedProcess(owner); // owned by `owner`, or deleted once it has ended
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, outcome](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return; // the end of a started program comes through finished
                         outcome(false);
                         process->deleteLater();
                     });
    QObject::connect(process, &QProcess::finished, process,
                     [process, outcome](int exitCode, QProcess::ExitStatus status) {
                         outcome(status == QProcess::NormalExit && exitCode == 0);
                         process->deleteLater();
                     });
    process->start(program, arguments);
}

int g_requestedExitCode = 0;

} // namespace

ProgramLauncher& CurrentProgramLauncher() {
    static ProgramLauncher launcher = StartWithQProcess;
    return launcher;
}

void StartProgram(const QString& program, const QStringList& arguments, QObject* owner,
                  ProgramOutcome outcome) {
    CurrentProgramLauncher()(program, arguments, owner, std::move(outcome));
}

void PostQuitMessage(int exitCode) {
    g_requestedExitCode = exitCode;
    QTimer::singleShot(0, qApp, [exitCode] { QCoreApplication::exit(exitCode); });
}

int RequestedExitCode() {
    return g_requestedExitCode;
}
