#pragma once

#include <string>

#include "headless/relay_log.h"

// Exit codes of the relay without a window, besides the missing file's.
inline constexpr int kHeadlessEnded = 0;            // stopped by a signal, or the stream ended
inline constexpr int kHeadlessSetupFailed = 1;      // an endpoint in use, a connect refused, ...
inline constexpr int kHeadlessUnusableSettings = 2; // nothing saved, or what Run would refuse

// Runs the one relay that the parameter file in the current directory has saved, as the dialog's
// Run would start it, until SIGTERM or SIGINT stops it or it ends by itself. A second instance of
// `applicationName` ends at once, as the dialog's does. Returns the process's exit code.
int RunHeadlessRelay(const std::string& applicationName, RelayLog& log);
