#pragma once

#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// Runs the plan on the calling thread until the relay ends or is released, and records how it
// ended with `worker`. A TCP relay listens through `keptListener` when given (see AcceptOne).
// Returns 1.
unsigned int RunRelayWorker(RelayWorker& worker, const RelayPlan& plan,
                            SocketHandle* keptListener = nullptr);

// The two kinds of relay behind it.
unsigned int RunTcpWorker(RelayWorker& worker, const RelayPlan& plan,
                          SocketHandle* keptListener = nullptr);
unsigned int RunUdpWorker(RelayWorker& worker, const RelayPlan& plan);
