#pragma once

#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// Runs the plan on the calling thread until the relay ends or is released, and records how it
// ended with `worker`. Returns 1.
unsigned int RunRelayWorker(RelayWorker& worker, const RelayPlan& plan);

// The two kinds of relay behind it.
unsigned int RunTcpWorker(RelayWorker& worker, const RelayPlan& plan);
unsigned int RunUdpWorker(RelayWorker& worker, const RelayPlan& plan);
