#pragma once

#include <chrono>

// Waiting on descriptors in poll, as every loop of the programs does.

// A poll timeout for the time left until `deadline`, rounded up so that a wait never ends before
// it: 0 once it has passed, -1 (no timeout) for time_point::max().
int PollTimeoutUntil(std::chrono::steady_clock::time_point deadline);

// Waits until `fd` has one of `events`, or until `wakeFd` (when not -1) is readable, or until the
// timeout (negative: none) has passed. True for `fd`; false with errno ECANCELED for the wake-up,
// ETIMEDOUT for the timeout, or the error of a failed wait.
bool WaitFor(int fd, short events, int wakeFd, int timeoutMs);
