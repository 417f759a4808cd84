#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/parameter_file.h"
#include "headless/relay_log.h"
#include "relay/relay_plan.h"

// Exit codes of the relay without a window, besides the missing file's.
inline constexpr int kHeadlessEnded = 0;            // stopped by a signal, or the relay ended
inline constexpr int kHeadlessSetupFailed = 1;      // an endpoint in use, a connect refused, ...
inline constexpr int kHeadlessUnusableSettings = 2; // nothing saved, or what Run would refuse
inline constexpr int kHeadlessAlreadyRunning = 3;   // another relay runs on the same settings

// The plan a parameter file gives, or what is wrong with it, as a service log says it.
struct PlanReading {
    std::optional<RelayPlan> plan;
    std::optional<Endpoint> statusEndpoint; // where to serve the metrics, if anywhere
    std::string problem;                    // when there is no plan: the file and the key at fault
    std::vector<std::string> warnings;      // values read as their fallback
    int exitCode = kHeadlessEnded;          // when there is no plan
};
// The relay program reads its file strictly (see FindFormFault), at most kLargestStrictFile bytes.
PlanReading ReadRelayPlan(const std::filesystem::path& parameterFile);

// What a start would find wrong with a readable plan's endpoints short of taking them: an address
// to bind (the relay's own endpoint, the status endpoint) that is not this machine's, said as the
// failed bind would say it; empty when there is none.
std::string UnboundableEndpoint(const PlanReading& reading);

// Runs the one relay that `parameterFile` has saved, as the dialog's Run would start it, until
// SIGTERM or SIGINT stops it. A TCP relay takes one stream after another with the same plan and
// listens all along, so a connection that comes right after a stream ended is not refused; a UDP
// relay ends by itself only when it fails. One relay per parameter file: a second one on the same
// file ends at once with kHeadlessAlreadyRunning. Tells systemd (where it started the relay) when
// the relay listens or is bound. Returns the process's exit code.
int RunHeadlessRelay(RelayLog& log,
                     const std::filesystem::path& parameterFile = kParameterFilePath);
