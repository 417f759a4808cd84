#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "relay/relay_outcome.h"
#include "relay/relay_worker.h"
#include "relay/relay_workers.h"

// Starts a relay worker on its own thread. Workers of earlier runs are released and joined first,
// so at most one worker uses the relay buffer at any time. `events` hears what the worker reports
// while it sets up, on the worker's thread.
void StartRelayWorker(RelayWorkerProc proc, RelayEventSink events = {});

// Raises g_stopRelay and releases every live worker from whatever socket call it is blocked in.
// Never waits for a worker.
void RequestRelayStop();

// True when every started worker has ended within the timeout; ended workers are joined.
bool WaitForRelayWorkers(std::chrono::milliseconds timeout);

std::size_t LiveRelayWorkerCount();

// How the worker started last is doing: running, or how it ended. None before the first start.
std::optional<RelayOutcome> LastRelayOutcome();
