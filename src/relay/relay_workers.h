#pragma once

#include "relay/kept_across_streams.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// Runs the plan on the calling thread until the relay ends or is released, and records how it
// ended with `worker`. A TCP relay listens through `kept`'s listener when given (see AcceptOne)
// and hands its destination to `kept`'s orderly closes; without, it makes its own listener and
// closes its destination itself.
void RunRelayWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept = nullptr);

// The two kinds of relay behind it.
void RunTcpWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept = nullptr);
void RunUdpWorker(RelayWorker& worker, const RelayPlan& plan);
