#include "relay/relay_plan.h"

RelayPlan MakeRelayPlan(RelayMode mode, RelayProtocol protocol, const Endpoint& client,
                        const Endpoint& server, ForwardMode forward, AllowedSources allowed) {
    RelayPlan plan;
    plan.mode = mode;
    plan.protocol = protocol;
    plan.forward = forward;
    plan.allowed = std::move(allowed);
    // Client to server waits on the server endpoint, server to client on the client endpoint,
    // whatever the protocol.
    const bool waitOnServer = mode == RelayMode::ClientToServer;
    plan.waitSide = waitOnServer ? RelaySide::Server : RelaySide::Client;
    plan.waitEndpoint = waitOnServer ? server : client;
    plan.otherEndpoint = waitOnServer ? client : server;
    return plan;
}
