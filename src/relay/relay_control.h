#pragma once

#include <chrono>
#include <cstddef>

#include "relay/relay_workers.h"

// Starts a relay worker on its own thread. Workers of earlier runs are released and joined first,
// so at most one worker uses the relay buffer at any time.
void StartRelayWorker(RelayWorkerProc proc);

// Raises g_stopRelay and releases every live worker from whatever socket call it is blocked in.
// Never waits for a worker.
void RequestRelayStop();

// True when every started worker has ended within the timeout; ended workers are joined.
bool WaitForRelayWorkers(std::chrono::milliseconds timeout);

std::size_t LiveRelayWorkerCount();

// For the workers and their sockets.

// True once Stop has released the calling worker (false on any other thread).
bool RelayWorkerReleased() noexcept;

// Makes a socket of the calling worker releasable by Stop; shuts it down at once when the worker is
// already released. Returns false (and does nothing) on a thread that is no relay worker.
bool WatchWorkerSocket(int fd);

// Must come before the socket is closed, so that Stop never touches a reused descriptor.
void UnwatchWorkerSocket(int fd);
