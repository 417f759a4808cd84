#pragma once

#include <cstdint>
#include <string>

#include "relay/endpoint.h"
#include "relay/relay_plan.h"

// Checks of a socket handed over by a process before this one against what the plan says it must
// be, before it is used. Each returns why the socket is not that, in Chinese; empty when it is.

// The socket on the plan's wait endpoint: of the plan's protocol and family, listening for TCP,
// bound where the plan waits (on any port where the plan lets the system choose).
std::string EndpointSocketProblem(int fd, const RelayPlan& plan);

// A connected TCP socket whose peer is `peer`, on the local port `localPort` (0: any).
std::string ConnectionProblem(int fd, const Endpoint& peer, std::uint16_t localPort = 0);
