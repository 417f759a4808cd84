#pragma once

// Whose command line it is: the relay program's (`tarvel-relay`), or the dialog program's, whose
// arguments ask for the same relay with --headless (without arguments it opens the dialog).
enum class CommandLineOwner { RelayProgram, DialogProgram };

// Runs what the arguments ask for: the saved relay (in --workdir DIR, reading --config FILE), only
// the check of its parameter file (--check), or --help or --version. Returns the process's exit
// code.
int RunRelayCommandLine(int argc, char** argv, CommandLineOwner owner);
