// tarvel-relay: the saved relay without a window, for services; it links no part of the desktop.
#include "headless/relay_command_line.h"

int main(int argc, char** argv) {
    return RunRelayCommandLine(argc, argv, CommandLineOwner::RelayProgram);
}
