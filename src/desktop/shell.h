#pragma once

// Starts the help viewer without waiting for it, and ends the program's message loops.

#include "platform/scoped_replacement.h"

#include <QString>
#include <QStringList>

#include <functional>

class QObject;

// What became of a started program: called once, on the caller's thread, with false when the
// program could not be started or ended with a failure (an exit code other than 0, or a crash),
// with true when it ended well. Never called while the program runs.
using ProgramOutcome = std::function<void(bool succeeded)>;

// Starts a program without waiting for it, as the help command does, and reports its outcome
// later through the event loop. The watch belongs to `owner`: when `owner` goes first, the
// outcome is not reported any more and a program still running is ended. The program gets no
// pipes of ours, so what it starts in turn lives on. Tests replace the launcher to record the call
// and decide the outcome instead of starting anything.
void StartProgram(const QString& program, const QStringList& arguments, QObject* owner,
                  ProgramOutcome outcome);

using ProgramLauncher = std::function<void(const QString& program, const QStringList& arguments,
                                           QObject* owner, ProgramOutcome outcome)>;

// The launcher StartProgram uses, and its replacement for the life of an object.
ProgramLauncher& CurrentProgramLauncher();
using ScopedProgramLauncher = ScopedReplacement<ProgramLauncher, CurrentProgramLauncher>;

// Asks the running message loops to end; the process then ends with `exitCode`. Takes effect once
// the caller's handler has returned.
void PostQuitMessage(int exitCode);
// The exit code of the last quit request, 0 when there was none.
int RequestedExitCode();
