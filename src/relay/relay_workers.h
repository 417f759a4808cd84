#pragma once

#include "relay/kept_across_streams.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// Runs the plan on the calling thread until the relay ends or is released, and records how it
// ended with `worker`. With `kept`, a relay waits on its endpoint socket (made on first use and
// left open), a TCP relay goes on with its stream when there is one and hands its destination to
// its orderly closes, and a relay released for a hand-over leaves what it had there; without, a
// relay makes its own socket and closes everything itself.
void RunRelayWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept = nullptr);

// The two kinds of relay behind it.
void RunTcpWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept = nullptr);
// Several TCP streams at once (the plan's `streams`), each as RunTcpWorker relays one, on one
// thread.
void RunStreamSet(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept = nullptr);
void RunUdpWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept = nullptr);
