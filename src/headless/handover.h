#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "headless/handover_state.h"
#include "headless/logged_relay.h"
#include "headless/relay_log.h"
#include "headless/service_manager.h"
#include "platform/unique_fd.h"

// A relay's streams outliving its process under systemd: on a restart the process hands its
// sockets (the endpoint socket; for TCP, each stream's two connections) and a record of what it did
// to systemd's descriptor store, and the next process takes them out again and goes on.

// The most streams one hand-over carries: two descriptors each, with the endpoint socket and the
// record, fill the units' FileDescriptorStoreMax=4096 (and their names stay well within what one
// variable may hold when systemd passes them on). Streams beyond it end in order.
inline constexpr std::size_t kMostHandedStreams = 2047;

// Ends the running relay for the next process and hands everything to systemd's store. False when
// no service manager is there to take it (the relay is then stopped as by SIGTERM).
bool HandOverToServiceManager(LoggedRelay& relay, RelayLog& log);

// What a process before this one left in the store, taken out of it: systemd keeps no copy.
struct HandedOver {
    std::optional<HandoverState> state;
    std::string stateProblem; // why a record that came is not read; empty when none came
    UniqueFd endpoint;
    // Each stream's two connections, by its place in the record's list.
    struct Connections {
        UniqueFd accepted;
        UniqueFd connected;
    };
    std::vector<Connections> streams;

    bool Any() const {
        return state || !stateProblem.empty() || endpoint.Valid() || !streams.empty();
    }
};
// Takes the `passed` descriptors by their names and empties the store; a failure on the way is
// logged with its reason.
HandedOver TakeHandedOver(PassedDescriptors passed, RelayLog& log);

// Goes on with what was handed over where the file's `plan` carries it on (the same endpoints and
// forwarding, and for one stream at a time the connected peer still allowed) and every socket is
// what the plan says: the relay then starts with those sockets. Anything else is named in the log
// with its reason, closed in order (FIN to both peers of a stream), and the relay starts afresh; a
// stream whose other connection did not come back says which peer left, and only that stream ends.
// A relay of one stream at a time goes on with the first stream handed and ends the others.
void GoOnWith(HandedOver handed, const RelayPlan& plan, LoggedRelay& relay, RelayLog& log);
