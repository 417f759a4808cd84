#pragma once

// The dialog takes no arguments. Any argument asks for the relay without a window (--headless,
// optionally in --workdir DIR, reading --config FILE), or for --help or --version. Returns the
// process's exit code.
int RunCommandLine(int argc, char** argv);
