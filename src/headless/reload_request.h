#pragma once

#include <sys/signalfd.h>
#include <sys/types.h>

#include <chrono>

// A reload asked for by a caller that waits for its result (what `systemctl reload` runs), spoken
// in signals so that it needs no socket or file: the caller queues SIGHUP with a token, the relay
// reloads and queues SIGUSR1 back, its value 0 when the new settings took over and 1 when it kept
// the old ones. A plain SIGHUP (kill -HUP) reloads alike and gets no answer.

// The exit codes of RequestReload.
inline constexpr int kReloadDone = 0;
inline constexpr int kReloadRefused = 1;    // the relay kept its old settings; its log says why
inline constexpr int kReloadUnanswered = 4; // no such process, or no answer within the bound

// How long the caller waits for the answer: a reload stops a relay (bounded by a few seconds) and
// binds at most two sockets.
inline constexpr std::chrono::seconds kReloadAnswerBound(30);

// Asks the relay process `relay` to reload and waits for its answer. Its exit code, with a line on
// standard error unless the reload was done.
int RequestReload(pid_t relay);

// Whether a SIGHUP read from a signal descriptor was queued by RequestReload, which waits.
bool WaitsForAnswer(const signalfd_siginfo& signal);
// Tells the waiting caller of `signal` how the reload went.
void AnswerReload(const signalfd_siginfo& signal, bool done);
