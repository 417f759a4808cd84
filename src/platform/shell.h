#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// Starts a program detached from this one and does not look at the result, as the help command
// does. Tests replace the launcher to record the call instead of starting anything.
void StartDetached(const QString& program, const QStringList& arguments);

using ProgramLauncher = std::function<void(const QString& program, const QStringList& arguments)>;

class ScopedProgramLauncher {
public:
    explicit ScopedProgramLauncher(ProgramLauncher launcher);
    ~ScopedProgramLauncher();
    ScopedProgramLauncher(const ScopedProgramLauncher&) = delete;
    ScopedProgramLauncher& operator=(const ScopedProgramLauncher&) = delete;

private:
    ProgramLauncher m_previous;
};

// Asks the running message loops to end; the process then ends with `exitCode`. Takes effect once
// the caller's handler has returned.
void PostQuitMessage(int exitCode);
// The exit code of the last quit request, 0 when there was none.
int RequestedExitCode();
