#include "platform/shell.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

namespace {

void StartWithQProcess(const QString& program, const QStringList& arguments) {
    QProcess::startDetached(program, arguments);
}

ProgramLauncher& CurrentLauncher() {
    static ProgramLauncher launcher = StartWithQProcess;
    return launcher;
}

int g_requestedExitCode = 0;

} // namespace

void StartDetached(const QString& program, const QStringList& arguments) {
    CurrentLauncher()(program, arguments);
}

ScopedProgramLauncher::ScopedProgramLauncher(ProgramLauncher launcher)
    : m_previous(std::exchange(CurrentLauncher(), std::move(launcher))) {}

ScopedProgramLauncher::~ScopedProgramLauncher() {
    CurrentLauncher() = std::move(m_previous);
}

void PostQuitMessage(int exitCode) {
    g_requestedExitCode = exitCode;
    QTimer::singleShot(0, qApp, [exitCode] { QCoreApplication::exit(exitCode); });
}

int RequestedExitCode() {
    return g_requestedExitCode;
}
